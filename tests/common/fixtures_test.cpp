// Proves the test servers and the fake server behave as the other integration tests expect,
// using raw sockets only.
#include <QElapsedTimer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "support/fakeserver.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

// A line-oriented client on a QSslSocket whose waits pump the event loop, so a FakeServer in
// the same thread keeps answering.
class LineClient
{
public:
    explicit LineClient(const std::string &caFile = "")
    {
        if (!caFile.empty()) {
            QSslConfiguration config = socket.sslConfiguration();
            config.setCaCertificates(QSslCertificate::fromPath(QString::fromStdString(caFile)));
            socket.setSslConfiguration(config);
        }
    }

    bool Connect(int port)
    {
        socket.connectToHost("127.0.0.1", static_cast<quint16>(port));
        return fixtures::WaitUntil(
            [&] { return socket.state() == QAbstractSocket::ConnectedState; }, 5000);
    }

    // Implicit TLS; "localhost" is the name the certificate carries besides 127.0.0.1.
    bool ConnectEncrypted(int port)
    {
        socket.connectToHostEncrypted("localhost", static_cast<quint16>(port));
        fixtures::WaitUntil(
            [&] {
                return socket.isEncrypted() || socket.state() == QAbstractSocket::UnconnectedState;
            },
            5000);
        return socket.isEncrypted();
    }

    void Send(const std::string &line) { socket.write(QByteArray::fromStdString(line + "\r\n")); }

    // One line without its line end; "" after timeoutMs or when the peer closed.
    std::string ReadLine(int timeoutMs = 5000)
    {
        if (!fixtures::WaitUntil([&] { return socket.canReadLine(); }, timeoutMs))
            return "";
        std::string line = socket.readLine().toStdString();
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        return line;
    }

    std::string Command(const std::string &line)
    {
        Send(line);
        return ReadLine();
    }

    // Lines of a POP3 multi-line answer up to (not including) the "." line.
    std::vector<std::string> ReadMultiline()
    {
        std::vector<std::string> lines;
        for (std::string line = ReadLine();
             line != "." && socket.state() == QAbstractSocket::ConnectedState; line = ReadLine())
            lines.push_back(line);
        return lines;
    }

    bool WaitClosed(int timeoutMs = 5000)
    {
        return fixtures::WaitUntil(
            [&] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
    }

    QSslSocket socket;
};

bool StartsWith(const std::string &text, const std::string &prefix)
{
    return text.compare(0, prefix.size(), prefix) == 0;
}

std::string SubjectLine(const std::vector<std::string> &header)
{
    for (const std::string &line : header)
        if (StartsWith(line, "Subject: "))
            return line.substr(9);
    return "";
}

// ---- POP3 (dovecot) --------------------------------------------------------------------

TEST(Pop3Fixture, FreshMailboxListsAddedMessagesInDeliveryOrder)
{
    REQUIRE_FIXTURES();
    fixtures::Mailbox box = fixtures::CreateMailbox("order");
    // Added within a few milliseconds: the numbering must still follow the order of adding.
    const int count = 40;
    fixtures::AddMessages(box, fixtures::BulkMessages(count));
    EXPECT_EQ(fixtures::MessageCount(box), count);

    LineClient client;
    ASSERT_TRUE(client.Connect(box.pop3Port));
    ASSERT_TRUE(StartsWith(client.ReadLine(), "+OK"));
    EXPECT_TRUE(StartsWith(client.Command("USER " + box.user), "+OK"));
    ASSERT_TRUE(StartsWith(client.Command("PASS " + box.password), "+OK"));
    EXPECT_TRUE(StartsWith(client.Command("STAT"), "+OK " + std::to_string(count) + " "));
    for (int n = 1; n <= count; ++n) {
        ASSERT_TRUE(StartsWith(client.Command("TOP " + std::to_string(n) + " 0"), "+OK"));
        char expected[64];
        std::snprintf(expected, sizeof expected, "Bulk message %04d of %d", n, count);
        EXPECT_EQ(SubjectLine(client.ReadMultiline()), expected);
    }
    EXPECT_TRUE(StartsWith(client.Command("QUIT"), "+OK"));
}

TEST(Pop3Fixture, ServesDotLinesAndBareLfMessagesIntact)
{
    REQUIRE_FIXTURES();
    fixtures::Mailbox box = fixtures::CreateMailbox("bytes");
    fixtures::Sample dots = fixtures::DotLinesSample(), bareLf = fixtures::BareLfSample();
    fixtures::AddMessages(box, {dots.raw, bareLf.raw});

    LineClient client;
    ASSERT_TRUE(client.Connect(box.pop3Port));
    client.ReadLine();
    client.Command("USER " + box.user);
    ASSERT_TRUE(StartsWith(client.Command("PASS " + box.password), "+OK"));

    // The server dot-stuffs; undoing it must give back the stored lines.
    ASSERT_TRUE(StartsWith(client.Command("RETR 1"), "+OK"));
    std::string unstuffed;
    for (const std::string &line : client.ReadMultiline())
        unstuffed += (StartsWith(line, ".") ? line.substr(1) : line) + "\r\n";
    EXPECT_EQ(unstuffed, dots.raw);

    // Bare LF is sent as CRLF; the text stays the same.
    ASSERT_TRUE(StartsWith(client.Command("RETR 2"), "+OK"));
    std::string joined;
    for (const std::string &line : client.ReadMultiline())
        joined += line + "\n";
    EXPECT_EQ(joined, bareLf.raw);
}

TEST(Pop3Fixture, OffersStlsPipeliningAndApopAndNoPenaltyAfterFailedLogin)
{
    REQUIRE_FIXTURES();
    fixtures::Mailbox box = fixtures::CreateMailbox("capa");
    LineClient client;
    ASSERT_TRUE(client.Connect(box.pop3Port));
    std::string greeting = client.ReadLine();
    EXPECT_NE(greeting.find('<'), std::string::npos) << "APOP needs a time stamp: " << greeting;
    ASSERT_TRUE(StartsWith(client.Command("CAPA"), "+OK"));
    std::vector<std::string> capa = client.ReadMultiline();
    EXPECT_NE(std::find(capa.begin(), capa.end(), "STLS"), capa.end());
    EXPECT_NE(std::find(capa.begin(), capa.end(), "PIPELINING"), capa.end());

    client.Command("USER " + box.user);
    EXPECT_TRUE(StartsWith(client.Command("PASS wrong-" + box.password), "-ERR"));
    // Tests provoke failed logins; the next login must not be held back by a penalty.
    QElapsedTimer timer;
    timer.start();
    client.Command("USER " + box.user);
    EXPECT_TRUE(StartsWith(client.Command("PASS " + box.password), "+OK"));
    EXPECT_LT(timer.elapsed(), 1500);
}

TEST(Pop3Fixture, Pop3sVerifiesAgainstTheTestCaOnly)
{
    REQUIRE_FIXTURES();
    fixtures::Mailbox box = fixtures::CreateMailbox("tls");
    LineClient trusted(fixtures::CaFile());
    ASSERT_TRUE(trusted.ConnectEncrypted(box.pop3sPort));
    EXPECT_TRUE(StartsWith(trusted.ReadLine(), "+OK"));

    LineClient untrusted(fixtures::WrongCaFile());
    EXPECT_FALSE(untrusted.ConnectEncrypted(box.pop3sPort));
    EXPECT_FALSE(untrusted.socket.sslHandshakeErrors().isEmpty());
}

TEST(Pop3Fixture, TokensOfTheAuthorizationServerLogInUntilTheyExpire)
{
    REQUIRE_FIXTURES();
    fixtures::Mailbox box = fixtures::CreateMailbox("token");
    const fixtures::OAuthTokens tokens = fixtures::IssueTokens(box.user);
    auto xoauth2 = [&](const std::string &token) {
        const std::string response = "user=" + box.user +
                                     "\x01"
                                     "auth=Bearer " +
                                     token + "\x01\x01";
        LineClient client(fixtures::CaFile());
        EXPECT_TRUE(client.ConnectEncrypted(box.pop3sPort));
        client.ReadLine();
        std::string reply = client.Command(
            "AUTH XOAUTH2 " + QByteArray::fromStdString(response).toBase64().toStdString());
        if (StartsWith(reply, "+ ")) // the error continuation, answered with an empty line
            reply =
                QByteArray::fromBase64(QByteArray::fromStdString(reply.substr(2))).toStdString() +
                " " + client.Command("");
        return reply;
    };
    EXPECT_TRUE(StartsWith(xoauth2(tokens.accessToken), "+OK")); // the oauth2 passdb answers
    // The password is no token, and an expired token is refused with the status in JSON.
    EXPECT_TRUE(StartsWith(xoauth2(box.password), "{\"status\":\"401\""));
    fixtures::ExpireAccessTokens(box.user);
    const std::string expired = xoauth2(tokens.accessToken);
    EXPECT_TRUE(StartsWith(expired, "{\"status\":\"401\"")) << expired;
    EXPECT_NE(expired.find("-ERR"), std::string::npos) << expired;
    const std::string log = testenv::ReadFile(fixtures::OAuth2().log);
    EXPECT_EQ(log.find(tokens.accessToken), std::string::npos);
}

// ---- SMTP (aiosmtpd) -------------------------------------------------------------------

TEST(SmtpFixture, PlainPortStoresTheUnstuffedMessageWithItsEnvelope)
{
    REQUIRE_FIXTURES();
    fixtures::SmtpServer smtp = fixtures::Smtp();
    std::string recipient = fixtures::UniqueAddress("spool");
    fixtures::Sample sample = fixtures::DotLinesSample();

    LineClient client;
    ASSERT_TRUE(client.Connect(smtp.plainPort));
    EXPECT_TRUE(StartsWith(client.ReadLine(), "220"));
    client.Send("EHLO test.local");
    std::string line;
    while (StartsWith(line = client.ReadLine(), "250-")) {
    }
    EXPECT_TRUE(StartsWith(line, "250 "));
    EXPECT_TRUE(StartsWith(client.Command("MAIL FROM:<sender@corvex.test>"), "250"));
    EXPECT_TRUE(StartsWith(client.Command("RCPT TO:<" + recipient + ">"), "250"));
    EXPECT_TRUE(StartsWith(client.Command(std::string("RCPT TO:<") +
                                          fixtures::RefusedRecipientPrefix + "@corvex.test>"),
                           "550"));
    EXPECT_TRUE(StartsWith(client.Command("DATA"), "354"));
    std::string stuffed;
    size_t start = 0;
    while (start < sample.raw.size()) {
        size_t end = sample.raw.find("\r\n", start);
        std::string text = sample.raw.substr(start, end - start);
        stuffed += (StartsWith(text, ".") ? "." : "") + text + "\r\n";
        start = end + 2;
    }
    client.socket.write(QByteArray::fromStdString(stuffed + ".\r\n"));
    EXPECT_TRUE(StartsWith(client.ReadLine(), "250"));
    client.Command("QUIT");

    std::vector<fixtures::ReceivedMessage> received = fixtures::WaitForMessagesTo(recipient, 1);
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].raw, sample.raw);
    EXPECT_EQ(received[0].mailFrom, "sender@corvex.test");
    EXPECT_EQ(received[0].recipients, std::vector<std::string>{recipient});
    EXPECT_EQ(received[0].listener, "plain");
    EXPECT_FALSE(received[0].tls);
}

TEST(SmtpFixture, StarttlsPortRefusesAuthBeforeTls)
{
    REQUIRE_FIXTURES();
    fixtures::SmtpServer smtp = fixtures::Smtp();
    LineClient client(fixtures::CaFile());
    ASSERT_TRUE(client.Connect(smtp.port));
    client.ReadLine();
    client.Send("EHLO test.local");
    std::vector<std::string> ehlo;
    for (std::string line = client.ReadLine(); !line.empty(); line = client.ReadLine()) {
        ehlo.push_back(line.substr(4));
        if (StartsWith(line, "250 "))
            break;
    }
    EXPECT_NE(std::find(ehlo.begin(), ehlo.end(), "STARTTLS"), ehlo.end());
    EXPECT_TRUE(StartsWith(client.Command("AUTH PLAIN AGNvcnZleABwdw=="), "5"));
    EXPECT_TRUE(StartsWith(client.Command("MAIL FROM:<sender@corvex.test>"), "530"));
}

// ---- FakeServer --------------------------------------------------------------------------

TEST(FakeServer, AnswersScriptedRepliesInTurnAndCollectsData)
{
    FakeServer server;
    server.On("USER", "+OK");
    server.On("RETR", {FakeServer::Reply("-ERR busy"), FakeServer::Reply("+OK\r\nbody\r\n.")});
    server.On("RETR 9", "-ERR no such message");
    server.On("DATA", "354 go ahead");
    server.On(".", "250 stored");

    LineClient client;
    ASSERT_TRUE(client.Connect(server.port()));
    EXPECT_EQ(client.ReadLine(), "+OK fake server ready");
    EXPECT_EQ(client.Command("user alice"), "+OK");
    EXPECT_EQ(client.Command("RETR 9"), "-ERR no such message");
    EXPECT_EQ(client.Command("RETR 1"), "-ERR busy");
    EXPECT_EQ(client.Command("RETR 1"), "+OK");
    EXPECT_EQ(client.ReadMultiline(), std::vector<std::string>{"body"});
    EXPECT_EQ(client.Command("RETR 1"), "+OK") << "the last reply repeats";
    client.ReadMultiline();
    EXPECT_EQ(client.Command("NOOP"), "-ERR unknown command");
    EXPECT_EQ(client.Command("DATA"), "354 go ahead");
    client.Send("Subject: x");
    client.Send("");
    EXPECT_EQ(client.Command("."), "250 stored");
    EXPECT_EQ(server.data(), (std::vector<std::string>{"Subject: x", ""}));
    EXPECT_EQ(server.commands().front(), "user alice");
}

TEST(FakeServer, StallsDropsAndSendsGarbage)
{
    FakeServer server;
    server.StallOn("STAT");
    server.On("RETR", FakeServer::DropAfter("+OK\r\npartial"));
    server.On("LIST", FakeServer::Garbage());

    LineClient stalled;
    ASSERT_TRUE(stalled.Connect(server.port()));
    stalled.ReadLine();
    std::string garbage = FakeServer::Garbage().bytes;
    EXPECT_EQ(stalled.Command("LIST") + "\r\n", garbage);
    stalled.Send("STAT");
    EXPECT_EQ(stalled.ReadLine(300), "");
    EXPECT_EQ(stalled.socket.state(), QAbstractSocket::ConnectedState)
        << "a stall keeps the line open";

    LineClient dropped;
    ASSERT_TRUE(dropped.Connect(server.port()));
    dropped.ReadLine();
    dropped.Send("RETR 1");
    ASSERT_TRUE(dropped.WaitClosed());
    EXPECT_EQ(dropped.socket.readAll().toStdString(), "+OK\r\npartial");
    EXPECT_EQ(server.connectionCount(), 2);
    EXPECT_EQ(server.openConnections(), 1);
}

TEST(FakeServer, TricklesSlowlyFloodsAndCanStayMute)
{
    FakeServer server;
    server.On("TOP", FakeServer::Trickle("+OK slow", 20));
    server.On("UIDL", FakeServer::Endless(2 * 1024 * 1024));

    LineClient client;
    ASSERT_TRUE(client.Connect(server.port()));
    client.ReadLine();
    client.Send("TOP 1 0");
    client.Send("NOOP"); // answered after the trickle, in order
    EXPECT_EQ(client.ReadLine(100), "") << "ten bytes at 20 ms each cannot be there yet";
    EXPECT_EQ(client.ReadLine(), "+OK slow");
    EXPECT_EQ(client.ReadLine(), "-ERR unknown command");

    client.Send("UIDL");
    ASSERT_TRUE(
        fixtures::WaitUntil([&] { return client.socket.bytesAvailable() >= 2 * 1024 * 1024; }));
    EXPECT_FALSE(client.socket.canReadLine());

    // A server that accepts but does not greet until the third connection; all are counted.
    FakeServer mute;
    mute.Greeting({FakeServer::Stall(), FakeServer::Stall(), FakeServer::Reply("+OK at last")});
    for (int attempt = 1; attempt <= 2; ++attempt) {
        LineClient waiting;
        ASSERT_TRUE(waiting.Connect(mute.port()));
        EXPECT_EQ(waiting.ReadLine(50), "");
    }
    LineClient third;
    ASSERT_TRUE(third.Connect(mute.port()));
    EXPECT_EQ(third.ReadLine(), "+OK at last");
    EXPECT_EQ(mute.connectionCount(), 3);
}

} // namespace
