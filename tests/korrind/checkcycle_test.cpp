// The check cycle with a fake clock and a stand-in window, and passes against the real POP3
// server and a stalling fake one.
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <stdexcept>

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

TMsTime LocalTime(int hour, int minute, int second)
{
    return QDateTime(QDate(2026, 12, 7), QTime(hour, minute, second)).toMSecsSinceEpoch();
}

constexpr TMsTime Second = 1000;
constexpr TMsTime Minute = 60 * Second;
constexpr TMsTime Day = 24 * 60 * Minute;

class CheckCycle : public ::testing::Test
{
protected:
    TMonitorTestWindow window;
    std::unique_ptr<TCorvexMonitor> monitor;
    TMsTime clock = LocalTime(10, 0, 0);
    std::vector<std::string> played;
    std::string logFile;

    void SetUp() override
    {
        monitor = std::make_unique<TCorvexMonitor>(window);
        monitor->Now = [this] { return clock; };
        monitor->PlaySound = [this](const std::string &path) { played.push_back(path); };
        monitor->PauseMs = 0;
        ASSERT_TRUE(monitor->Store.LoadSettings(false));
        logFile = testenv::MakeScratchDir("log") + "/Debug.txt";
        Utils->LogFileName = logFile;
        monitor->SetQueryInterval(3);
    }

    void TearDown() override
    {
        // Servers remembered for speaking TLS are told apart by port only: forget the fakes'.
        QFile::remove(QString::fromStdString(TlsServersPath()));
        monitor.reset();
        TUtils::ResetTerminating();
    }

    std::string TlsServersPath() const { return Globals->DataRoot + "/" + names::TlsServersFile; }

    int LogCount(const std::string &text) const
    {
        std::string log = testenv::ReadFile(logFile);
        int count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1))
            ++count;
        return count;
    }

    // Summary rows with no mailbox behind them keep their image through a pass.
    void SummaryRows(std::vector<int> images)
    {
        monitor->Store.Summary.clear();
        for (size_t i = 0; i < images.size(); ++i) {
            monitor->Store.Summary.push_back(SummaryRow("user" + std::to_string(i)));
            monitor->Store.Summary.back().ImageIndex = images[i];
        }
    }

    void TickAt(TMsTime at)
    {
        clock = at;
        monitor->MainTimerTick();
    }
};

TEST_F(CheckCycle, FirstTickChecksAtOnceThenCountsDownToTheNextPass)
{
    const TMsTime start = clock;
    monitor->MainTimerTick();
    EXPECT_EQ(monitor->LastCheck, start);
    ASSERT_GE(window.StatusTexts.size(), 2u);
    EXPECT_EQ(window.StatusTexts.front(), "  Checking for mail");
    EXPECT_EQ(window.Status(), "  No Mail Boxes Yet");
    EXPECT_TRUE(monitor->MainTimer.isActive()) << "the tick restarts its timer";

    TickAt(start + 500);
    EXPECT_EQ(window.Status(), "  Next Check: 00:02:59");
    EXPECT_EQ(window.Progress, 0);
    TickAt(start + 90 * Second);
    EXPECT_EQ(window.Status(), "  Next Check: 00:01:30");
    EXPECT_EQ(window.Progress, 50);
    TickAt(start + 180 * Second - 1);
    EXPECT_EQ(window.Status(), "  Next Check: 00:00:00");
    EXPECT_EQ(monitor->LastCheck, start);

    TickAt(start + 180 * Second);
    EXPECT_EQ(monitor->LastCheck, start + 180 * Second) << "due at T + 180 s";
    EXPECT_EQ(window.Status(), "  No Mail Boxes Yet");

    // The user drags the bar: further right brings the next check nearer; the ticks leave the
    // bar alone while it is held.
    monitor->TrackStarted();
    window.Progress = -1;
    monitor->TrackMoved(75);
    EXPECT_EQ(monitor->LastCheck, clock - 135 * Second);
    TickAt(clock + Second);
    EXPECT_EQ(window.Status(), "  Next Check: 00:00:44");
    EXPECT_EQ(window.Progress, -1);
    monitor->TrackEnded();
    TickAt(clock + Second);
    EXPECT_EQ(window.Progress, 76);
}

TEST_F(CheckCycle, PassResultsSetCountersAndIcon)
{
    TCheckCounters &counters = Globals->CheckCounters;
    SummaryRows({siNewMail, siPriorityMail, siOrdinary});
    monitor->CheckMail(-1);
    EXPECT_EQ(counters.NewCount, 2);
    EXPECT_EQ(counters.PriorityCount, 1);
    EXPECT_EQ(counters.TimedOutCount, 0);
    EXPECT_EQ(counters.NewMailState, 2);
    EXPECT_EQ(monitor->Tray.Image(), PriorityImage2);

    SummaryRows({siNewMail, siOrdinary});
    monitor->CheckMail(-1);
    EXPECT_EQ(counters.NewMailState, 1) << "priority mail seen drops to new mail";
    EXPECT_EQ(monitor->Tray.Image(), NewMailImage);

    SummaryRows({siOrdinary, siTimedOut});
    monitor->CheckMail(-1);
    EXPECT_EQ(counters.NewMailState, 0);
    EXPECT_EQ(counters.TimedOutCount, 1);
    EXPECT_EQ(monitor->Tray.Image(), IdleImage);
    EXPECT_FALSE(window.Busy);
    EXPECT_FALSE(monitor->FetchTimer.isActive());
}

TEST_F(CheckCycle, NewMailBlinksAfterTheFirstTwoTicks)
{
    monitor->MainTimerTick();
    Globals->CheckCounters.NewMailState = 2;
    const int before = monitor->Tray.Image();
    TickAt(clock + Second);
    TickAt(clock + Second);
    EXPECT_EQ(monitor->Tray.Image(), before);
    TickAt(clock + Second);
    EXPECT_EQ(monitor->Tray.Image(), PriorityImage2);
    TickAt(clock + Second);
    EXPECT_EQ(monitor->Tray.Image(), PriorityImage);
}

TEST_F(CheckCycle, EveryRowTimedOutRestartsOnlyAfterTheRetrySpan)
{
    Globals->Config.Retries = 2;
    SummaryRows({siTimedOut, siTimedOut});
    const TMsTime first = clock;
    monitor->CheckMail(-1);
    EXPECT_EQ(monitor->Tray.Image(), TimedOutImage);
    EXPECT_EQ(monitor->TimedOutSince, first);

    clock = first + 6 * Minute - Second;
    monitor->CheckMail(-1);
    EXPECT_EQ(LogCount("restarting"), 0);
    clock = first + 6 * Minute;
    monitor->CheckMail(-1);
    EXPECT_EQ(LogCount("All mailboxes timed out: restarting"), 1);
    // No restart tool is registered here: the monitor goes on, quietly or not.
    EXPECT_FALSE(Globals->QuietExit);
    EXPECT_FALSE(TUtils::Terminating());

    // A pass ended by the user quitting the program never restarts it.
    TUtils::Terminate();
    clock += 6 * Minute;
    monitor->CheckMail(-1);
    EXPECT_EQ(LogCount("restarting"), 1);
    TUtils::ResetTerminating();

    // One row answering ends the condition.
    SummaryRows({siTimedOut, siOrdinary});
    monitor->CheckMail(-1);
    EXPECT_EQ(monitor->TimedOutSince, 0);
    EXPECT_EQ(monitor->Tray.Image(), IdleImage);
}

TEST_F(CheckCycle, RetrySpanOfSeveralDaysIsKeptExactly)
{
    Globals->Config.Retries = 10;
    monitor->SetQueryInterval(1092); // 10 × 65520 s: more than seven days
    SummaryRows({siTimedOut});
    const TMsTime first = clock;
    monitor->CheckMail(-1);
    clock = first + 7 * Day;
    monitor->CheckMail(-1);
    EXPECT_EQ(LogCount("restarting"), 0);
    clock = first + 655200 * Second;
    monitor->CheckMail(-1);
    EXPECT_EQ(LogCount("restarting"), 1);
}

TEST_F(CheckCycle, NoRowsShowThatNothingIsCheckedAndNeverRestart)
{
    Globals->Config.Retries = 1;
    for (int pass = 0; pass < 3; ++pass) {
        monitor->CheckMail(-1);
        EXPECT_EQ(monitor->Tray.Image(), IdleImage);
        EXPECT_EQ(monitor->TimedOutSince, 0);
        clock += Day;
    }
    EXPECT_EQ(LogCount("restarting"), 0);
}

TEST_F(CheckCycle, QueuedSoundsAndProgramsGoOnePerIdleTick)
{
    monitor->MainTimerTick();
    TStringList &sounds = EMailTest->SoundQueue;
    sounds.Add("/sounds/a.wav");
    sounds.Add("");
    sounds.Add("/sounds/b.wav");
    EMailTest->ProgramQueue.Add("NoSuchProgram");
    EMailTest->ProgramQueue.Add("Another");

    TickAt(clock + Second);
    EXPECT_EQ(played, std::vector<std::string>{"/sounds/a.wav"});
    TickAt(clock + Second);
    EXPECT_EQ(played.size(), 1u) << "an empty entry is dropped without playing";
    EXPECT_EQ(sounds.Count(), 1);
    TickAt(clock + Second);
    EXPECT_EQ(played.back(), "/sounds/b.wav");
    EXPECT_TRUE(sounds.Empty());

    // A program that cannot be started stays first for a few ticks, then is dropped so the
    // queue does not stall behind it.
    EXPECT_EQ(EMailTest->ProgramQueue[0], "NoSuchProgram");
    for (int tick = 0; tick < 2; ++tick)
        TickAt(clock + Second);
    EXPECT_EQ(EMailTest->ProgramQueue.Count(), 1);
    EXPECT_EQ(EMailTest->ProgramQueue[0], "Another");
    EXPECT_EQ(LogCount("Can't start NoSuchProgram"), 1);

    // Sounds are never played while a check is due.
    sounds.Add("/sounds/c.wav");
    TickAt(clock + Day);
    EXPECT_EQ(played.size(), 2u);
}

TEST_F(CheckCycle, OldRejectedMailIsPurgedAtTheLastMinuteBeforeEleven)
{
    Globals->Config.ClearRejectionsWeekly = 1;
    Globals->SetRejectedPath(Globals->DataRoot);
    const std::string folder = Globals->RejectedPath + "/";
    clock = LocalTime(22, 58, 30);
    auto make = [&](const std::string &name, TMsTime age) {
        testenv::WriteFile(folder + name, "x");
        QFile file(QString::fromStdString(folder + name));
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(QDateTime::fromMSecsSinceEpoch(clock - age),
                                     QFileDevice::FileModificationTime));
    };
    make("old.eml", 8 * Day);
    make("recent.eml", 6 * Day);
    make("old.txt", 8 * Day);

    monitor->MainTimerTick(); // the pass
    TickAt(LocalTime(22, 58, 59));
    EXPECT_TRUE(TUtils::FileExists(folder + "old.eml"));
    TickAt(LocalTime(22, 59, 0));
    EXPECT_FALSE(TUtils::FileExists(folder + "old.eml"));
    EXPECT_TRUE(TUtils::FileExists(folder + "recent.eml"));
    EXPECT_TRUE(TUtils::FileExists(folder + "old.txt"));
}

TEST_F(CheckCycle, SessionTemporaryFilesAreRemoved)
{
    std::string folder = testenv::MakeScratchDir("work") + "/";
    const std::string savedMail = "Temple@example.org12.07.2026 10.00_000.eml";
    for (const char *name : {"Temp1", "a.tmp", "text3.htm", "Temp.ini", "keep.eml", "text.txt",
                             "LastMail.ini", savedMail.c_str()})
        testenv::WriteFile(folder + name, "x");
    monitor->RemoveTempFiles(folder);
    TStringList left;
    Utils->ListFiles(folder + "*", fileattr::AnyFile & ~fileattr::Directory, left, true);
    left.Sort();
    EXPECT_EQ(left.Items(), (std::vector<std::string>{"keep.eml", "LastMail.ini", "Temp.ini",
                                                      savedMail, "text.txt"}));
}

// ---- passes against servers ----------------------------------------------------------------

TListRow &AddMailbox(TCorvexMonitor &monitor, const std::string &user, const std::string &server,
                     const std::string &password, bool active = true)
{
    TMailBoxRecord record{};
    SetText(record.UserId, user);
    SetText(record.MailServer, server);
    SetText(record.Password, password);
    SetText(record.InboxPath, testenv::MakeScratchDir("inbox"));
    record.LeaveOnServer = 1;
    record.Active = active;
    monitor.Store.Mailboxes.push_back(MailboxRow(record, false));
    if (!password.empty())
        monitor.Store.SetPassword(user, server, password);
    if (active)
        monitor.Store.Summary.push_back(SummaryRow(user));
    return monitor.Store.Mailboxes.back();
}

std::string Server(const fixtures::Mailbox &box)
{
    return box.host + ":" + std::to_string(box.pop3Port);
}

const TListRow &SummaryOf(TCorvexMonitor &monitor, const std::string &user)
{
    return monitor.Store.Summary.at(FindRow(monitor.Store.Summary, user));
}

TEST_F(CheckCycle, PassFillsTheSummaryRowsAsTheSettingsAllow)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    Globals->Config.TimeoutMs = 1000;
    fixtures::MessageFields older, newest;
    older.subject = "Older one";
    newest.from = "Carol Example <carol@example.org>";
    newest.subject = "Newest one";
    newest.extraHeaders = {"Received: from relay.example.org by mx.example.net"};

    fixtures::Mailbox plain = fixtures::CreateMailbox("plain");
    fixtures::AddMessages(plain, {fixtures::BuildMessage(older), fixtures::BuildMessage(newest)});
    fixtures::Mailbox locked = fixtures::CreateMailbox("locked");
    fixtures::AddMessage(locked, fixtures::BuildMessage(newest));
    fixtures::Mailbox alias = fixtures::CreateMailbox("alias");
    fixtures::AddMessage(alias, fixtures::BuildMessage(newest));
    fixtures::Mailbox empty = fixtures::CreateMailbox("empty");

    AddMailbox(*monitor, plain.user, Server(plain), plain.password);
    AddMailbox(*monitor, locked.user, Server(locked), locked.password).SetCell(mcBoxProtected, "1");
    AddMailbox(*monitor, alias.user, Server(alias), alias.password).SetCell(mcAliasActive, "1");
    AddMailbox(*monitor, empty.user, Server(empty), empty.password);
    AddMailbox(*monitor, "refused", "127.0.0.1:1", "secret");
    AddMailbox(*monitor, "nopassword", Server(plain), "");
    AddMailbox(*monitor, "switchedoff", Server(plain), "secret", false);
    monitor->Store.Summary.push_back(SummaryRow("switchedoff"));
    monitor->Store.Summary.back().SetCell(scFrom, "kept as it was");
    monitor->Store.Summary.back().ImageIndex = siNewMail;
    monitor->Store.Summary.at(FindRow(monitor->Store.Summary, empty.user)).ImageIndex = siTimedOut;

    monitor->CheckMail(-1);

    const TListRow &row = SummaryOf(*monitor, plain.user);
    EXPECT_EQ(row.Cell(scMsgs), "2");
    EXPECT_NE(row.Cell(scFrom).find("carol@example.org"), std::string::npos);
    EXPECT_EQ(row.Cell(scSubject), "Newest one");
    EXPECT_FALSE(row.Cell(scDate).empty());
    EXPECT_GT(std::stoi(row.Cell(scSize)), 100);
    EXPECT_NE(row.Cell(scReplyTo).find("relay.example.org"), std::string::npos);

    const TListRow &protectedRow = SummaryOf(*monitor, locked.user);
    EXPECT_EQ(protectedRow.Cell(scMsgs), "1");
    EXPECT_EQ(protectedRow.Cell(scSubject), "***Password Required***");
    EXPECT_EQ(protectedRow.Cell(scReplyTo), "????????????");
    EXPECT_EQ(protectedRow.Cell(scDate), row.Cell(scDate));

    EXPECT_EQ(SummaryOf(*monitor, alias.user).Cell(scMsgs), "0");
    EXPECT_EQ(SummaryOf(*monitor, alias.user).Cell(scFrom), "");
    EXPECT_EQ(SummaryOf(*monitor, empty.user).ImageIndex, siOrdinary);

    const TListRow &refused = SummaryOf(*monitor, "refused");
    EXPECT_EQ(refused.Cell(scFrom), "Connection Refused");
    EXPECT_EQ(refused.ImageIndex, siTimedOut);
    EXPECT_EQ(window.Messages, std::vector<std::string>{"Invalid password for mail box"});
    EXPECT_EQ(SummaryOf(*monitor, "nopassword").Cell(scMsgs), "0");
    EXPECT_EQ(SummaryOf(*monitor, "switchedoff").Cell(scFrom), "kept as it was");
    EXPECT_EQ(SummaryOf(*monitor, "switchedoff").ImageIndex, siNewMail);
    EXPECT_EQ(Globals->CheckCounters.TimedOutCount, 1);

    // With senders and subjects restricted only the count shows; one mailbox alone.
    Globals->Config.PasswordActive = 1;
    Globals->Config.SecurityLevel = 3;
    monitor->CheckMail(0);
    EXPECT_EQ(row.Cell(scMsgs), "2");
    EXPECT_EQ(row.Cell(scFrom), "");
    EXPECT_EQ(row.Cell(scSubject), "");
    EXPECT_EQ(refused.Cell(scFrom), "Connection Refused") << "other rows are left alone";
}

// A server that offered STLS once gets no login in clear text again, nor does one whose address
// asks for TLS; the row and the log say why. The address form works where STLS is offered.
TEST_F(CheckCycle, NoPasswordInClearTextToAServerKnownToSpeakTls)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    Globals->Config.TimeoutMs = 2000;
    fixtures::Mailbox box = fixtures::CreateMailbox("tls");
    fixtures::AddMessage(box, fixtures::BuildMessage({}));
    AddMailbox(*monitor, box.user, Pop3RequireTlsScheme + Server(box), box.password);
    FakeServer stripped; // offers STLS and refuses it; from then on the offer is gone
    stripped.On("CAPA", std::vector<FakeServer::Reply>{"+OK\r\nSTLS\r\nUSER\r\n.\r\n",
                                                       "+OK\r\nUSER\r\n.\r\n"});
    stripped.On("STLS", "-ERR not now");
    AddMailbox(*monitor, "stripped", "127.0.0.1:" + std::to_string(stripped.port()), "secret");
    FakeServer plain; // never offers TLS
    plain.On("CAPA", "+OK\r\nUSER\r\n.\r\n");
    AddMailbox(*monitor, "required",
               Pop3RequireTlsScheme + std::string("127.0.0.1:") + std::to_string(plain.port()),
               "secret");

    monitor->CheckMail(-1);
    monitor->CheckMail(-1); // the second pass knows the server from the list alone

    EXPECT_EQ(SummaryOf(*monitor, box.user).Cell(scMsgs), "1");
    EXPECT_EQ(stripped.connectionCount(), 2) << "a refused STLS is not tried again in the pass";
    for (const FakeServer *server : {&stripped, &plain})
        for (const std::string &command : server->commands())
            for (const char *login : {"USER", "PASS", "APOP", "AUTH"})
                EXPECT_FALSE(StartsText(command, login)) << command;
    const TListRow &strippedRow = SummaryOf(*monitor, "stripped");
    EXPECT_EQ(strippedRow.ImageIndex, siTimedOut);
    EXPECT_EQ(monitor->RowTip(strippedRow),
              "Timed Out: TLS required but not offered (the server did not offer STLS, although "
              "it did before: the password is not sent in clear text)");
    EXPECT_NE(monitor->RowTip(SummaryOf(*monitor, "required")).find("its address asks for TLS"),
              std::string::npos);
    EXPECT_EQ(LogCount("stripped: Timed Out - TLS refused by the server"), 1);
    EXPECT_EQ(LogCount("stripped: Timed Out - TLS required but not offered"), 1);

    TStringList known;
    ASSERT_TRUE(known.LoadFromFile(TlsServersPath()));
    EXPECT_EQ(known.Items(),
              (std::vector<std::string>{"pop3://127.0.0.1:" + std::to_string(box.pop3Port),
                                        "pop3://127.0.0.1:" + std::to_string(stripped.port())}));
    EXPECT_EQ(testenv::FileMode(TlsServersPath()), 0600u);
}

// A list of servers known to speak TLS that cannot be written keeps what the process learnt,
// and the user is told once; one that cannot be read counts every server as speaking TLS. In
// neither case does a password go out in clear text once the offer of TLS is gone.
TEST_F(CheckCycle, TlsServerListThatMisbehavesKeepsPasswordsOffTheWire)
{
    std::vector<std::string> told;
    monitor->OnTlsListUnwritable = [&told](const std::string &why) { told.push_back(why); };
    auto expectNoLogin = [](const FakeServer &server) {
        for (const std::string &command : server.commands())
            for (const char *login : {"USER", "PASS", "APOP", "AUTH"})
                EXPECT_FALSE(StartsText(command, login)) << command;
    };
    const std::string list = TlsServersPath();
    {
        // An immutable data root: the list cannot be written, not even by root.
        const std::string root = Globals->DataRoot;
        ASSERT_EQ(std::system(("chattr +i '" + root + "'").c_str()), 0);
        struct TMutable
        {
            std::string Root;
            ~TMutable() { std::system(("chattr -i '" + Root + "'").c_str()); }
        } restore{root};
        FakeServer stripped; // offers STLS and refuses it; from then on the offer is gone
        stripped.On("CAPA", std::vector<FakeServer::Reply>{"+OK\r\nSTLS\r\nUSER\r\n.\r\n",
                                                           "+OK\r\nUSER\r\n.\r\n"});
        stripped.On("STLS", "-ERR not now");
        AddMailbox(*monitor, "stripped", "127.0.0.1:" + std::to_string(stripped.port()), "secret");
        monitor->CheckMail(-1);
        monitor->CheckMail(-1);
        EXPECT_EQ(stripped.connectionCount(), 2) << "a refused STLS is not tried again at once";
        expectNoLogin(stripped);
        ASSERT_EQ(told.size(), 1u);
        EXPECT_NE(told[0].find(list), std::string::npos) << told[0];
        EXPECT_TRUE(std::find(window.StatusTexts.begin(), window.StatusTexts.end(),
                              "  " + told[0]) != window.StatusTexts.end());
        EXPECT_FALSE(TUtils::FileExists(list));
        monitor->Store.Mailboxes.clear();
        monitor->Store.Summary.clear();
    }
    // A folder where the list should be: no server gets a password in clear text.
    ASSERT_TRUE(std::filesystem::create_directory(list));
    FakeServer plain; // never offers TLS
    plain.On("CAPA", "+OK\r\nUSER\r\n.\r\n");
    plain.On("USER", "+OK");
    plain.On("PASS", "+OK");
    plain.On("STAT", "+OK 0 0");
    plain.On("QUIT", "+OK");
    AddMailbox(*monitor, "plain", "127.0.0.1:" + std::to_string(plain.port()), "secret");
    monitor->CheckMail(-1);
    expectNoLogin(plain);
    EXPECT_NE(monitor->RowTip(SummaryOf(*monitor, "plain")).find("cannot be read"),
              std::string::npos)
        << monitor->RowTip(SummaryOf(*monitor, "plain"));
    // Once it can be read again, the server that never offered TLS gets its login.
    ASSERT_TRUE(std::filesystem::remove(list));
    monitor->CheckMail(-1);
    EXPECT_EQ(SummaryOf(*monitor, "plain").ImageIndex, siOrdinary);
    EXPECT_EQ(told.size(), 1u);
}

// A password the server refuses is sent once: the row says the login was refused, the user is
// told once, and the schedule does not log in again until the password changes or the user
// asks for a check.
TEST_F(CheckCycle, RefusedLoginIsNotRepeatedUntilThePasswordChangesOrTheUserAsks)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    Globals->Config.TimeoutMs = 2000;
    std::vector<std::string> told;
    monitor->OnLoginRefused = [&told](const std::string &mailbox, const std::string &) {
        told.push_back(mailbox);
    };
    fixtures::Mailbox box = fixtures::CreateMailbox("refused");
    fixtures::AddMessage(box, fixtures::BuildMessage({}));
    AddMailbox(*monitor, box.user, Server(box), "wrong");
    AddMailbox(*monitor, "nobody", "127.0.0.1:1", "secret");
    const std::string attempt = "Authentication Failed to: " + box.host;

    monitor->CheckMail(-1);
    const TListRow &row = SummaryOf(*monitor, box.user);
    EXPECT_EQ(row.Cell(scFrom), "Login Refused");
    EXPECT_EQ(row.ImageIndex, siTimedOut);
    EXPECT_EQ(monitor->RowTip(row).rfind("Login Refused: the server refused the login", 0), 0u)
        << monitor->RowTip(row);
    EXPECT_TRUE(std::find(window.StatusTexts.begin(), window.StatusTexts.end(),
                          "  Login Refused:" + box.user) != window.StatusTexts.end());
    EXPECT_EQ(LogCount(attempt), 1);
    const TListRow &nobody = SummaryOf(*monitor, "nobody");
    EXPECT_EQ(nobody.Cell(scFrom), "Connection Refused");
    EXPECT_EQ(monitor->RowTip(nobody), "Connection Refused: 127.0.0.1:1 refused the connection");
    EXPECT_EQ(LogCount("Connect Timeout: nobody"), 0) << "a refused connection is no time-out";
    monitor->Store.Mailboxes.pop_back();
    monitor->Store.Summary.erase(monitor->Store.Summary.begin() +
                                 FindRow(monitor->Store.Summary, "nobody"));

    monitor->CheckMail(-1); // the schedule leaves the mailbox alone
    EXPECT_EQ(LogCount(attempt), 1);
    EXPECT_EQ(row.Cell(scFrom), "Login Refused");
    monitor->CheckNow(); // the user asks
    EXPECT_EQ(LogCount(attempt), 2);
    EXPECT_EQ(told, std::vector<std::string>{box.user});

    monitor->Store.SetPassword(box.user, Server(box), box.password);
    monitor->CheckMail(-1);
    EXPECT_EQ(row.Cell(scMsgs), "1");
    EXPECT_NE(row.ImageIndex, siTimedOut);
    EXPECT_FALSE(monitor->LoginRefused(box.user));
    monitor->Store.SetPassword(box.user, Server(box), "wrong again");
    monitor->CheckMail(-1);
    EXPECT_EQ(told, (std::vector<std::string>{box.user, box.user}));
}

// An imported mailbox waits for its password: its placeholder is never sent, even when the
// mailbox is ticked active.
TEST_F(CheckCycle, PlaceholderPasswordIsNeverSent)
{
    FakePop3Mailbox server;
    AddMailbox(*monitor, "imported", "127.0.0.1:" + std::to_string(server.port()),
               PasswordNotGiven);
    monitor->CheckMail(-1);
    EXPECT_EQ(server.server().connectionCount(), 0);
    EXPECT_EQ(window.Messages, std::vector<std::string>{"Invalid password for mail box"});
}

// A mailbox that keeps no mail on the server, a rule that saves to a folder and deletes: while
// the folder cannot take the copy the message stays on the server; once it can, the next check
// saves it once and deletes it.
TEST_F(CheckCycle, MessageLeavesTheServerOnlyOnceItsCopyExists)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    Globals->Config.TimeoutMs = 2000;
    Globals->Config.NewMailNotification = 1;
    fixtures::MessageFields fields;
    fields.from = "Boss <boss@example.org>";
    fields.subject = "Budget";
    fixtures::Mailbox box = fixtures::CreateMailbox("keep");
    fixtures::AddMessage(box, fixtures::BuildMessage(fields));
    // A file stands where the folder should be: no user, not even root, can save into it.
    const std::string folder = testenv::MakeScratchDir("alt") + "/saved";
    testenv::WriteFile(folder, "not a folder");
    testenv::WriteFile(GetText(Globals->Config.RulesPath) + "/" + names::MasterPriorityFile,
                       "boss@example.org|||0|0|00120||011|" + folder + "|\n");
    AddMailbox(*monitor, box.user, Server(box), box.password).SetCell(mcDel, "Yes");

    monitor->CheckMail(-1);
    monitor->CheckMail(-1);
    EXPECT_EQ(fixtures::MessageCount(box), 1);
    EXPECT_EQ(LogCount("Can't save file:" + folder + "/boss@example.org"), 2);

    ASSERT_TRUE(QFile::remove(QString::fromStdString(folder)));
    TUtils::CreateFolder(folder);
    monitor->CheckMail(-1);
    monitor->CheckMail(-1);
    EXPECT_EQ(fixtures::MessageCount(box), 0);
    TStringList saved;
    Utils->ListFiles(folder + "/*.eml", fileattr::AnyFile, saved, false);
    ASSERT_EQ(saved.Count(), 1);
    EXPECT_NE(testenv::ReadFile(folder + "/" + saved[0]).find("Subject: Budget"),
              std::string::npos);
}

// The rules folder was moved: a rejected message's copy goes to its "Rejected Mail", made
// where it is used, and the message leaves the server. A message kept on the server because
// its copy cannot be written raises its new-mail alert once, not at each check that retries it.
TEST_F(CheckCycle, RejectedMailFollowsTheRulesFolderAndAKeptMessageAlertsOnce)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    Globals->Config.TimeoutMs = 2000;
    Globals->Config.SaveRejected = 1;
    Globals->Config.NewMailNotification = 1;
    auto moveRules = [](const std::string &folder) {
        SetText(Globals->Config.RulesPath, folder);
        Globals->SetRejectedPath(folder);
        testenv::WriteFile(folder + "/" + names::MasterRejectFile, "spam.example|\n");
        testenv::WriteFile(folder + "/" + names::AlertsFile, "BELL=/s/bell.wav\n");
    };
    fixtures::MessageFields spam;
    spam.from = "Win <win@spam.example>";
    fixtures::Mailbox box = fixtures::CreateMailbox("moved");
    fixtures::AddMessage(box, fixtures::BuildMessage(spam));
    AddMailbox(*monitor, box.user, Server(box), box.password).SetCell(mcArrivalAlert, "BELL");
    const std::string rules = testenv::MakeScratchDir("rules");
    moveRules(rules);
    monitor->CheckMail(-1);
    EXPECT_EQ(fixtures::MessageCount(box), 0);
    TStringList saved;
    Utils->ListFiles(rules + "/Rejected Mail/*.eml", fileattr::AnyFile, saved, false);
    EXPECT_EQ(saved.Count(), 1);

    // A file stands where the folder should be: the copy fails and the message stays.
    const std::string blocked = testenv::MakeScratchDir("rules");
    moveRules(blocked);
    testenv::WriteFile(blocked + "/Rejected Mail", "not a folder");
    fixtures::AddMessage(box, fixtures::BuildMessage(spam));
    EMailTest->SoundQueue.Clear();
    for (int pass = 0; pass < 3; ++pass) {
        monitor->CheckMail(-1);
        EXPECT_EQ(fixtures::MessageCount(box), 1);
        EXPECT_EQ(EMailTest->SoundQueue.Count(), pass == 0 ? 1 : 0) << "pass " << pass;
        EXPECT_EQ(SummaryOf(*monitor, box.user).ImageIndex, pass == 0 ? siNewMail : siOrdinary);
        monitor->Tray.ClearNewMail(true);
        EMailTest->SoundQueue.Clear();
    }
    EXPECT_EQ(LogCount("Rejecting Msg from: Win <win@spam.example>"), 4);
}

// A pass that ends by an exception is closed all the same, whichever command started it: the
// main timer runs again and the next check runs.
TEST_F(CheckCycle, APassEndedByAnExceptionIsClosedAndCheckingGoesOn)
{
    TMailBoxRecord stored{};
    SetText(stored.UserId, "faulty");
    SetText(stored.MailServer, "127.0.0.1:1");
    SetText(stored.Password, "secret");
    stored.Active = 1;
    ASSERT_TRUE(WriteMailBoxFile(monitor->Store.PopSrvPath(), {stored}));
    bool fail = true;
    window.OnStatus = [&](const std::string &text) {
        if (fail && text == "  Checking for mail: faulty")
            throw std::runtime_error("the window is gone");
    };
    monitor->RecheckAfterApply();
    EXPECT_EQ(LogCount("Exception 1 checking mail"), 1);
    EXPECT_FALSE(monitor->PassRunning());
    EXPECT_FALSE(window.Busy);

    monitor->MainTimer.start();
    monitor->CheckNow();
    EXPECT_EQ(LogCount("Exception 2 checking mail"), 1);
    EXPECT_TRUE(monitor->MainTimer.isActive());

    fail = false;
    EXPECT_TRUE(monitor->CheckMail(-1));
    EXPECT_EQ(SummaryOf(*monitor, "faulty").Cell(scFrom), "Connection Refused");
    QFile::remove(QString::fromStdString(monitor->Store.PopSrvPath())); // the next tests' data
}

// The window stays responsive during a pass: commands run while the session waits, and Esc
// ends the wait.
TEST_F(CheckCycle, CommandsDuringAStalledConnectAndEscEndingIt)
{
    FakeServer server;
    server.Greeting(FakeServer::Stall());
    Globals->Config.TimeoutMs = 30000;
    AddMailbox(*monitor, "stalled", "127.0.0.1:" + std::to_string(server.port()), "secret");

    // Apply with a changed set of active mailboxes, and Check Now, while the pass waits: neither
    // starts a pass inside the pass; the reload waits and the next tick checks.
    monitor->LastCheck = clock;
    QObject target;
    QElapsedTimer sinceEsc;
    server.OnAccepted([&](int) {
        monitor->RecheckAfterApply();
        monitor->CheckNow();
        sinceEsc.start();
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(&target, &release);
    });
    monitor->CheckMail(-1);
    ASSERT_TRUE(sinceEsc.isValid());
    EXPECT_LT(sinceEsc.elapsed(), 1000);
    EXPECT_EQ(SummaryOf(*monitor, "stalled").Cell(scFrom), "Timed Out");
    EXPECT_EQ(window.Status(), "  Mail Check Complete");
    EXPECT_EQ(std::count(window.StatusTexts.begin(), window.StatusTexts.end(),
                         std::string("  Mail Check Complete")),
              1);
    EXPECT_EQ(monitor->LastCheck, 0);
    EXPECT_FALSE(monitor->PassRunning());
}

// A reload asked for by a dialog during a pass waits for the pass to end, so the pass never
// works on rows freed under it; unlike Apply's reload it does not bring the next check forward.
TEST_F(CheckCycle, ReloadDuringAPassWaitsForItsEnd)
{
    FakeServer server;
    server.Greeting(FakeServer::Stall());
    Globals->Config.TimeoutMs = 30000;
    AddMailbox(*monitor, "stalled", "127.0.0.1:" + std::to_string(server.port()), "secret");
    TMailBoxRecord stored{};
    SetText(stored.UserId, "fromfile");
    SetText(stored.MailServer, "127.0.0.1:1");
    stored.Active = 1;
    ASSERT_TRUE(WriteMailBoxFile(monitor->Store.PopSrvPath(), {stored}));

    monitor->LastCheck = clock;
    std::string captionDuringPass;
    QObject target;
    server.OnAccepted([&](int) {
        monitor->ReloadMailboxes(false);
        captionDuringPass = monitor->Store.Mailboxes.front().Caption;
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier);
        QCoreApplication::sendEvent(&target, &release);
    });
    monitor->CheckMail(-1);

    EXPECT_EQ(captionDuringPass, "stalled");
    ASSERT_EQ(monitor->Store.Mailboxes.size(), 1u);
    EXPECT_EQ(monitor->Store.Mailboxes.front().Caption, "fromfile");
    EXPECT_EQ(monitor->LastCheck, clock);
}

} // namespace
