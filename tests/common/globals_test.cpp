#include <QCoreApplication>
#include <QDir>
#include <QKeyEvent>
#include <QObject>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/globals.h"
#include "common/platform/files.h"
#include "common/ui/escapehook.h"
#include "common/utils.h"
#include "support/testenv.h"

namespace {

std::string Env(const char *name)
{
    return qEnvironmentVariable(name).toStdString();
}

// Private system folders (no installed mail programs unless a test adds some).
class GlobalsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string system = testenv::MakeScratchDir("sys");
        qputenv("XDG_DATA_DIRS", QByteArray::fromStdString(system));
        qputenv("XDG_CONFIG_DIRS", QByteArray::fromStdString(system));
        Applications = Env("XDG_DATA_HOME") + "/applications";
        QDir(QString::fromStdString(Applications)).removeRecursively();
        platform::MakeFolderPath(Applications);
        ::unlink((Env("XDG_CONFIG_HOME") + "/mimeapps.list").c_str());
    }

    void AddMailProgram(const std::string &id, const std::string &name, const std::string &exec)
    {
        testenv::WriteFile(Applications + "/" + id + ".desktop",
                           "[Desktop Entry]\nName=" + name + "\nExec=" + exec +
                               "\nMimeType=x-scheme-handler/mailto;\n");
    }

    void SetDefault(const std::string &id)
    {
        testenv::WriteFile(Env("XDG_CONFIG_HOME") + "/mimeapps.list",
                           "[Default Applications]\nx-scheme-handler/mailto=" + id + ".desktop\n");
    }

    std::string Applications;
};

} // namespace

// Created owner-only, and taken back to owner-only where an older version or the user left
// them open to others; the user's own "My Alerts" in the documents keeps its mode.
TEST_F(GlobalsTest, DataRootAndFoldersAreCreatedOwnerOnly)
{
    TGlobals globals;
    globals.ProgramFolder = testenv::MakeScratchDir("prog") + "/";
    globals.InitPaths();
    EXPECT_EQ(globals.DataRoot, Env("XDG_DATA_HOME") + "/Corvex Users");
    const std::string alerts = Env("XDG_DOCUMENTS_DIR") + "/My Alerts";
    for (const std::string &open : {globals.DataRoot, globals.DataRoot + "/Temp", alerts}) {
        ASSERT_TRUE(platform::MakeFolderPath(open));
        ASSERT_EQ(::chmod(open.c_str(), 0755), 0);
    }
    globals.CreateDataFolders();
    for (const char *sub : {"", "/Temp", "/Rejected Mail", "/PlugIns", "/Extentions", "/Ext Bin"})
        EXPECT_EQ(testenv::FileMode(globals.DataRoot + sub), 0700u) << sub;
    EXPECT_EQ(testenv::FileMode(alerts), 0755u);
    for (const char *sub : {"Ext Bin", "Extentions", "PlugIns"})
        EXPECT_EQ(testenv::FileMode(globals.ProgramFolder + sub), 0755u) << sub;

    globals.SetRejectedPath("");
    EXPECT_EQ(globals.RejectedPath, globals.DataRoot + "/Rejected Mail");
    globals.SetRejectedPath("/rules/");
    EXPECT_EQ(globals.RejectedPath, "/rules/Rejected Mail");
}

TEST_F(GlobalsTest, OldLayoutAddsLoginNameLevel)
{
    OsMajorVersion = 4;
    TGlobals globals;
    globals.InitPaths();
    OsMajorVersion = 10;
    std::string root = Env("XDG_DATA_HOME") + "/Corvex Users";
    EXPECT_EQ(globals.DataRoot, root + "/" + TUtils().GetLoginUserName());
    EXPECT_TRUE(TUtils::FolderExists(root));
    EXPECT_TRUE(TUtils::FolderExists(globals.DataRoot));
}

TEST_F(GlobalsTest, HelpFileBesideProgramOrInItsParent)
{
    std::string top = testenv::MakeScratchDir("install");
    platform::MakeFolderPath(top + "/bin/Help");
    platform::MakeFolderPath(top + "/Help");
    TGlobals globals;
    globals.ProgramFolder = top + "/bin/";

    globals.InitPaths(); // in neither place: the parent's path is used unchecked
    EXPECT_EQ(globals.HelpFile, top + "/Help/CORVEX.HLP");
    testenv::WriteFile(top + "/Help/CORVEX.HLP", "help");
    globals.InitPaths();
    EXPECT_EQ(globals.HelpFile, top + "/Help/CORVEX.HLP");
    testenv::WriteFile(top + "/bin/Help/CORVEX.HLP", "help");
    globals.InitPaths();
    EXPECT_EQ(globals.HelpFile, top + "/bin/Help/CORVEX.HLP");
}

TEST_F(GlobalsTest, MailerListRules)
{
    AddMailProgram("writer", "Writer Mail", "writer %u");
    AddMailProgram("hot", "Hotmail", "hot");
    {
        TGlobals globals; // no default set
        EXPECT_EQ(globals.DefaultMailer, "");
        EXPECT_EQ(globals.MailerList.Items(), std::vector<std::string>{"Writer Mail=writer"});
    }
    SetDefault("absent"); // names no installed program: no default, entry still removed
    {
        TGlobals globals;
        EXPECT_EQ(globals.DefaultMailer, "");
        EXPECT_EQ(globals.MailerList.IndexOfName("default"), -1);
        EXPECT_EQ(globals.MailerList.Count(), 1);
    }
    SetDefault("writer");
    TGlobals globals;
    EXPECT_EQ(globals.DefaultMailer, "Writer Mail");
    EXPECT_EQ(globals.MailerList.Items(), std::vector<std::string>{"Writer Mail=writer"});
}

TEST_F(GlobalsTest, RunMailProgramStartsItWithTheMessageFile)
{
    std::string dir = testenv::MakeScratchDir("mailer");
    std::string script = dir + "/fake mailer";
    std::string record = dir + "/args";
    testenv::WriteFile(script,
                       "#!/bin/sh\nfor a in \"$@\"; do echo \"[$a]\"; done > '" + record + "'\n");
    ::chmod(script.c_str(), 0700);
    AddMailProgram("fake", "Fake Mail", "\"" + script + "\" --open %u");
    TGlobals globals;

    EXPECT_FALSE(globals.RunMailProgram("Unknown"));
    ASSERT_TRUE(globals.RunMailProgram("&Fake Mail", dir + "/saved msg.eml"));
    TUtils utils;
    EXPECT_TRUE(utils.WaitFor(
        [&] { return testenv::ReadFile(record) == "[--open]\n[" + dir + "/saved msg.eml]\n"; },
        5000))
        << testenv::ReadFile(record);
}

TEST_F(GlobalsTest, EscapeReleaseIsSeenOnce)
{
    TGlobals globals;
    InstallEscapeHook(globals);
    QObject target;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &press);
    EXPECT_FALSE(globals.EscapePressed(false)); // only the release counts
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(&target, &release);
    EXPECT_EQ(globals.LastKey, 27);
    EXPECT_TRUE(globals.EscapePressed(false));
    EXPECT_FALSE(globals.EscapePressed(false));
    QCoreApplication::sendEvent(&target, &release);
    EXPECT_FALSE(globals.EscapePressed(true)); // reset clears it
    EXPECT_FALSE(globals.EscapePressed(false));
}

TEST_F(GlobalsTest, ProgramFolderAddedToPathOnce)
{
    QByteArray saved = qgetenv("PATH");
    TGlobals globals;
    globals.ProgramFolder = "/opt/corvex/bin/";
    qputenv("PATH", "/usr/bin:/opt/corvex/bin2");
    globals.AddProgramFolderToPath();
    EXPECT_EQ(qgetenv("PATH"), "/usr/bin:/opt/corvex/bin2:/opt/corvex/bin");
    globals.AddProgramFolderToPath();
    EXPECT_EQ(qgetenv("PATH"), "/usr/bin:/opt/corvex/bin2:/opt/corvex/bin");
    qputenv("PATH", "");
    globals.AddProgramFolderToPath();
    EXPECT_EQ(qgetenv("PATH"), "/opt/corvex/bin"); // no empty entry (it would mean ".")
    qputenv("PATH", saved);
}
