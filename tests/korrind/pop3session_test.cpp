// The POP3 session against the real dovecot of the test fixtures.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <algorithm>

#include "common/net/pop3client.h"
#include "common/utils.h"
#include "korrind/engine/popinterface.h"
#include "support/fakeserver.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

std::vector<std::string> Lines(const std::string &raw)
{
    std::vector<std::string> lines = SplitText(ReplaceAll(raw, "\r\n", "\n"), '\n');
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    return lines;
}

class Pop3Session : public ::testing::Test
{
protected:
    TUtils utils;
    uint16_t level = 3;
    TPop3 pop3{&level};
    std::string log;

    void SetUp() override
    {
        Utils = &utils;
        utils.LogFileName = testenv::MakeScratchDir("pop3log") + "/Debug.txt";
        fixtures::TrustTestCa();
    }
    void TearDown() override
    {
        pop3.Abort();
        Utils = nullptr;
    }
    void Use(const fixtures::Mailbox &box)
    {
        pop3.Host = box.host;
        pop3.Port = box.pop3Port;
        pop3.User = box.user;
        pop3.Password = box.password;
        pop3.TimeoutStep = 5000;
    }
    std::string DebugLog() { return testenv::ReadFile(utils.LogFileName); }
};

} // namespace

TEST_F(Pop3Session, SummariesAndMessagesOfSeededMailboxReadAsSent)
{
    REQUIRE_FIXTURES();
    fixtures::Mailbox box = fixtures::CreateMailbox("samples");
    std::vector<fixtures::Sample> samples = fixtures::AllSamples();
    for (const fixtures::Sample &sample : samples)
        fixtures::AddMessage(box, sample.raw);
    Use(box);

    ASSERT_TRUE(pop3.Connect()) << DebugLog();
    EXPECT_TRUE(pop3.IsConnected());
    EXPECT_TRUE(pop3.Component()->Secure()); // dovecot offers STLS on its clear-text port
    ASSERT_EQ(pop3.MessageCount(), static_cast<int>(samples.size()));

    for (size_t i = 0; i < samples.size(); ++i) {
        const fixtures::Sample &sample = samples[i];
        int n = static_cast<int>(i) + 1;
        ASSERT_TRUE(pop3.GetSummary(n)) << sample.name;
        EXPECT_EQ(pop3.Summary.Subject, sample.subject) << sample.name;
        EXPECT_EQ(pop3.Summary.From, TUtils::StripQuotes(sample.from)) << sample.name;
        EXPECT_EQ(pop3.Summary.To, TUtils::StripQuotes(ReplaceAll(sample.to, "\r\n", "")))
            << sample.name;
        EXPECT_EQ(pop3.Summary.Date, TUtils::NormalizeMailDate("Mon, 07 Dec 2026 09:15:00 +0000"))
            << sample.name;
        EXPECT_FALSE(pop3.Summary.MessageId.empty()) << sample.name;
        EXPECT_GT(pop3.Summary.Size, static_cast<int>(sample.raw.size()) - 200) << sample.name;
        EXPECT_FALSE(pop3.Summary.HeaderLines.Empty()) << sample.name;
        std::string messageId = pop3.Summary.MessageId;

        ASSERT_TRUE(pop3.GetMessage(n)) << sample.name;
        // Dot-unstuffed, line by line as stored (dovecot may add header lines on top).
        std::vector<std::string> sent = Lines(sample.raw);
        std::vector<std::string> got = pop3.RawLines.Items();
        ASSERT_GE(got.size(), sent.size()) << sample.name;
        EXPECT_TRUE(std::equal(sent.begin(), sent.end(), got.end() - sent.size())) << sample.name;
        EXPECT_EQ(pop3.Summary.Subject, sample.subject) << sample.name;
        EXPECT_EQ(pop3.Summary.MessageId, messageId) << sample.name;
    }
    EXPECT_FALSE(pop3.Disconnect());
    EXPECT_FALSE(pop3.IsConnected());
    EXPECT_EQ(pop3.LastError, 0);
}

TEST_F(Pop3Session, DeletionIsCommittedByQuitOnlyAndALostConnectionKeepsTheMail)
{
    REQUIRE_FIXTURES();
    fixtures::Mailbox box = fixtures::CreateMailbox("delete");
    fixtures::MessageFields fields;
    for (const char *subject : {"keep one", "delete me", "keep two"}) {
        fields.subject = subject;
        fields.messageId.clear();
        fixtures::AddMessage(box, fixtures::BuildMessage(fields));
    }
    Use(box);

    // Accepted by the server, but the connection drops before QUIT: nothing is deleted.
    ASSERT_TRUE(pop3.Connect()) << DebugLog();
    EXPECT_TRUE(pop3.DeleteMessage(2));
    pop3.Abort();
    EXPECT_EQ(fixtures::MessageCount(box), 3);
    EXPECT_NE(DebugLog().find("Deletions not confirmed"), std::string::npos);
    EXPECT_EQ(DebugLog().find("Message 2 deleted"), std::string::npos) << "QUIT never came";

    ASSERT_TRUE(pop3.Connect()) << DebugLog();
    EXPECT_FALSE(pop3.DeleteMessage(7)); // no such message: refused
    EXPECT_TRUE(pop3.DeleteMessage(2));
    EXPECT_FALSE(pop3.Disconnect());
    EXPECT_TRUE(pop3.Component()->QuitConfirmed());
    EXPECT_NE(DebugLog().find("Message 2 deleted"), std::string::npos);
    std::vector<std::string> stored = fixtures::StoredMessages(box);
    ASSERT_EQ(stored.size(), 2u);
    for (const std::string &message : stored)
        EXPECT_EQ(message.find("delete me"), std::string::npos);
}

TEST_F(Pop3Session, BatchSummariesEqualOneByOneSummaries)
{
    REQUIRE_FIXTURES();
    fixtures::Mailbox box = fixtures::CreateMailbox("batch");
    for (const fixtures::Sample &sample : fixtures::AllSamples())
        fixtures::AddMessage(box, sample.raw);
    fixtures::AddMessages(box, fixtures::BulkMessages(40));
    Use(box);
    ASSERT_TRUE(pop3.Connect()) << DebugLog();
    EXPECT_TRUE(pop3.Component()->Pipelining());
    int count = pop3.MessageCount();

    std::vector<TMailSummary> batch;
    ASSERT_TRUE(pop3.GetSummaries(1, count, batch));
    ASSERT_EQ(static_cast<int>(batch.size()), count);
    for (int n = 1; n <= count; ++n) {
        ASSERT_TRUE(pop3.GetSummary(n));
        const TMailSummary &one = pop3.Summary, &many = batch[n - 1];
        EXPECT_EQ(many.From, one.From);
        EXPECT_EQ(many.To, one.To);
        EXPECT_EQ(many.Subject, one.Subject);
        EXPECT_EQ(many.MessageId, one.MessageId);
        EXPECT_EQ(many.Date, one.Date);
        EXPECT_EQ(many.Received, one.Received);
        EXPECT_EQ(many.Size, one.Size);
        EXPECT_EQ(many.HeaderLines.Items(), one.HeaderLines.Items());
    }
    // A range past the end fails after what exists was fetched.
    EXPECT_FALSE(pop3.GetSummaries(count - 1, count + 1, batch));
    EXPECT_EQ(batch.size(), 2u);
}

TEST_F(Pop3Session, EveryLoginMethodWorksAndAWrongPasswordIsRefusedWithoutRetrying)
{
    REQUIRE_FIXTURES();
    fixtures::Mailbox box = fixtures::CreateMailbox("login");
    fixtures::AddMessage(box, fixtures::PlainSample().raw);
    Use(box);
    using Method = TPop3Client::TAuthMethod;
    for (Method method : {Method::UserPass, Method::Apop, Method::Plain}) {
        pop3.Component()->AuthMethod = method;
        EXPECT_TRUE(pop3.Connect()) << int(method) << DebugLog();
        EXPECT_EQ(pop3.MessageCount(), 1);
        pop3.Disconnect();
    }

    pop3.Password = "wrong";
    for (Method method : {Method::UserPass, Method::Apop}) {
        pop3.Component()->AuthMethod = method;
        EXPECT_FALSE(pop3.Connect());
        EXPECT_FALSE(pop3.IsConnected());
        EXPECT_EQ(pop3.LastError, 0); // a refusal, not a time-out
    }
    std::string log = DebugLog();
    std::string failed = "Authentication Failed to: " + box.host + " for: " + box.user;
    size_t count = 0;
    for (size_t at = log.find(failed); at != std::string::npos; at = log.find(failed, at + 1))
        ++count;
    EXPECT_EQ(count, 2u) << log; // one try per connect: a refused password stays refused
}

TEST_F(Pop3Session, TlsVerifiesTheServerCertificate)
{
    REQUIRE_FIXTURES();
    fixtures::Mailbox box = fixtures::CreateMailbox("tls");
    fixtures::AddMessage(box, fixtures::PlainSample().raw);
    Use(box);

    // Implicit TLS, written as a URL with the port.
    pop3.Host = "pop3s://" + box.host + ":" + std::to_string(box.pop3sPort);
    ASSERT_TRUE(pop3.Connect()) << DebugLog();
    EXPECT_TRUE(pop3.Component()->Secure());
    ASSERT_TRUE(pop3.GetSummary(1));
    EXPECT_EQ(pop3.Summary.Subject, fixtures::PlainSample().subject);
    pop3.Disconnect();

    // Against an unrelated CA neither POP3S nor STLS connects, and nothing goes out in clear.
    fixtures::TrustTestCa(fixtures::WrongCaFile());
    pop3.Tries = 2;
    pop3.TimeoutStep = 1000;
    EXPECT_FALSE(pop3.Connect());
    pop3.Host = box.host + ":" + std::to_string(box.pop3Port);
    pop3.Port = 1; // the port in the host wins
    EXPECT_FALSE(pop3.Connect());
    EXPECT_EQ(pop3.LastError, -1);
    EXPECT_NE(DebugLog().find("certificate does not verify"), std::string::npos) << DebugLog();

    // With no certificate file only the system's roots, looked up on demand, count; the test
    // CA is not among them.
    qunsetenv("SSL_CERT_FILE");
    EXPECT_FALSE(pop3.Connect());
    EXPECT_EQ(pop3.Component()->LastFailure(), TPop3Failure::CertificateUntrusted) << DebugLog();
    fixtures::TrustTestCa();
}

namespace {

// Everything the client reports in words, to prove the token is never among it.
class TTokenListener : public TPop3Listener
{
public:
    std::string Texts;
    bool Connected = false;
    void OnConnected() override { Connected = true; }
    void OnStatus(const std::string &text) override { Texts += text + "\n"; }
    void OnError(const std::string &text) override { Texts += text + "\n"; }
};

// Connects and waits for the session to open or end; answers whether it opened.
bool SignIn(TPop3Client &client, const std::string &host, const std::string &token)
{
    client.Host = host;
    client.AccessToken = token;
    client.Connect();
    fixtures::WaitUntil([&] {
        return client.State() == TPop3Client::TState::Ready ||
               client.State() == TPop3Client::TState::Disconnected;
    });
    return client.Connected();
}

int Occurrences(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

} // namespace

TEST(Pop3TokenSignIn, TokenSignsInOverTlsAndAnExpiredOneFailsAsSignInExpired)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    fixtures::Mailbox box = fixtures::CreateMailbox("token");
    fixtures::AddMessage(box, fixtures::PlainSample().raw);
    const fixtures::OAuthTokens tokens = fixtures::IssueTokens(box.user);
    // A long token does not fit on the AUTH line and follows on a line of its own.
    const fixtures::OAuthTokens longTokens = fixtures::IssueTokens(box.user, 300);
    TTokenListener listener;
    TPop3Client client(&listener);
    client.User = box.user;
    client.TimeOut = 10000;

    ASSERT_TRUE(SignIn(client, "pop3s://" + box.host + ":" + std::to_string(box.pop3sPort),
                       tokens.accessToken))
        << client.LastErrorText();
    EXPECT_EQ(client.MessageCount(), 1);
    client.Abort();
    ASSERT_TRUE(SignIn(client, box.host + ":" + std::to_string(box.pop3Port), // STLS
                       longTokens.accessToken))
        << client.LastErrorText();
    EXPECT_TRUE(client.Secure());
    client.Abort();
    const std::string dovecotLog =
        testenv::FixtureValue("CORVEX_FIXTURES_DIR") + "/dovecot/dovecot.log";
    const std::string login = "Login: user=<" + box.user + ">, method=OAUTHBEARER";
    EXPECT_TRUE(fixtures::WaitUntil(
        [&] { return Occurrences(testenv::ReadFile(dovecotLog), login) == 2; }));
    EXPECT_NE(testenv::ReadFile(dovecotLog).find("oauth2(" + box.user + ","), std::string::npos)
        << "no token login through the oauth2 passdb";

    // An expired token is refused at once with the server's reason, not after a time-out.
    fixtures::ExpireAccessTokens(box.user);
    listener.Connected = false;
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(SignIn(client, "pop3s://" + box.host + ":" + std::to_string(box.pop3sPort),
                        tokens.accessToken));
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_EQ(client.LastFailure(), TPop3Failure::SignInExpired);
    EXPECT_FALSE(Pop3FailureNeedsUser(client.LastFailure()));
    EXPECT_NE(client.LastErrorText().find("status \"invalid_token\""), std::string::npos)
        << client.LastErrorText();
    EXPECT_FALSE(listener.Connected);
    for (const std::string &token : {tokens.accessToken, longTokens.accessToken})
        EXPECT_EQ(listener.Texts.find(token), std::string::npos) << listener.Texts;
}

TEST(Pop3TokenSignIn, AServerWithoutTlsGetsNoToken)
{
    FakeServer server;
    server.On("CAPA", "+OK\r\nSASL PLAIN OAUTHBEARER XOAUTH2\r\nUSER\r\n.");
    TTokenListener listener;
    TPop3Client client(&listener);
    client.User = "user@example.test";
    client.TimeOut = 5000;
    EXPECT_FALSE(SignIn(client, "127.0.0.1:" + std::to_string(server.port()), "secret-token"));
    EXPECT_EQ(client.LastFailure(), TPop3Failure::TlsNotOffered);
    EXPECT_EQ(server.commands(), std::vector<std::string>{"CAPA"});
}
