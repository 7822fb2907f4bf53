// The monitor end to end against the real POP3 and SMTP test servers: a pass in this process
// with a stand-in window, and the program korrind itself started headless on a prepared data
// root, including its restart through the restart tool.
#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>

#include "common/globals.h"
#include "common/names.h"
#include "common/platform/locks.h"
#include "common/records.h"
#include "common/smtpinterface.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/popview.h"
#include "support/fixtures.h"
#include "support/testenv.h"
#include "tests/korrind/monitortestwindow.h"

namespace {

std::string Server(const fixtures::Mailbox &box)
{
    return box.host + ":" + std::to_string(box.pop3Port);
}

std::string Message(const std::string &from, const std::string &subject)
{
    fixtures::MessageFields fields;
    fields.from = from;
    fields.subject = subject;
    return fixtures::BuildMessage(fields);
}

// Settings every test here starts from: a check every 3 minutes, ticks every second, short
// connect time-outs, rejected mail kept, both master lists on, forwarding through the plain
// SMTP listener.
void TestSettings(TConfigRecord &config)
{
    config.TimerSeconds = 1;
    config.CheckMinutes = 3;
    config.Retries = 1;
    config.TimeoutMs = 1000;
    config.SaveRejected = 1;
    config.MasterRejectActive = 1;
    config.MasterPriorityActive = 1;
    config.NewMailNotification = 1;
    config.EncryptMailboxes = 0;
    config.HideOnStartup = 0;
    config.RememberPosition = 0;
    config.PasswordActive = 0;
    SetText(config.SmtpServer, "127.0.0.1:" + std::to_string(fixtures::Smtp().plainPort));
}

// ---- a pass in this process ----------------------------------------------------------------

TEST(MonitorPass, PriorityRuleMarksTheRowRaisesThePriorityStateAndQueuesItsSound)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    TMonitorTestWindow window;
    window.Visible = false;
    TCorvexMonitor monitor(window);
    monitor.PauseMs = 0;
    ASSERT_TRUE(monitor.Store.LoadSettings(false));
    Utils->LogFileName = testenv::MakeScratchDir("log") + "/Debug.txt";
    TConfigRecord &config = Globals->Config;
    TestSettings(config);
    config.RestoreAction = 2; // show the window for priority mail
    const std::string rules = GetText(config.RulesPath);
    testenv::WriteFile(rules + "/" + names::AlertsFile, "BELL=/s/bell.wav\nCHIME=/s/chime.wav\n");

    const std::string boss = fixtures::UniqueAddress("boss");
    testenv::WriteFile(rules + "/" + names::MasterPriorityFile, boss + "|\n");
    fixtures::Mailbox box = fixtures::CreateMailbox("priority");
    fixtures::AddMessages(
        box, {Message("a@example.org", "hello"), Message("Boss <" + boss + ">", "see me")});
    TMailBoxRecord record = fixtures::MonitoredMailbox(box.user, Server(box), box.password,
                                                       testenv::MakeScratchDir("inbox"));
    monitor.Store.Mailboxes.push_back(MailboxRow(record, false));
    monitor.Store.SetPassword(box.user, Server(box), box.password);
    monitor.Store.Summary.push_back(SummaryRow(box.user));

    monitor.CheckMail(-1);

    EXPECT_EQ(monitor.Store.Summary[0].ImageIndex, siPriorityMail);
    EXPECT_EQ(Globals->CheckCounters.NewMailState, 2);
    EXPECT_EQ(Globals->CheckCounters.PriorityCount, 1);
    EXPECT_EQ(monitor.Tray.Tip(), "You Have Priority Mail");
    EXPECT_NE(EMailTest->SoundQueue.IndexOf("/s/chime.wav"), -1);
    EXPECT_TRUE(window.Visible) << "Activate On: Priority Mail";
    EXPECT_EQ(fixtures::MessageCount(box), 2);
}

// ---- the program -----------------------------------------------------------------------------

// Prepares the data root the started monitor will use (this process's XDG folders are
// inherited) through the data store, then leaves no process-wide object behind.
class MonitorProgram : public ::testing::Test
{
protected:
    std::string root;
    std::string inbox = testenv::MakeScratchDir("inbox");
    QProcess monitor;

    void SetUp() override
    {
        REQUIRE_FIXTURES();
        fixtures::TrustTestCa();
    }

    void TearDown() override
    {
        if (monitor.state() != QProcess::NotRunning) {
            monitor.terminate();
            monitor.waitForFinished(10000);
        }
        for (pid_t pid : MonitorsOfThisTest())
            ::kill(pid, SIGTERM);
        testenv::WaitUntil([] { return !platform::IsNamedLockPresent(names::MonitorLock); });
        if (!root.empty())
            QDir(QString::fromStdString(root)).removeRecursively();
    }

    void PrepareDataRoot(const std::vector<TMailBoxRecord> &mailboxes)
    {
        TUtils utils;
        TGlobals globals;
        Utils = &utils;
        Globals = &globals;
        {
            TDataStore store;
            ASSERT_TRUE(store.LoadSettings(false));
            TestSettings(globals.Config);
            ASSERT_TRUE(store.LoadSettings(true));
            ASSERT_TRUE(WriteMailBoxFile(store.PopSrvPath(), mailboxes));
            root = globals.DataRoot;
        }
        Utils = nullptr;
        Globals = nullptr;
    }

    // With intervalSeconds the monitor checks that often instead of every CheckMinutes.
    void StartMonitor(int intervalSeconds = 0)
    {
        if (intervalSeconds > 0) {
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QueryIntervalVariable, QString::number(intervalSeconds));
            monitor.setProcessEnvironment(environment);
        }
        monitor.setProgram(QString::fromStdString(testenv::ProgramPath(names::MonitorExe)));
        monitor.setProcessChannelMode(QProcess::ForwardedChannels);
        monitor.start();
        ASSERT_TRUE(monitor.waitForStarted());
        ASSERT_TRUE(
            testenv::WaitUntil([] { return platform::IsNamedLockPresent(names::MonitorLock); }));
    }

    static std::string ProgramFolder()
    {
        return std::filesystem::path(testenv::ProgramPath(names::MonitorExe))
                   .parent_path()
                   .string() +
               "/";
    }

    // Monitors started with this process's private runtime folder (so by this test), found
    // by their executable and environment.
    static std::vector<pid_t> MonitorsOfThisTest()
    {
        std::vector<pid_t> found;
        const std::string exe = testenv::ProgramPath(names::MonitorExe);
        const std::string marker =
            "XDG_RUNTIME_DIR=" + qEnvironmentVariable("XDG_RUNTIME_DIR").toStdString();
        std::error_code error;
        for (const auto &entry : std::filesystem::directory_iterator("/proc", error)) {
            std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos)
                continue;
            std::error_code linkError;
            std::string target = std::filesystem::read_symlink(entry.path() / "exe", linkError);
            if (linkError || target != exe)
                continue;
            std::string environment = testenv::ReadFile(entry.path().string() + "/environ");
            for (size_t at = 0; at < environment.size();) {
                size_t end = environment.find('\0', at);
                if (environment.compare(at, end - at, marker) == 0)
                    found.push_back(pid_t(std::stol(name)));
                at = end == std::string::npos ? environment.size() : end + 1;
            }
        }
        return found;
    }
};

TEST_F(MonitorProgram, FirstPassRejectsForwardsAndRecordsWhatIsLeft)
{
    const std::string spammer = fixtures::UniqueAddress("win");
    const std::string forwardTo = fixtures::UniqueAddress("forwarded");
    fixtures::Mailbox box = fixtures::CreateMailbox("monitor");
    PrepareDataRoot({fixtures::MonitoredMailbox(box.user, Server(box), box.password, inbox)});
    testenv::WriteFile(root + "/" + names::MasterRejectFile, spammer + "|\n");
    testenv::WriteFile(root + "/" + names::MasterPriorityFile,
                       "|forward me;||0|0|10120|" + forwardTo + "|000|\n");
    fixtures::AddMessages(box, {Message("Ann <ann@example.org>", "first"),
                                Message("Win <" + spammer + ">", "prize"),
                                Message("Cy <cy@example.org>", "please forward me")});

    StartMonitor();
    const std::string lastMail = inbox + "/" + names::LastMailFile;
    ASSERT_TRUE(fixtures::WaitUntil(
        [&] {
            TStringList lines;
            return lines.LoadFromFile(lastMail) && lines.Count() == 2;
        },
        30000))
        << "the first pass did not record the mailbox";

    std::vector<std::string> left = fixtures::StoredMessages(box);
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].find(spammer), std::string::npos);
    EXPECT_EQ(left[1].find(spammer), std::string::npos);

    TStringList rejected;
    TUtils utils;
    utils.ListFiles(root + "/" + names::RejectedMailFolder + "/*.eml", fileattr::AnyFile, rejected,
                    true);
    ASSERT_EQ(rejected.Count(), 1);
    EXPECT_NE(testenv::ReadFile(root + "/" + names::RejectedMailFolder + "/" + rejected[0])
                  .find("Subject: prize"),
              std::string::npos);

    std::string log = testenv::ReadFile(ProgramFolder() + names::DebugLogFile);
    EXPECT_NE(log.find("Rejecting Msg from: Win <" + spammer + ">-prize"), std::string::npos);

    TStringList lines;
    ASSERT_TRUE(lines.LoadFromFile(lastMail));
    EXPECT_EQ(lines[0].substr(0, lines[0].find('|')), "Ann <ann@example.org>");
    EXPECT_EQ(lines[1].substr(0, lines[1].find('|')), "Cy <cy@example.org>");

    std::vector<fixtures::ReceivedMessage> forwarded = fixtures::WaitForMessagesTo(forwardTo, 1);
    ASSERT_EQ(forwarded.size(), 1u);
    EXPECT_NE(forwarded[0].raw.find("please forward me"), std::string::npos);

    monitor.terminate();
    ASSERT_TRUE(monitor.waitForFinished(10000));
    EXPECT_EQ(monitor.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(monitor.exitCode(), 0);
    EXPECT_FALSE(platform::IsNamedLockPresent(names::MonitorLock));
}

// The retry span is one check interval, shortened to two seconds; the restart tool's own pause
// before it starts the monitor again is its real one.
TEST_F(MonitorProgram, EveryMailboxTimingOutRestartsTheMonitorThroughTheRestartTool)
{
    PrepareDataRoot({fixtures::MonitoredMailbox("nobody", "127.0.0.1:1", "secret", inbox)});
    constexpr int IntervalSeconds = 2;
    QElapsedTimer lived;
    lived.start();
    StartMonitor(IntervalSeconds);
    const pid_t first = pid_t(monitor.processId());

    // The monitor leaves by itself, asking nothing (a question would keep it waiting here),
    // once a pass one interval after the first found every mailbox timed out again.
    ASSERT_TRUE(monitor.waitForFinished(60000)) << "the monitor was not restarted";
    EXPECT_GE(lived.elapsed(), IntervalSeconds * 1000);
    EXPECT_EQ(monitor.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(monitor.exitCode(), 0);

    // The restart tool starts a new monitor and ends once that one holds its lock.
    ASSERT_TRUE(testenv::WaitUntil(
        [] {
            return platform::IsNamedLockPresent(names::MonitorLock) &&
                   !platform::IsNamedLockPresent(names::Quintor);
        },
        40000));
    std::vector<pid_t> monitors = MonitorsOfThisTest();
    ASSERT_EQ(monitors.size(), 1u);
    EXPECT_NE(monitors[0], first);
    ::kill(monitors[0], SIGTERM);
    EXPECT_TRUE(
        testenv::WaitUntil([] { return !platform::IsNamedLockPresent(names::MonitorLock); }));
}

} // namespace
