// The synchronisation logic on plain folders standing in for a mounted share, and its window.
#include <QTest>
#include <filesystem>
#include <gtest/gtest.h>

#include "common/names.h"
#include "common/platform/shares.h"
#include "common/ui/captionpanel.h"
#include "common/ui/placement.h"
#include "common/utils.h"
#include "drasset/syncrules.h"
#include "drasset/syncrulesmain.h"
#include "support/keyboard.h"
#include "support/testenv.h"

namespace fs = std::filesystem;

namespace {

class SyncLogicTest : public ::testing::Test
{
protected:
    std::string Local = testenv::MakeScratchDir("local");
    std::string Share = testenv::MakeScratchDir("share");
    TUtils OwnUtils;
    TSyncRules Sync;

    void SetUp() override
    {
        Utils = &OwnUtils;
        Utils->LogFileName = Local + "/Debug.txt";
        Sync.LocalDataRoot = Local;
        Sync.ResolveSource = [this](const std::string &source, std::string &folder,
                                    std::string &root) {
            folder = source;
            root = Share;
            return source.rfind(Share, 0) == 0;
        };
    }
    void TearDown() override { Utils = nullptr; }

    // An installation's data folder below the share, with its mailbox list.
    std::string Installation(const std::string &relative)
    {
        const std::string root = Share + "/" + relative + "/";
        fs::create_directories(root);
        testenv::WriteFile(root + names::PopSrvFile, "");
        return root;
    }

    bool Run(uint16_t mode, const std::string &source, const std::vector<std::string> &files)
    {
        Sync.SyncMode = mode;
        Sync.RulesSource = source;
        Sync.SyncFiles.Assign(files);
        while (!Sync.SyncFiles.Empty())
            if (!Sync.SyncNext())
                return false;
        return true;
    }
};

} // namespace

TEST_F(SyncLogicTest, CombineReplaceAndMissingPartners)
{
    const std::string remote = Installation("home/joe/.local/share/Corvex Users");
    const std::string localReject = Local + "/" + names::MasterRejectFile;
    testenv::WriteFile(localReject, "A\nB\n");
    testenv::WriteFile(remote + names::MasterRejectFile,
                       "b\n \t\nC\n||||||||\n"); // blank: no rules
    fs::create_directory(Local + "/joe");
    const std::string mailboxReject = Local + "/joe/" + names::RejectFile;
    testenv::WriteFile(mailboxReject, "J\n");

    // The bare share: the installation is found in a home folder.
    ASSERT_TRUE(Run(smCombine, Share, {localReject, mailboxReject})) << Sync.LastError;
    EXPECT_EQ(testenv::ReadFile(localReject), "A\nB\nC\n");
    EXPECT_EQ(testenv::ReadFile(remote + names::MasterRejectFile), "b\nC\nA\n");
    EXPECT_EQ(testenv::ReadFile(remote + "joe/" + names::RejectFile), "J\n");
    EXPECT_EQ(testenv::ReadFile(Local + "/" + SyncSearchFile), remote + "\n");

    // Replacing the local list from a missing remote one leaves the local file alone.
    const std::string localPriority = Local + "/" + names::MasterPriorityFile;
    testenv::WriteFile(localPriority, "keep|me\r\n");
    ASSERT_TRUE(Run(smReplaceLocal, remote, {localPriority}));
    EXPECT_EQ(testenv::ReadFile(localPriority), "keep|me\r\n");
    EXPECT_FALSE(fs::exists(remote + names::MasterPriorityFile) &&
                 fs::file_size(remote + names::MasterPriorityFile) > 0);
    EXPECT_EQ(Sync.Skipped.Count(), 1);

    // Likewise the remote list is not emptied from a missing local one.
    fs::remove(localReject);
    ASSERT_TRUE(Run(smReplaceDestination, remote, {localReject}));
    EXPECT_EQ(testenv::ReadFile(remote + names::MasterRejectFile), "b\nC\nA\n");

    // The remote lists replace the local ones; the search memory holds each folder once.
    testenv::WriteFile(remote + names::MasterRejectFile, "R\n");
    ASSERT_TRUE(Run(smReplaceLocal, Share + "/home/joe/.local/share", {localReject}));
    EXPECT_EQ(testenv::ReadFile(localReject), "R\n");
    EXPECT_EQ(testenv::ReadFile(Local + "/" + SyncSearchFile), remote + "\n");
}

TEST_F(SyncLogicTest, LayoutsSeveralInstallationsAndTheSearchMemory)
{
    const std::string local = Local + "/" + names::MasterPriorityFile;
    testenv::WriteFile(local, "L\n");

    // A Windows NT layout: every profile with an installation gets the file.
    const std::string bob =
        Installation("Documents and Settings/bob/Application Data/Corvex Users");
    const std::string ann =
        Installation("Documents and Settings/ann/Application Data/Corvex Users");
    fs::create_directories(Share + "/Winnt");
    ASSERT_TRUE(Run(smReplaceDestination, Share, {local})) << Sync.LastError;
    EXPECT_EQ(Sync.LayoutType, ltWindowsNT);
    EXPECT_EQ(testenv::ReadFile(bob + names::MasterPriorityFile), "L\n");
    EXPECT_EQ(testenv::ReadFile(ann + names::MasterPriorityFile), "L\n");

    // Copying from one of several would be a guess: refused, the file stays queued.
    EXPECT_FALSE(Run(smReplaceLocal, Share, {local}));
    EXPECT_NE(Sync.LastError.find(bob), std::string::npos);
    EXPECT_EQ(Sync.SyncFiles.Count(), 1);
    EXPECT_EQ(testenv::ReadFile(local), "L\n");

    // The user's own folder picks one.
    testenv::WriteFile(bob + names::MasterPriorityFile, "B\n");
    ASSERT_TRUE(
        Run(smReplaceLocal, Share + "/Documents and Settings/bob/Application Data", {local}))
        << Sync.LastError;
    EXPECT_EQ(testenv::ReadFile(local), "B\n");

    // Without markers or installations in the known places, the search memory is used.
    fs::remove_all(Share + "/Documents and Settings");
    fs::remove_all(Share + "/Winnt");
    const std::string elsewhere = Installation("backup/corvex");
    testenv::WriteFile(Local + "/" + SyncSearchFile, "/nowhere/else/\n" + elsewhere + "\n");
    ASSERT_TRUE(Run(smReplaceDestination, Share, {local})) << Sync.LastError;
    EXPECT_EQ(testenv::ReadFile(elsewhere + names::MasterPriorityFile), "B\n");

    // Nothing found, and a source off the share, both fail and keep the file queued.
    fs::remove(Local + "/" + SyncSearchFile);
    fs::remove_all(Share + "/backup");
    EXPECT_FALSE(Run(smCombine, Share, {local}));
    EXPECT_FALSE(Run(smCombine, Local, {local}));
    EXPECT_EQ(Sync.LastError, MustBeNetworkDrive);
}

TEST(NetworkLocation, TypedSharesAreReadInTheirThreeForms)
{
    platform::TNetworkLocation location;
    ASSERT_TRUE(platform::ParseNetworkLocation("smb://127.0.0.1:4450/Share/a/b/", location));
    EXPECT_EQ(location.Uri(), "smb://127.0.0.1:4450/Share");
    EXPECT_EQ(location.Rest, "a/b");
    ASSERT_TRUE(platform::ParseNetworkLocation("smb://OFFICE;joe@server:4450/users", location));
    EXPECT_EQ(location.Domain + "|" + location.User + "|" + location.Host + "|" + location.Port,
              "OFFICE|joe|server|4450");
    EXPECT_EQ(location.Uri(), "smb://OFFICE;joe@server:4450/users");
    ASSERT_TRUE(platform::ParseNetworkLocation("\\\\server\\users\\joe", location));
    EXPECT_EQ(location.Uri(), "smb://server/users");
    EXPECT_EQ(location.Rest, "joe");
    ASSERT_TRUE(platform::ParseNetworkLocation("//server/users", location));
    EXPECT_EQ(location.Rest, "");
    EXPECT_FALSE(platform::ParseNetworkLocation("//server", location));
    EXPECT_FALSE(platform::ParseNetworkLocation("/home/joe", location));
    EXPECT_FALSE(platform::ParseNetworkLocation("Z:\\rules", location));
}

// Started from the monitor's window, the dialog opens centred over it, shows its whole title,
// and is worked by the keyboard alone: Tab reaches every control, Esc cancels.
TEST(SyncRulesWindow, OpensOverItsOpenerWithItsWholeTitleAndEscCancels)
{
    const QRect opener(120, 90, 480, 320);
    qputenv(OpenerVariable, "120,90,480,320");
    TSyncRulesFrm window;
    ASSERT_TRUE(window.Activate(TStringList{"/rules/mRejectMail.ini"}));
    window.show();
    EXPECT_TRUE(qEnvironmentVariableIsEmpty(OpenerVariable)) << "handed on to further programs";
    EXPECT_GE(window.width(), TitleWidth(&window));
    EXPECT_LE((window.frameGeometry().center() - opener.center()).manhattanLength(), 2);

    EXPECT_EQ(keyboard::ControlsTabMisses(&window), std::vector<std::string>{});
    int cancels = 0;
    QObject::connect(window.LMDpfCancel, &TCaptionPanel::clicked, [&cancels] { ++cancels; });
    QTest::keyClick(&window, Qt::Key_Escape);
    EXPECT_EQ(cancels, 1);
    EXPECT_FALSE(window.isVisible());
}
