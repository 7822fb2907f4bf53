#include <QElapsedTimer>
#include <QProcess>
#include <QTimer>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sys/stat.h>
#include <unistd.h>

#include "common/platform/opener.h"
#include "common/utils.h"
#include "support/testenv.h"

TEST(UtilsPaths, BackslashAndDotHelpersUseSlash)
{
    EXPECT_EQ(TUtils::AddBackslash(""), "");
    EXPECT_EQ(TUtils::AddBackslash("/x"), "/x/");
    EXPECT_EQ(TUtils::AddBackslash("/x/"), "/x/");
    EXPECT_EQ(TUtils::RemoveTrailingBackslash("/x/"), "/x");
    EXPECT_EQ(TUtils::RemoveTrailingBackslash("/x"), "/x");
    EXPECT_EQ(TUtils::StripLeadingBackslash("/PlugIns/x.exe"), "PlugIns/x.exe");
    EXPECT_EQ(TUtils::StripLeadingBackslash("/x.exe"), "/x.exe");
    EXPECT_EQ(TUtils::StripLeadingBackslash("//server/share"), "//server/share");
    EXPECT_EQ(TUtils::AddLeadingDot("eml"), ".eml");
    EXPECT_EQ(TUtils::AddLeadingDot(".eml"), ".eml");
    EXPECT_EQ(TUtils::AddLeadingDot(""), "");
    EXPECT_EQ(TUtils::BuildPath("/in", "a", "eml"), "/in/a.eml");
    EXPECT_EQ(TUtils::BuildPath("/in/", "a", ".eml"), "/in/a.eml");
}

TEST(UtilsPaths, NameParts)
{
    EXPECT_EQ(TUtils::BaseNameNoExt("/in/a.b.eml"), "a.b");
    EXPECT_EQ(TUtils::BaseNameNoExt("/a.b/file"), "a"); // the dot in the folder is cut first
    EXPECT_EQ(TUtils::LeftOfLast("a.b.c", "."), "a.b");
    EXPECT_EQ(TUtils::LeftOfLast("abc", "."), "abc");
    EXPECT_EQ(TUtils::LeftOfLast("", "."), "");
    EXPECT_EQ(TUtils::ExtractParent("/in/box/a.eml", "/"), "/in/box");
    EXPECT_EQ(TUtils::ExtractParent("/a.eml", "/"), "/a.eml"); // a leading delimiter does not count
    EXPECT_EQ(TUtils::RemoveExtension("/in/a.eml"), "/in/a");
    EXPECT_EQ(TUtils::StripQuotes("\"/usr/bin/x\" \"a\""), "/usr/bin/x a");
}

TEST(UtilsPaths, SplitPathLocalAndUnc)
{
    std::string drive, dir, name, ext;
    EXPECT_EQ(TUtils::SplitPath("/dir/file.txt", drive, dir, name, ext), "");
    EXPECT_EQ(drive, "");
    EXPECT_EQ(dir, "/dir/");
    EXPECT_EQ(name, "file");
    EXPECT_EQ(ext, ".txt");

    EXPECT_EQ(TUtils::SplitPath("//server/share/dir/file.txt", drive, dir, name, ext), "server");
    EXPECT_EQ(drive, "//server/share");
    EXPECT_EQ(dir, "/dir/");
    EXPECT_EQ(name, "file");
    EXPECT_EQ(ext, ".txt");

    EXPECT_EQ(TUtils::SplitPath("\\\\srv\\docs\\in\\a.b.eml", drive, dir, name, ext), "srv");
    EXPECT_EQ(drive, "\\\\srv\\docs");
    EXPECT_EQ(dir, "\\in\\");
    EXPECT_EQ(name, "a.b");
    EXPECT_EQ(ext, ".eml");

    EXPECT_EQ(TUtils::SplitPath("//server/share", drive, dir, name, ext), "server");
    EXPECT_EQ(drive, "//server/share");
    EXPECT_EQ(dir + name + ext, "");
}

TEST(UtilsText, ExpandProgramFiles)
{
    EXPECT_EQ(TUtils::ExpandProgramFiles("%ProgramFiles%\\Outlook Express\\msimn.exe"),
              "C:\\Program Files\\Outlook Express\\msimn.exe");
    EXPECT_EQ(TUtils::ExpandProgramFiles("%windir%\\x"), "\\x");
    EXPECT_EQ(TUtils::ExpandProgramFiles("50% off"), "50 off");
    EXPECT_EQ(TUtils::ExpandProgramFiles("plain"), "plain");
}

TEST(UtilsText, NormalizeMailDate)
{
    EXPECT_EQ(TUtils::NormalizeMailDate("Thu, 4 Sep 2003 18:28:28 +0200"),
              "09.04.2003 18.28.28+0200");
    EXPECT_EQ(TUtils::NormalizeMailDate("  Thu, 04 Sep 2003 18:28:28 -0500 "),
              "09.04.2003 18.28.28-0500");
    // No month name gives month 13; no zone leaves a trailing blank.
    EXPECT_EQ(TUtils::NormalizeMailDate("4 2003 10:00:00"), "13.04.2003 10.00.00 ");
    // Slashes count as dots; a run of digits at the very end is not used.
    EXPECT_EQ(TUtils::NormalizeMailDate("12/Dec/2001"), "12.12.0000  ");
    EXPECT_EQ(TUtils::NormalizeMailDate(""), "13.00.0000  ");
    // Hostile input: a lone colon near the end must not read past the text.
    EXPECT_EQ(TUtils::NormalizeMailDate("Mon, 1 Jan 2024 1:"), "01.01.2024  1. ");
}

TEST(UtilsText, NewlineEncodingRoundTrip)
{
    EXPECT_EQ(TUtils::NewlinesToBars("one\r\ntwo\r\nthree"), "one|two|three");
    EXPECT_EQ(TUtils::NewlinesToBars("a\nb"), "a|b");
    // Each pass removes one carriage return, and the last pass (no line feed left) one more;
    // carriage returns beyond that stay.
    EXPECT_EQ(TUtils::NewlinesToBars("a\r\r\nb"), "a|b");
    EXPECT_EQ(TUtils::NewlinesToBars("a\r\rb\r"), "a\rb\r");
    EXPECT_EQ(TUtils::BarsToNewlines("one|two|three"), "one\ntwo\nthree");
    EXPECT_EQ(TUtils::BarsToNewlines(TUtils::NewlinesToBars("x\r\ny\r\n")), "x\ny\n");

    uint16_t h = 0, m = 0, s = 0;
    TUtils::SplitSeconds(3 * 3600 + 25 * 60 + 7, &h, &m, &s);
    EXPECT_EQ(h, 3);
    EXPECT_EQ(m, 25);
    EXPECT_EQ(s, 7);
    TUtils::SplitSeconds(59, nullptr, &m, nullptr); // absent outputs are skipped
    EXPECT_EQ(m, 0);
}

TEST(UtilsFiles, ListFilesExtensionRules)
{
    std::string dir = testenv::MakeScratchDir("list");
    for (const char *name : {"a.eml", "b.EML", "c.emlx", "noext", "dot.", "[x].eml"})
        testenv::WriteFile(dir + "/" + name, "x");
    testenv::WriteFile(dir + "/empty.eml", "");
    TUtils::CreateFolder(dir + "/sub/");

    TUtils utils;
    TStringList list;
    EXPECT_TRUE(utils.ListFiles(dir + "/*.eml", fileattr::AnyFile, list, false));
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"[x].eml", "a.eml"}));

    list.Clear();
    utils.ListFiles(dir + "/*.eml", fileattr::AnyFile, list, true);
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"[x].eml", "a.eml", "empty.eml"}));

    list.Clear(); // brackets are plain characters, not a character class
    utils.ListFiles(dir + "/[x]*.eml", fileattr::AnyFile, list, false);
    EXPECT_EQ(list.Items(), std::vector<std::string>{"[x].eml"});

    list.Clear();
    utils.ListFiles(dir + "/*.", fileattr::AnyFile, list, false);
    EXPECT_EQ(list.Items(), std::vector<std::string>{"noext"});

    list.Clear();
    utils.ListFiles(dir + "/*.*", fileattr::Archive, list, false);
    EXPECT_EQ(list.Items(),
              (std::vector<std::string>{"[x].eml", "a.eml", "b.EML", "c.emlx", "dot.", "noext"}));

    list.Clear();
    utils.ListFiles(dir + "/*", fileattr::Directory, list, false);
    EXPECT_NE(list.IndexOf("sub"), -1);
    EXPECT_EQ(list.IndexOf("."), -1);

    list.Clear(); // a pattern without a folder searches the current folder
    std::string previous = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    utils.ListFiles("*.eml", fileattr::AnyFile, list, false);
    EXPECT_TRUE(TUtils::FileExists("a.*"));
    std::filesystem::current_path(previous);
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"[x].eml", "a.eml"}));

    list.Clear();
    EXPECT_FALSE(utils.ListFiles(dir + "/*.txt", fileattr::AnyFile, list, true));
    EXPECT_FALSE(utils.ListFiles("/no/such/folder/*.eml", fileattr::AnyFile, list, true));
    EXPECT_TRUE(list.Empty());
}

TEST(UtilsFiles, ExistenceSizeDateAndRename)
{
    std::string dir = testenv::MakeScratchDir("files");
    testenv::WriteFile(dir + "/a.txt", "12345");
    EXPECT_TRUE(TUtils::FileExists(dir + "/a.txt"));
    EXPECT_TRUE(TUtils::FileExists(dir + "/*.txt"));
    EXPECT_FALSE(TUtils::FileExists(dir)); // a folder is not a file
    EXPECT_TRUE(TUtils::FolderExists(dir + "/"));
    EXPECT_FALSE(TUtils::FolderExists(dir + "/a.txt")); // a file is not a folder
    EXPECT_EQ(TUtils::GetFileSize(dir + "/a.txt"), 5);
    EXPECT_EQ(TUtils::GetFileSize(dir + "/missing"), 0);
    EXPECT_NEAR(double(TUtils::GetFileDate(dir + "/a.txt")), double(std::time(nullptr)), 60);
    EXPECT_EQ(TUtils::GetFileDate(dir + "/missing"), 0);

    TUtils utils;
    EXPECT_EQ(utils.RenameToExtension(dir + "/a.txt", "bak"), dir + "/a.bak");
    EXPECT_EQ(testenv::ReadFile(dir + "/a.bak"), "12345");
    EXPECT_EQ(utils.LastError, 0);
    testenv::WriteFile(dir + "/gone.bak", "kept");
    EXPECT_EQ(utils.RenameToExtension(dir + "/gone.txt", "bak"), "");
    EXPECT_NE(utils.LastError, 0);
    EXPECT_EQ(testenv::ReadFile(dir + "/gone.bak"), "kept"); // a failed rename deletes nothing
}

TEST(UtilsLog, LinesAreStampedAndLongMessagesCut)
{
    std::string dir = testenv::MakeScratchDir("log");
    TUtils utils;
    utils.LogFileName = dir + "/Debug.txt";
    EXPECT_EQ(utils.DebugLog("Rejecting Msg from: %s-%s", "a@b", "Hi\r\nForged line"),
              "Rejecting Msg from: a@b-Hi\r\nForged line");
    std::string longText(4000, 'x');
    EXPECT_EQ(utils.DebugLog("%s", longText.c_str()).size(), 1535u);

    std::string log = testenv::ReadFile(utils.LogFileName);
    std::regex line(
        R"(\d\d\.\d\d\.\d{4}\.\d\d\.\d\d\.\d\d - Rejecting Msg from: a@b-Hi  Forged line\n)");
    EXPECT_TRUE(std::regex_search(log, line)) << log;
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 2);
    struct stat info = {};
    ASSERT_EQ(::stat(utils.LogFileName.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(UtilsLog, LinkInTheLogsPlaceIsNeverWrittenThrough)
{
    std::string dir = testenv::MakeScratchDir("loglink");
    TUtils utils;
    utils.LogFileName = dir + "/Debug.txt";
    testenv::WriteFile(dir + "/victim", "untouched");
    ASSERT_EQ(::symlink((dir + "/victim").c_str(), utils.LogFileName.c_str()), 0);
    utils.DebugLog("planted");
    EXPECT_EQ(testenv::ReadFile(dir + "/victim"), "untouched");

    // A dangling link does not create its target either.
    std::remove(utils.LogFileName.c_str());
    ASSERT_EQ(::symlink((dir + "/created").c_str(), utils.LogFileName.c_str()), 0);
    utils.DebugLog("planted");
    EXPECT_FALSE(std::filesystem::exists(dir + "/created"));
}

TEST(UtilsLog, RotatesAboveLimitReplacingOldBackup)
{
    std::string dir = testenv::MakeScratchDir("rotate");
    TUtils utils;
    utils.LogFileName = dir + "/Debug.txt";
    testenv::WriteFile(dir + "/Debug.bak", "older backup");
    testenv::WriteFile(utils.LogFileName, std::string(65536, 'a')); // at the limit: kept
    utils.DebugLog("first");
    EXPECT_EQ(testenv::ReadFile(dir + "/Debug.bak"), "older backup");
    utils.DebugLog("second"); // now above the limit: rotated before writing
    EXPECT_EQ(testenv::ReadFile(dir + "/Debug.bak").substr(0, 65536), std::string(65536, 'a'));
    std::string fresh = testenv::ReadFile(utils.LogFileName);
    EXPECT_NE(fresh.find(" - second\n"), std::string::npos);
    EXPECT_EQ(fresh.find("first"), std::string::npos);
}

TEST(UtilsSort, SameColumnTogglesOtherColumnStartsAscending)
{
    TUtils utils;
    utils.SortListView(2);
    EXPECT_EQ(utils.SortColumn, 2);
    EXPECT_FALSE(utils.SortDescending);
    utils.SortListView(2);
    EXPECT_TRUE(utils.SortDescending);
    utils.SortListView(2);
    EXPECT_FALSE(utils.SortDescending);
    utils.SortListView(2);
    utils.SortListView(3);
    EXPECT_EQ(utils.SortColumn, 3);
    EXPECT_FALSE(utils.SortDescending);
}

TEST(UtilsWaits, WaitsPumpEventsAndEndOnTerminate)
{
    TUtils utils;
    bool flag = false;
    QTimer::singleShot(30, [&] { flag = true; });
    EXPECT_TRUE(utils.WaitForFlag(&flag, true, 5000)); // the timer ran inside the wait
    EXPECT_FALSE(utils.WaitForFlag(&flag, false, 50));

    bool fired = false;
    QTimer::singleShot(0, [&] { fired = true; }); // due at once: fires at the wait's first pump
    utils.Delay(100);
    EXPECT_TRUE(fired);

    QTimer::singleShot(20, [] { TUtils::Terminate(); });
    QElapsedTimer clock;
    clock.start();
    utils.Delay(10000);
    EXPECT_LT(clock.elapsed(), 5000);
    EXPECT_TRUE(TUtils::Terminating());
    clock.restart();
    EXPECT_FALSE(utils.WaitForFlag(&flag, false, 10000)); // ends at once while terminating
    EXPECT_LT(clock.elapsed(), 5000);
    TUtils::ResetTerminating();
}

TEST(UtilsShell, ShellOpenStartsProgramsAndOpensDocuments)
{
    testenv::TRecordingOpener opener;
    platform::SetOpener(&opener);
    TUtils utils;
    std::string dir = testenv::MakeScratchDir("shell");
    testenv::WriteFile(dir + "/note.txt", "x");

    EXPECT_TRUE(utils.ShellOpen(dir + "/note.txt", "", false));
    EXPECT_TRUE(utils.ShellOpen("mailto:someone@example.com", "", false));
    EXPECT_EQ(opener.Opened,
              (std::vector<std::string>{dir + "/note.txt", "mailto:someone@example.com"}));

    // A program gets its parameters as separate arguments; double quotes keep one whole.
    std::string out = dir + "/out";
    utils.WaitTimeout = 50;
    EXPECT_TRUE(utils.ShellOpen("/bin/sh", "-c \"echo $0 > " + out + "\" \"two words\"", true));
    EXPECT_EQ(utils.WaitTimeout, 100u);
    EXPECT_TRUE(utils.WaitFor([&] { return testenv::ReadFile(out) == "two words\n"; }, 5000));

    EXPECT_FALSE(utils.ShellOpen("", "", false));
    EXPECT_EQ(utils.ProcessErrorText, "Could Not create process");
    platform::SetOpener(nullptr);
}

TEST(UtilsShell, SpecialFoldersAndStartupEntry)
{
    TUtils utils;
    EXPECT_EQ(utils.GetSpecialFolder(26), qEnvironmentVariable("XDG_DATA_HOME").toStdString());
    EXPECT_EQ(utils.GetSpecialFolder(5), qEnvironmentVariable("XDG_DOCUMENTS_DIR").toStdString());
    std::string autostart = qEnvironmentVariable("XDG_CONFIG_HOME").toStdString() + "/autostart";
    EXPECT_EQ(utils.GetSpecialFolder(7), autostart);
    EXPECT_EQ(utils.GetSpecialFolder(999), "");
    EXPECT_FALSE(utils.GetLoginUserName().empty());

    utils.CreateShortcut("/opt/My Corvex/korrind", 7, "Corvex", "Corvex");
    std::string entry = testenv::ReadFile(autostart + "/Corvex.desktop");
    EXPECT_NE(entry.find("[Desktop Entry]\n"), std::string::npos);
    EXPECT_NE(entry.find("Exec=\"/opt/My Corvex/korrind\"\n"), std::string::npos);
    EXPECT_NE(entry.find("Name=Corvex\n"), std::string::npos);

    // Quotes, "$" and backslashes in the path survive both escapes of the entry file.
    utils.CreateShortcut("/opt/a\"q\" \\ $ b/korrind", 7, "Corvex", "Odd");
    entry = testenv::ReadFile(autostart + "/Odd.desktop");
    EXPECT_NE(entry.find(R"(Exec="/opt/a\\"q\\" \\\\ \\$ b/korrind")"), std::string::npos) << entry;
}

TEST(UtilsWaits, ForcedProcessEndKeepsEventsRunning)
{
    QProcess stubborn;
    stubborn.start("/bin/sh", {"-c", "trap '' TERM; echo ready; while :; do sleep 0.1; done"});
    ASSERT_TRUE(stubborn.waitForReadyRead(5000));
    bool fired = false;
    QTimer::singleShot(50, [&] { fired = true; });
    TUtils utils;
    EXPECT_TRUE(utils.TerminateProcessById(pid_t(stubborn.processId())));
    EXPECT_TRUE(fired); // the timer ran while the process was given time to end
    stubborn.waitForFinished();
    EXPECT_EQ(stubborn.exitStatus(), QProcess::CrashExit);
}
