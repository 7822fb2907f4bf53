// The POP3 session against servers that stall, drop, trickle or answer garbage, the
// session's header and log helpers, and the monitor's whole pass against a mailbox server
// that fails at each command in each way (one table of fault cases).
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QKeyEvent>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <memory>

#include "common/globals.h"
#include "common/names.h"
#include "common/records.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/engine/popinterface.h"
#include "korrind/popview.h"
#include "support/fakeserver.h"
#include "support/fixtures.h"
#include "support/testenv.h"
#include "tests/korrind/monitortestwindow.h"

namespace {

const char *const Top1 = "+OK\r\nFrom: \"Ann\" <ann@example.org>\r\nSubject: first\r\n"
                         "Date: Mon, 07 Dec 2026 09:15:00 +0000\r\n\r\n.\r\n";
const char *const Top2 = "+OK\r\nFrom: bob@example.org\r\nSubject: =?UTF-8?Q?s=C3=A9cond?=\r\n"
                         "\r\n.\r\n";
const char *const Top3 = "+OK\r\nFrom: cy@example.org\r\nSubject: third\r\n\r\n.\r\n";

// A small mailbox of three messages; tests override single commands.
void ScriptMailbox(FakeServer &server, bool pipelining)
{
    server.On("CAPA", pipelining ? "+OK\r\nUSER\r\nPIPELINING\r\n.\r\n" : "-ERR no CAPA");
    server.On("USER", "+OK");
    server.On("PASS", "+OK logged in");
    server.On("STAT", "+OK 3 300");
    server.On("LIST", "+OK\r\n1 100\r\n2 100\r\n3 100\r\n.\r\n");
    server.On("TOP 1", Top1);
    server.On("TOP 2", Top2);
    server.On("TOP 3", Top3);
    server.On("RETR 1", "+OK\r\nSubject: first\r\n\r\n..dotted\r\nbody\r\n.\r\n");
    server.On("QUIT", "+OK bye");
}

// A minimal SOCKS5 relay (no authentication, CONNECT only) that records its tunnels.
class Socks5Relay
{
public:
    int tunnels = 0;
    std::string lastTarget;

    Socks5Relay()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, &server, [this] { Accept(); });
    }
    int port() const { return server.serverPort(); }

private:
    struct Tunnel
    {
        QTcpSocket *client = nullptr;
        QTcpSocket *target = nullptr;
        QByteArray buffer;
        int stage = 0; // 0 greeting, 1 request, 2 relaying
    };
    QTcpServer server;

    void Accept()
    {
        while (QTcpSocket *client = server.nextPendingConnection()) {
            auto tunnel = std::make_shared<Tunnel>();
            tunnel->client = client;
            QObject::connect(client, &QTcpSocket::readyRead, client,
                             [this, tunnel] { Read(tunnel); });
        }
    }
    void Read(const std::shared_ptr<Tunnel> &t)
    {
        if (t->stage == 2) {
            t->target->write(t->client->readAll());
            return;
        }
        t->buffer += t->client->readAll();
        const auto byte = [&t](int i) { return static_cast<unsigned char>(t->buffer[i]); };
        if (t->stage == 0) {
            if (t->buffer.size() < 2 || t->buffer.size() < 2 + byte(1))
                return;
            t->buffer.remove(0, 2 + byte(1));
            t->client->write("\x05\x00", 2);
            t->stage = 1;
        }
        if (t->buffer.size() < 5)
            return;
        QString host;
        int at = 0;
        if (byte(3) == 1 && t->buffer.size() >= 10) {
            host = QHostAddress((byte(4) << 24) | (byte(5) << 16) | (byte(6) << 8) | byte(7))
                       .toString();
            at = 8;
        } else if (byte(3) == 3 && t->buffer.size() >= 7 + byte(4)) {
            host = QString::fromLatin1(t->buffer.mid(5, byte(4)));
            at = 5 + byte(4);
        } else {
            return;
        }
        quint16 port = static_cast<quint16>((byte(at) << 8) | byte(at + 1));
        t->buffer.remove(0, at + 2);
        ++tunnels;
        lastTarget = host.toStdString() + ":" + std::to_string(port);
        t->stage = 2;
        t->target = new QTcpSocket(t->client);
        QObject::connect(t->target, &QTcpSocket::connected, t->target, [t] {
            t->client->write("\x05\x00\x00\x01\x00\x00\x00\x00\x00\x00", 10);
            t->target->write(t->buffer);
        });
        QObject::connect(t->target, &QTcpSocket::readyRead, t->target,
                         [t] { t->client->write(t->target->readAll()); });
        QObject::connect(t->target, &QTcpSocket::disconnected, t->client,
                         [t] { t->client->disconnectFromHost(); });
        QObject::connect(t->client, &QTcpSocket::disconnected, t->target,
                         [t] { t->target->disconnectFromHost(); });
        t->target->connectToHost(host, port);
    }
};

class Pop3Faults : public ::testing::Test
{
protected:
    TUtils utils;
    uint16_t level = 3;
    TPop3 pop3{&level};
    FakeServer server;
    std::vector<std::string> status;

    QByteArray certificates = qgetenv("SSL_CERT_FILE");

    void SetUp() override
    {
        // The fake servers speak clear text: no certificate file to read at each connect.
        qunsetenv("SSL_CERT_FILE");
        Utils = &utils;
        utils.LogFileName = testenv::MakeScratchDir("pop3log") + "/Debug.txt";
        pop3.Host = "127.0.0.1";
        pop3.Port = server.port();
        pop3.User = "user";
        pop3.Password = "secret";
        pop3.StatusBar = [this](const std::string &text) { status.push_back(text); };
    }
    void TearDown() override
    {
        pop3.Abort();
        TUtils::ResetTerminating();
        Utils = nullptr;
        if (!certificates.isEmpty())
            qputenv("SSL_CERT_FILE", certificates);
    }
    std::string DebugLog() { return testenv::ReadFile(utils.LogFileName); }
    bool Logged(const std::string &text) { return DebugLog().find(text) != std::string::npos; }
    // A cancel hook that answers true once ms have passed since the first wait began.
    void CancelAfter(int ms)
    {
        auto clock = std::make_shared<QElapsedTimer>();
        pop3.CancelCheck = [clock, ms](bool reset) {
            if (!clock->isValid())
                clock->start();
            return !reset && clock->elapsed() >= ms;
        };
    }
};

} // namespace

TEST_F(Pop3Faults, StalledServerGetsFiveAttemptsWithGrowingTimeOuts)
{
    server.Greeting(FakeServer::Stall());
    // The session counts as busy through the whole loop, pauses between attempts included.
    int waits = 0, busyWaits = 0;
    pop3.CancelCheck = [&](bool reset) {
        ++waits;
        busyWaits += pop3.IsConnected() ? 1 : 0;
        return false;
    };
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(pop3.Connect());
    EXPECT_GT(waits, 10);
    EXPECT_EQ(busyWaits, waits);
    qint64 elapsed = clock.elapsed();
    EXPECT_EQ(server.connectionCount(), 5);
    EXPECT_EQ(pop3.LastError, -1);
    // 1 + 2 + 3 + 4 + 5 seconds of waiting plus the pauses between attempts.
    EXPECT_GE(elapsed, 15000);
    EXPECT_LT(elapsed, 25000);
    std::string log = DebugLog();
    size_t at = 0;
    for (int count = 2; count <= 6; ++count) {
        at = log.find("Connect Timeout: user Cnt: " + std::to_string(count), at);
        EXPECT_NE(at, std::string::npos) << count << "\n" << log;
    }
    EXPECT_NE(log.find("Connect Timeout: user\n"), std::string::npos);
    EXPECT_FALSE(pop3.IsConnected());
}

TEST_F(Pop3Faults, EscAndQuitEndEveryWaitAtOnce)
{
    ScriptMailbox(server, false);
    server.Greeting(std::vector<FakeServer::Reply>{FakeServer::Stall(), "+OK ready"});
    pop3.TimeoutStep = 10000;
    QElapsedTimer clock;

    clock.start();
    CancelAfter(300);
    EXPECT_FALSE(pop3.Connect());
    EXPECT_LT(clock.elapsed(), 2000);
    EXPECT_EQ(server.connectionCount(), 1);
    EXPECT_EQ(pop3.LastError, 0);

    pop3.CancelCheck = nullptr;
    ASSERT_TRUE(pop3.Connect()) << DebugLog();
    server.StallOn("TOP 1");
    server.StallOn("TOP 2");
    server.StallOn("RETR 1");
    for (bool message : {false, true}) {
        CancelAfter(300);
        clock.restart();
        EXPECT_FALSE(message ? pop3.GetMessage(1) : pop3.GetSummary(1));
        EXPECT_LT(clock.elapsed(), 2000);
    }

    pop3.CancelCheck = nullptr;
    QTimer::singleShot(300, [] { TUtils::Terminate(); });
    clock.restart();
    EXPECT_FALSE(pop3.GetSummary(2));
    EXPECT_FALSE(pop3.Disconnect()); // drops the connection
    EXPECT_FALSE(pop3.IsConnected());
    EXPECT_FALSE(pop3.Connect());
    EXPECT_LT(clock.elapsed(), 2000);
}

TEST_F(Pop3Faults, ConnectionDroppedMidMessageAnswersFalseAndReconnects)
{
    ScriptMailbox(server, false);
    server.On("RETR 1", FakeServer::DropAfter("+OK\r\nSubject: first\r\n\r\npartial li"));
    pop3.Tries = 2;
    ASSERT_TRUE(pop3.Connect());
    EXPECT_FALSE(pop3.GetMessage(1));
    EXPECT_EQ(pop3.LastError, -1);
    EXPECT_EQ(server.connectionCount(), 2); // the retry reconnected first
    EXPECT_TRUE(Logged("Connection Required to: 127.0.0.1 for: user"));

    // A drop during one summary of a batch: the rest comes one by one after a reconnect.
    ASSERT_TRUE(pop3.Connect());
    server.On("TOP 2", std::vector<FakeServer::Reply>{FakeServer::Close(), Top2});
    std::vector<TMailSummary> summaries;
    ASSERT_TRUE(pop3.GetSummaries(1, 3, summaries));
    ASSERT_EQ(summaries.size(), 3u);
    EXPECT_EQ(summaries[0].From, "Ann <ann@example.org>");
    EXPECT_EQ(summaries[1].Subject, "sécond");
    EXPECT_EQ(summaries[2].Subject, "third");
    EXPECT_EQ(pop3.Summary.Subject, "third");
}

TEST_F(Pop3Faults, GarbageAndOverlongRepliesAreErrors)
{
    pop3.Tries = 1;
    server.Greeting(std::vector<FakeServer::Reply>{FakeServer::Garbage(), "+OK ready"});
    EXPECT_FALSE(pop3.Connect());
    EXPECT_TRUE(Logged("garbage")) << DebugLog();

    ScriptMailbox(server, false);
    server.On("STAT", std::vector<FakeServer::Reply>{"+OK lots", "+OK 3 300"});
    EXPECT_FALSE(pop3.Connect());
    EXPECT_TRUE(Logged("no message count")) << DebugLog();

    // Replies smuggled in behind the STLS answer end the session before any TLS.
    server.On("CAPA", std::vector<FakeServer::Reply>{"+OK\r\nSTLS\r\n.\r\n", "-ERR"});
    server.On("STLS", "+OK begin TLS\r\n+OK forged\r\n");
    EXPECT_FALSE(pop3.Connect());
    EXPECT_TRUE(Logged("clear text after STLS")) << DebugLog();

    ASSERT_TRUE(pop3.Connect());
    server.On("TOP 1", FakeServer::Garbage());
    server.On("TOP 2", FakeServer::Endless());
    EXPECT_FALSE(pop3.GetSummary(1));
    EXPECT_FALSE(pop3.IsConnected()); // the reply stream can no longer be trusted
    pop3.Tries = 2;
    EXPECT_FALSE(pop3.GetSummary(2));
    EXPECT_TRUE(Logged("longer than")) << DebugLog();

    // A message over the size limit ends its retrieval instead of growing without bound.
    pop3.Component()->MaxReplyBytes = 1000;
    server.On("RETR 1",
              "+OK\r\n" + std::string(200, 'a') + "\r\n" + std::string(900, 'b') + "\r\n.\r\n");
    pop3.Tries = 1;
    ASSERT_TRUE(pop3.Connect());
    EXPECT_FALSE(pop3.GetMessage(1));
    EXPECT_TRUE(Logged("larger than 1000 bytes")) << DebugLog();
}

TEST_F(Pop3Faults, SlowSummaryGivesUpAfterOneSecondPerAttemptWithoutTimeOutError)
{
    ScriptMailbox(server, false);
    server.On("TOP 1", FakeServer::Trickle(Top1, 200)); // far more than a second
    pop3.Tries = 1;
    pop3.TimeoutStep = 30000;
    ASSERT_TRUE(pop3.Connect());
    QElapsedTimer clock;
    clock.start();
    EXPECT_FALSE(pop3.GetSummary(1));
    EXPECT_GE(clock.elapsed(), 1000);
    EXPECT_LT(clock.elapsed(), 2500);
    EXPECT_EQ(pop3.LastError, 0);
}

TEST_F(Pop3Faults, MessageLinesAndBatchWithoutPipelining)
{
    EXPECT_EQ(pop3.MessageCount(), -1);
    ScriptMailbox(server, false);
    ASSERT_TRUE(pop3.Connect());
    EXPECT_EQ(pop3.MessageCount(), 3);
    ASSERT_TRUE(pop3.GetMessage(1));
    EXPECT_EQ(pop3.RawLines.Items(),
              (std::vector<std::string>{"Subject: first", "", ".dotted", "body"}));
    std::vector<TMailSummary> summaries;
    ASSERT_TRUE(pop3.GetSummaries(1, 3, summaries));
    ASSERT_EQ(summaries.size(), 3u);
    EXPECT_EQ(summaries[1].Subject, "sécond");
    EXPECT_EQ(summaries[0].Size, 100);
    EXPECT_EQ(summaries[0].Date, TUtils::NormalizeMailDate("Mon, 07 Dec 2026 09:15:00 +0000"));
}

TEST_F(Pop3Faults, ProxyCarriesTheSessionWhenSet)
{
    ScriptMailbox(server, true);
    Socks5Relay relay;
    pop3.SetProxy("127.0.0.1", static_cast<uint16_t>(relay.port()));
    ASSERT_TRUE(pop3.Connect()) << DebugLog();
    ASSERT_TRUE(pop3.GetSummary(1));
    EXPECT_EQ(pop3.Summary.Subject, "first");
    pop3.Disconnect();
    EXPECT_EQ(relay.tunnels, 1);
    EXPECT_EQ(relay.lastTarget, "127.0.0.1:" + std::to_string(server.port()));

    pop3.SetProxy("127.0.0.1:" + std::to_string(relay.port()), 0); // port in the host
    ASSERT_TRUE(pop3.Connect()) << DebugLog();
    pop3.Disconnect();
    EXPECT_EQ(relay.tunnels, 2);

    pop3.SetProxy("", 0);
    ASSERT_TRUE(pop3.Connect());
    pop3.Disconnect();
    EXPECT_EQ(relay.tunnels, 2);
}

TEST_F(Pop3Faults, LogLevelsDecideWhatIsShown)
{
    ScriptMailbox(server, false);
    level = 0;
    ASSERT_TRUE(pop3.Connect());
    ASSERT_TRUE(pop3.GetMessage(1));
    pop3.Disconnect();
    // Connected/Status/Success lines are levels 3 and 4: neither shown nor logged.
    EXPECT_FALSE(Logged("Connected to:"));
    EXPECT_FALSE(Logged("Success:"));
    bool progress = false;
    for (const std::string &text : status) {
        EXPECT_EQ(text.find("Connected to:"), std::string::npos);
        progress = progress || text.rfind("Received ", 0) == 0;
    }
    EXPECT_TRUE(progress); // progress reaches the status bar at any level

    level = 4;
    pop3.Log(4, "%s", std::string(600, 'x').c_str());
    EXPECT_EQ(pop3.LogText.size(), TPop3::MaxLogText);
    EXPECT_EQ(status.back(), pop3.LogText);
    pop3.Log(5, "hidden");
    EXPECT_EQ(pop3.LogText, "hidden");
    EXPECT_NE(status.back(), "hidden");
}

TEST(Pop3HeaderValue, FirstLineWithThePrefixGivesItsTrimmedUnquotedValue)
{
    TPop3 pop3;
    std::vector<std::string> lines = {
        "X-Subject: Hi",
        "subject:   Hello  ",
        "Subject: second",
        "From: \"Doe, Jane\" <jane@example.org>",
        "Received: from a by b;",
        "\tMon, 07 Dec 2026",
        "Date:" + std::string(600, 'd'),
    };
    EXPECT_EQ(pop3.HeaderValue(lines, "Subject:"), "Hello");
    EXPECT_EQ(pop3.HeaderValue(lines, "FROM:"), "Doe, Jane <jane@example.org>");
    EXPECT_EQ(pop3.HeaderValue(lines, "received"), "from a by b;"); // no continuation
    EXPECT_EQ(pop3.HeaderValue(lines, "Date:").size(), TPop3::MaxHeaderValue);
    EXPECT_EQ(pop3.HeaderValue(lines, "To:"), "");
    EXPECT_EQ(pop3.HeaderValue(std::vector<std::string>{"", "Subject: body"}, "Subject:"),
              "body"); // the caller hands header lines; the scan does not stop at a blank
}

TEST(Pop3ServerAddress, PortAndTlsFromTheServerText)
{
    auto check = [](const char *text, int defaultPort, const char *host, int port, bool tls) {
        TServerAddress address = ParseServerAddress(text, defaultPort);
        EXPECT_EQ(address.Host, host) << text;
        EXPECT_EQ(address.Port, port) << text;
        EXPECT_EQ(address.ImplicitTls, tls) << text;
    };
    check("mail.example.org", 110, "mail.example.org", 110, false);
    check(" mail.example.org:2110 ", 110, "mail.example.org", 2110, false);
    check("mail.example.org", 995, "mail.example.org", 995, true);
    check("pop3s://mail.example.org", 110, "mail.example.org", 995, true);
    check("POP3S://mail.example.org:4995/", 110, "mail.example.org", 4995, true);
    check("pop3://mail.example.org:995", 110, "mail.example.org", 995, true);
    check("[::1]:2110", 110, "::1", 2110, false);
    check("::1", 110, "::1", 110, false);
    check("host:notaport", 110, "host", 110, false);
}

// ---- the fault campaign ----------------------------------------------------------------------
//
// Two mailboxes that keep no mail on the server, checked in one pass: the first on a server
// with a fault armed at one command, the second on a sound one. A rule saves "alpha" to the
// inbox, another saves and deletes "beta"; "gamma" matches nothing. The first pass runs with
// the fault, the second without. Whatever the fault, the pass reaches the second mailbox, no
// message leaves a server without its copy, no copy is written twice, and after the sound
// pass everything the rules asked for is done exactly once.

namespace {

using Fault = FakePop3Mailbox::Fault;

struct FaultCase
{
    std::string name;
    Fault fault;
    std::string command;
};

void PrintTo(const FaultCase &fault, std::ostream *out)
{
    *out << fault.name;
}

std::vector<FaultCase> FaultCases()
{
    std::vector<FaultCase> cases;
    auto add = [&cases](const char *kind, Fault fault, std::vector<std::string> commands) {
        for (const std::string &command : commands)
            cases.push_back({std::string(kind) + "At" + command, fault, command});
    };
    const std::vector<std::string> every = {"USER", "PASS", "APOP", "STAT", "LIST",
                                            "UIDL", "TOP",  "RETR", "DELE", "QUIT"};
    add("Drop", Fault::Drop, every); // at QUIT: lost before the commit
    add("DropMidReply", Fault::DropMidReply, every);
    add("DropAfterReply", Fault::DropAfterReply, every);
    add("Stall", Fault::Stall, every);
    add("Trickle", Fault::Trickle, {"LIST", "TOP", "RETR"});
    add("OverlongLine", Fault::OverlongLine, {"STAT", "LIST", "TOP", "RETR"});
    add("Unterminated", Fault::Unterminated, {"STAT", "LIST", "TOP", "RETR", "DELE"});
    add("Garbage", Fault::Garbage, {"PASS", "TOP", "DELE"});
    add("Malformed", Fault::MalformedStat, {"STAT"});
    add("Huge", Fault::HugeStat, {"STAT"});
    add("QuitLostAfterCommit", Fault::QuitLostAfterCommit, {"QUIT"});
    return cases;
}

std::string Message(const std::string &from, const std::string &subject)
{
    fixtures::MessageFields fields;
    fields.from = from;
    fields.subject = subject;
    return fixtures::BuildMessage(fields);
}

bool Contains(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

// A monitor with a stand-in window and settings for short waits: 200 ms of silence ends a
// reply, two attempts per connect or retrieval.
class MonitorAgainstFakeServers
{
public:
    QByteArray certificates;
    TMonitorTestWindow window;
    std::unique_ptr<TCorvexMonitor> monitor;

    MonitorAgainstFakeServers() : certificates(qgetenv("SSL_CERT_FILE"))
    {
        // The fake servers speak clear text: no certificate file to read at each connect.
        qunsetenv("SSL_CERT_FILE");
        monitor = std::make_unique<TCorvexMonitor>(window);
        monitor->PauseMs = 0;
        EXPECT_TRUE(monitor->Store.LoadSettings(false));
        Utils->LogFileName = testenv::MakeScratchDir("log") + "/Debug.txt";
        TConfigRecord &config = Globals->Config;
        config.TimeoutMs = 200;
        config.NewMailNotification = 1;
        Mail->Tries = 2;
    }
    ~MonitorAgainstFakeServers()
    {
        TUtils::ResetTerminating();
        if (!certificates.isEmpty())
            qputenv("SSL_CERT_FILE", certificates);
    }

    // A mailbox that keeps no mail on the server ("Del" is "Yes"); answers its inbox.
    std::string AddMailbox(const std::string &user, int port)
    {
        TMailBoxRecord record{};
        SetText(record.UserId, user);
        SetText(record.MailServer, "127.0.0.1:" + std::to_string(port));
        SetText(record.Password, FakePop3Mailbox::Password);
        std::string inbox = testenv::MakeScratchDir("inbox-" + user);
        SetText(record.InboxPath, inbox);
        record.LeaveOnServer = 0;
        record.Active = 1;
        monitor->Store.Mailboxes.push_back(MailboxRow(record, false));
        monitor->Store.SetPassword(user, GetText(record.MailServer), FakePop3Mailbox::Password);
        monitor->Store.Summary.push_back(SummaryRow(user));
        return inbox;
    }
    void Rules(const std::string &lines)
    {
        testenv::WriteFile(GetText(Globals->Config.RulesPath) + "/" + names::MasterPriorityFile,
                           lines);
    }
    std::string Log() const { return testenv::ReadFile(Utils->LogFileName); }
};

// Saved copies in a folder that hold a subject line.
int CopiesOf(const std::string &folder, const std::string &subject)
{
    TStringList files;
    Utils->ListFiles(folder + "/*.eml", fileattr::AnyFile, files, false);
    int copies = 0;
    for (const std::string &name : files)
        copies += Contains(testenv::ReadFile(folder + "/" + name), "Subject: " + subject) ? 1 : 0;
    return copies;
}

class Pop3FaultCampaign : public ::testing::TestWithParam<FaultCase>,
                          public MonitorAgainstFakeServers
{
protected:
    const std::vector<std::string> subjects = {"alpha", "beta", "gamma"};

    void Fill(FakePop3Mailbox &server)
    {
        for (const std::string &subject : subjects)
            server.Add(Message(subject + "@example.org", subject));
    }
    // Every message a server removed has exactly one copy; no message has two.
    void ExpectNothingLostOrDoubled(const FakePop3Mailbox &server, const std::string &inbox,
                                    const char *when)
    {
        for (const std::string &subject : subjects)
            EXPECT_LE(CopiesOf(inbox, subject), 1) << subject << " " << when;
        for (const std::string &message : server.removed()) {
            std::string subject = message.substr(message.find("Subject: ") + 9);
            subject = subject.substr(0, subject.find("\r\n"));
            EXPECT_EQ(CopiesOf(inbox, subject), 1) << subject << " lost " << when;
        }
    }
    // What the rules ask for, done once: alpha and beta saved and gone, gamma left alone.
    void ExpectRulesDone(const FakePop3Mailbox &server, const std::string &inbox, const char *which)
    {
        EXPECT_EQ(CopiesOf(inbox, "alpha"), 1) << which;
        EXPECT_EQ(CopiesOf(inbox, "beta"), 1) << which;
        EXPECT_EQ(CopiesOf(inbox, "gamma"), 0) << which;
        ASSERT_EQ(server.messages().size(), 1u) << which;
        EXPECT_TRUE(Contains(server.messages()[0], "Subject: gamma")) << which;
    }
};

TEST_P(Pop3FaultCampaign, PassMovesOnLosesNothingAndDoesNothingTwice)
{
    const FaultCase &fault = GetParam();
    FakePop3Mailbox faulty(fault.command == "APOP");
    FakePop3Mailbox sound;
    Fill(faulty);
    Fill(sound);
    faulty.TrickleMs = 60;
    faulty.Arm(fault.fault, fault.command);
    Rules("|alpha;||0|0|00120||100|\n|beta;||0|0|00120||110|\n");
    const std::string faultyInbox = AddMailbox("faulty", faulty.port());
    const std::string soundInbox = AddMailbox("sound", sound.port());

    QElapsedTimer clock;
    clock.start();
    monitor->CheckMail(-1);
    EXPECT_LT(clock.elapsed(), 20000) << Log();
    ExpectNothingLostOrDoubled(faulty, faultyInbox, "after the faulty pass");
    ExpectRulesDone(sound, soundInbox, "the sound mailbox after the faulty pass");
    EXPECT_FALSE(Mail->IsConnected());

    faulty.Disarm();
    monitor->CheckMail(-1);
    ExpectNothingLostOrDoubled(faulty, faultyInbox, "after the sound pass");
    ExpectRulesDone(faulty, faultyInbox, "the faulty mailbox after the sound pass");
    ExpectRulesDone(sound, soundInbox, "the sound mailbox after both passes");
    monitor->CheckMail(-1);
    ExpectRulesDone(faulty, faultyInbox, "the faulty mailbox after a third pass");
}

INSTANTIATE_TEST_SUITE_P(Faults, Pop3FaultCampaign, ::testing::ValuesIn(FaultCases()),
                         [](const ::testing::TestParamInfo<FaultCase> &info) {
                             return info.param.name;
                         });

// A header read that never completes, whether of the newest summary the Summary row shows or
// of the summaries the filter reads after it, marks the row as timed out instead of showing
// the mailbox empty or checked. Silence ends a reply only after more than the one attempt's
// wait for a summary, so the session itself does not call the read a time-out.
class UnfinishedHeaderRead : public ::testing::Test, public MonitorAgainstFakeServers
{
};

TEST_F(UnfinishedHeaderRead, MarksTheRowTimedOut)
{
    FakePop3Mailbox server;
    for (const char *subject : {"alpha", "beta", "gamma"})
        server.Add(Message(std::string(subject) + "@example.org", subject));
    AddMailbox("slow", server.port());
    Globals->Config.TimeoutMs = 1500;
    Mail->Tries = 1;
    const TListRow &row = monitor->Store.Summary[0];
    // The first case spares the newest summary and strikes at the filter's batch.
    const std::vector<std::pair<Fault, int>> cases = {{Fault::Stall, 1},
                                                      {Fault::Stall, 0},
                                                      {Fault::Unterminated, 0},
                                                      {Fault::Trickle, 0},
                                                      {Fault::OverlongLine, 0}};
    for (const auto &[fault, spare] : cases) {
        SCOPED_TRACE(testing::Message() << "fault " << int(fault) << " spare " << spare);
        server.Arm(fault, "TOP", spare);
        monitor->CheckMail(-1);
        EXPECT_EQ(row.Cell(scFrom), monitortext::TimedOut);
        EXPECT_EQ(row.Cell(scMsgs), "0");
        EXPECT_EQ(row.ImageIndex, siTimedOut);
        server.Disarm();
        monitor->CheckMail(-1);
        EXPECT_EQ(row.Cell(scMsgs), "3");
        EXPECT_NE(row.ImageIndex, siTimedOut);
    }
}

// A server that claims 200,000 messages: the pass takes them all in, stays responsive while
// it fetches their summaries, and Esc, pressed halfway through them, ends it at once.
class HugeMailbox : public ::testing::Test, public MonitorAgainstFakeServers
{
};

TEST_F(HugeMailbox, PassStaysResponsiveAndEscEndsIt)
{
    constexpr int Count = 200000;
    // The event loop's pauses count from the thousandth summary asked for: taking in the
    // listing of 200,000 messages before is one piece of work, longer on a slower machine.
    constexpr int GapsFrom = 1000;
    constexpr int TopsBeforeEsc = Count / 2;
    FakePop3Mailbox server;
    for (int i = 0; i < Count; ++i)
        server.Add(Message("bulk@example.org", "bulk " + std::to_string(i)));
    Globals->Config.TimeoutMs = 5000;
    AddMailbox("huge", server.port());

    QElapsedTimer sinceTick;
    qint64 longestGap = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceTick.restart()); });
    QElapsedTimer sinceEsc;
    QObject target;
    int tops = 0;
    server.server().OnCommand([&](int, const std::string &line) {
        if (line.rfind("TOP ", 0) != 0)
            return;
        if (++tops == GapsFrom) {
            sinceTick.start();
            ticker.start(20);
        } else if (tops == TopsBeforeEsc) {
            ticker.stop();
            longestGap = std::max(longestGap, sinceTick.elapsed());
            sinceEsc.start();
            QKeyEvent release(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier);
            QCoreApplication::sendEvent(&target, &release);
        }
    });
    monitor->CheckMail(-1);

    ASSERT_TRUE(sinceEsc.isValid()) << "the pass asked for only " << tops << " summaries";
    EXPECT_LT(sinceEsc.elapsed(), 1500);
    EXPECT_LT(tops, Count) << "the pass went on after Esc";
    EXPECT_LT(longestGap, 1000);
    EXPECT_EQ(monitor->Store.Summary[0].Cell(scMsgs), std::to_string(Count));
    EXPECT_EQ(server.messages().size(), static_cast<size_t>(Count));
}

} // namespace
