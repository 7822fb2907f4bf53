// The mail sender against the real SMTP server (STARTTLS, SMTPS, plain) and against a scripted
// fake server for faults the real one cannot show.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <cstdlib>

#include "common/globals.h"
#include "common/smtpinterface.h"
#include "common/text.h"
#include "common/tlsservers.h"
#include "common/utils.h"
#include "support/fakeserver.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

std::vector<std::string> Lines(const std::string &crlfText)
{
    TStringList list;
    list.SetText(crlfText);
    return list.Items();
}

std::string BodyOf(const std::string &raw)
{
    std::size_t end = raw.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : raw.substr(end + 4);
}

std::string HeaderOf(const std::string &raw)
{
    return raw.substr(0, raw.find("\r\n\r\n") + 2);
}

TConfigRecord Settings(const std::string &server, const std::string &user = "",
                       const std::string &password = "")
{
    TConfigRecord config{};
    SetText(config.SmtpServer, server);
    SetText(config.SmtpUserId, user);
    SetText(config.SmtpPassword, password);
    SetText(config.SmtpUserName, "Corvex Monitor");
    return config;
}

// A data root of its own, for the list of servers known to speak TLS.
class TTlsDataRoot
{
public:
    TTlsDataRoot()
    {
        globals.DataRoot = testenv::MakeScratchDir("tlsroot");
        Globals = &globals;
    }
    ~TTlsDataRoot() { Globals = nullptr; }

private:
    TGlobals globals;
};

class SmtpFuncTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Utils = &utils;
        TUtils::ResetTerminating();
        if (testenv::FixturesAvailable())
            setenv("SSL_CERT_FILE", fixtures::CaFile().c_str(), 1);
        sender.DebugLevelRef = &level;
    }
    void TearDown() override { Utils = nullptr; }

    void Prepare(const std::string &recipient, const std::vector<std::string> &text,
                 const std::string &subject = "Test message")
    {
        sender.Outgoing.Sender = "box@corvex.test";
        sender.Outgoing.Date = TUtils::TimeStamp();
        sender.Outgoing.Subject = subject;
        sender.Outgoing.Recipients.Assign({recipient});
        sender.Outgoing.Text.Assign(text);
    }

    TConfigRecord StartTls(const std::string &password = "")
    {
        fixtures::SmtpServer smtp = fixtures::Smtp();
        return Settings(smtp.host + ":" + std::to_string(smtp.port), smtp.user,
                        password.empty() ? smtp.password : password);
    }

    TUtils utils;
    uint16_t level = 4;
    TSMTPFunc sender;
};

// ---- header separation and phone text (no server) -----------------------------------------

TEST(SmtpHeaderSeparation, PlainAndMultipartHeadersEndAtTheirEmptyLine)
{
    std::vector<std::string> plain = {"From: a@b", "Subject: s", "", "body 1", "", "body 2"};
    TStringList header;
    EXPECT_EQ(StoredHeaderLineCount(plain, &header), 2);
    EXPECT_EQ(header.Items(), (std::vector<std::string>{"From: a@b", "Subject: s"}));

    std::vector<std::string> multipart = {"Subject: s",
                                          "Content-Type: multipart/mixed;",
                                          "\tBOUNDARY=\"xx\"",
                                          "",
                                          "--xx",
                                          "Content-Type: text/plain",
                                          "",
                                          "text"};
    EXPECT_EQ(StoredHeaderLineCount(multipart, &header), 6);
    EXPECT_EQ(header.Count(), 6);
    EXPECT_EQ(header[5], "Content-Type: text/plain");

    // A text without an empty line is all header.
    EXPECT_EQ(StoredHeaderLineCount({"a", "b"}), 2);
}

TEST(SmtpHeaderSeparation, PhoneTextJoinsTheBodyWithoutSeparators)
{
    std::vector<std::string> message = {"From: x@y", "Subject: Hi", "", "a", "b"};
    EXPECT_EQ(TSMTPFunc::PhoneText(message), "ab");
    EXPECT_EQ(Trim("Hi " + TSMTPFunc::PhoneText(message)).substr(0, 120), "Hi ab");
    EXPECT_EQ(TSMTPFunc::PhoneText(std::vector<std::string>{"Only: header"}), "");
}

// ---- real server ------------------------------------------------------------------------

TEST_F(SmtpFuncTest, SendPlainOverStartTlsWithLoginReachesTheServer)
{
    REQUIRE_FIXTURES();
    std::string to = fixtures::UniqueAddress("plain");
    Prepare(to, {"Hi ab"}, "Phone text");
    ASSERT_TRUE(sender.SendPlain(StartTls())) << sender.LastProblem;
    EXPECT_EQ(sender.LastResult, smtpresult::Ok);

    auto got = fixtures::WaitForMessagesTo(to, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].tls);
    EXPECT_EQ(got[0].authUser, fixtures::Smtp().user);
    EXPECT_EQ(got[0].mailFrom, "box@corvex.test");
    EXPECT_EQ(BodyOf(got[0].raw), "Hi ab\r\n");
    std::string header = HeaderOf(got[0].raw);
    EXPECT_NE(header.find("Subject: Phone text\r\n"), std::string::npos);
    EXPECT_NE(header.find("From: \"Corvex Monitor\" <box@corvex.test>\r\n"), std::string::npos);
    EXPECT_NE(header.find("charset=\"us-ascii\""), std::string::npos);
    // A time stamp is no mail date: the header carries a real one.
    EXPECT_EQ(header.find(sender.Outgoing.Date), std::string::npos);
}

TEST_F(SmtpFuncTest, ImplicitTlsVerifiesTheServerCertificate)
{
    REQUIRE_FIXTURES();
    fixtures::SmtpServer smtp = fixtures::Smtp();
    std::string server = "smtps://" + smtp.host + ":" + std::to_string(smtp.smtpsPort);
    std::string to = fixtures::UniqueAddress("smtps");
    Prepare(to, {"over TLS"});
    ASSERT_TRUE(sender.SendPlain(Settings(server, smtp.user, smtp.password))) << sender.LastProblem;
    auto got = fixtures::WaitForMessagesTo(to, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].listener, "smtps");

    // Against an unrelated CA the connection fails and nothing is sent.
    setenv("SSL_CERT_FILE", fixtures::WrongCaFile().c_str(), 1);
    std::string refused = fixtures::UniqueAddress("smtps-wrong-ca");
    Prepare(refused, {"must not arrive"});
    EXPECT_FALSE(sender.SendPlain(Settings(server, smtp.user, smtp.password)));
    EXPECT_EQ(sender.LastResult, smtpresult::ConnectionFailed);
    EXPECT_NE(sender.LastProblem.find("Certificate"), std::string::npos) << sender.LastProblem;

    // The same for STARTTLS: no fall-back to clear text, so no login and no message.
    EXPECT_FALSE(sender.SendPlain(StartTls()));
    EXPECT_EQ(sender.LastResult, smtpresult::ConnectionFailed);
    fixtures::PumpEvents(200);
    EXPECT_TRUE(fixtures::ReceivedMessagesTo(refused).empty());
}

TEST_F(SmtpFuncTest, AddressAskingForTlsIsServedOverStartTlsAndRemembered)
{
    REQUIRE_FIXTURES();
    TTlsDataRoot root;
    fixtures::SmtpServer smtp = fixtures::Smtp();
    std::string to = fixtures::UniqueAddress("tls-required");
    Prepare(to, {"over STARTTLS"});
    const std::string server = smtp.host + ":" + std::to_string(smtp.port);
    ASSERT_TRUE(sender.SendPlain(Settings(SmtpRequireTlsScheme + server, smtp.user, smtp.password)))
        << sender.LastProblem;
    auto got = fixtures::WaitForMessagesTo(to, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].tls);
    EXPECT_TRUE(KnownTlsServer(TlsProtocolSmtp, smtp.host, smtp.port));
    EXPECT_FALSE(KnownTlsServer(TlsProtocolSmtp, smtp.host, smtp.plainPort));
}

TEST_F(SmtpFuncTest, WrongPasswordFailsAndALaterSuccessClearsTheResult)
{
    REQUIRE_FIXTURES();
    std::string to = fixtures::UniqueAddress("auth");
    Prepare(to, {"first"});
    EXPECT_FALSE(sender.SendPlain(StartTls("wrong-password")));
    EXPECT_EQ(sender.LastResult, smtpresult::AuthenticationFailed);

    Prepare(to, {"second"});
    EXPECT_TRUE(sender.SendPlain(StartTls())) << sender.LastProblem;
    EXPECT_EQ(sender.LastResult, smtpresult::Ok);
    auto got = fixtures::WaitForMessagesTo(to, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(BodyOf(got[0].raw), "second\r\n");
}

TEST_F(SmtpFuncTest, RefusedRecipientsAreReportedAndTheOthersStillServed)
{
    REQUIRE_FIXTURES();
    fixtures::SmtpServer smtp = fixtures::Smtp();
    TConfigRecord plain = Settings(smtp.host + ":" + std::to_string(smtp.plainPort));
    std::string to = fixtures::UniqueAddress("some-refused");
    std::string refused = std::string(fixtures::RefusedRecipientPrefix) + "1@corvex.test";
    Prepare(to, {"partly delivered"});
    sender.Outgoing.Recipients.Assign({refused, to});
    EXPECT_TRUE(sender.SendPlain(plain)) << sender.LastProblem;
    auto got = fixtures::WaitForMessagesTo(to, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].recipients, std::vector<std::string>{to});
    EXPECT_FALSE(got[0].tls);

    // No recipient accepted: a failure, and the sender's session is usable again afterwards.
    Prepare(refused, {"nobody"});
    EXPECT_FALSE(sender.SendPlain(plain));
    EXPECT_EQ(sender.LastResult, smtpresult::Failure);
    // No recipient at all: the header is incomplete.
    Prepare("", {"nobody"});
    EXPECT_FALSE(sender.SendPlain(plain));
    EXPECT_EQ(sender.LastResult, smtpresult::HeaderIncomplete);
}

TEST_F(SmtpFuncTest, ForwardPutsNotesFirstAndDropsTheStoredHeader)
{
    REQUIRE_FIXTURES();
    fixtures::Sample sample = fixtures::PlainSample();
    std::string to = fixtures::UniqueAddress("forward");
    Prepare(to, Lines(sample.raw), "Fwd: " + sample.subject);
    std::vector<std::string> notes = {"Note line one", "Note line two"};
    ASSERT_TRUE(sender.Forward(StartTls(), &notes)) << sender.LastProblem;

    auto got = fixtures::WaitForMessagesTo(to, 1);
    ASSERT_EQ(got.size(), 1u);
    std::string original = BodyOf(sample.raw);
    EXPECT_EQ(BodyOf(got[0].raw), "Note line one\r\nNote line two\r\n\r\n" + original);
    EXPECT_EQ(got[0].raw.find("Received: from mail.example.org"), std::string::npos);
    ASSERT_GT(sender.HeaderLines.Count(), 3);
    EXPECT_TRUE(StartsText(sender.HeaderLines[0], "From:"));
}

TEST_F(SmtpFuncTest, ForwardedMimeBodiesArriveWithTheirOwnDescription)
{
    REQUIRE_FIXTURES();
    // A multipart message without notes: the body and its boundary arrive as they were.
    fixtures::Sample multipart = fixtures::MultipartSample();
    std::string to = fixtures::UniqueAddress("forward-multipart");
    Prepare(to, Lines(multipart.raw), "Fwd: " + multipart.subject);
    ASSERT_TRUE(sender.Forward(StartTls(), nullptr)) << sender.LastProblem;
    auto got = fixtures::WaitForMessagesTo(to, 1);
    ASSERT_EQ(got.size(), 1u);
    std::string header = HeaderOf(got[0].raw);
    EXPECT_NE(header.find("Content-Type: multipart/mixed;\r\n\tboundary=\"----=_Part_outer_7d2c\""),
              std::string::npos)
        << header;
    EXPECT_EQ(header.find("text/plain"), std::string::npos);
    EXPECT_EQ(BodyOf(got[0].raw), BodyOf(multipart.raw));

    // A quoted-printable text with notes: the notes are a text part of their own, the original
    // follows with its encoding.
    fixtures::MessageFields fields;
    fields.extraHeaders = {"MIME-Version: 1.0", "Content-Type: text/plain; charset=utf-8",
                           "Content-Transfer-Encoding: quoted-printable"};
    fields.body = "un caf=C3=A9 noir\r\n";
    std::string encoded = fixtures::BuildMessage(fields);
    to = fixtures::UniqueAddress("forward-qp");
    Prepare(to, Lines(encoded), "Fwd: coffee");
    std::vector<std::string> notes = {"Forwarded by Corvex"};
    ASSERT_TRUE(sender.Forward(StartTls(), &notes)) << sender.LastProblem;
    got = fixtures::WaitForMessagesTo(to, 1);
    ASSERT_EQ(got.size(), 1u);
    header = HeaderOf(got[0].raw);
    std::size_t at = header.find("Content-Type: multipart/mixed; boundary=\"");
    ASSERT_NE(at, std::string::npos) << header;
    std::size_t open = header.find('"', at) + 1;
    std::string boundary = header.substr(open, header.find('"', open) - open);
    EXPECT_EQ(BodyOf(got[0].raw), "--" + boundary +
                                      "\r\nContent-Type: text/plain; charset=\"us-ascii\"\r\n"
                                      "Content-Transfer-Encoding: 7bit\r\n\r\n"
                                      "Forwarded by Corvex\r\n--" +
                                      boundary +
                                      "\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                      "Content-Transfer-Encoding: quoted-printable\r\n\r\n"
                                      "un caf=C3=A9 noir\r\n--" +
                                      boundary + "--\r\n");
    // The stored header is still what the forward took off.
    EXPECT_TRUE(StartsText(sender.HeaderLines[0], "From:"));
}

TEST_F(SmtpFuncTest, DotLinesAndEightBitTextSurviveTheTrip)
{
    REQUIRE_FIXTURES();
    fixtures::SmtpServer smtp = fixtures::Smtp();
    TConfigRecord plain = Settings(smtp.host + ":" + std::to_string(smtp.plainPort));
    std::vector<std::string> text = Lines(BodyOf(fixtures::DotLinesSample().raw));
    std::string to = fixtures::UniqueAddress("dots");
    Prepare(to, text);
    ASSERT_TRUE(sender.SendPlain(plain)) << sender.LastProblem;
    auto got = fixtures::WaitForMessagesTo(to, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(BodyOf(got[0].raw), JoinText(text, "\r\n") + "\r\n");

    // 8-bit text and an over-long line go out quoted-printable, never as raw bytes.
    std::string to8 = fixtures::UniqueAddress("eightbit");
    Prepare(to8,
            {"Gr\xC3\xBC\xC3\x9F"
             "e",
             std::string(1200, 'x')},
            "K\xC3\xB6ln");
    ASSERT_TRUE(sender.SendPlain(plain)) << sender.LastProblem;
    got = fixtures::WaitForMessagesTo(to8, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].raw.find("Subject: =?utf-8?B?S8O2bG4=?="), std::string::npos);
    EXPECT_NE(got[0].raw.find("quoted-printable"), std::string::npos);
    EXPECT_NE(BodyOf(got[0].raw).find("Gr=C3=BC=C3=9Fe\r\n"), std::string::npos);
    for (const std::string &line : Lines(got[0].raw))
        EXPECT_LE(line.size(), 78u);
}

// ---- fake server faults ------------------------------------------------------------------

class SmtpFaultTest : public SmtpFuncTest
{
protected:
    void SetUp() override
    {
        SmtpFuncTest::SetUp();
        fake.Greeting("220 fake ESMTP");
        fake.Default("500 unknown command");
        fake.On("EHLO", "250-fake\r\n250 AUTH PLAIN LOGIN");
        fake.On("MAIL", "250 ok");
        fake.On("RCPT", "250 ok");
        fake.On("DATA", "354 go ahead");
        fake.On(".", "250 queued");
        fake.On("RSET", "250 ok");
        fake.On("QUIT", "221 bye");
        Prepare("someone@corvex.test", {"text"});
    }
    TConfigRecord Fake(const std::string &user = "")
    {
        return Settings("127.0.0.1:" + std::to_string(fake.port()), user, "secret");
    }
    bool Sent() const
    {
        for (const std::string &command : fake.commands())
            if (StartsText(command, "MAIL"))
                return true;
        return false;
    }
    FakeServer fake;
};

TEST_F(SmtpFaultTest, LoginRefusedWithoutEncryptionIsAClearFailure)
{
    fake.On("AUTH", "538 5.7.11 Encryption required for requested authentication mechanism");
    EXPECT_FALSE(sender.SendPlain(Fake("user")));
    EXPECT_EQ(sender.LastResult, smtpresult::AuthenticationFailed);
    EXPECT_NE(sender.LastProblem.find("encryption"), std::string::npos) << sender.LastProblem;
    EXPECT_FALSE(Sent());
}

TEST_F(SmtpFaultTest, StartTlsProblemsNeverFallBackToClearText)
{
    fake.On("EHLO", "250-fake\r\n250-STARTTLS\r\n250 AUTH PLAIN");
    fake.On("STARTTLS", "454 TLS not available");
    EXPECT_FALSE(sender.SendPlain(Fake("user")));
    EXPECT_EQ(sender.LastResult, smtpresult::ConnectionFailed);

    // Clear text sent along with the go-ahead is not taken as an encrypted reply.
    fake.On("STARTTLS", "220 go ahead\r\n250 injected");
    EXPECT_FALSE(sender.SendPlain(Fake("user")));
    EXPECT_EQ(sender.LastResult, smtpresult::ConnectionFailed);
    for (const std::string &command : fake.commands())
        EXPECT_FALSE(StartsText(command, "AUTH") || StartsText(command, "MAIL")) << command;
}

// A server that offered STARTTLS once gets nothing in clear text again, nor does one whose
// address asks for TLS.
TEST_F(SmtpFaultTest, NothingInClearTextToAServerKnownToSpeakTls)
{
    TTlsDataRoot root;
    fake.On("EHLO", std::vector<FakeServer::Reply>{"250-fake\r\n250-STARTTLS\r\n250 AUTH PLAIN",
                                                   "250-fake\r\n250 AUTH PLAIN"});
    fake.On("STARTTLS", "454 TLS not available");
    EXPECT_FALSE(sender.SendPlain(Fake("user")));
    EXPECT_FALSE(sender.SendPlain(Fake("user")));
    EXPECT_EQ(sender.LastResult, smtpresult::ConnectionFailed);
    EXPECT_EQ(sender.LastProblem, "The server did not offer STARTTLS, although it did before: "
                                  "nothing is sent in clear text");

    FakeServer plain; // never offers TLS
    plain.Greeting("220 plain ESMTP");
    plain.On("EHLO", "250-plain\r\n250 AUTH PLAIN");
    plain.On("QUIT", "221 bye");
    EXPECT_FALSE(sender.SendPlain(
        Settings(SmtpRequireTlsScheme + std::string("127.0.0.1:") + std::to_string(plain.port()),
                 "user", "secret")));
    EXPECT_NE(sender.LastProblem.find("its address asks for TLS"), std::string::npos)
        << sender.LastProblem;
    for (const FakeServer *server : {&fake, &plain})
        for (const std::string &command : server->commands())
            EXPECT_TRUE(StartsText(command, "EHLO") || StartsText(command, "STARTTLS") ||
                        StartsText(command, "QUIT"))
                << command;
}

TEST_F(SmtpFaultTest, GarbageAndOverLongRepliesFailTheConnection)
{
    fake.On("EHLO", FakeServer::Garbage());
    EXPECT_FALSE(sender.SendPlain(Fake()));
    EXPECT_EQ(sender.LastResult, smtpresult::ConnectionFailed);

    fake.On("EHLO", FakeServer::Endless());
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(sender.SendPlain(Fake()));
    EXPECT_EQ(sender.LastResult, smtpresult::ConnectionFailed);
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_FALSE(Sent());
}

TEST_F(SmtpFaultTest, OldServersGetHeloAndAMissingLoginSendsWithout)
{
    fake.On("EHLO", "502 command not implemented");
    fake.On("HELO", "250 hello");
    EXPECT_TRUE(sender.SendPlain(Fake("user"))) << sender.LastProblem;
    ASSERT_FALSE(fake.data().empty());
    EXPECT_EQ(fake.data().back(), "text");
}

TEST_F(SmtpFaultTest, ConnectionDroppedDuringTheMessageFailsTheSend)
{
    fake.On(".", FakeServer::DropAfter("250-almost\r\n"));
    EXPECT_FALSE(sender.SendPlain(Fake()));
    EXPECT_EQ(sender.LastResult, smtpresult::Failure);

    // The next send starts a fresh session and succeeds.
    fake.On(".", "250 queued");
    EXPECT_TRUE(sender.SendPlain(Fake())) << sender.LastProblem;
    EXPECT_EQ(sender.LastResult, smtpresult::Ok);
}

TEST_F(SmtpFaultTest, StalledServerEndsOnEscOrTheReplyTimeout)
{
    fake.StallOn("DATA");
    bool escape = false;
    sender.CancelCheck = [&escape](bool reset) {
        if (reset)
            escape = false;
        return escape;
    };
    // A send asked for inside the wait is refused and leaves the running one alone; Esc comes
    // once the server holds back its answer to DATA.
    bool nestedResult = true;
    std::string nestedProblem;
    fake.OnAccepted([&](int) {
        nestedResult = sender.SendPlain(Fake());
        nestedProblem = sender.LastProblem;
    });
    fake.OnCommand([&escape](int, const std::string &line) {
        if (line == "DATA")
            escape = true;
    });
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(sender.SendPlain(Fake()));
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_EQ(sender.LastResult, smtpresult::Failure);
    EXPECT_EQ(sender.LastProblem, "Sending cancelled");
    EXPECT_FALSE(nestedResult);
    EXPECT_EQ(nestedProblem, "Another message is being sent");
    EXPECT_EQ(fake.connectionCount(), 1);

    fake.OnAccepted(nullptr);
    sender.CancelCheck = nullptr;
    sender.SetReplyTimeout(400);
    clock.restart();
    EXPECT_FALSE(sender.SendPlain(Fake()));
    EXPECT_LT(clock.elapsed(), 3000);
    EXPECT_EQ(sender.LastResult, smtpresult::Failure);
}

TEST_F(SmtpFaultTest, UnknownHostAndUnusableServerTextAreInvalidHosts)
{
    EXPECT_FALSE(sender.SendPlain(Settings("no-such-host.invalid")));
    EXPECT_EQ(sender.LastResult, smtpresult::InvalidHost);
    sender.LastResult = 0;
    EXPECT_FALSE(sender.SendPlain(Settings("host:99999")));
    EXPECT_EQ(sender.LastResult, smtpresult::InvalidHost);
    EXPECT_FALSE(sender.SendPlain(Settings("")));
    EXPECT_EQ(sender.LastResult, smtpresult::InvalidHost);
}

TEST_F(SmtpFaultTest, LogLinesFollowTheDebugLevel)
{
    std::vector<std::string> shown;
    sender.StatusLabel = [&shown](const std::string &text) { shown.push_back(text); };
    level = 0;
    EXPECT_TRUE(sender.SendPlain(Fake()));
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(sender.LogText, "Disconnect");

    level = 1;
    fake.On("MAIL", "550 sender refused");
    EXPECT_FALSE(sender.SendPlain(Fake()));
    EXPECT_EQ(shown, (std::vector<std::string>{"The server refused the sender box@corvex.test",
                                               "SMTP Failure"}));

    // A very long line (a long server text) is cut to the longest log line, never inside a
    // character.
    level = 4;
    std::string longLine = std::string(MaxSessionLogText - 1, 'x') + "\xC3\xA9 and more";
    sender.Log(4, "%s", longLine.c_str());
    EXPECT_EQ(sender.LogText, std::string(MaxSessionLogText - 1, 'x'));
    EXPECT_EQ(shown.back(), sender.LogText);
}

} // namespace
