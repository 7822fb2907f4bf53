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

// ---- IMAP (dovecot) --------------------------------------------------------------------

// Sends "tag command" and answers the untagged lines and the tagged one (last).
std::vector<std::string> ImapCommand(LineClient &client, const std::string &command)
{
    static int counter = 0;
    const std::string tag = "t" + std::to_string(++counter);
    client.Send(tag + " " + command);
    std::vector<std::string> lines;
    for (std::string line = client.ReadLine(); !line.empty(); line = client.ReadLine()) {
        lines.push_back(line);
        if (StartsWith(line, tag + " "))
            break;
    }
    return lines;
}

bool TaggedOk(const std::vector<std::string> &lines)
{
    if (lines.empty())
        return false;
    const std::string &tagged = lines.back();
    const size_t space = tagged.find(' ');
    return space != std::string::npos && tagged.compare(space + 1, 3, "OK ") == 0;
}

bool AnyLineHas(const std::vector<std::string> &lines, const std::string &part)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string &l) { return l.find(part) != std::string::npos; });
}

// The number after "[UIDVALIDITY " in a SELECT answer, 0 without one.
unsigned long UidValidityOf(const std::vector<std::string> &selected)
{
    for (const std::string &line : selected) {
        const size_t at = line.find("[UIDVALIDITY ");
        if (at != std::string::npos)
            return std::stoul(line.substr(at + 13));
    }
    return 0;
}

// A logged-in session on port: clear text, or upgraded by STARTTLS, or implicit TLS.
enum class Tls { None, Starttls, Implicit };
bool ImapLogin(LineClient &client, int port, Tls tls, const fixtures::Mailbox &box)
{
    if (tls == Tls::Implicit ? !client.ConnectEncrypted(port) : !client.Connect(port))
        return false;
    if (!StartsWith(client.ReadLine(), "* OK"))
        return false;
    if (tls == Tls::Starttls) {
        if (!TaggedOk(ImapCommand(client, "STARTTLS")))
            return false;
        client.socket.setPeerVerifyName("localhost");
        client.socket.startClientEncryption();
        if (!fixtures::WaitUntil([&] { return client.socket.isEncrypted(); }, 5000))
            return false;
    }
    return TaggedOk(ImapCommand(client, "LOGIN " + box.user + " " + box.password));
}

TEST(ImapFixture, ListenersShareTheMaildirAndDifferInFoldersAndCapabilities)
{
    REQUIRE_FIXTURES();
    fixtures::Mailbox box = fixtures::CreateMailbox("imap");
    fixtures::Sample first = fixtures::PlainSample(), second = fixtures::DotLinesSample();
    fixtures::AddMessages(box, {first.raw, second.raw});

    // STARTTLS on the main port: Junk and Trash flagged, the maildir's messages in INBOX.
    LineClient client(fixtures::CaFile());
    ASSERT_TRUE(client.Connect(box.imapPort));
    client.ReadLine();
    EXPECT_TRUE(AnyLineHas(ImapCommand(client, "CAPABILITY"), " STARTTLS"));
    client.socket.disconnectFromHost();
    LineClient secured(fixtures::CaFile());
    ASSERT_TRUE(ImapLogin(secured, box.imapPort, Tls::Starttls, box));
    const std::vector<std::string> folders = ImapCommand(secured, "LIST \"\" \"*\"");
    EXPECT_TRUE(AnyLineHas(folders, "\\Junk) \".\" Junk")) << folders.front();
    EXPECT_TRUE(AnyLineHas(folders, "\\Trash) \".\" Trash"));
    const std::vector<std::string> selected = ImapCommand(secured, "SELECT INBOX");
    EXPECT_TRUE(AnyLineHas(selected, "* 2 EXISTS"));
    const unsigned long uidValidity = UidValidityOf(selected);
    EXPECT_NE(uidValidity, 0u);
    // What the session does shows in the maildir: a \Seen flag, a move to Junk.
    EXPECT_FALSE(fixtures::AnySeen(box));
    EXPECT_TRUE(TaggedOk(ImapCommand(secured, "STORE 1 +FLAGS (\\Seen)")));
    EXPECT_TRUE(TaggedOk(ImapCommand(secured, "MOVE 2 Junk")));
    EXPECT_TRUE(TaggedOk(ImapCommand(secured, "LOGOUT")));
    EXPECT_EQ(fixtures::InboxFlags(box), std::vector<std::string>{"S"});
    EXPECT_EQ(fixtures::StoredMessagesIn(box, "Junk"), std::vector<std::string>{second.raw});
    EXPECT_TRUE(fixtures::StoredMessagesIn(box, "Trash").empty());

    // IMAPS with a token of the authorization server; a new UIDVALIDITY once asked for.
    fixtures::ChangeUidValidity(box);
    const fixtures::OAuthTokens tokens = fixtures::IssueTokens(box.user);
    const std::string xoauth2 =
        "user=" + box.user + "\x01" + "auth=Bearer " + tokens.accessToken + "\x01\x01";
    LineClient implicit(fixtures::CaFile());
    ASSERT_TRUE(implicit.ConnectEncrypted(box.imapsPort));
    implicit.ReadLine();
    EXPECT_TRUE(TaggedOk(
        ImapCommand(implicit, "AUTHENTICATE XOAUTH2 " +
                                  QByteArray::fromStdString(xoauth2).toBase64().toStdString())));
    const std::vector<std::string> reselected = ImapCommand(implicit, "SELECT INBOX");
    EXPECT_TRUE(AnyLineHas(reselected, "* 1 EXISTS"));
    EXPECT_GT(UidValidityOf(reselected), uidValidity);
    EXPECT_TRUE(TaggedOk(ImapCommand(implicit, "LOGOUT")));

    // The listener without MOVE and UIDPLUS, and the one without special-use folders.
    LineClient noMove;
    ASSERT_TRUE(ImapLogin(noMove, box.imapNoMovePort, Tls::None, box));
    const std::vector<std::string> capabilities = ImapCommand(noMove, "CAPABILITY");
    EXPECT_TRUE(AnyLineHas(capabilities, "* CAPABILITY IMAP4rev1 "));
    EXPECT_FALSE(AnyLineHas(capabilities, " MOVE"));
    EXPECT_FALSE(AnyLineHas(capabilities, " UIDPLUS"));
    EXPECT_TRUE(AnyLineHas(ImapCommand(noMove, "LIST \"\" \"*\""), "\\Junk"));
    EXPECT_TRUE(TaggedOk(ImapCommand(noMove, "LOGOUT")));

    fixtures::ChangeUidValidity(box);
    LineClient bare(fixtures::CaFile());
    ASSERT_TRUE(ImapLogin(bare, box.imapBarePort, Tls::Starttls, box));
    const std::vector<std::string> bareCapabilities = ImapCommand(bare, "CAPABILITY");
    EXPECT_TRUE(AnyLineHas(bareCapabilities, " MOVE "));
    EXPECT_FALSE(AnyLineHas(bareCapabilities, " IDLE")) << "push falls back to the schedule here";
    const std::vector<std::string> bareFolders = ImapCommand(bare, "LIST \"\" \"*\"");
    EXPECT_EQ(bareFolders.size(), 2u) << "INBOX alone";
    EXPECT_FALSE(AnyLineHas(bareFolders, "Junk"));
    EXPECT_FALSE(AnyLineHas(bareFolders, "\\Trash"));
    // Asked for again, the bare listener (whose other folders lie elsewhere) grows it too.
    const std::vector<std::string> bareSelected = ImapCommand(bare, "SELECT INBOX");
    EXPECT_TRUE(AnyLineHas(bareSelected, "* 1 EXISTS"));
    EXPECT_GT(UidValidityOf(bareSelected), UidValidityOf(reselected));
    // Another client's expunge shows at the next look.
    fixtures::RemoveMessageBehindBack(box, 0);
    EXPECT_TRUE(AnyLineHas(ImapCommand(bare, "NOOP"), "* 1 EXPUNGE"));
    EXPECT_TRUE(TaggedOk(ImapCommand(bare, "LOGOUT")));

    // Four logins (the CAPABILITY-only connection logged in none), four logouts, all logged.
    EXPECT_TRUE(fixtures::WaitUntil([&] {
        return fixtures::ImapLogins(box) == 4 && fixtures::ImapLogouts(box) == 4;
    })) << fixtures::ImapLogins(box)
        << " logins, " << fixtures::ImapLogouts(box) << " logouts";
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
