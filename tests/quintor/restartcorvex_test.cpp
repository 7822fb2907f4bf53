#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <thread>
#include <unistd.h>

#include "common/names.h"
#include "common/platform/folders.h"
#include "common/platform/locks.h"
#include "common/platform/process.h"
#include "common/stringlist.h"
#include "common/text.h"
#include "common/utils.h"
#include "quintor/restartcorvex.h"
#include "support/testenv.h"

namespace fs = std::filesystem;

namespace {

const char StandInVariable[] = "CORVEX_STANDIN_MONITOR";

// Started as a stand-in monitor (a copy of this executable named like the monitor, with
// StandInVariable naming a folder), the program never reaches the tests: it counts its start
// in <folder>/starts, takes the monitor's lock, writes its pid to <folder>/pid.<n> and
// behaves as <folder>/mode.<n> says: "exit <ms>" ends after ms, "hang" ignores SIGTERM,
// anything else stays. It never lives longer than two minutes.
[[noreturn]] void RunStandInMonitor(const std::string &folder)
{
    {
        std::ofstream(folder + "/starts", std::ios::app) << "start\n";
    }
    TStringList starts;
    starts.LoadFromFile(folder + "/starts");
    const std::string n = std::to_string(starts.Count());
    auto lock = platform::AcquireNamedLock(names::MonitorLock);
    if (!lock)
        _exit(0); // a second monitor ends silently, as the real one does
    std::ofstream(folder + "/pid." + n) << ::getpid() << "\n";

    TStringList mode;
    mode.LoadFromFile(folder + "/mode." + n);
    const std::string behaviour = mode.Empty() ? "stay" : mode[0];
    long long lifeMs = 120000;
    if (StartsText(behaviour, "exit "))
        lifeMs = StrToIntDef(behaviour.substr(5), 0);
    else if (behaviour == "hang")
        std::signal(SIGTERM, SIG_IGN);
    std::this_thread::sleep_for(std::chrono::milliseconds(lifeMs));
    _exit(0);
}

struct TStandInSwitch
{
    TStandInSwitch()
    {
        if (const char *folder = std::getenv(StandInVariable))
            RunStandInMonitor(folder);
    }
} StandInSwitch;

class RestartTest : public ::testing::Test
{
protected:
    std::string Folder = testenv::MakeScratchDir("restart");
    std::string Monitor = Folder + "/" + names::MonitorExe;
    TUtils OwnUtils;

    void SetUp() override
    {
        Utils = &OwnUtils;
        Utils->LogFileName = Folder + "/Debug.txt";
        TUtils::ResetTerminating();
        fs::copy_file(platform::ExecutablePath(), Monitor);
        qputenv(StandInVariable, QByteArray::fromStdString(Folder));
    }

    void TearDown() override
    {
        for (int n = 1; n <= Starts(); ++n)
            if (pid_t pid = PidOf(n))
                platform::EndProcess(pid, 0);
        qunsetenv(StandInVariable);
        Utils = nullptr;
    }

    void SetMode(int start, const std::string &mode)
    {
        testenv::WriteFile(Folder + "/mode." + std::to_string(start), mode + "\n");
    }

    int Starts() const
    {
        TStringList starts;
        starts.LoadFromFile(Folder + "/starts");
        return starts.Count();
    }

    // Pid of the n-th stand-in; it writes the file just after taking the lock, so give it a
    // moment. 0 when it never wrote one.
    pid_t PidOf(int start) const
    {
        const std::string file = Folder + "/pid." + std::to_string(start);
        pid_t pid = 0;
        Utils->WaitFor(
            [&] {
                pid = pid_t(StrToIntDef(Trim(testenv::ReadFile(file)), 0));
                return pid > 0;
            },
            start <= Starts() ? 3000 : 0);
        return pid;
    }

    // Starts the first stand-in monitor and waits until it holds the lock.
    void StartMonitor(const std::string &mode)
    {
        SetMode(1, mode);
        ASSERT_TRUE(platform::StartDetached(Monitor, {}));
        ASSERT_TRUE(Utils->WaitUntilMutexPresent(5000, names::MonitorLock));
        ASSERT_NE(PidOf(1), 0);
    }

    std::string WriteParameters(const std::string &path, const std::string &firstLine)
    {
        testenv::WriteFile(path, firstLine + "\nignored second line\n");
        return path;
    }
};

// The restart logic in this process, with every wait shortened.
class RestartLogicTest : public RestartTest
{
protected:
    static TRestartTimings Fast()
    {
        TRestartTimings timings;
        timings.TickMs = 50;
        timings.GoneWaitMs = 100;
        timings.StartDelayMs = 300;
        timings.PresentWaitMs = 3000;
        return timings;
    }

    TRestartCorvex Restart{Fast()};
    std::vector<std::string> Phases;
    int Finishes = 0;
    bool Restarted = false;

    void SetUp() override
    {
        RestartTest::SetUp();
        Restart.OnPhase = [this](const std::string &phase) { Phases.push_back(phase); };
        Restart.OnFinished = [this](bool restarted) {
            ++Finishes;
            Restarted = restarted;
        };
    }

    void RunUntilFinished(int limitMs = 20000)
    {
        Utils->WaitFor([this] { return Finishes > 0; }, unsigned(limitMs));
    }
};

} // namespace

TEST_F(RestartLogicTest, HungMonitorIsEndedByForceAfterTenTicks)
{
    // Another program of the same name that does not hold the lock is left alone, even
    // when it was started first.
    const std::string decoyFolder = Folder + "/other";
    fs::create_directory(decoyFolder);
    fs::copy_file("/bin/sleep", decoyFolder + "/" + names::MonitorExe);
    pid_t decoy = 0;
    ASSERT_TRUE(platform::StartDetached(decoyFolder + "/" + names::MonitorExe, {"30"}, "", &decoy));

    StartMonitor("hang");
    const pid_t hung = PidOf(1);
    ASSERT_TRUE(Restart.Activate(WriteParameters(Folder + "/params.ini", Monitor)));
    EXPECT_EQ(Restart.FindMonitorProcess(), hung);
    RunUntilFinished();
    EXPECT_TRUE(platform::ProcessAlive(decoy));
    platform::EndProcess(decoy, 0);

    EXPECT_TRUE(Restarted);
    EXPECT_EQ(Phases, (std::vector<std::string>{"Corvex Ending", "Starting Corvex"}));
    EXPECT_EQ(Restart.TickCount, 11u);
    EXPECT_FALSE(platform::ProcessAlive(hung));
    EXPECT_EQ(Starts(), 2);
    EXPECT_TRUE(platform::ProcessAlive(PidOf(2)));
}

TEST_F(RestartLogicTest, WithoutAMonitorPathNothingIsTouched)
{
    StartMonitor("stay");
    EXPECT_FALSE(Restart.Activate(Folder + "/no such parameter file.ini"));
    EXPECT_EQ(Finishes, 1);
    EXPECT_FALSE(Restarted);
    EXPECT_FALSE(Restart.Activate(WriteParameters(Folder + "/empty.ini", "  ")));
    EXPECT_FALSE(Restart.Timer1.isActive());
    EXPECT_TRUE(Phases.empty());
    EXPECT_TRUE(platform::ProcessAlive(PidOf(1)));
}

TEST_F(RestartLogicTest, MonitorThatCannotBeStartedEndsTheToolAfterTheWait)
{
    ASSERT_TRUE(Restart.Activate(WriteParameters(Folder + "/params.ini", Folder + "/nothing")));
    QElapsedTimer clock;
    clock.start();
    RunUntilFinished();
    EXPECT_EQ(Finishes, 1);
    EXPECT_FALSE(Restarted);
    EXPECT_EQ(Phases.back(), "Starting Corvex");
    EXPECT_GE(clock.elapsed(), 3000); // the whole wait for the new monitor's lock
    EXPECT_NE(testenv::ReadFile(Folder + "/Debug.txt").find("cannot start"), std::string::npos);
}

TEST_F(RestartLogicTest, ClosingTheToolDuringThePauseLeavesTheMonitorStopped)
{
    StartMonitor("exit 100");
    ASSERT_TRUE(Restart.Activate(WriteParameters(Folder + "/params.ini", Monitor)));
    bool pauseShown = false;
    Restart.OnPhase = [&](const std::string &phase) {
        if (phase != "Starting Corvex")
            return;
        pauseShown = true;
        Restart.Stop(); // the window closes as the pause begins
    };
    // The tick that showed the phase has returned once the wait sees it.
    ASSERT_TRUE(Utils->WaitFor([&] { return pauseShown; }, 20000));
    EXPECT_FALSE(Restart.Timer1.isActive());
    EXPECT_EQ(Finishes, 0);
    EXPECT_EQ(Starts(), 1);
    const std::string log = testenv::ReadFile(Folder + "/Debug.txt");
    EXPECT_EQ(log.find("Restart: started"), std::string::npos) << log;
    EXPECT_EQ(log.find("Restart: cannot start"), std::string::npos) << log;
    EXPECT_FALSE(Utils->IsMutexPresent(names::MonitorLock));
}

// The real program, copied beside its own parameter file, restarting a stand-in monitor.
class QuintorProgramTest : public RestartTest
{
protected:
    std::string Tool = Folder + "/quintor";

    void SetUp() override
    {
        RestartTest::SetUp();
        fs::copy_file(testenv::ProgramPath("quintor"), Tool);
        WriteParameters(Tool + ".ini", Monitor);
    }

    // Runs the tool to its end; its exit code, or -1 when it ran longer than limitMs.
    int RunTool(int limitMs)
    {
        QProcess tool;
        tool.start(QString::fromStdString(Tool), {});
        if (!tool.waitForStarted(5000))
            return -2;
        if (!tool.waitForFinished(limitMs)) {
            tool.kill();
            tool.waitForFinished(2000);
            return -1;
        }
        return tool.exitCode();
    }
};

TEST_F(QuintorProgramTest, RestartsAMonitorThatEndsQuickly)
{
    StartMonitor("exit 500");
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(RunTool(30000), 0);
    EXPECT_GE(clock.elapsed(), 5000); // the pause before the new start
    EXPECT_EQ(Starts(), 2);
    EXPECT_TRUE(Utils->IsMutexPresent(names::MonitorLock));
}

TEST_F(QuintorProgramTest, EndsAHungMonitorAndStartsANewOne)
{
    StartMonitor("hang");
    const pid_t hung = PidOf(1);
    EXPECT_EQ(RunTool(90000), 0);
    EXPECT_FALSE(platform::ProcessAlive(hung));
    EXPECT_EQ(Starts(), 2);
    EXPECT_TRUE(platform::ProcessAlive(PidOf(2)));
}

TEST_F(QuintorProgramTest, SecondCopyEndsAtOnceWithoutTouchingTheMonitor)
{
    StartMonitor("stay");
    auto running = platform::AcquireNamedLock(names::Quintor); // a copy already runs
    ASSERT_TRUE(running);
    QElapsedTimer clock;
    clock.start();
    EXPECT_EQ(RunTool(10000), 0);
    EXPECT_LT(clock.elapsed(), 4000);
    EXPECT_EQ(Starts(), 1);
    EXPECT_TRUE(platform::ProcessAlive(PidOf(1)));
}

// The tool probes the monitor's lock every few milliseconds while the new monitor starts; a
// probe caught at the instant of the start must not make the new monitor think one runs.
TEST(RestartLockProbe, ProbeAtTheMomentOfStartDoesNotRefuseTheMonitor)
{
    int probe =
        ::open(platform::NamedLockPath(names::MonitorLock).c_str(), O_RDONLY | O_CREAT, 0600);
    ASSERT_GE(probe, 0);
    ASSERT_EQ(::flock(probe, LOCK_SH | LOCK_NB), 0);
    // Released after the first attempt, early in the quarter of a second the start's retries
    // span: on a loaded machine the thread may run later than it asked.
    std::thread release([probe] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ::close(probe);
    });
    auto lock = platform::AcquireNamedLock(names::MonitorLock);
    release.join();
    EXPECT_TRUE(lock);
    // A holder that stays still refuses a second one.
    EXPECT_FALSE(platform::AcquireNamedLock(names::MonitorLock));
}
