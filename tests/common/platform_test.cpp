#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/platform/files.h"
#include "common/platform/folders.h"
#include "common/platform/locks.h"
#include "common/platform/mailprograms.h"
#include "common/platform/opener.h"
#include "common/platform/process.h"
#include "common/platform/registry.h"
#include "support/testenv.h"

namespace {

// A copy of sleep under a name of our own, so the process can be found by name.
std::string SleeperCopy(const std::string &name)
{
    std::string path = testenv::MakeScratchDir("bin") + "/" + name;
    EXPECT_TRUE(QFile::copy("/bin/sleep", QString::fromStdString(path)));
    ::chmod(path.c_str(), 0700);
    return path;
}

// Points an environment variable elsewhere for one test.
class TEnvOverride
{
public:
    TEnvOverride(const char *name, const std::string &value)
        : Name(name), Old(qgetenv(name)), HadOld(qEnvironmentVariableIsSet(name))
    {
        qputenv(name, QByteArray::fromStdString(value));
    }
    ~TEnvOverride()
    {
        if (HadOld)
            qputenv(Name, Old);
        else
            qunsetenv(Name);
    }

private:
    const char *Name;
    QByteArray Old;
    bool HadOld;
};

} // namespace

TEST(PlatformFiles, AtomicWriteReplacesWholeFileOwnerOnly)
{
    std::string dir = testenv::MakeScratchDir("atomic");
    std::string path = dir + "/Config.cfg";
    ASSERT_TRUE(platform::WriteFileAtomic(path, "first version"));
    ASSERT_TRUE(platform::WriteFileAtomic(path, "v2"));
    EXPECT_EQ(testenv::ReadFile(path), "v2");
    EXPECT_EQ(testenv::FileMode(path), 0600u);
    EXPECT_EQ(QDir(QString::fromStdString(dir)).entryList(QDir::Files).size(), 1); // no leftovers

    std::string error;
    EXPECT_FALSE(platform::WriteFileAtomic(dir + "/missing/x", "data", 0600, &error));
    EXPECT_FALSE(error.empty());

    ASSERT_TRUE(platform::MakeFolderPath(dir + "/a/b/c"));
    EXPECT_EQ(testenv::FileMode(dir + "/a/b/c"), 0700u);
    std::string bytes;
    EXPECT_FALSE(platform::ReadWholeFile(dir + "/a", bytes)); // a folder is not a file
}

TEST(PlatformFiles, LeftoversOfCrashedWritersAreRemovedAndNamesKeptAsideNeverReplaced)
{
    std::string dir = testenv::MakeScratchDir("leftovers");
    testenv::WriteFile(dir + "/Config.cfg.tmp-a1B2c3", "half"); // its writer died
    testenv::WriteFile(dir + "/PopSrv.cfg.tmp-Zz9yY8", "busy"); // its writer is still writing
    testenv::WriteFile(dir + "/notes.tmp-1", "not ours");
    int writing = ::open((dir + "/PopSrv.cfg.tmp-Zz9yY8").c_str(), O_RDONLY);
    ASSERT_EQ(::flock(writing, LOCK_EX), 0);
    EXPECT_EQ(platform::RemoveStaleTemporaries(dir), 1);
    ::close(writing);
    EXPECT_EQ(
        QDir(QString::fromStdString(dir)).entryList(QDir::Files, QDir::Name | QDir::IgnoreCase),
        QStringList({"notes.tmp-1", "PopSrv.cfg.tmp-Zz9yY8"}));

    std::string kept;
    testenv::WriteFile(dir + "/a", "first");
    ASSERT_TRUE(platform::MoveAside(dir + "/a", dir + "/a.old", kept));
    EXPECT_EQ(kept, dir + "/a.old");
    testenv::WriteFile(dir + "/a", "second");
    ASSERT_TRUE(platform::MoveAside(dir + "/a", dir + "/a.old", kept));
    EXPECT_EQ(kept, dir + "/a.old-1");
    EXPECT_EQ(testenv::ReadFile(dir + "/a.old"), "first");
    EXPECT_EQ(testenv::ReadFile(dir + "/a.old-1"), "second");
    EXPECT_FALSE(QFile::exists(QString::fromStdString(dir + "/a")));
}

// A file grows in place and keeps its inode; an undo record that a crash cut short (it
// promises more bytes than it holds) was made before the file was touched: the file stays.
TEST(PlatformFiles, TailIsReplacedInPlaceAndACutUndoRecordLeavesTheFileAlone)
{
    const std::string path = testenv::MakeScratchDir("tail") + "/list.ini";
    ASSERT_TRUE(platform::WriteFileAtomic(path, "one\ntwo\nend 2\n"));
    struct stat before = {}, after = {};
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    ASSERT_TRUE(platform::ReplaceFileTail(path, 8, "three\nend 3\n"));
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(testenv::ReadFile(path), "one\ntwo\nthree\nend 3\n");
    EXPECT_EQ(testenv::ReadFile(path + platform::UndoSuffix), "");
    std::string tail;
    uint64_t size = 0;
    ASSERT_TRUE(platform::ReadFileTail(path, 6, tail, size));
    EXPECT_EQ(tail, "end 3\n");
    EXPECT_EQ(size, 20u);

    testenv::WriteFile(path + platform::UndoSuffix, "4 20 0123456789abcdef\ntwo\n");
    EXPECT_TRUE(platform::RecoverFileTail(path));
    EXPECT_EQ(testenv::ReadFile(path), "one\ntwo\nthree\nend 3\n");
    EXPECT_EQ(testenv::ReadFile(path + platform::UndoSuffix), "");
    EXPECT_FALSE(platform::ReplaceFileTail(path, 21, "past the end"));
    EXPECT_EQ(testenv::ReadFile(path), "one\ntwo\nthree\nend 3\n");
}

TEST(PlatformFolders, RuntimeFolderFallsBackToPrivateTempFolder)
{
    TEnvOverride tmp("TMPDIR", testenv::MakeScratchDir("tmp"));
    TEnvOverride runtime("XDG_RUNTIME_DIR", "");
    std::string folder = platform::RuntimeFolder();
    EXPECT_EQ(folder.rfind(qEnvironmentVariable("TMPDIR").toStdString(), 0), 0u) << folder;
    EXPECT_EQ(testenv::FileMode(folder), 0700u);
}

TEST(PlatformLocks, HeldLockIsSeenAndReleasedOnDestruction)
{
    const std::string name = "UnitLockA";
    EXPECT_FALSE(platform::IsNamedLockPresent(name));
    {
        auto lock = platform::AcquireNamedLock(name);
        ASSERT_TRUE(lock);
        EXPECT_TRUE(platform::IsNamedLockPresent(name));
        EXPECT_FALSE(platform::AcquireNamedLock(name));  // a second holder is refused
        EXPECT_TRUE(platform::IsNamedLockPresent(name)); // probing does not disturb it
    }
    EXPECT_FALSE(platform::IsNamedLockPresent(name));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(platform::NamedLockPath(name))));
    EXPECT_TRUE(platform::AcquireNamedLock(name));
}

TEST(PlatformLocks, LockOfAnotherProcessEndsWithItEvenWhenKilled)
{
    const std::string name = "UnitLockB";
    QProcess holder;
    // --no-fork: flock itself runs sleep while holding the lock, so one kill ends the holder.
    holder.start("flock", {"--exclusive", "--no-fork",
                           QString::fromStdString(platform::NamedLockPath(name)), "sleep", "60"});
    ASSERT_TRUE(holder.waitForStarted());
    ASSERT_TRUE(testenv::WaitUntil([&] { return platform::IsNamedLockPresent(name); }));
    EXPECT_FALSE(platform::AcquireNamedLock(name));

    ::kill(pid_t(holder.processId()), SIGKILL); // the holder dies without cleaning up
    holder.waitForFinished();
    EXPECT_TRUE(testenv::WaitUntil([&] { return !platform::IsNamedLockPresent(name); }));
    EXPECT_TRUE(platform::AcquireNamedLock(name));
}

// A data folder that can keep no lock file (read-only, gone) does not stop the start: the named
// lock alone keeps a second copy out then.
TEST(PlatformLocks, InstanceLockWithoutALockFileInTheDataFolderKeepsTheNamedLock)
{
    auto alone = platform::AcquireInstanceLock("UnitInstance", "/proc/no-such-folder");
    ASSERT_TRUE(alone);
    EXPECT_FALSE(alone->HoldsFolderLock());
    EXPECT_FALSE(platform::AcquireInstanceLock("UnitInstance", testenv::MakeScratchDir("data")));
}

TEST(PlatformLocks, StartedProgramsDoNotInheritTheLock)
{
    const std::string name = "UnitLockC";
    auto lock = platform::AcquireNamedLock(name);
    ASSERT_TRUE(lock);
    pid_t child = 0;
    ASSERT_TRUE(platform::StartDetached("/bin/sleep", {"30"}, "", &child));
    lock.reset();
    EXPECT_FALSE(platform::IsNamedLockPresent(name)); // the child does not keep it alive
    EXPECT_TRUE(platform::EndProcess(child));
}

TEST(PlatformProcess, FindsAndEndsProcessesByExecutableName)
{
    std::string sleeper = SleeperCopy("corvexsleeper");
    pid_t pid = 0;
    ASSERT_TRUE(platform::StartDetached(sleeper, {"60"}, "", &pid));
    ASSERT_TRUE(
        testenv::WaitUntil([&] { return platform::ProcessFileName(pid) == "corvexsleeper"; }));
    EXPECT_EQ(platform::FindProcessByName("CorvexSleeper"), pid);

    // A replaced or deleted executable still reports its plain file name.
    ::unlink(sleeper.c_str());
    EXPECT_EQ(platform::ProcessFileName(pid), "corvexsleeper");

    EXPECT_TRUE(platform::EndProcess(pid, 2000));
    EXPECT_FALSE(platform::ProcessAlive(pid));
    EXPECT_EQ(platform::FindProcessByName("corvexsleeper"), 0);

    bool foundSelf = false;
    for (const auto &entry : platform::ListProcesses())
        foundSelf = foundSelf || (entry.Pid == ::getpid() && entry.FileName == "platform_test");
    EXPECT_TRUE(foundSelf);
}

TEST(PlatformProcess, EndProcessForcesOneThatIgnoresTerm)
{
    QProcess stubborn;
    stubborn.start("/bin/sh", {"-c", "trap '' TERM; echo ready; while :; do sleep 0.1; done"});
    ASSERT_TRUE(stubborn.waitForReadyRead(5000));
    pid_t pid = pid_t(stubborn.processId());
    QElapsedTimer clock;
    clock.start();
    EXPECT_TRUE(platform::EndProcess(pid, 200));
    EXPECT_LT(clock.elapsed(), 3000);
    stubborn.waitForFinished();
    EXPECT_EQ(stubborn.exitStatus(), QProcess::CrashExit);
}

TEST(PlatformProcess, RunAndWaitReportsExitCodeAndPumps)
{
    int pumps = 0;
    auto pump = [&] {
        ++pumps;
        return true;
    };
    platform::TRunResult run = platform::RunAndWait("/bin/sh", {"-c", "sleep 0.2; exit 3"}, pump);
    EXPECT_TRUE(run.Started);
    EXPECT_TRUE(run.Finished);
    EXPECT_EQ(run.ExitCode, 3);
    EXPECT_GT(pumps, 2);

    // A pump that says "stop" ends the wait and leaves the child running.
    std::string marker = testenv::MakeScratchDir("run") + "/done";
    run =
        platform::RunAndWait("/bin/sh", {"-c", "sleep 0.5; touch " + marker}, [] { return false; });
    EXPECT_TRUE(run.Started);
    EXPECT_FALSE(run.Finished);
    EXPECT_TRUE(testenv::WaitUntil([&] { return QFile::exists(QString::fromStdString(marker)); }));

    run = platform::RunAndWait("/no/such/program", {}, pump);
    EXPECT_FALSE(run.Started);
    EXPECT_FALSE(run.ErrorText.empty());
}

// The desktop's opener hands xdg-open (here a stand-in that notes its argument) a local page with
// a section through a forwarding page, since xdg-open would drop the section; other targets as
// they are.
TEST(PlatformOpener, LocalPageWithASectionIsOpenedThroughAForwardingPage)
{
    const std::string bin = testenv::MakeScratchDir("bin");
    const std::string noted = bin + "/opened";
    testenv::WriteFile(bin + "/xdg-open", "#!/bin/sh\nprintf '%s' \"$1\" > " + noted +
                                              ".tmp && mv " + noted + ".tmp " + noted + "\n");
    ::chmod((bin + "/xdg-open").c_str(), 0700);
    TEnvOverride path("PATH", bin + ":" + qEnvironmentVariable("PATH").toStdString());
    TEnvOverride runtime("XDG_RUNTIME_DIR", testenv::MakeScratchDir("runtime"));
    auto open = [&](const std::string &target) {
        QFile::remove(QString::fromStdString(noted));
        EXPECT_TRUE(platform::Opener().Open(target));
        EXPECT_TRUE(
            testenv::WaitUntil([&] { return QFile::exists(QString::fromStdString(noted)); }, 5000));
        return testenv::ReadFile(noted);
    };

    const std::string section = "file:///opt/corvex/Help/index.html#help-9";
    const std::string page = open(section);
    EXPECT_NE(page, section);
    EXPECT_NE(testenv::ReadFile(page).find("url=" + section + "\""), std::string::npos);
    EXPECT_EQ(open("file:///opt/corvex/Help/index.html"), "file:///opt/corvex/Help/index.html");
    EXPECT_EQ(open("mailto:jo@example.net"), "mailto:jo@example.net");
}

TEST(PlatformMailPrograms, DesktopEntriesAndDefault)
{
    std::string system = testenv::MakeScratchDir("sysdata");
    std::string configDirs = testenv::MakeScratchDir("sysconfig");
    TEnvOverride dataDirs("XDG_DATA_DIRS", system);
    TEnvOverride configDirsEnv("XDG_CONFIG_DIRS", configDirs);
    std::string user = qEnvironmentVariable("XDG_DATA_HOME").toStdString() + "/applications";
    platform::MakeFolderPath(user + "/sub");
    platform::MakeFolderPath(system + "/applications");
    auto entry = [](const std::string &name, const std::string &exec, const std::string &mime,
                    const std::string &extra = "") {
        return "[Desktop Entry]\nType=Application\nName=" + name +
               "\nName[de]=Lokal\nExec=" + exec + "\nMimeType=" + mime + "\n" + extra +
               "[Desktop Action x]\nExec=other\n";
    };
    testenv::WriteFile(user + "/writer.desktop",
                       entry("Writer\\sMail", "writer %u", "text/plain;x-scheme-handler/mailto;"));
    testenv::WriteFile(user + "/sub/nested.desktop",
                       entry("Nested", "nested --compose=%u", "x-scheme-handler/mailto"));
    testenv::WriteFile(user + "/gone.desktop",
                       entry("Gone", "gone", "x-scheme-handler/mailto", "Hidden=true\n"));
    testenv::WriteFile(user + "/viewer.desktop", entry("Viewer", "viewer %f", "image/png"));
    // The user's writer hides the system's; the system's gone is hidden by the user's Hidden one.
    testenv::WriteFile(system + "/applications/writer.desktop",
                       entry("System Writer", "syswriter", "x-scheme-handler/mailto"));
    testenv::WriteFile(system + "/applications/gone.desktop",
                       entry("Gone", "gone", "x-scheme-handler/mailto"));
    testenv::WriteFile(system + "/applications/sysmail.desktop",
                       entry("Sys Mail", "\"/opt/sys mail/bin\" %U", "x-scheme-handler/mailto"));

    std::vector<platform::TMailProgram> programs = platform::ListMailPrograms();
    ASSERT_EQ(programs.size(), 3u);
    EXPECT_EQ(programs[0].Id, "sub-nested");
    EXPECT_EQ(programs[1].Id, "sysmail");
    EXPECT_EQ(programs[2].Id, "writer");
    EXPECT_EQ(programs[2].Name, "Writer Mail");
    EXPECT_EQ(programs[2].Exec, "writer %u");

    EXPECT_EQ(platform::DefaultMailProgramId(), "");
    testenv::WriteFile(configDirs + "/mimeapps.list",
                       "[Default Applications]\nx-scheme-handler/mailto=sysmail.desktop\n");
    EXPECT_EQ(platform::DefaultMailProgramId(), "sysmail");
    // The user's own choice wins; of its list, the first installed program is taken.
    std::string userConfig = qEnvironmentVariable("XDG_CONFIG_HOME").toStdString();
    testenv::WriteFile(
        userConfig + "/mimeapps.list",
        "[Added Associations]\nx-scheme-handler/mailto=sysmail.desktop;\n"
        "[Default Applications]\nx-scheme-handler/mailto=absent.desktop;writer.desktop;\n");
    EXPECT_EQ(platform::DefaultMailProgramId(), "writer");
    testenv::WriteFile(userConfig + "/mimeapps.list",
                       "[Default Applications]\nx-scheme-handler/mailto=absent.desktop\n");
    EXPECT_EQ(platform::DefaultMailProgramId(), "absent");
    {
        TEnvOverride desktop("XDG_CURRENT_DESKTOP", "Test:Other");
        testenv::WriteFile(configDirs + "/other-mimeapps.list",
                           "[Default Applications]\nx-scheme-handler/mailto=writer.desktop\n");
        EXPECT_EQ(platform::DefaultMailProgramId(), "absent"); // the user's file still wins
        testenv::WriteFile(userConfig + "/test-mimeapps.list",
                           "[Default Applications]\nx-scheme-handler/mailto=sysmail.desktop\n");
        EXPECT_EQ(platform::DefaultMailProgramId(), "sysmail"); // desktop list before common
        ::unlink((userConfig + "/test-mimeapps.list").c_str());
    }
    ::unlink((userConfig + "/mimeapps.list").c_str());
}

TEST(PlatformMailPrograms, ExecFieldCodes)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(platform::ExpandExec("writer %u"), V{"writer"});
    EXPECT_EQ(platform::ExpandExec("writer %u", "/tmp/a b.eml"), (V{"writer", "/tmp/a b.eml"}));
    EXPECT_EQ(platform::ExpandExec("\"/opt/my mail/bin\" -x %F --icon %i %c", "/m.eml"),
              (V{"/opt/my mail/bin", "-x", "/m.eml", "--icon"}));
    EXPECT_EQ(platform::ExpandExec("mail --url=%u 100%%"), (V{"mail", "--url=", "100%"}));
    EXPECT_EQ(platform::ExpandExec("plain -n", "/m.eml"), (V{"plain", "-n", "/m.eml"}));
    EXPECT_EQ(platform::ExpandExec("\"a \\\"q\\\" \\\\ b\""), V{"a \"q\" \\ b"});
    EXPECT_TRUE(platform::ExpandExec("").empty());
}

TEST(PlatformRegistry, FileRoundTripKeepsTypesAndEscapes)
{
    std::string path = testenv::MakeScratchDir("reg") + "/Registry.ini";
    {
        platform::TRegistryFile file(path);
        file.SetString(platform::TRegRoot::User, "\\Software\\Test", "", "default text");
        file.SetString(platform::TRegRoot::User, "\\Software\\Test", "a=b\\c", "line1\nline2=x ");
        file.SetExpandString(platform::TRegRoot::User, "Software\\Test\\", "Path", "%TEMP%\\x");
        file.SetInteger(platform::TRegRoot::User, "\\Software\\Test", "Count", -5);
        file.SetBinary(platform::TRegRoot::User, "\\Software\\Test", "Blob",
                       std::string("ab\0c", 4));
        file.SetString(platform::TRegRoot::Machine, "\\Software\\Test", "@", "named at");
        file.AddKey(platform::TRegRoot::User, "\\Software\\Test\\Deep\\Er");
        ASSERT_TRUE(file.Save());
    }
    EXPECT_EQ(testenv::FileMode(path), 0600u);

    platform::TRegistry reg(path);
    reg.SetRootKey(platform::TRegRoot::User);
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\SOFTWARE\\test")); // keys match ignoring case
    EXPECT_EQ(reg.ReadString(""), "default text");
    EXPECT_EQ(reg.ReadString("A=B\\c"), "line1\nline2=x ");
    EXPECT_EQ(reg.GetDataType("path"), platform::TRegType::ExpandString);
    EXPECT_EQ(reg.ReadString("Path"), "%TEMP%\\x");
    EXPECT_EQ(reg.ReadInteger("Count"), -5);
    EXPECT_EQ(reg.ReadBinaryData("Blob"), std::string("ab\0c", 4));
    EXPECT_EQ(reg.GetDataSize("Blob"), 4);
    EXPECT_EQ(reg.GetDataType("missing"), platform::TRegType::None);
    EXPECT_EQ(reg.GetKeyNames(), std::vector<std::string>{"Deep"});
    EXPECT_EQ(reg.GetValueNames().size(), 5u);
    EXPECT_TRUE(reg.OpenKeyReadOnly("\\Software\\Test\\Deep")); // implied by a deeper key
    EXPECT_FALSE(reg.OpenKeyReadOnly("\\Software\\Nothing"));

    reg.SetRootKey(platform::TRegRoot::Machine);
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\Software\\Test"));
    EXPECT_EQ(reg.ReadString("@"), "named at");
    EXPECT_EQ(reg.ReadString(""), "");
}

TEST(PlatformRegistry, DamagedFileLinesAreSkipped)
{
    std::string path = testenv::MakeScratchDir("regbad") + "/Registry.ini";
    testenv::WriteFile(path, "orphan=sz:x\n[User\\K]\nGood=sz:yes\nNoType=plain\nBad=hex:4\n"
                             "Num=dword:12x\n[Nowhere\\K]\nLost=sz:1\n[User\\K]\nLate=dword:7\n");
    platform::TRegistry reg(path);
    reg.SetRootKey(platform::TRegRoot::User);
    ASSERT_TRUE(reg.OpenKeyReadOnly("\\K"));
    EXPECT_EQ(reg.GetValueNames(), (std::vector<std::string>{"Good", "Late"}));
    EXPECT_EQ(reg.ReadInteger("Late"), 7);
}
