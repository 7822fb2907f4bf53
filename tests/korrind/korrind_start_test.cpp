#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/globals.h"
#include "common/names.h"
#include "common/platform/files.h"
#include "common/platform/locks.h"
#include "common/records.h"
#include "support/testenv.h"

namespace {

// One inactive mailbox, so that the monitor does not start the mailbox import, whose window
// would wait for a user long after the test.
void GiveOneMailbox()
{
    const std::string root =
        qEnvironmentVariable("XDG_DATA_HOME").toStdString() + "/" + names::DataRootFolder;
    ASSERT_TRUE(platform::MakeFolderPath(root));
    TMailBoxRecord record{};
    SetText(record.UserId, "idle");
    SetText(record.MailServer, "127.0.0.1:1");
    ASSERT_TRUE(WriteMailBoxFile(root + "/" + names::PopSrvFile, {record}));
}

bool MonitorLockPresent()
{
    return platform::IsInstanceLockPresent(names::MonitorLock, DataRootPath());
}

void StartMonitor(QProcess &monitor, const std::string &program = testenv::ProgramPath("korrind"))
{
    GiveOneMailbox();
    monitor.setProgram(QString::fromStdString(program));
    monitor.setProcessChannelMode(QProcess::ForwardedChannels);
    monitor.start();
    ASSERT_TRUE(monitor.waitForStarted());
    ASSERT_TRUE(testenv::WaitUntil(MonitorLockPresent)) << "the monitor never took its lock";
}

// The environment of a cron job, su or an ssh session: no XDG_RUNTIME_DIR. The temporary
// folder, where the runtime folder then falls back to, is this test's own.
QProcessEnvironment WithoutRuntimeFolder()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("XDG_RUNTIME_DIR");
    environment.insert("TMPDIR", QString::fromStdString(testenv::MakeScratchDir("tmp")));
    return environment;
}

} // namespace

TEST(KorrindStart, SecondStartEndsAtOnceAndFirstKeepsRunning)
{
    QProcess first;
    StartMonitor(first);

    std::string root = qEnvironmentVariable("XDG_DATA_HOME").toStdString() + "/Corvex Users";
    const char *folders[] = {"", "/Temp", "/Rejected Mail", "/PlugIns", "/Extentions"};
    EXPECT_TRUE(testenv::WaitUntil([&] {
        return std::all_of(std::begin(folders), std::end(folders),
                           [&](const char *sub) { return testenv::FileMode(root + sub) != 0; });
    }));
    for (const char *sub : folders)
        EXPECT_EQ(testenv::FileMode(root + sub), 0700u) << sub;

    QProcess second;
    second.start(QString::fromStdString(testenv::ProgramPath("korrind")), {});
    ASSERT_TRUE(second.waitForFinished(5000)) << "the second start did not end";
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);
    EXPECT_TRUE(platform::IsNamedLockPresent("CORVEX"));

    // SIGTERM ends the monitor cleanly and releases the lock.
    ::kill(pid_t(first.processId()), SIGTERM);
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_FALSE(platform::IsNamedLockPresent("CORVEX"));
}

TEST(KorrindStart, LockGoesWithAKilledMonitor)
{
    QProcess monitor;
    StartMonitor(monitor);
    ::kill(pid_t(monitor.processId()), SIGKILL);
    monitor.waitForFinished();
    EXPECT_TRUE(testenv::WaitUntil([] { return !platform::IsNamedLockPresent("CORVEX"); }));

    QProcess again; // and a new start takes it over
    StartMonitor(again);
    again.terminate();
    EXPECT_TRUE(again.waitForFinished(10000));
}

// One data root has one monitor whatever the environment says: a monitor started without a
// runtime folder finds the one started with it, and the other way round. SIGTERM (a logout, a
// service manager) then ends the first while a message box waits for the user: the notice
// about damaged settings, shown at start once it is logged.
TEST(KorrindStart, OneMonitorPerDataRootAndTermSignalEndsItWhileAMessageBoxIsOpen)
{
    // A copy of the program keeps its debug log ("Debug.txt" beside it) to this test.
    const std::string folder = testenv::MakeScratchDir("program");
    const std::string program = folder + "/" + names::MonitorExe;
    const std::string log = folder + "/" + names::DebugLogFile;
    ASSERT_TRUE(QFile::copy(QString::fromStdString(testenv::ProgramPath("korrind")),
                            QString::fromStdString(program)));
    for (bool firstHasRuntimeFolder : {true, false}) {
        SCOPED_TRACE(firstHasRuntimeFolder ? "first with a runtime folder" : "first without");
        GiveOneMailbox();
        testenv::WriteFile(DataRootPath() + "/" + names::ConfigFile, std::string(100, '\x7f'));
        QFile::remove(QString::fromStdString(log));
        const QProcessEnvironment without = WithoutRuntimeFolder();
        QProcess first;
        if (!firstHasRuntimeFolder)
            first.setProcessEnvironment(without);
        StartMonitor(first, program);
        ASSERT_TRUE(testenv::WaitUntil([&] {
            return testenv::ReadFile(log).find("Config.cfg.damaged") != std::string::npos;
        })) << "the notice was never logged";

        QProcess second;
        if (firstHasRuntimeFolder)
            second.setProcessEnvironment(without);
        second.start(QString::fromStdString(testenv::ProgramPath("korrind")), {});
        EXPECT_TRUE(second.waitForFinished(5000)) << "two monitors ran on one data root";
        EXPECT_EQ(second.exitCode(), 0);
        EXPECT_EQ(first.state(), QProcess::Running);

        ::kill(pid_t(first.processId()), SIGTERM);
        EXPECT_TRUE(first.waitForFinished(5000)) << "the monitor outlived SIGTERM";
        EXPECT_EQ(first.exitStatus(), QProcess::NormalExit);
        EXPECT_TRUE(testenv::WaitUntil([] { return !MonitorLockPresent(); }));
    }
}
