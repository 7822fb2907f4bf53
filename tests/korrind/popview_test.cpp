// The monitor's start-up and end with a stand-in window: the first activation, the command
// line, Exit with its questions and Restart.
#include <QDir>
#include <QFile>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <sys/stat.h>

#include "common/alerts.h"
#include "common/encrypt.h"
#include "common/globals.h"
#include "common/password.h"
#include "common/records.h"
#include "common/utils.h"
#include "korrind/popview.h"
#include "support/fixtures.h"
#include "support/testenv.h"
#include "tests/korrind/monitortestwindow.h"

namespace {

TEST(DebugLevelArgument, NumberAfterTheEqualsSignOfADebugArgument)
{
    EXPECT_EQ(DebugLevelFromArguments({"debug=3"}, 0), 3);
    EXPECT_EQ(DebugLevelFromArguments({"DeBuG=4"}, 0), 4);
    EXPECT_EQ(DebugLevelFromArguments({"-xdebug=2", "other"}, 0), 2);
    EXPECT_EQ(DebugLevelFromArguments({"debug"}, 5), 5) << "no '=': nothing changes";
    EXPECT_EQ(DebugLevelFromArguments({"=debug"}, 5), 5) << "'=' must follow the first character";
    EXPECT_EQ(DebugLevelFromArguments({"debug=high"}, 5), 0);
    EXPECT_EQ(DebugLevelFromArguments({"debug="}, 5), 0);
    EXPECT_EQ(DebugLevelFromArguments({"debug=99999999"}, 5), 0);
    EXPECT_EQ(DebugLevelFromArguments({"verbose=3"}, 1), 1);
}

TEST(QueryIntervalVariable, PositiveWholeSecondsElseNone)
{
    EXPECT_EQ(QueryIntervalSecondsFrom("2"), 2);
    EXPECT_EQ(QueryIntervalSecondsFrom(" 90 "), 90);
    EXPECT_EQ(QueryIntervalSecondsFrom("99999999"), UINT16_MAX);
    for (const char *ignored : {"0", "-5", "3s", "", "1.5"})
        EXPECT_EQ(QueryIntervalSecondsFrom(ignored), 0) << ignored;
    EXPECT_EQ(QueryIntervalSecondsFrom(nullptr), 0);
}

// A monitor on a data root prepared through the data store before the first activation.
class MonitorStart : public ::testing::Test
{
protected:
    TMonitorTestWindow window;
    std::unique_ptr<TCorvexMonitor> monitor;

    void SetUp() override
    {
        monitor = std::make_unique<TCorvexMonitor>(window);
        ASSERT_TRUE(monitor->Store.LoadSettings(false));
        Utils->LogFileName = testenv::MakeScratchDir("log") + "/Debug.txt";
        // Every test starts from fresh settings.
        SetConfigDefaults(Globals->Config, {});
        SetText(Globals->Config.RulesPath, Globals->DataRoot);
        Globals->Config.EncryptMailboxes = 0;
    }
    void TearDown() override
    {
        const std::string root = DataRoot();
        monitor.reset();
        SetPasswordPrompt(nullptr);
        QDir(QString::fromStdString(root)).removeRecursively();
        TUtils::ResetTerminating();
    }

    std::string DataRoot() const { return Globals->DataRoot; }

    void SaveSettings() { ASSERT_TRUE(monitor->Store.LoadSettings(true)); }

    void SaveOneMailbox()
    {
        TMailBoxRecord record{};
        SetText(record.UserId, "ann");
        SetText(record.MailServer, "127.0.0.1:1");
        SetText(record.Password, "secret");
        SetText(record.InboxPath, DataRoot());
        record.Active = 1;
        ASSERT_TRUE(WriteMailBoxFile(monitor->Store.PopSrvPath(), {record}));
    }

    void Protect(int level)
    {
        Globals->Config.PasswordActive = 1;
        Globals->Config.SecurityLevel = uint8_t(level);
        SetText(Globals->Config.MasterPassword, "master");
    }
};

TEST_F(MonitorStart, FirstActivationLoadsEverythingAndStartsTheTimer)
{
    TConfigRecord &config = Globals->Config;
    config.TimerSeconds = 2;
    config.CheckMinutes = 5;
    config.RememberPosition = 1;
    config.WinTop = 40;
    config.WinLeft = 60;
    config.WinHeight = 100; // smaller than the window: ignored
    config.WinWidth = 900;
    config.KeepOnTop = 1;
    SaveSettings();
    SaveOneMailbox();

    monitor->Activate({"DEBUG=3"});
    EXPECT_TRUE(monitor->Activated);
    EXPECT_EQ(Globals->DebugLevel, 3);
    EXPECT_TRUE(window.TrayShown);
    EXPECT_EQ(window.Page, TMonitorPage::Summary);
    EXPECT_EQ(window.Position.Top, 40);
    EXPECT_EQ(window.Position.Left, 60);
    EXPECT_EQ(window.Position.Height, 300);
    EXPECT_EQ(window.Position.Width, 900);
    EXPECT_TRUE(window.Topmost);
    ASSERT_EQ(monitor->Store.Mailboxes.size(), 1u);
    ASSERT_EQ(monitor->Store.Summary.size(), 1u);
    EXPECT_EQ(monitor->TmpIntervalSeconds, 300);
    EXPECT_TRUE(monitor->MainTimer.isActive());
    EXPECT_EQ(monitor->MainTimer.interval(), 2000);
    EXPECT_TRUE(TUtils::FileExists(DataRoot() + "/Alerts.ini"));

    // Later activations do nothing.
    monitor->MainTimer.stop();
    monitor->Activate({"debug=1"});
    EXPECT_EQ(Globals->DebugLevel, 3);
    EXPECT_FALSE(monitor->MainTimer.isActive());
}

TEST_F(MonitorStart, EmptyMailboxListShowsTheMailboxesPage)
{
    Globals->Config.HideOnStartup = 1;
    SaveSettings();
    monitor->Activate({});
    EXPECT_EQ(window.Page, TMonitorPage::Mailboxes);
    EXPECT_TRUE(monitor->Store.Mailboxes.empty());
    EXPECT_TRUE(monitor->MainTimer.isActive());

    // Hide On Startup: about a second later the window is hidden.
    EXPECT_TRUE(window.Visible);
    fixtures::PumpEvents(1300);
    EXPECT_FALSE(window.Visible);
    EXPECT_FALSE(monitor->HideOnStart);
}

// The import at first start may bring settings that name another rules folder: the alert
// list is made there too, as at every read of the settings.
TEST_F(MonitorStart, SettingsReadAfterTheFirstImportGetTheirAlertList)
{
    const std::string rules = testenv::MakeScratchDir("imported-rules");
    const std::string config = monitor->Store.ConfigPath();
    const std::string imported = DataRoot() + "/imported.cfg";
    SetText(Globals->Config.RulesPath, rules);
    SaveSettings();
    ASSERT_EQ(std::rename(config.c_str(), imported.c_str()), 0);
    SetText(Globals->Config.RulesPath, DataRoot());
    SaveSettings();

    // A stand-in import program that writes those settings.
    const std::string program = testenv::MakeScratchDir("programs") + "/pelloway.sh";
    testenv::WriteFile(program, "#!/bin/sh\ncp '" + imported + "' '" + config + "'\n");
    ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    testenv::WriteFile(DataRoot() + "/Extentions/Pelloway.ini",
                       "caption=Pelloway\nmenuid=Pelloway\nexecutable=" + program + "\n");

    monitor->Activate({});
    EXPECT_EQ(monitor->RulesFolder(), rules);
    EXPECT_GE(ReadAlerts(rules).IndexOf("~NONE~=~none~"), 0);
}

TEST_F(MonitorStart, UnreadableSettingsLeaveTheWindowWithoutTimer)
{
    // A folder where the file should be: it can be neither read nor replaced.
    const QString config = QString::fromStdString(monitor->Store.ConfigPath());
    QFile::remove(config);
    ASSERT_TRUE(QDir().mkpath(config));
    monitor->Activate({});
    EXPECT_FALSE(monitor->SettingsLoaded);
    EXPECT_FALSE(monitor->MainTimer.isActive());
    EXPECT_FALSE(TUtils::Terminating());
}

TEST_F(MonitorStart, DamagedSettingsAreKeptAsideAndReportedAtStart)
{
    SaveOneMailbox();
    testenv::WriteFile(monitor->Store.ConfigPath(), std::string(100, '\x7f'));
    monitor->Activate({});
    EXPECT_TRUE(monitor->MainTimer.isActive());
    ASSERT_EQ(window.Messages.size(), 1u);
    EXPECT_NE(window.Messages[0].find("Config.cfg.damaged"), std::string::npos);
    EXPECT_EQ(testenv::ReadFile(monitor->Store.ConfigPath() + ".damaged"),
              std::string(100, '\x7f'));
    EXPECT_EQ(monitor->Store.Mailboxes.size(), 1u);
}

TEST_F(MonitorStart, RefusedPasswordGateEndsTheProgram)
{
    Protect(5);
    SaveSettings();
    SaveOneMailbox();
    SetPasswordPrompt([](TPasswordMode, bool, std::size_t) { return TPasswordEntry{}; });
    monitor->Activate({});
    EXPECT_TRUE(TUtils::Terminating());
    EXPECT_FALSE(monitor->MainTimer.isActive());
}

// The data folder of an account with encryption and protection at level 5, copied to an
// account whose key file does not open its key. Every password prompt is counted.
class MonitorOnCopiedData : public MonitorStart
{
protected:
    int Prompts = 0;
    std::string OldConfig, OldMailboxes;

    void SetUp() override
    {
        MonitorStart::SetUp();
        ASSERT_TRUE(InitCrypto()) << CryptoLastError();
        Globals->CryptoReady = true;
        ASSERT_TRUE(MakeKey(Globals->Config.KeyBlob, Globals->Config.KeyLength));
        Globals->Config.EncryptMailboxes = 1;
        Protect(5);
        TDataStore &store = monitor->Store;
        TMailBoxRecord record{};
        SetText(record.UserId, "ann");
        SetText(record.MailServer, "127.0.0.1:1");
        store.Mailboxes = {MailboxRow(record, false)};
        store.SetPassword("ann", "127.0.0.1:1", "secret");
        ASSERT_TRUE(store.SaveChanges(false)) << store.LastError;
        OldConfig = testenv::ReadFile(store.ConfigPath());
        OldMailboxes = testenv::ReadFile(store.PopSrvPath());
        std::remove(CryptoKeyFilePath().c_str()); // Activate makes this account's key file
        SetPasswordPrompt([this](TPasswordMode, bool, std::size_t) {
            ++Prompts;
            return TPasswordEntry{true, "master", true};
        });
    }
};

TEST_F(MonitorOnCopiedData, MasterPasswordThatCannotBeOpenedIsReportedWithTheWayOut)
{
    window.Answer = TAnswer::No;
    monitor->Activate({});
    ASSERT_EQ(window.Questions.size(), 1u);
    EXPECT_NE(window.Questions[0].find("1 mailbox record and the master password"),
              std::string::npos)
        << window.Questions[0];
    EXPECT_EQ(Prompts, 0) << "no prompt that no entry can satisfy";
    EXPECT_EQ(window.Messages, std::vector<std::string>{
                                   Format(LockedMasterPasswordText, CryptoKeyFilePath().c_str())});
    EXPECT_TRUE(TUtils::Terminating());
    EXPECT_EQ(testenv::ReadFile(monitor->Store.ConfigPath()), OldConfig);
    EXPECT_EQ(testenv::ReadFile(monitor->Store.PopSrvPath()), OldMailboxes);
}

TEST_F(MonitorOnCopiedData, SealedDataAreSetAsideAfterTheUsersYes)
{
    window.Answer = TAnswer::Yes;
    monitor->Activate({});
    EXPECT_EQ(window.Questions.size(), 1u);
    EXPECT_FALSE(TUtils::Terminating());
    EXPECT_TRUE(monitor->MainTimer.isActive());
    EXPECT_EQ(Prompts, 0) << "protection is off until a new master password is set";
    ASSERT_EQ(window.Messages.size(), 1u);
    EXPECT_NE(window.Messages[0].find("Config.cfg.old-key"), std::string::npos);
    EXPECT_EQ(testenv::ReadFile(monitor->Store.ConfigPath() + ".old-key"), OldConfig);
    EXPECT_EQ(testenv::ReadFile(monitor->Store.PopSrvPath() + ".old-key"), OldMailboxes);
    EXPECT_TRUE(monitor->Store.Mailboxes.empty());
}

TEST_F(MonitorStart, ExitAsksFirstAndStoresThePosition)
{
    Globals->Config.RememberPosition = 1;
    SaveSettings();
    SaveOneMailbox();
    monitor->Activate({});

    window.Answer = TAnswer::No;
    EXPECT_FALSE(monitor->Exit());
    EXPECT_EQ(window.Questions, std::vector<std::string>{monitortext::ExitQuestion});
    EXPECT_TRUE(monitor->MainTimer.isActive());
    EXPECT_FALSE(TUtils::Terminating());

    // Changes the user wants kept but that cannot be saved keep the monitor running.
    window.Questions.clear();
    window.Answer = TAnswer::Yes;
    window.Apply = true;
    window.ApplySaves = false;
    EXPECT_FALSE(monitor->Exit());
    EXPECT_EQ(window.Questions,
              (std::vector<std::string>{monitortext::ExitQuestion, monitortext::ApplyQuestion}));
    EXPECT_TRUE(window.Apply);
    EXPECT_TRUE(monitor->MainTimer.isActive());
    EXPECT_FALSE(TUtils::Terminating());

    window.Questions.clear();
    window.Applied = false;
    window.ApplySaves = true;
    window.Position = {11, 22, 333, 444};
    EXPECT_TRUE(monitor->Exit());
    EXPECT_EQ(window.Questions,
              (std::vector<std::string>{monitortext::ExitQuestion, monitortext::ApplyQuestion}));
    EXPECT_TRUE(window.Applied);
    EXPECT_FALSE(monitor->MainTimer.isActive());
    EXPECT_TRUE(TUtils::Terminating());

    std::string bytes = testenv::ReadFile(monitor->Store.ConfigPath());
    ASSERT_EQ(bytes.size(), sizeof(TConfigRecord));
    int32_t stored[4];
    std::memcpy(stored, bytes.data() + WindowPositionOffset, sizeof stored);
    EXPECT_EQ(stored[0], 11);
    EXPECT_EQ(stored[1], 22);
    EXPECT_EQ(stored[2], 333);
    EXPECT_EQ(stored[3], 444);
}

TEST_F(MonitorStart, ExitRefusedByTheGateOrABusyButtonChangesNothing)
{
    SaveSettings();
    SaveOneMailbox();
    monitor->Activate({});
    Protect(6);
    EXPECT_FALSE(monitor->Exit()); // no prompt installed: refused
    EXPECT_TRUE(window.Questions.empty());

    Globals->Config.PasswordActive = 0;
    window.ExitBusy = true;
    EXPECT_FALSE(monitor->Exit());
    EXPECT_TRUE(window.Questions.empty());
    EXPECT_TRUE(monitor->MainTimer.isActive());
    EXPECT_FALSE(TUtils::Terminating());
}

TEST_F(MonitorStart, QuietExitAsksNothingAndKeepsUnconfirmedChangesOut)
{
    SaveSettings();
    SaveOneMailbox();
    monitor->Activate({});
    Protect(7);
    Globals->QuietExit = true;
    window.Apply = true;
    EXPECT_TRUE(monitor->Exit());
    EXPECT_TRUE(window.Questions.empty());
    EXPECT_FALSE(window.Applied);
    EXPECT_TRUE(TUtils::Terminating());
}

} // namespace
