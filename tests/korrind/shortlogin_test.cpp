// The short login, counted at a delaying proxy in front of the servers: a quiet check from
// connect to the filter's decision, POP3 and IMAP over implicit TLS and STARTTLS against the
// fixture dovecot, within its round trips and on a resumed TLS session the second time; and
// against scripted servers the two cases dovecot cannot show: credentials too long for the
// AUTH line, and a server that does not pipeline.
#include <gtest/gtest.h>
#include <memory>

#include "common/net/imapclient.h"
#include "korrind/engine_environment.h"
#include "korrind/timedcheck.h"
#include "support/delayproxy.h"
#include "support/fakeserver.h"
#include "support/fixtures.h"

namespace {

constexpr int ProxyRttMs = 20;

struct TForm
{
    const char *Scheme;
    int fixtures::Mailbox::*Port;
    int Trips; // at most, for a quiet check
};

TEST(ShortLogin, QuietCheckStaysWithinItsRoundTripsOnAResumedTlsSession)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    fixtures::Mailbox box = fixtures::CreateMailbox("short");
    fixtures::AddMessages(box, fixtures::BulkMessages(3));
    const TForm forms[] = {
        {"pop3s://", &fixtures::Mailbox::pop3sPort, 4},
        {Pop3RequireTlsScheme, &fixtures::Mailbox::pop3Port, 6},
        {ImapsScheme, &fixtures::Mailbox::imapsPort, 4},
        {ImapRequireTlsScheme, &fixtures::Mailbox::imapPort, 6},
    };
    for (const TForm &form : forms) {
        SCOPED_TRACE(form.Scheme);
        TDelayProxy proxy;
        ASSERT_TRUE(proxy.Start(box.*form.Port, ProxyRttMs));
        const std::string server =
            form.Scheme + std::string("127.0.0.1:") + std::to_string(proxy.Port());
        TEngineEnvironment env;
        env.Install(box.user, server);
        std::unique_ptr<TMailSession> session = SessionFor(server);
        // The first check learns the mailbox and gets a TLS session; the count of the quiet
        // one is taken at the decision, before the session closes.
        TProxyCount first, quiet;
        bool counted = false;
        ASSERT_GT(TimedCheck(env, *session, box, server, {}, 10000), 0);
        ASSERT_TRUE(proxy.Count(first));
        ASSERT_GT(TimedCheck(
                      env, *session, box, server, [&] { counted = proxy.Count(quiet); }, 10000),
                  0);
        ASSERT_TRUE(counted);
        EXPECT_EQ(quiet.Connections, 1);
        EXPECT_LE(quiet.Trips, form.Trips);
        EXPECT_GT(quiet.Trips, 0);
        // A resumed session does not send the certificate again.
        EXPECT_GT(first.HelloBytes, 0);
        EXPECT_LT(quiet.HelloBytes, first.HelloBytes / 2);
        env.Uninstall();
        Mail = nullptr;
    }
}

// A scripted POP3 server offering SASL PLAIN, with PIPELINING or without, that takes the
// password given in either form of AUTH PLAIN.
struct TSaslServer
{
    FakeServer Server;
    std::string Response; // the base64 credentials

    TSaslServer(const std::string &password, bool pipelining)
    {
        Response = QByteArray::fromStdString(std::string(1, '\0') + "user" + '\0' + password)
                       .toBase64()
                       .toStdString();
        Server.On("CAPA", pipelining ? "+OK\r\nSASL PLAIN\r\nPIPELINING\r\n.\r\n"
                                     : "+OK\r\nSASL PLAIN\r\n.\r\n");
        Server.On("AUTH PLAIN", "+ ");
        Server.On("AUTH PLAIN " + Response, "+OK logged in");
        Server.On(Response, "+OK logged in");
        Server.On("STAT", "+OK 0 0");
        Server.On("LIST", "+OK\r\n.\r\n");
        Server.On("QUIT", "+OK bye");
    }
};

// The login alone through the proxy: its round trips, and the commands the server saw.
int LoginTrips(TSaslServer &sasl, const std::string &password)
{
    TDelayProxy proxy;
    if (!proxy.Start(sasl.Server.port(), ProxyRttMs))
        return -1;
    TPop3Listener listener;
    TPop3Client client(&listener);
    client.Host = "127.0.0.1:" + std::to_string(proxy.Port());
    client.User = "user";
    client.Password = password;
    client.TimeOut = 10000;
    client.Connect();
    fixtures::WaitUntil([&] { return client.State() != TPop3Client::TState::Connecting; });
    TProxyCount count;
    const bool connected = client.Connected() && proxy.Count(count);
    client.Abort();
    return connected ? count.Trips : -1;
}

TEST(ShortLogin, FallsBackWhereTheServerCannotTakeTheShortcuts)
{
    // The initial response and, with PIPELINING, STAT and LIST in one round trip.
    TSaslServer pipelined("secret", true);
    EXPECT_EQ(LoginTrips(pipelined, "secret"), 3); // greeting, CAPA, AUTH + STAT + LIST
    EXPECT_EQ(
        pipelined.Server.commands(),
        (std::vector<std::string>{"CAPA", "AUTH PLAIN " + pipelined.Response, "STAT", "LIST"}));

    // Credentials that would make the AUTH line longer than 255 octets follow the go-ahead.
    const std::string longPassword(200, 'p');
    TSaslServer longLine(longPassword, true);
    EXPECT_EQ(LoginTrips(longLine, longPassword), 4);
    EXPECT_EQ(longLine.Server.commands(),
              (std::vector<std::string>{"CAPA", "AUTH PLAIN", longLine.Response, "STAT", "LIST"}));

    // Without PIPELINING every command waits for the answer before it.
    TSaslServer serial("secret", false);
    EXPECT_EQ(LoginTrips(serial, "secret"), 5);
    EXPECT_EQ(serial.Server.commands(),
              (std::vector<std::string>{"CAPA", "AUTH PLAIN " + serial.Response, "STAT", "LIST"}));
}

} // namespace
