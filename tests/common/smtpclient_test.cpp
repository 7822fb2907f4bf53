// Message composition and server-name reading of the SMTP client, and signing in with an
// access token against the real SMTP server.
#include <gtest/gtest.h>

#include "common/net/smtpclient.h"
#include "support/fakeserver.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

std::string HeaderOf(const std::string &message)
{
    return message.substr(0, message.find("\r\n\r\n") + 2);
}

std::string BodyOf(const std::string &message)
{
    return message.substr(message.find("\r\n\r\n") + 4);
}

TEST(SmtpCompose, LineBreaksInHeaderValuesCannotAddHeaderLines)
{
    TSmtpMessage message;
    message.Sender = "a@b.example\r\nBcc: victim@c.example";
    message.Subject = "Hello\nX-Injected: yes";
    message.Recipients = {"x@y.example\r\nBcc: other@c.example"};
    message.Lines = {"text"};
    std::string header = HeaderOf(ComposeMessage(message));
    EXPECT_EQ(header.find("\r\nBcc:"), std::string::npos) << header;
    EXPECT_EQ(header.find("\r\nX-Injected:"), std::string::npos) << header;
    // Such addresses are unusable in the envelope as well.
    EXPECT_EQ(MailboxAddress(message.Sender), "");
    EXPECT_EQ(MailboxAddress("Jo <jo@x.example>"), "jo@x.example");
    EXPECT_EQ(MailboxAddress("jo@x.example>"), "");
}

TEST(SmtpCompose, EveryKindOfLineEndBecomesCrlfAndDotsAreStuffed)
{
    TSmtpMessage message;
    message.Sender = "a@b.example";
    message.Recipients = {"x@y.example"};
    message.Lines = {"one\r", "two\rthree\nfour\r\nfive", ".", "..x", "", ".end"};
    std::string body = BodyOf(ComposeMessage(message));
    EXPECT_EQ(body, "one\r\ntwo\r\nthree\r\nfour\r\nfive\r\n.\r\n..x\r\n\r\n.end\r\n");
    EXPECT_EQ(DotStuff(body),
              "one\r\ntwo\r\nthree\r\nfour\r\nfive\r\n..\r\n...x\r\n\r\n..end\r\n.\r\n");
    EXPECT_EQ(DotStuff("no end"), "no end\r\n.\r\n");
}

TEST(SmtpCompose, EightBitAndLongLinesAreQuotedPrintable)
{
    TSmtpMessage message;
    message.Sender = "a@b.example";
    message.SenderName = "M\xC3\xBCller";
    message.Recipients = {"x@y.example"};
    message.Lines = {"caf\xC3\xA9 = ok ", std::string(200, 'a')};
    std::string composed = ComposeMessage(message);
    std::string header = HeaderOf(composed);
    EXPECT_NE(header.find("From: =?utf-8?B?TcO8bGxlcg==?= <a@b.example>"), std::string::npos);
    EXPECT_NE(header.find("charset=\"utf-8\""), std::string::npos);
    EXPECT_NE(header.find("Content-Transfer-Encoding: quoted-printable"), std::string::npos);
    std::string body = BodyOf(composed);
    EXPECT_EQ(body.substr(0, 20), "caf=C3=A9 =3D ok=20\r");
    std::size_t start = 0;
    for (std::size_t end; (end = body.find("\r\n", start)) != std::string::npos; start = end + 2)
        EXPECT_LE(end - start, 76u);
}

TEST(SmtpServerName, HostPortAndSchemeAreRead)
{
    auto plain = ParseSmtpServer(" smtp.example.org ", 25);
    EXPECT_TRUE(plain.Valid);
    EXPECT_EQ(plain.Host, "smtp.example.org");
    EXPECT_EQ(plain.Port, 25);
    EXPECT_FALSE(plain.ImplicitTls);

    auto submission = ParseSmtpServer("127.0.0.1:587", 25);
    EXPECT_EQ(submission.Host, "127.0.0.1");
    EXPECT_EQ(submission.Port, 587);
    EXPECT_TRUE(ParseSmtpServer("mail.example.org:465", 25).ImplicitTls);

    auto smtps = ParseSmtpServer("SMTPS://mail.example.org", 25);
    EXPECT_TRUE(smtps.ImplicitTls);
    EXPECT_EQ(smtps.Port, 465);

    auto v6 = ParseSmtpServer("[::1]:2525", 25);
    EXPECT_EQ(v6.Host, "::1");
    EXPECT_EQ(v6.Port, 2525);

    for (const char *bad : {"", "host:0", "host:70000", "host:2x", "a b", "[::1", "user@host"})
        EXPECT_FALSE(ParseSmtpServer(bad, 25).Valid) << bad;
}

} // namespace

// ---- signing in with an OAuth2 access token ----------------------------------------------

// Drives one client step by step, keeping what it reports.
class TokenSession
{
public:
    struct Failure
    {
        int code = -1; // of the AuthenticationFailed report; -1 when there was none
        std::string text;
    };
    TSmtpClient client;
    Failure authFailure;
    bool connectionFailed = false;
    std::string texts; // everything reported in words

    TokenSession(const std::string &host, int port, bool implicitTls, const std::string &user,
                 const std::string &token)
    {
        client.Host = host;
        client.Port = static_cast<uint16_t>(port);
        client.ImplicitTls = implicitTls;
        client.UserId = user;
        client.AccessToken = token;
        client.TimeoutMs = 10000;
        client.OnReport = [this](TSmtpReport report, int code, const std::string &text) {
            texts += text + "\n";
            if (report == TSmtpReport::AuthenticationFailed)
                authFailure = {code, text};
            if (report == TSmtpReport::ConnectionFailed)
                connectionFailed = true;
        };
    }
    bool Connect()
    {
        client.Connect();
        fixtures::WaitUntil([&] { return !client.IsBusy(); });
        return client.IsReady();
    }
    void SendTo(const std::string &recipient)
    {
        TSmtpMessage message;
        message.Sender = "sender@corvex.test";
        message.Recipients = {recipient};
        message.Subject = "Signed in with a token";
        message.Lines = {"text"};
        client.Send(message);
        fixtures::WaitUntil([&] { return !client.IsBusy(); });
    }
};

TEST(SmtpTokenSignIn, MessagesGoOutOverEitherMechanismAndARevokedTokenIsReportedAsExpired)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    const fixtures::SmtpServer smtp = fixtures::Smtp();
    const std::string account = fixtures::UniqueAddress("sender");
    const fixtures::OAuthTokens tokens = fixtures::IssueTokens(account);
    // STARTTLS offers OAUTHBEARER; the implicit-TLS port offers XOAUTH2 only.
    const std::pair<int, const char *> ports[] = {{smtp.port, "OAUTHBEARER"},
                                                  {smtp.smtpsPort, "XOAUTH2"}};
    for (const auto &[port, mechanism] : ports) {
        TokenSession session(smtp.host, port, port == smtp.smtpsPort, account, tokens.accessToken);
        ASSERT_TRUE(session.Connect()) << session.texts;
        const std::string recipient = fixtures::UniqueAddress("token");
        session.SendTo(recipient);
        std::vector<fixtures::ReceivedMessage> received = fixtures::WaitForMessagesTo(recipient, 1);
        ASSERT_EQ(received.size(), 1u) << session.texts;
        EXPECT_EQ(received[0].authUser, account);
        EXPECT_EQ(received[0].authMechanism, mechanism);
        EXPECT_EQ(session.texts.find(tokens.accessToken), std::string::npos) << session.texts;
    }

    fixtures::RevokeTokens(account);
    for (const auto &[port, mechanism] : ports) {
        TokenSession session(smtp.host, port, port == smtp.smtpsPort, account, tokens.accessToken);
        EXPECT_FALSE(session.Connect());
        EXPECT_EQ(session.authFailure.code, AuthTokenExpired) << mechanism << session.texts;
        EXPECT_NE(session.authFailure.text.find("status"), std::string::npos) << session.texts;
        EXPECT_EQ(session.texts.find(tokens.accessToken), std::string::npos) << session.texts;
    }
}

TEST(SmtpTokenSignIn, AServerWithoutTlsGetsNoToken)
{
    FakeServer server;
    server.Greeting("220 fake ESMTP");
    server.On("EHLO", "250-fake\r\n250 AUTH PLAIN XOAUTH2 OAUTHBEARER");
    TokenSession session("127.0.0.1", server.port(), false, "user@example.test", "secret-token");
    EXPECT_FALSE(session.Connect());
    EXPECT_TRUE(session.connectionFailed);
    for (const std::string &command : server.commands())
        EXPECT_EQ(command.find("AUTH"), std::string::npos) << command;
}
