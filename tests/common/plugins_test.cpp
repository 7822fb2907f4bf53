// The plug-in registry: description files in the program folder and the data root, the look-up
// rules, and real starts of a stand-in companion (the plugin_probe program and small scripts).
#include "common/globals.h"
#include "common/platform/locks.h"
#include "common/platform/opener.h"
#include "common/plugins.h"
#include "common/text.h"
#include "common/utils.h"
#include "support/testenv.h"

#include <QCoreApplication>
#include <QTimer>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// A private install: <root>/prog/bin is the program folder, <root>/data the data root.
class PlugInsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        root = testenv::MakeScratchDir("plugins");
        programFolder = root + "/prog/bin/";
        dataRoot = root + "/data";
        fs::create_directories(programFolder);
        fs::create_directories(dataRoot);
        if (!Utils)
            Utils = new TUtils;
        Utils->LogFileName = root + "/Debug.txt";
        registry.ProgramFolder = programFolder;
        registry.SetRoot(dataRoot);
    }

    void Describe(const std::string &path, const std::string &lines)
    {
        fs::create_directories(fs::path(path).parent_path());
        testenv::WriteFile(path, lines);
    }

    // A shell script in the program folder that records its arguments, one per line.
    std::string Script(const std::string &name, const std::string &body)
    {
        std::string path = programFolder + name;
        testenv::WriteFile(path, "#!/bin/sh\n" + body + "\n");
        ::chmod(path.c_str(), 0700);
        return path;
    }

    // The probe copied into the program folder under name, so its parameter file lies there.
    std::string InstallProbe(const std::string &name)
    {
        std::string source = QCoreApplication::applicationDirPath().toStdString() + "/plugin_probe";
        std::string target = programFolder + name;
        fs::copy_file(source, target, fs::copy_options::overwrite_existing);
        return target;
    }

    std::string root, programFolder, dataRoot;
    TPlugIns registry;
    TStringList list;
};

TEST_F(PlugInsTest, ListsByCaptionAndMenuIdInReadingOrder)
{
    // No "Extentions" beside the program: the one in its parent folder is read instead.
    Describe(root + "/prog/Extentions/Alpha.ini", " MenuId = Tool \nexecutable=alpha\n");
    Describe(root + "/prog/Extentions/beta.INI",
             "CAPTION= Beta Tool\nmenuid=Tool\ncaption=ignored\nmenuid=Other\n");
    Describe(root + "/prog/Extentions/notes.txt", "menuid=Tool\n");
    Describe(dataRoot + "/Extentions/Alpha.ini", "caption=Alpha Data\nmenuid=Tool\n");
    registry.LoadExtensions("", list);

    EXPECT_EQ(registry.ExtentionsFolders[0], root + "/prog/Extentions");
    EXPECT_EQ(registry.ExtentionsFolders[1], dataRoot + "/Extentions");
    ASSERT_EQ(list.Count(), 3);
    EXPECT_EQ(list[0], "Tool=Alpha") << "no caption: the file name without extension";
    EXPECT_EQ(list[1], "Tool=Beta Tool");
    EXPECT_EQ(list[2], "Tool=Alpha Data");
    EXPECT_EQ(list.Values("Tool"), "Alpha") << "the program folder's description wins";
    EXPECT_EQ(registry.ExtentionsTable().Values("Beta Tool"), root + "/prog/Extentions/beta.INI");

    // Once the program folder has its own "Extentions", the parent's is no longer read.
    Describe(programFolder + "Extentions/Gamma.ini", "menuid=Tool\n");
    registry.LoadExtensions("", list);
    ASSERT_EQ(list.Count(), 2);
    EXPECT_EQ(list.Values("Tool"), "Gamma");

    // The PlugIns group is separate and never looks one level up.
    Describe(root + "/prog/PlugIns/Up.ini", "menuid=Up\n");
    Describe(dataRoot + "/PlugIns/Sorter.ini", "menuid=Sort\n");
    TStringList plugIns;
    registry.LoadPlugIns("", plugIns);
    ASSERT_EQ(plugIns.Count(), 1);
    EXPECT_EQ(plugIns[0], "Sort=Sorter");
    EXPECT_FALSE(registry.Launch("Sorter")) << "PlugIns are not started as Extentions";
}

TEST_F(PlugInsTest, ParametersReachChildOnlyThroughParameterFile)
{
    std::string probe = InstallProbe("probe");
    Describe(programFolder + "Extentions/Probe.ini", "executable=probe\nparam=--unused\n");
    registry.LoadExtensions("", list);
    int comeBacks = 0;
    registry.AfterChild = [&] { ++comeBacks; };

    registry.Params.Add("/home/u/Inbox Folder");
    registry.Params.Add("user@mail.example");
    ASSERT_TRUE(registry.Launch("Probe"));
    EXPECT_TRUE(registry.Params.Empty());
    EXPECT_EQ(comeBacks, 1);

    TStringList seen;
    ASSERT_TRUE(seen.LoadFromFile(probe + ".seen"));
    EXPECT_EQ(seen.Text(), "argc=1\narg=" + probe +
                               ".ini\n"
                               "param=/home/u/Inbox Folder\nparam=user@mail.example\n");
    EXPECT_FALSE(TUtils::FileExists(probe + ".ini")) << "deleted after the child ended";
    EXPECT_FALSE(registry.IsRunning());

    // Without parameters the description's "param" lines are the arguments, one each, and no
    // parameter file is written.
    Describe(programFolder + "Extentions/Probe.ini",
             "executable=" + probe + "\nparam=-a\nparam=two words\nexecute=CHILD\n");
    ASSERT_TRUE(registry.Launch("Probe"));
    ASSERT_TRUE(seen.LoadFromFile(probe + ".seen"));
    EXPECT_EQ(seen.Text(), "argc=2\narg=-a\narg=two words\n");

    // A copy that runs already (it holds the program's lock, so the new one ends at once) reads
    // the file at its next activation; the caller does not come to the front over it.
    {
        const auto running = platform::AcquireNamedLock("Probe");
        registry.Params.Add("/second/inbox");
        ASSERT_TRUE(registry.Launch("Probe"));
    }
    EXPECT_EQ(testenv::ReadFile(probe + ".ini"), "/second/inbox\n");
    EXPECT_EQ(comeBacks, 2) << "the two children before, not the copy";
}

TEST_F(PlugInsTest, SpawnInCapitalsStartsIndependentProcess)
{
    std::string marker = root + "/spawned";
    Script("spawner", "printf '%s' \"$1\" > '" + marker + "'");
    Describe(programFolder + "Extentions/Spawner.ini", "executable=spawner\nexecute= SPAWN \n");
    registry.LoadExtensions("", list);
    registry.Params.Add("first line");
    ASSERT_TRUE(registry.Launch("Spawner"));
    // An independent program reads its parameter file whenever it likes: the file stays.
    EXPECT_EQ(testenv::ReadFile(marker), programFolder + "spawner.ini");
    EXPECT_EQ(testenv::ReadFile(programFolder + "spawner.ini"), "first line\n");
}

TEST_F(PlugInsTest, NothingStartedAnswersFalse)
{
    Script("present", "exit 0");
    Describe(programFolder + "Extentions/NoExe.ini", "description=no program\n");
    Describe(programFolder + "Extentions/Missing.ini", "executable=/nowhere/absent\n");
    Describe(programFolder + "Extentions/Moved.ini", "executable=/nowhere/present\n");
    Describe(programFolder + "Extentions/Odd.ini", "executable=present\nexecute=later\n");
    Describe(programFolder + "Extentions/NotRunnable.ini", "executable=plain.txt\n");
    testenv::WriteFile(programFolder + "plain.txt", "text");
    registry.LoadExtensions("", list);

    EXPECT_FALSE(registry.Launch(""));
    EXPECT_FALSE(registry.Launch("Unknown"));
    EXPECT_FALSE(registry.Launch("NoExe"));
    registry.Params.Add("x");
    EXPECT_FALSE(registry.Launch("Missing"));
    EXPECT_TRUE(registry.Params.Empty()) << "a start consumes Params even when it fails";
    EXPECT_FALSE(TUtils::FileExists("/nowhere/absent.ini"));
    EXPECT_FALSE(registry.Launch("Odd")) << "an unknown execute value starts nothing";
    registry.Params.Add("x");
    EXPECT_FALSE(registry.Launch("NotRunnable"));
    EXPECT_FALSE(TUtils::FileExists(programFolder + "plain.txt.ini"));

    // A program file that is not where the description says is found in the program folder.
    EXPECT_TRUE(registry.Launch("Moved"));
}

TEST_F(PlugInsTest, ShippedDescriptorsRegisterEveryCompanion)
{
    registry.ProgramFolder = std::string(CORVEX_BIN_DIR) + "/";
    registry.LoadExtensions("", list);
    for (const char *companion :
         {"Velmot", "Strenna", "Drasset", "Pelloway", "Fennick", "Quintor"}) {
        std::string caption = list.Values(companion);
        ASSERT_FALSE(caption.empty()) << companion;
        TPlugInDescription description;
        ASSERT_TRUE(description.Load(registry.ExtentionsTable().Values(caption)));
        EXPECT_EQ(description.Value("executable"), LowerCase(companion));
        EXPECT_EQ(description.Value("mutex"), companion);
    }
}

// The monitor's companion starts go through TGlobals and its ExtensionList.
class CompanionStartTest : public PlugInsTest
{
protected:
    void SetUp() override
    {
        PlugInsTest::SetUp();
        globals = std::make_unique<TGlobals>();
        globals->DataRoot = dataRoot;
        globals->PlugIns->ProgramFolder = programFolder;
        globals->PlugIns->SetRoot(dataRoot);
    }
    void Load() { globals->PlugIns->LoadExtensions("", globals->ExtensionList); }

    std::unique_ptr<TGlobals> globals;
};

TEST_F(CompanionStartTest, CompanionGetsItsParametersAndStartIsLogged)
{
    std::string probe = InstallProbe("pelloway");
    Describe(programFolder + "Extentions/Import.ini",
             "caption=Mailbox Import\nmenuid=Pelloway\nexecutable=pelloway\n");
    Load();
    ASSERT_TRUE(globals->StartPelloway());
    EXPECT_EQ(testenv::ReadFile(probe + ".seen"),
              "argc=1\narg=" + probe + ".ini\nparam=" + dataRoot + "\n");
    EXPECT_NE(testenv::ReadFile(root + "/Debug.txt").find("Pelloway"), std::string::npos);
    EXPECT_TRUE(globals->PlugIns->Params.Empty());

    // Not registered: nothing happens.
    EXPECT_FALSE(globals->StartVelmot("/rules/mRejectMail.ini"));
}

TEST_F(CompanionStartTest, RestartKeepsQuietExitOnlyWhenToolStarted)
{
    EXPECT_FALSE(globals->StartQuintor());
    EXPECT_FALSE(globals->QuietExit);

    Script("quintor", "exit 0");
    Describe(programFolder + "Extentions/Quintor.ini",
             "menuid=Quintor\nexecutable=quintor\nexecute=spawn\n");
    Load();
    EXPECT_TRUE(globals->StartQuintor());
    EXPECT_TRUE(globals->QuietExit);
}

TEST_F(CompanionStartTest, WaitsWhileRulesSynchronisationRuns)
{
    auto lock = platform::AcquireNamedLock("Drasset");
    ASSERT_TRUE(lock);
    bool released = false;
    QTimer::singleShot(200, [&] {
        lock.reset();
        released = true;
    });
    globals->WaitForRulesSync();
    EXPECT_TRUE(released);

    // The wait ends when the program is quitting, even with the tool still running.
    lock = platform::AcquireNamedLock("Drasset");
    QTimer::singleShot(100, [] { TUtils::Terminate(); });
    globals->WaitForRulesSync();
    TUtils::ResetTerminating();
    EXPECT_TRUE(platform::IsNamedLockPresent("Drasset"));
}

} // namespace

// Help with no help program registered opens the shipped HTML guide in the desktop's browser;
// a registered help program is started instead.
TEST_F(CompanionStartTest, HelpOpensTheGuideUnlessAHelpProgramIsRegistered)
{
    testenv::TRecordingOpener opener;
    platform::SetOpener(&opener);
    globals->ProgramFolder = programFolder;
    globals->HelpFile = root + "/prog/Help/CORVEX.HLP";

    EXPECT_FALSE(globals->StartOmblee()) << "no guide anywhere";
    Describe(root + "/prog/Help/index.html", "<html></html>");
    EXPECT_TRUE(globals->StartOmblee());
    Describe(programFolder + "Help/index.html", "<html></html>");
    EXPECT_TRUE(globals->StartOmblee());
    ASSERT_EQ(opener.Opened.size(), 2u);
    EXPECT_EQ(opener.Opened[0], "file://" + root + "/prog/Help/index.html");
    EXPECT_EQ(opener.Opened[1], "file://" + programFolder + "Help/index.html");

    Script("omblee", "exit 0");
    Describe(programFolder + "Extentions/Omblee.ini",
             "menuid=Omblee\nexecutable=omblee\nexecute=spawn\n");
    Load();
    EXPECT_TRUE(globals->StartOmblee());
    EXPECT_EQ(opener.Opened.size(), 2u);
    platform::SetOpener(nullptr);

    EXPECT_TRUE(TUtils::FileExists(std::string(CORVEX_BIN_DIR) + "/Help/index.html"));
}
