#include <QProcess>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>

#include "common/names.h"
#include "common/platform/locks.h"
#include "support/testenv.h"

// The real program copied beside its parameter file: started without one (from the desktop's
// menu) it runs and shows a window; with one it runs and holds its lock, and a second copy ends
// at once.
TEST(StrennaStart, RunsWithOrWithoutTheInboxFolderAndOnlyOnce)
{
    const std::string folder = testenv::MakeScratchDir("program");
    const std::string program = folder + "/strenna";
    std::filesystem::copy_file(testenv::ProgramPath("strenna"), program);
    const QString path = QString::fromStdString(program);

    QProcess withoutParameters;
    withoutParameters.start(path, {});
    ASSERT_TRUE(withoutParameters.waitForStarted());
    ASSERT_TRUE(testenv::WaitUntil([] { return platform::IsNamedLockPresent(names::Strenna); }));
    EXPECT_EQ(withoutParameters.state(), QProcess::Running);
    ::kill(pid_t(withoutParameters.processId()), SIGTERM);
    ASSERT_TRUE(withoutParameters.waitForFinished(10000));
    EXPECT_EQ(withoutParameters.exitCode(), 0);
    EXPECT_FALSE(platform::IsNamedLockPresent(names::Strenna));

    const std::string inbox = testenv::MakeScratchDir("joe.example");
    testenv::WriteFile(inbox + "/saved.eml", "From: a@b\r\nSubject: s\r\n\r\ntext\r\n");
    testenv::WriteFile(program + ".ini", inbox + "\njoe@pop.example.org\n");
    QProcess first;
    first.start(path, {});
    ASSERT_TRUE(first.waitForStarted());
    ASSERT_TRUE(testenv::WaitUntil([] { return platform::IsNamedLockPresent(names::Strenna); }));
    QProcess second;
    second.start(path, {});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);

    ::kill(pid_t(first.processId()), SIGTERM);
    ASSERT_TRUE(first.waitForFinished(10000));
    EXPECT_EQ(first.exitCode(), 0);
    EXPECT_FALSE(platform::IsNamedLockPresent(names::Strenna));
}
