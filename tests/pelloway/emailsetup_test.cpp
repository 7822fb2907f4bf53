// Taking accounts over: the records written through the data store (plain and encrypted), the
// settings, and end to end from a Thunderbird profile through the window to the monitor's pass.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QScreen>
#include <QTest>
#include <QWhatsThis>
#include <cstring>
#include <gtest/gtest.h>

#include "common/encrypt.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/oauth2/provider.h"
#include "common/oauth2/store.h"
#include "common/platform/folders.h"
#include "common/platform/locks.h"
#include "common/platform/opener.h"
#include "common/records.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/placement.h"
#include "common/utils.h"
#include "pelloway/emailsetup.h"
#include "pelloway/emailsetupfrm.h"
#include "support/fixtures.h"
#include "support/keyboard.h"
#include "support/testenv.h"

namespace {

TFoundAccount Pop3(const std::string &user, const std::string &host, int port = 0,
                   TTlsMode tls = TTlsMode::Plain)
{
    TFoundAccount account;
    account.Source = "test";
    account.UserId = user;
    account.Host = host;
    account.Port = port;
    account.Tls = tls;
    return account;
}

TListRow Existing(const std::string &user, const std::string &server)
{
    TMailBoxRecord record{};
    SetText(record.UserId, user);
    SetText(record.MailServer, server);
    SetText(record.InboxPath, Globals->DataRoot + "/" + user);
    record.Active = 1;
    return MailboxRow(record, false);
}

void RemoveDataRoot()
{
    QDir(QString::fromStdString(platform::DataHome() + "/" + names::DataRootFolder))
        .removeRecursively();
}

class Import : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Utils = new TUtils;
        Utils->LogFileName = testenv::MakeScratchDir("log") + "/Debug.txt";
        Globals = new TGlobals;
        Globals->InitPaths();
        RemoveDataRoot();
        QDir().mkpath(QString::fromStdString(Globals->DataRoot));
    }
    void TearDown() override
    {
        delete Globals;
        Globals = nullptr;
        delete Utils;
        Utils = nullptr;
    }
    std::string Path(const char *name) { return Globals->DataRoot + "/" + name; }
};

TEST_F(Import, PlainRecordsAppendedWithSafeUniqueFoldersAndSettingsFromDefaults)
{
    {
        TDataStore store;
        ASSERT_TRUE(store.LoadSettings(false));
        store.Mailboxes = {Existing("john", "POP.Example.com")};
        store.SetPassword("john", "POP.Example.com", "secret");
        ASSERT_TRUE(store.SaveMailBoxes(false));
    }
    testenv::WriteFile(Path(names::ConfigFile), ""); // emptied by some crash
    const std::string before = testenv::ReadFile(Path(names::PopSrvFile));

    TMailImport import;
    import.AddMailbox(Pop3("john", "pop.example.com", 995, TTlsMode::Implicit)); // there already
    import.AddMailbox(Pop3("john", "pop.other.com", 995, TTlsMode::Implicit));
    import.AddMailbox(Pop3("..", "x.test", 1110));
    import.AddMailbox(Pop3("a/b", "y.test"));
    import.AddMailbox(Pop3(std::string(42, 'u'), "z.test"));
    import.AddMailbox(Pop3("tina", "pop.example.com", 0, TTlsMode::StartTls));
    TFoundAccount imap = Pop3("john", "imap.other.com", 993, TTlsMode::Implicit);
    imap.Imap = true;
    import.AddMailbox(imap);
    TFoundAccount smtp = Pop3("jsmith", "smtp.example.com", 587, TTlsMode::StartTls);
    smtp.SenderName = "John Smith";
    import.AddSmtpServer(smtp);
    // Too long for the field with "STARTTLS required" in it: kept plain, not refused.
    import.AddSmtpServer(Pop3("jsmith", "smtp.example-provider.com", 0, TTlsMode::StartTls));
    EXPECT_EQ(import.SmtpServers[1].Server, "smtp.example-provider.com");
    EXPECT_TRUE(import.SmtpServers[1].Importable());
    TImportResult result = import.Import({0, 1, 2, 3, 4, 5, 6}, 0);
    ASSERT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.Added, 5);
    EXPECT_EQ(result.AlreadyThere, 1);
    EXPECT_EQ(result.Refused, 1);
    EXPECT_TRUE(result.SmtpWritten);

    // The records at their offsets, back to back after the one that was there.
    const std::string bytes = testenv::ReadFile(Path(names::PopSrvFile));
    ASSERT_EQ(bytes.size(), 6 * sizeof(TMailBoxRecord));
    EXPECT_EQ(bytes.compare(0, before.size(), before), 0) << "the stored mailbox was changed";
    const char *second = bytes.data() + sizeof(TMailBoxRecord);
    EXPECT_STREQ(second + offsetof(TMailBoxRecord, MailServer), "pop3s://pop.other.com");
    EXPECT_STREQ(second + offsetof(TMailBoxRecord, UserId), "john");
    EXPECT_EQ(std::string(second + offsetof(TMailBoxRecord, InboxPath)),
              Globals->DataRoot + "/john@pop.other.com");
    EXPECT_EQ(second[offsetof(TMailBoxRecord, LeaveOnServer)], 1);
    // Not checked before the user gives the password; the placeholder is never sent.
    EXPECT_EQ(second[offsetof(TMailBoxRecord, Active)], 0);
    EXPECT_STREQ(second + offsetof(TMailBoxRecord, Password), PasswordNotGiven);
    // The IMAP account the same way, its folder named after its own server.
    const char *sixth = bytes.data() + 5 * sizeof(TMailBoxRecord);
    EXPECT_STREQ(sixth + offsetof(TMailBoxRecord, MailServer), "imaps://imap.other.com");
    EXPECT_EQ(std::string(sixth + offsetof(TMailBoxRecord, InboxPath)),
              Globals->DataRoot + "/john@imap.other.com");
    EXPECT_EQ(sixth[offsetof(TMailBoxRecord, Active)], 0);
    EXPECT_STREQ(sixth + offsetof(TMailBoxRecord, Password), PasswordNotGiven);

    TDataStore store;
    EXPECT_TRUE(store.LoadSettingsReadOnly()) << store.LastError;
    const TConfigRecord &config = Globals->Config;
    EXPECT_EQ(config.Version, ConfigVersion);
    EXPECT_EQ(config.CheckMinutes, 15) << "the defaults, not a zero record";
    EXPECT_EQ(GetText(config.SmtpServer), "smtp+tls://smtp.example.com:587");
    EXPECT_EQ(GetText(config.SmtpUserName), "John Smith");
    EXPECT_EQ(GetText(config.SmtpUserId), "jsmith");

    store.LoadMailBoxes(false);
    ASSERT_EQ(store.Mailboxes.size(), 6u);
    EXPECT_EQ(store.Mailboxes[2].Cell(mcMailServer), "x.test:1110");
    EXPECT_EQ(store.Mailboxes[4].Cell(mcMailServer), "pop3+tls://pop.example.com");
    EXPECT_EQ(store.InboxMap.Values(".."), Globals->DataRoot + "/mailbox");
    EXPECT_EQ(store.InboxMap.Values("a/b"), Globals->DataRoot + "/ab");
    for (const char *folder : {"john@pop.other.com", "mailbox", "ab"})
        EXPECT_TRUE(TUtils::FolderExists(Globals->DataRoot + "/" + folder)) << folder;
}

TEST_F(Import, EncryptedListStaysEncryptedAndReadable)
{
    Globals->CryptoReady = InitCrypto();
    ASSERT_TRUE(Globals->CryptoReady);
    {
        TDataStore store;
        ASSERT_TRUE(store.LoadSettings(false));
        Globals->Config.EncryptMailboxes = 1;
        ASSERT_TRUE(store.LoadSettings(true));
        store.Mailboxes = {Existing("alice", "pop.example.org")};
        store.SetPassword("alice", "pop.example.org", "alicepw");
        ASSERT_TRUE(store.SaveMailBoxes(true));
    }
    TMailImport import;
    import.AddMailbox(Pop3("alice", "POP.EXAMPLE.ORG"));
    import.AddMailbox(Pop3("bob", "pop.example.org"));
    TImportResult result = import.Import({0, 1}, -1);
    ASSERT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.AlreadyThere, 1) << "compared on the decrypted records, host ignoring case";
    EXPECT_EQ(result.Added, 1);

    const std::string bytes = testenv::ReadFile(Path(names::PopSrvFile));
    EXPECT_EQ(bytes.find("alice"), std::string::npos);
    EXPECT_EQ(bytes.find("bob"), std::string::npos);
    TDataStore store;
    ASSERT_TRUE(store.LoadSettings(false));
    TMailBoxLoad load = store.LoadMailBoxes(true);
    EXPECT_EQ(load.Undecryptable, 0);
    ASSERT_EQ(store.Mailboxes.size(), 2u);
    EXPECT_EQ(store.Mailboxes[0].Caption, "alice");
    std::string password;
    EXPECT_TRUE(store.FindPassword("alice", "pop.example.org", password));
    EXPECT_EQ(password, "alicepw");
    EXPECT_EQ(store.Mailboxes[1].Caption, "bob");
    EXPECT_EQ(store.Mailboxes[1].Cell(mcMailServer), "pop.example.org");
}

// Context help in the import window: help mode (from the caption bar or Shift+F1) on a panel and
// on a list, F1 on a field and the Help button each open the guide at the section that answers
// them, and a help click runs no command.
TEST_F(Import, ContextHelpOpensTheGuideAtTheControlsSection)
{
    testenv::TRecordingOpener opener;
    platform::SetOpener(&opener);
    TEmailSetupFrm window;
    Globals->ProgramFolder = CORVEX_BIN_DIR "/";
    window.show();
    auto click = [](QWidget *widget) {
        QTest::mouseClick(widget, Qt::LeftButton, {}, widget->rect().center());
    };

    QWhatsThis::enterWhatsThisMode();
    click(window.LMDpfCancel);
    EXPECT_TRUE(window.isVisible()) << "a help click on Close must not close";
    QTest::keyClick(window.clbSMTPServers, Qt::Key_F1, Qt::ShiftModifier);
    click(window.clbSMTPServers->viewport());
    QTest::keyClick(window.eDefaultHandler, Qt::Key_F1);
    click(window.LMDpfHelp);

    const std::string guide = "file://" CORVEX_BIN_DIR "/Help/index.html#";
    EXPECT_EQ(opener.Opened, (std::vector<std::string>{guide + "help-119", guide + "help-154",
                                                       guide + "help-115", guide + "pelloway"}));
    platform::SetOpener(nullptr);
}

// From a Thunderbird profile through the window's Import to a real check by the monitor.
TEST(ImportEndToEnd, ImportedThunderbirdAccountIsCheckedByTheMonitor)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    fixtures::Mailbox box = fixtures::CreateMailbox("import");
    fixtures::AddMessage(box, fixtures::BuildMessage({}));
    RemoveDataRoot();
    const std::string profile = platform::HomeFolder() + "/.thunderbird/p1.default";
    QDir().mkpath(QString::fromStdString(profile));
    testenv::WriteFile(platform::HomeFolder() + "/.thunderbird/profiles.ini",
                       "[Profile0]\nName=default\nIsRelative=1\nPath=p1.default\n");
    const std::string port = std::to_string(box.pop3sPort);
    testenv::WriteFile(profile + "/prefs.js",
                       "user_pref(\"mail.server.server1.type\", \"none\");\n"
                       "user_pref(\"mail.server.server1.hostname\", \"Local Folders\");\n"
                       "user_pref(\"mail.server.server2.type\", \"imap\");\n"
                       "user_pref(\"mail.server.server2.hostname\", \"127.0.0.1\");\n"
                       "user_pref(\"mail.server.server2.userName\", \"other\");\n"
                       "user_pref(\"mail.server.server3.type\", \"rss\");\n"
                       "user_pref(\"mail.server.server3.hostname\", \"Feeds\");\n"
                       "user_pref(\"mail.server.server4.type\", \"pop3\");\n"
                       "user_pref(\"mail.server.server4.hostname\", \"127.0.0.1\");\n"
                       "user_pref(\"mail.server.server4.port\", " +
                           port +
                           ");\n"
                           "user_pref(\"mail.server.server4.socketType\", 3);\n"
                           "user_pref(\"mail.server.server4.userName\", \"" +
                           box.user +
                           "\");\n"
                           // Left over from an account the user removed.
                           "user_pref(\"mail.server.server5.type\", \"pop3\");\n"
                           "user_pref(\"mail.server.server5.hostname\", \"pop.gone.test\");\n"
                           "user_pref(\"mail.server.server5.userName\", \"gone\");\n"
                           "user_pref(\"mail.accountmanager.accounts\", \"account1,account2\");\n"
                           "user_pref(\"mail.account.account1.server\", \"server1\");\n"
                           "user_pref(\"mail.account.account2.server\", \"server4\");\n"
                           "user_pref(\"mail.smtpserver.smtp1.hostname\", \"smtp.one.test\");\n"
                           "user_pref(\"mail.smtpserver.smtp2.hostname\", \"smtp.two.test\");\n"
                           "user_pref(\"mail.smtpservers\", \"smtp1,smtp2\");\n"
                           "user_pref(\"mail.smtp.defaultserver\", \"smtp2\");\n");

    std::string dataRoot;
    {
        // Started by the monitor at its first start: centred over the monitor's window.
        const QRect monitorWindow(60, 40, 700, 560);
        qputenv(OpenerVariable, "60,40,700,560");
        TEmailSetupFrm window;
        window.ScanDelayMs = 0;
        window.show();
        EXPECT_LE((window.frameGeometry().center() - monitorWindow.center()).manhattanLength(), 2);
        ASSERT_TRUE(fixtures::WaitUntil([&] { return window.clbRegisteredMailBoxs->count() > 0; }));
        EXPECT_EQ(keyboard::ControlsTabMisses(&window), std::vector<std::string>{});
        ASSERT_EQ(window.clbRegisteredMailBoxs->count(), 1);
        QListWidgetItem *item = window.clbRegisteredMailBoxs->item(0);
        EXPECT_EQ(item->text().toStdString(), box.user + "@pop3s://127.0.0.1:" + port);
        // The default outgoing server is offered ticked, which enables Import.
        ASSERT_EQ(window.clbSMTPServers->count(), 2);
        EXPECT_EQ(window.clbSMTPServers->item(1)->checkState(), Qt::Checked);
        EXPECT_EQ(window.clbSMTPServers->item(0)->checkState(), Qt::Unchecked);
        item->setCheckState(Qt::Checked);
        EXPECT_TRUE(PButtons->IsAvailable(window.LMDpfImport));
        window.LMDpfImport->Click();
        EXPECT_FALSE(window.isVisible());
        EXPECT_EQ(window.LastImport.Added, 1);
        EXPECT_EQ(GetText(Globals->Config.SmtpServer), "smtp.two.test");
        dataRoot = Globals->DataRoot;
    }

    // The user gives the password, as the monitor asks for it, and ticks the mailbox.
    {
        TUtils utils;
        TGlobals globals;
        Utils = &utils;
        Globals = &globals;
        globals.InitPaths();
        TDataStore store;
        ASSERT_TRUE(store.LoadSettings(false));
        store.LoadMailBoxes(false);
        ASSERT_EQ(store.Mailboxes.size(), 1u);
        store.SetPassword(box.user, store.Mailboxes[0].Cell(mcMailServer), box.password);
        store.Mailboxes[0].Checked = true;
        ASSERT_TRUE(store.SaveMailBoxes(false));
        Utils = nullptr;
        Globals = nullptr;
    }

    QProcess monitor;
    monitor.setProgram(QString::fromStdString(testenv::ProgramPath(names::MonitorExe)));
    monitor.setProcessChannelMode(QProcess::ForwardedChannels);
    monitor.start();
    ASSERT_TRUE(monitor.waitForStarted());
    const std::string lastMail = dataRoot + "/" + box.user + "/" + names::LastMailFile;
    const bool checked = fixtures::WaitUntil([&] { return TUtils::FileExists(lastMail); }, 30000);
    monitor.terminate();
    monitor.waitForFinished(10000);
    testenv::WaitUntil([] { return !platform::IsNamedLockPresent(names::MonitorLock); });
    ASSERT_TRUE(checked) << "the monitor's pass did not record the imported mailbox";
    const std::string log =
        testenv::ReadFile(testenv::FixtureValue("CORVEX_FIXTURES_DIR") + "/dovecot/dovecot.log");
    EXPECT_NE(log.find("Login: user=<" + box.user + ">"), std::string::npos);
}

} // namespace

// An OAuth2 account of a known provider arrives inactive, with no password and with a sign-in
// entry that has no tokens yet; one of an unknown provider is still refused.
TEST_F(Import, OAuth2AccountsWaitForTheirFirstSignIn)
{
    TMailImport import;
    TFoundAccount gmail = Pop3("ann@gmail.com", "pop.gmail.com", 995, TTlsMode::Implicit);
    gmail.OAuth2 = true;
    TFoundAccount unknown = Pop3("bob", "pop.example.org");
    unknown.OAuth2 = true;
    TFoundAccount gmailImap = Pop3("ann@gmail.com", "imap.gmail.com", 993, TTlsMode::Implicit);
    gmailImap.OAuth2 = gmailImap.Imap = true;
    import.AddMailbox(gmail);
    import.AddMailbox(unknown);
    import.AddMailbox(gmailImap);
    EXPECT_EQ(import.Mailboxes[1].Caption(),
              "bob@pop.example.org  (signs in with OAuth2 through a provider Corvex does not "
              "know)");
    EXPECT_EQ(import.Mailboxes[2].Caption(), "ann@gmail.com@imaps://imap.gmail.com");
    TImportResult result = import.Import({0, 1, 2}, -1);
    ASSERT_TRUE(result.Ok) << result.Error;
    EXPECT_EQ(result.Added, 2);
    EXPECT_EQ(result.Refused, 1);

    const std::string bytes = testenv::ReadFile(Path(names::PopSrvFile));
    ASSERT_EQ(bytes.size(), 2 * sizeof(TMailBoxRecord));
    for (const char *record : {bytes.data(), bytes.data() + sizeof(TMailBoxRecord)}) {
        EXPECT_EQ(record[offsetof(TMailBoxRecord, Active)], 0);
        EXPECT_STREQ(record + offsetof(TMailBoxRecord, Password), "");
    }
    oauth2::TStore store(Globals->DataRoot);
    ASSERT_EQ(store.Load(), oauth2::TStore::TLoad::Loaded) << store.LoadError();
    ASSERT_EQ(store.Entries().size(), 2u);
    for (const char *server : {"pop3s://pop.gmail.com", "imaps://imap.gmail.com"}) {
        const oauth2::TEntry *entry =
            store.Find(oauth2::TPurpose::Mailbox, "ann@gmail.com", server);
        ASSERT_NE(entry, nullptr) << server;
        EXPECT_EQ(entry->ProviderId, oauth2::GoogleProvider);
        EXPECT_TRUE(entry->Tokens.RefreshToken.empty());
    }
}

// With no mail program's account to take over, the window says so in words and offers the
// monitor's mailbox editor (the monitor's side is a mailbox window test); it opens centred on
// the screen when no window started it, and Esc closes it.
TEST_F(Import, NothingFoundIsSaidAndEscCloses)
{
    TEmailSetupFrm window;
    window.Home = testenv::MakeScratchDir("emptyhome");
    window.ConfigHome = window.Home + "/.config";
    window.ScanDelayMs = 0;
    window.show();
    ASSERT_TRUE(fixtures::WaitUntil([&] { return window.lblNothingFound->isVisible(); }, 5000));
    EXPECT_EQ(window.lblNothingFound->text().toStdString(),
              "No POP3 or IMAP account found in Thunderbird, Evolution or KMail");
    EXPECT_TRUE(window.LMDpfByHand->isVisible()) << "the mailbox editor is offered";
    const QRect screen = QApplication::primaryScreen()->availableGeometry();
    EXPECT_LE(std::abs(window.frameGeometry().center().x() - screen.center().x()), 1);
    EXPECT_LE(std::abs(window.frameGeometry().center().y() - screen.center().y()), 1);

    QTest::keyClick(window.clbRegisteredMailBoxs, Qt::Key_Escape);
    EXPECT_TRUE(fixtures::WaitUntil([&] { return !window.isVisible(); }, 5000));
}
