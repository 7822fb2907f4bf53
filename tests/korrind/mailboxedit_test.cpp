// The mailbox editor and the About box: the folder and entry rules of the editor, and the real
// windows driven offscreen from the main window, up to a check of the new mailbox on the test
// POP3 server.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>

#include "common/alerts.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/oauth2/store.h"
#include "common/password.h"
#include "common/platform/folders.h"
#include "common/platform/opener.h"
#include "common/plugins.h"
#include "common/records.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/rowmodel.h"
#include "common/utils.h"
#include "korrind/about.h"
#include "korrind/aboutfrm.h"
#include "korrind/mailboxedit.h"
#include "korrind/mailboxeditfrm.h"
#include "korrind/outgoingedit.h"
#include "korrind/popviewfrm.h"
#include "korrind/signinbox.h"
#include "korrind/windowsteps.h"
#include "support/fixtures.h"
#include "support/keyboard.h"
#include "support/testbrowser.h"
#include "support/testenv.h"

namespace {

TListRow Active(const std::string &user, bool on)
{
    TListRow row;
    row.Caption = user;
    row.Checked = on;
    return row;
}

void Type(QLineEdit *edit, const QString &text)
{
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
}

TEST(MailboxEditRules, FoldersEntriesAndDuplicatesAreCheckedBeforeAnythingIsStored)
{
    // Only a last component equal to the user ID is taken off: john's default inbox below
    // /home/john keeps its whole parent.
    const std::string johnInbox = "/home/john/.local/share/Corvex Users/john";
    EXPECT_EQ(StorageFolderOf(johnInbox, "john"), "/home/john/.local/share/Corvex Users");
    EXPECT_EQ(StorageFolderOf("/mail/shared", "john"), "/mail/shared");
    EXPECT_EQ(InboxFolderFor("", "john", "/data"), "/data/john") << "empty storage: data root";

    // An unchanged storage and user ID keep the stored inbox, even one not ending in the ID.
    TMailBoxRecord shared = Record("john", "pop.example.org", "/mail/shared");
    TMailboxFields fields = FieldsOf(shared);
    EXPECT_EQ(InboxFolderOf(fields, shared, "/data"), "/mail/shared");
    fields.UserId = "jack";
    EXPECT_EQ(InboxFolderOf(fields, shared, "/data"), "/mail/shared/jack");

    // Entries that do not fit, or user IDs that name folders, are refused, never cut.
    fields = FieldsOf(Record("john", "pop.example.org", johnInbox));
    EXPECT_EQ(CheckFields(fields, johnInbox), "");
    fields.MailServer = std::string(48, 's');
    EXPECT_EQ(CheckFields(fields, johnInbox),
              "The mail server is too long: it may have at most 47 bytes.");
    fields.MailServer = "pop.example.org";
    for (const char *bad : {"/", ".", "..", "a/b"}) {
        fields.UserId = bad;
        EXPECT_NE(CheckFields(fields, "/data/x").find("can't be a user ID"), std::string::npos)
            << bad;
    }
    // A user ID is typed with at most 32 bytes; a longer one the record already holds stays.
    fields.UserId = std::string(33, 'u');
    EXPECT_EQ(CheckFields(fields, "/data/x"),
              "The user ID is too long: it may have at most 32 bytes.");
    EXPECT_EQ(CheckFields(fields, "/data/x", UserIdLimitFor(fields.UserId)), "");
    fields.UserId = "john";
    EXPECT_NE(CheckFields(fields, "/" + std::string(254, 'p')), "");
    EXPECT_EQ(CheckFields(fields, "/" + std::string(253, 'p')), "");

    // The same user ID once per server.
    TListRows rows = {MailboxRow(Record("john", "pop.a.org", "/m/john"), false)};
    EXPECT_EQ(CheckDuplicate(rows, -1, "john", "POP.A.ORG"),
              "The mailbox john@POP.A.ORG is already in the list.");
    EXPECT_EQ(CheckDuplicate(rows, 0, "john", "pop.a.org"), "") << "the edited row itself";
    EXPECT_EQ(CheckDuplicate(rows, -1, "john", "pop.b.org"), "");

    // Swapping which mailbox is active keeps the count but changes the set.
    TListRows summary = {SummaryRow("alice")};
    EXPECT_FALSE(ActiveMailboxesChanged({Active("alice", true), Active("bob", false)}, summary));
    EXPECT_TRUE(ActiveMailboxesChanged({Active("alice", false), Active("bob", true)}, summary));
}

// The sign-in entry follows the mailbox: a new user ID or server gets it, the old key keeps it
// until the main window's changes are saved (throwing them away must not cost the sign-in), it
// goes when the password is chosen again or the removed mailbox is saved, and the record keeps
// no password.
TEST(MailboxEditRules, SignInEntryFollowsTheMailboxAndReplacesItsPassword)
{
    const std::string root = testenv::MakeScratchDir("signin");
    auto entries = [&root] {
        oauth2::TStore store(root);
        store.Load();
        std::vector<std::string> keys;
        for (const oauth2::TEntry &entry : store.Entries())
            keys.push_back(entry.UserId + "@" + entry.Server + " " + entry.Tokens.RefreshToken);
        return keys;
    };
    TMailBoxRecord record = Record("ann", "pop.example.org", root + "/ann");
    TMailboxFields fields = FieldsOf(record);
    fields.SignIn.OAuth2 = true;
    fields.SignIn.Provider = TProviderChoice::Issuer;
    fields.SignIn.Issuer = "https://login.example.org";
    ASSERT_TRUE(StoreSignIn(fields, record, root));
    EXPECT_TRUE(AwaitsFirstSignIn(root, "ann", "pop.example.org"));
    fields.SignIn.Tokens.RefreshToken = "r1";
    fields.SignIn.SignedInHere = true;
    ASSERT_TRUE(StoreSignIn(fields, record, root));
    EXPECT_FALSE(AwaitsFirstSignIn(root, "ann", "pop.example.org"));
    fields.SignIn.SignedInHere = false;
    StoreFields(fields, root, record);
    EXPECT_EQ(GetText(record.Password), "");
    EXPECT_EQ(entries(), std::vector<std::string>{"ann@pop.example.org r1"});
    EXPECT_EQ(StoredChoice(root, oauth2::TPurpose::Mailbox, "ann", "pop.example.org").Issuer,
              "https://login.example.org");

    fields.UserId = "anna";
    fields.MailServer = "pop3s://pop.example.org";
    ASSERT_TRUE(StoreSignIn(fields, record, root));
    StoreFields(fields, root, record);
    EXPECT_EQ(entries(), (std::vector<std::string>{"ann@pop.example.org r1",
                                                   "anna@pop3s://pop.example.org r1"}));

    TDataStore store;
    PutRecord(store, -1, record, false);
    EXPECT_TRUE(PruneChoices(root, store.Mailboxes, "", ""));
    EXPECT_EQ(entries(), std::vector<std::string>{"anna@pop3s://pop.example.org r1"});
    RemoveMailbox(store, 0);
    EXPECT_TRUE(store.Mailboxes.empty());
    EXPECT_EQ(entries(), std::vector<std::string>{"anna@pop3s://pop.example.org r1"});
    EXPECT_TRUE(PruneChoices(root, store.Mailboxes, "", ""));
    EXPECT_EQ(entries(), std::vector<std::string>{});

    // Another issuer never gets the tokens of the one they came from.
    fields.SignIn.SignedInHere = true;
    ASSERT_TRUE(StoreSignIn(fields, record, root));
    fields.SignIn.SignedInHere = false;
    fields.SignIn.Issuer = "https://other.example.org";
    ASSERT_TRUE(StoreSignIn(fields, record, root));
    EXPECT_EQ(entries(), std::vector<std::string>{"anna@pop3s://pop.example.org "});

    fields.SignIn.OAuth2 = false;
    fields.Password = "pw";
    ASSERT_TRUE(StoreSignIn(fields, record, root));
    EXPECT_EQ(entries(), std::vector<std::string>{});
}

TEST(MailboxEditRules, ImportedMailboxIsCheckedOnceItGetsItsPassword)
{
    TDataStore store;
    TMailBoxRecord imported = Record("ann", "pop.example.org", "/m/ann");
    SetText(imported.Password, PasswordNotGiven);
    imported.Active = 0;
    PutRecord(store, -1, imported, false);
    PutRecord(store, 0, imported, false); // edited, still without a password
    EXPECT_FALSE(store.Mailboxes[0].Checked);
    SetText(imported.Password, "ann-pw");
    PutRecord(store, 0, imported, false);
    EXPECT_TRUE(store.Mailboxes[0].Checked);
    store.Mailboxes[0].Checked = false; // switched off by the user: a new password keeps it off
    SetText(imported.Password, "ann-pw2");
    PutRecord(store, 0, imported, false);
    EXPECT_FALSE(store.Mailboxes[0].Checked);
}

// IMAP addresses are taken in every form and case, a mistyped scheme is refused, and an
// automatic OAuth2 sign-in picks the provider by the IMAP host and asks for the scopes of
// IMAP; a Microsoft mailbox moved from POP3 to IMAP signs in anew, a Google one need not.
TEST(MailboxEditRules, ImapAddressesAreTakenAndSignInWithTheScopesOfImap)
{
    TMailboxFields fields = FieldsOf(Record("ann", "pop.example.org", "/m/ann"));
    for (const char *taken : {"imap://mail.example.org", "imaps://mail.example.org:1993/Lists/Work",
                              "IMAP+TLS://Mail.Example.Org/INBOX", "pop3s://pop.example.org",
                              "pop3+tls://pop.example.org:110", "[::1]:110", "pop.example.org"}) {
        fields.MailServer = taken;
        EXPECT_EQ(CheckFields(fields, "/m/ann"), "") << taken;
    }
    fields.MailServer = "imapx://mail.example.org";
    EXPECT_EQ(CheckFields(fields, "/m/ann"),
              "\"imapx://mail.example.org\" is not a mail server this program can reach: write "
              "host or host:port, or begin with pop3s://, pop3+tls://, imap://, imaps:// or "
              "imap+tls://.");
    fields.MailServer = "pop://pop.example.org";
    EXPECT_NE(CheckFields(fields, "/m/ann"), "");
    for (const char *hostless : {"imaps:///INBOX", "imap://:143", "pop3s://"}) {
        fields.MailServer = hostless;
        EXPECT_NE(CheckFields(fields, "/m/ann").find("names no host"), std::string::npos)
            << hostless;
    }

    TSignInChoice automatic;
    automatic.OAuth2 = true;
    std::string problem;
    const oauth2::TProvider google = ChoiceProvider(automatic, "imaps://imap.gmail.com", problem);
    EXPECT_EQ(google.Id, oauth2::GoogleProvider);
    EXPECT_EQ(google.Scopes, "https://mail.google.com/");
    const oauth2::TProvider imap =
        ChoiceProvider(automatic, "imap+tls://outlook.office365.com/Lists/Work", problem);
    EXPECT_EQ(imap.Id, oauth2::MicrosoftProvider);
    EXPECT_NE(imap.Scopes.find("/IMAP.AccessAsUser.All"), std::string::npos) << imap.Scopes;
    EXPECT_EQ(imap.Scopes.find("/POP.AccessAsUser.All"), std::string::npos) << imap.Scopes;
    const oauth2::TProvider pop = ChoiceProvider(automatic, "outlook.office365.com", problem);
    EXPECT_NE(pop.Scopes.find("/POP.AccessAsUser.All"), std::string::npos) << pop.Scopes;

    // Signed in over POP3, then moved to IMAP on the same host.
    const std::string root = testenv::MakeScratchDir("imap-signin");
    auto moveToImap = [&root, &problem](const std::string &user, const std::string &host) {
        TMailBoxRecord record = Record(user, host, root + "/" + user);
        TMailboxFields moved = FieldsOf(record);
        moved.SignIn.OAuth2 = true;
        moved.SignIn.Scopes = ChoiceProvider(moved.SignIn, host, problem).Scopes;
        moved.SignIn.Tokens.RefreshToken = "r-" + user;
        moved.SignIn.SignedInHere = true;
        EXPECT_TRUE(StoreSignIn(moved, record, root));
        EXPECT_FALSE(AwaitsFirstSignIn(root, user, host));
        moved.SignIn.SignedInHere = false;
        moved.MailServer = "imaps://" + host;
        EXPECT_TRUE(StoreSignIn(moved, record, root));
        return AwaitsFirstSignIn(root, user, moved.MailServer);
    };
    EXPECT_TRUE(moveToImap("ann", "outlook.office365.com"));
    EXPECT_FALSE(moveToImap("bob", "pop.gmail.com"));
}

// ---- the windows, from the main window

class MailboxWindows : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Frm = std::make_unique<TCorvexFrm>();
        Frm->Monitor->Activated = true;
        Frm->Monitor->PauseMs = 0;
        ASSERT_TRUE(Store().LoadSettings(false));
        Globals->Config.PasswordActive = 0;
        Globals->Config.EncryptMailboxes = 0;
        Rules = Frm->Monitor->RulesFolder();
        testenv::WriteFile(AlertsFilePath(Rules),
                           "BELL=/s/bell.wav\nCHIME=/s/chime.wav\n~NONE~=~none~\n");
    }
    void TearDown() override
    {
        Frm.reset();
        platform::SetOpener(nullptr);
    }
    TDataStore &Store() { return Frm->Monitor->Store; }
    // The test's stand-in for a companion, registered in the data root under menuId.
    std::string InstallProbe(const std::string &menuId, const std::string &executable)
    {
        const std::string folder = testenv::MakeScratchDir("programs") + "/";
        const std::string probe = folder + executable;
        std::filesystem::copy_file(
            QCoreApplication::applicationDirPath().toStdString() + "/plugin_probe", probe);
        testenv::WriteFile(Globals->DataRoot + "/Extentions/" + menuId + ".ini",
                           "caption=" + menuId + " Probe\nmenuid=" + menuId +
                               "\nexecutable=" + executable + "\n");
        Globals->PlugIns->ProgramFolder = folder;
        Globals->PlugIns->LoadExtensions("", Globals->ExtensionList);
        return probe;
    }
    TMailBoxEditFrm &Editor() { return *Frm->MailBoxEditFrm; }

    std::unique_ptr<TCorvexFrm> Frm;
    std::string Rules;
};

TEST_F(MailboxWindows, AddedMailboxIsSavedAndCheckedOnTheServerAfterApply)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    fixtures::Mailbox box = fixtures::CreateMailbox("editor");
    fixtures::AddMessages(box, {fixtures::BuildMessage({}), fixtures::BuildMessage({})});
    const std::string server = box.host + ":" + std::to_string(box.pop3Port);
    Globals->Config.TimeoutMs = 5000;
    Globals->Config.Retries = 1;
    Frm->ShowSettings();

    bool opened = false;
    std::string tooLong, question;
    OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
        opened = true;
        EXPECT_EQ(editor->windowTitle(), "Mailbox Properties");
        EXPECT_EQ(editor->LMDeStorage->text().toStdString(), Globals->DataRoot);
        // The server field tells what it takes.
        EXPECT_TRUE(editor->LMDeMailServer->placeholderText().contains("pop3s://host"));
        EXPECT_TRUE(editor->LMDeMailServer->toolTip().contains("pop3+tls://host"));
        AnswerMessage(tooLong);
        Type(editor->LMDeUserID, QString(33, 'u'));
        EXPECT_EQ(editor->LMDeUserID->text(), QString(32, 'u'));
        EXPECT_EQ(tooLong, "The user ID is too long: it may have at most 32 bytes.");
        Type(editor->LMDeUserID, QString::fromStdString(box.user));
        Type(editor->LMDePassword, QString::fromStdString(box.password));
        Type(editor->LMDeMailServer, QString::fromStdString(server));

        // Close asks before it drops what was typed: Cancel stays, Yes applies and closes.
        AnswerMessage(question, QMessageBox::Cancel);
        editor->LMDpfClose->Click();
        EXPECT_EQ(question, "\nMail Box Information has changed\nApply Changes?\n");
        EXPECT_FALSE(editor->Accepted);
        EXPECT_TRUE(editor->isVisible());
        AnswerMessage(question, QMessageBox::Yes);
        editor->LMDpfClose->Click();
        EXPECT_TRUE(editor->Accepted);
    });
    Frm->LMDpfAdd->Click();
    ASSERT_TRUE(opened);
    ASSERT_EQ(Store().Mailboxes.size(), 1u);
    ASSERT_TRUE(Frm->ApplyEnabled());
    // The main window tells that its Apply is what starts the checking, and marks Apply.
    EXPECT_EQ(Frm->StatusNote->text(), "  Press Apply to save the mail boxes and check them");
    EXPECT_TRUE(Frm->LMDpfApply->font().bold());

    Frm->LMDpfApply->Click();
    EXPECT_EQ(Frm->StatusNote->text(), "");
    EXPECT_FALSE(Frm->LMDpfApply->font().bold());

    std::vector<TMailBoxRecord> records;
    ASSERT_TRUE(ReadMailBoxFile(Store().PopSrvPath(), records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(GetText(records[0].UserId), box.user);
    EXPECT_EQ(GetText(records[0].MailServer), server);
    EXPECT_EQ(GetText(records[0].Password), box.password);
    EXPECT_EQ(GetText(records[0].InboxPath), Globals->DataRoot + "/" + box.user);
    EXPECT_TRUE(TUtils::FolderExists(Globals->DataRoot + "/" + box.user));
    EXPECT_EQ(records[0].LeaveOnServer, 1);
    EXPECT_EQ(records[0].Active, 1);

    // The new active mailbox rebuilt the Summary, and the pass logged in and counted.
    ASSERT_EQ(Store().Summary.size(), 1u);
    EXPECT_EQ(Store().Summary[0].Caption, box.user);
    EXPECT_EQ(Store().Summary[0].Cell(scMsgs), "2");
    EXPECT_EQ(fixtures::MessageCount(box), 2);
}

// Editing a mailbox whose folder lies below a folder of the same name: only the alerts change,
// a browsed sound joins the alert list, and too long entries are refused with a message.
TEST_F(MailboxWindows, EditingAlertsKeepsTheInboxAndRefusesWhatDoesNotFit)
{
    const std::string home = testenv::MakeScratchDir("home") + "/john";
    const std::string inbox = home + "/mail/john";
    QDir().mkpath(QString::fromStdString(inbox));
    TMailBoxRecord john = Record("john", "pop.example.org", inbox);
    Store().Mailboxes = {MailboxRow(john, false),
                         MailboxRow(Record("john", "pop.other.org", "/x/john"), false)};
    Store().SetPassword("john", "pop.example.org", "first");
    Store().SetPassword("john", "pop.other.org", "second");
    Frm->MailboxModel->Reload();
    const std::string sound = testenv::MakeScratchDir("sounds") + "/Ring Tone.wav";
    testenv::WriteFile(sound, "RIFF");
    const std::string probe = InstallProbe(names::Fennick, "fennick");

    std::string message;
    bool opened = false;
    OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
        opened = true;
        EXPECT_EQ(editor->LMDeStorage->text().toStdString(), home + "/mail");
        EXPECT_EQ(editor->LMDePassword->text(), "first");
        EXPECT_EQ(editor->LMDcmbMailArrival->currentText(), "BELL");
        EXPECT_FALSE(editor->ApplyEnabled());

        // The sound browsed to is entered in the list and chosen.
        OnModal<QFileDialog>([&](QFileDialog *dialog) {
            EXPECT_EQ(dialog->windowTitle(), "Open Audio File");
            ChooseFile(dialog, sound);
        });
        editor->LMDpfBrowseAlert1->Click();
        EXPECT_EQ(editor->LMDcmbMailArrival->currentText(), "RING TONE");
        QTest::keyClick(editor->LMDcmbPriorityMail, Qt::Key_Down);
        EXPECT_TRUE(editor->ApplyEnabled());

        // Typing stops at the field's size, and a longer paste is refused whole, with a
        // message each time.
        const QString original = editor->LMDeMailServer->text();
        const std::string tooLong = "The mail server is too long: it may have at most 47 bytes.";
        AnswerMessage(message);
        Type(editor->LMDeMailServer, QString(48, 'a'));
        EXPECT_EQ(editor->LMDeMailServer->text(), QString(47, 'a'));
        EXPECT_EQ(message, tooLong);
        message.clear();
        QApplication::clipboard()->setText(QString(48, 'b'));
        editor->LMDeMailServer->selectAll();
        AnswerMessage(message);
        editor->LMDeMailServer->paste();
        EXPECT_EQ(editor->LMDeMailServer->text(), QString(47, 'a'));
        EXPECT_EQ(message, tooLong);

        // The other john's server is taken.
        editor->LMDeMailServer->setText("pop.other.org");
        AnswerMessage(message);
        editor->LMDpfAccept->Click();
        EXPECT_EQ(message, "The mailbox john@pop.other.org is already in the list.");

        // The alias manager starts through the registry on the mailbox's inbox folder.
        editor->tsRules->Click();
        editor->LMDpfAliasList->Click();
        editor->LMDpfActivateAlias->Click();
        EXPECT_EQ(editor->LMDpfActivateAlias->Caption(), "X");

        editor->LMDeMailServer->setText(original);
        editor->LMDpfAccept->Click();
        EXPECT_TRUE(editor->Accepted);
        editor->LMDpfClose->Click();
    });
    Frm->lvMailBoxes->selectRow(0);
    Frm->LMDpfEdit->Click();
    ASSERT_TRUE(opened);

    const TMailBoxRecord edited = MailboxRecord(Store().Mailboxes[0], "");
    EXPECT_EQ(GetText(edited.InboxPath), inbox);
    EXPECT_EQ(GetText(edited.ArrivalAlert), "RING TONE");
    EXPECT_EQ(GetText(edited.PriorityAlert), "CHIME");
    EXPECT_EQ(edited.AliasActive, 1);
    EXPECT_EQ(testenv::ReadFile(probe + ".seen"),
              "argc=1\narg=" + probe + ".ini\nparam=" + inbox + "\n");
    EXPECT_TRUE(ReadAlerts(Rules).IndexOf("RING TONE=" + sound) >= 0);
    EXPECT_TRUE(Frm->ApplyEnabled());

    // Each john keeps its own password through a save and a load.
    ASSERT_TRUE(Store().SaveMailBoxes(false));
    TDataStore loaded;
    loaded.LoadMailBoxes(false);
    std::string first, second;
    ASSERT_TRUE(loaded.FindPassword("john", "pop.example.org", first));
    ASSERT_TRUE(loaded.FindPassword("john", "pop.other.org", second));
    EXPECT_EQ(first, "first");
    EXPECT_EQ(second, "second");

    // Closing without Apply leaves the row as it was.
    OnModal<TMailBoxEditFrm>([](TMailBoxEditFrm *editor) {
        editor->LMDeUserID->setText("jack");
        editor->LMDpfClose->Click();
    });
    Frm->lvMailBoxes->selectRow(0);
    Frm->LMDpfEdit->Click();
    EXPECT_EQ(Store().Mailboxes[0].Caption, "john");
}

// Inbox opens the mailbox's folder in the saved message manager with its address; a protected
// mailbox asks for its own password first.
TEST_F(MailboxWindows, InboxStartsTheSavedMessageManagerOnTheMailbox)
{
    const std::string probe = InstallProbe(names::Strenna, "strenna");
    TMailBoxRecord record = Record("ann", "pop.example.org", "/mail/ann");
    record.BoxProtected = 1;
    SetText(record.BoxPassword, "open");
    Store().Mailboxes = {MailboxRow(record, false)};
    Frm->MailboxModel->Reload();
    int prompts = 0;
    std::string entry = "wrong";
    SetPasswordPrompt([&](TPasswordMode, bool active, std::size_t) {
        ++prompts;
        return TPasswordEntry{true, entry, active};
    });

    std::string message;
    AnswerMessage(message);
    Frm->lvMailBoxes->selectRow(0);
    Frm->LMDpfInbox->Click();
    EXPECT_EQ(prompts, 1);
    EXPECT_EQ(message, "Invalid Password!\nAccess Denied");
    EXPECT_FALSE(TUtils::FileExists(probe + ".seen"));

    entry = "open";
    Frm->LMDpfInbox->Click();
    EXPECT_EQ(testenv::ReadFile(probe + ".seen"),
              "argc=1\narg=" + probe + ".ini\nparam=/mail/ann\nparam=ann@pop.example.org\n");
    SetPasswordPrompt(nullptr);
}

// ---- signing in with OAuth2

// The count of one kind of request the authorization server answered for account.
int Granted(const std::string &account, const char *kind)
{
    const QJsonObject stats =
        QJsonDocument::fromJson(QByteArray::fromStdString(fixtures::OAuthStats())).object();
    return stats.value("accounts")
        .toObject()
        .value(QString::fromStdString(account))
        .toObject()
        .value(kind)
        .toInt();
}

// Chooses OAuth2 with the test's issuer in a sign-in box and signs in through the browser.
void SignIn(TSignInBox *box, const fixtures::OAuthServer &issuer)
{
    box->cmbMethod->setCurrentIndex(1);
    emit box->cmbMethod->activated(1);
    box->cmbProvider->setCurrentIndex(int(TProviderChoice::Issuer));
    emit box->cmbProvider->activated(int(TProviderChoice::Issuer));
    Type(box->eIssuer, QString::fromStdString(issuer.issuer));
    Type(box->eClientId, QString::fromStdString(issuer.clientId));
    box->pfSignIn->Click();
    EXPECT_TRUE(fixtures::WaitUntil([box] {
        return box->lblState->text().startsWith("Signed in");
    })) << box->lblState->text().toStdString();
}

// A mailbox and the outgoing server signed in from their windows: checks and forwards go with
// tokens, an expired token is renewed without a prompt, a revoked sign-in shows "Sign-in
// Needed" once and stops the requests until the user signs in again from the Summary. No
// token or secret is ever written where it could be read.
TEST_F(MailboxWindows, OAuth2SignInChecksForwardsRenewsAndWaitsForTheUserWhenRefused)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    const fixtures::OAuthServer issuer = fixtures::OAuth2();
    const std::string secret = "client-secret-" + fixtures::UniqueAddress("s");
    testenv::WriteFile(platform::ConfigHome() + "/" + names::KeyFolder + "/" + oauth2::ClientsFile,
                       "[" + issuer.issuer + "]\nClientId=" + issuer.clientId +
                           "\nClientSecret=" + secret + "\n");
    testenv::TTestBrowser browser;
    fixtures::Mailbox box = fixtures::CreateMailbox("oauth");
    const std::string server = box.host + ":" + std::to_string(box.pop3Port);
    const std::string forwardTo = fixtures::UniqueAddress("oauthfwd");
    const std::string sender = fixtures::UniqueAddress("oauthsender");
    fixtures::MessageFields fields;
    fields.subject = "please forward me";
    fixtures::AddMessages(box, {fixtures::BuildMessage(fields)});
    testenv::WriteFile(Rules + "/" + names::MasterPriorityFile,
                       "|forward me;||0|0|10120|" + forwardTo + "|000|\n");
    Globals->Config.MasterPriorityActive = 1;
    Globals->Config.TimeoutMs = 5000;
    Globals->Config.Retries = 1;
    SetText(Globals->Config.SmtpServer, "127.0.0.1:" + std::to_string(fixtures::Smtp().port));
    SetText(Globals->Config.SmtpUserId, sender);
    Globals->DebugLevel = 99;
    Utils->LogFileName = testenv::MakeScratchDir("log") + "/" + names::DebugLogFile;
    int notices = 0;
    std::string notice;
    Frm->Monitor->OnSignInNeeded = [&](const std::string &, const std::string &why) {
        ++notices;
        notice = why;
    };
    Frm->ShowSettings();

    OnModal<TfrmOutgoingServer>([&](TfrmOutgoingServer *window) {
        SignIn(window->SignInBox, issuer);
        EXPECT_FALSE(window->LMDePassword->isEnabled());
        window->LMDpfApply->Click();
    });
    Frm->LMDpfOutGoingClick();
    OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
        Type(editor->LMDeUserID, QString::fromStdString(box.user));
        Type(editor->LMDeMailServer, QString::fromStdString(server));
        SignIn(editor->SignInBox, issuer);
        EXPECT_EQ(editor->SignInBox->lblState->text().toStdString(), "Signed in as " + box.user);
        EXPECT_FALSE(editor->LMDePassword->isEnabled());
        editor->LMDpfAccept->Click();
        editor->LMDpfClose->Click();
    });
    Frm->LMDpfAdd->Click();
    ASSERT_EQ(browser.Opened.size(), 2u);
    Frm->LMDpfApply->Click(); // saves and checks at once

    // The first pass logged in with the token and forwarded with the outgoing server's.
    ASSERT_EQ(Store().Summary.size(), 1u);
    EXPECT_EQ(Store().Summary[0].Cell(scMsgs), "1") << Frm->Monitor->RowTip(Store().Summary[0]);
    EXPECT_NE(
        testenv::ReadFile(testenv::FixtureValue("CORVEX_FIXTURES_DIR") + "/dovecot/dovecot.log")
            .find("oauth2(" + box.user),
        std::string::npos);
    std::vector<fixtures::ReceivedMessage> forwarded = fixtures::WaitForMessagesTo(forwardTo, 1);
    ASSERT_EQ(forwarded.size(), 1u);
    EXPECT_TRUE(forwarded[0].authMechanism == "XOAUTH2" ||
                forwarded[0].authMechanism == "OAUTHBEARER")
        << forwarded[0].authMechanism;
    std::vector<TMailBoxRecord> records;
    ASSERT_TRUE(ReadMailBoxFile(Store().PopSrvPath(), records));
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(GetText(records[0].Password), "");

    // Every token handed out so far, to look for them later.
    std::vector<std::string> tokens;
    auto noteTokens = [&] {
        oauth2::TStore store(Globals->DataRoot);
        ASSERT_EQ(store.Load(), oauth2::TStore::TLoad::Loaded);
        ASSERT_EQ(store.Entries().size(), 2u);
        for (const oauth2::TEntry &entry : store.Entries())
            for (const std::string &token : {entry.Tokens.AccessToken, entry.Tokens.RefreshToken})
                if (!token.empty())
                    tokens.push_back(token);
    };
    noteTokens();

    // The servers no longer take the access tokens: one refresh each, no browser.
    fixtures::ExpireAccessTokens(box.user);
    fixtures::ExpireAccessTokens(sender);
    fields.subject = "forward me too";
    fixtures::AddMessages(box, {fixtures::BuildMessage(fields)});
    Frm->Monitor->CheckMail(-1);
    EXPECT_EQ(Store().Summary[0].Cell(scMsgs), "2") << Frm->Monitor->RowTip(Store().Summary[0]);
    EXPECT_EQ(Granted(box.user, "refresh"), 1);
    EXPECT_EQ(fixtures::WaitForMessagesTo(forwardTo, 2).size(), 2u);
    EXPECT_EQ(Granted(sender, "refresh"), 1);
    EXPECT_EQ(browser.Opened.size(), 2u);
    noteTokens();

    // Revoked: the row asks for a sign-in, told once; later passes ask no one anything.
    fixtures::RevokeTokens(box.user);
    Frm->Monitor->CheckMail(-1);
    EXPECT_EQ(Store().Summary[0].Cell(scFrom), "Sign-in Needed");
    EXPECT_EQ(Frm->Monitor->RowTip(Store().Summary[0]).rfind("Sign-in Needed: ", 0), 0u);
    EXPECT_EQ(Granted(box.user, "refresh_refused"), 1);
    const std::string stats = fixtures::OAuthStats();
    Frm->Monitor->CheckMail(-1);
    Frm->Monitor->CheckMail(-1);
    EXPECT_EQ(fixtures::OAuthStats(), stats);
    EXPECT_EQ(notices, 1);
    // Told in words; the provider's own answer stays in the row's tip.
    EXPECT_EQ(notice, "The provider no longer accepts Corvex's sign-in for " + box.user +
                          "; sign in again");
    EXPECT_NE(Frm->Monitor->RowTip(Store().Summary[0]), "Sign-in Needed: " + notice);
    EXPECT_EQ(Frm->Monitor->MailboxesNeedingSignIn(), std::vector<std::string>{box.user});
    EXPECT_EQ(browser.Opened.size(), 2u) << "a pass opened the browser";

    // A double click on the row signs in again and checks the mailbox at once; nothing is
    // left for Apply.
    OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
        EXPECT_TRUE(fixtures::WaitUntil(
            [editor] { return editor->SignInBox->lblState->text().startsWith("Signed in as"); }));
        editor->LMDpfAccept->Click();
        editor->LMDpfClose->Click();
    });
    Frm->lvSummary->selectRow(0);
    Frm->SummaryDoubleClick();
    EXPECT_EQ(browser.Opened.size(), 3u);
    EXPECT_EQ(Store().Summary[0].Cell(scMsgs), "2") << Frm->Monitor->RowTip(Store().Summary[0]);
    EXPECT_TRUE(Frm->Monitor->MailboxesNeedingSignIn().empty());
    EXPECT_FALSE(Frm->ApplyEnabled());
    Frm->Monitor->CheckMail(-1);
    EXPECT_EQ(Store().Summary[0].Cell(scMsgs), "2") << Frm->Monitor->RowTip(Store().Summary[0]);
    noteTokens();

    // A provider out of reach is a passing fault, as a server that does not answer is.
    oauth2::TStore store(Globals->DataRoot);
    ASSERT_EQ(store.Load(), oauth2::TStore::TLoad::Loaded);
    oauth2::TEntry entry = *store.Find(oauth2::TPurpose::Mailbox, box.user, server);
    entry.Issuer = "http://127.0.0.1:1";
    entry.Tokens.ExpiresAt = 1;
    store.Put(entry);
    std::string error;
    ASSERT_TRUE(store.Save(error)) << error;
    Frm->Monitor->CheckMail(-1);
    EXPECT_EQ(Store().Summary[0].Cell(scFrom), "Timed Out");
    EXPECT_NE(Frm->Monitor->RowTip(Store().Summary[0]).find("sign-in provider not reached"),
              std::string::npos);
    EXPECT_EQ(notices, 1);

    // Nothing a person or another program may read holds a token or the client secret: the
    // debug log at its highest level, the lists and settings, and what a started companion
    // gets on its command line and in its parameter file.
    const std::string probe = InstallProbe(names::Strenna, "strenna");
    Frm->lvMailBoxes->selectRow(0);
    Frm->LMDpfInbox->Click();
    const std::string log = testenv::ReadFile(Utils->LogFileName);
    ASSERT_NE(log.find("Connect: " + box.user), std::string::npos) << "logged at a high level";
    tokens.push_back(secret);
    for (const std::string &file :
         {Utils->LogFileName, probe + ".seen", Store().PopSrvPath(), Store().ConfigPath()}) {
        const std::string bytes = testenv::ReadFile(file);
        ASSERT_FALSE(bytes.empty()) << file;
        for (const std::string &token : tokens)
            EXPECT_EQ(bytes.find(token), std::string::npos) << file;
    }
}

// Tokens the monitor renewed while an editor was open stay after its Apply, in the mailbox
// editor and the outgoing server window alike: a provider that revokes a superseded refresh
// token would refuse the next renewal.
TEST_F(MailboxWindows, EditorsKeepTheTokensRenewedWhileTheyWereOpen)
{
    const std::string root = Globals->DataRoot;
    SetText(Globals->Config.SmtpServer, "smtp.example.org");
    SetText(Globals->Config.SmtpUserId, "ann");
    auto put = [&root](oauth2::TPurpose purpose, const std::string &server,
                       const std::string &refresh) {
        oauth2::TStore store(root);
        store.Load();
        oauth2::TEntry entry;
        entry.Purpose = purpose;
        entry.UserId = "ann";
        entry.Server = server;
        entry.ProviderId = oauth2::GoogleProvider;
        entry.Tokens = {"access-" + refresh, refresh, 0, "ann@example.org"};
        store.Put(entry);
        std::string error;
        EXPECT_TRUE(store.Save(error)) << error;
    };
    auto refreshOf = [&root](oauth2::TPurpose purpose, const std::string &server) {
        oauth2::TStore store(root);
        store.Load();
        const oauth2::TEntry *entry = store.Find(purpose, "ann", server);
        return entry ? entry->Tokens.RefreshToken : "no entry";
    };
    put(oauth2::TPurpose::Mailbox, "pop.example.org", "opened");
    put(oauth2::TPurpose::Outgoing, "smtp.example.org", "opened");

    TMailBoxRecord record = Record("ann", "pop.example.org", root + "/ann");
    const TListRows rows = {MailboxRow(record, false)};
    OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
        EXPECT_EQ(editor->SignInBox->lblState->text(), "Signed in as ann@example.org");
        put(oauth2::TPurpose::Mailbox, "pop.example.org", "renewed");
        editor->LMDcbxLeaveOnServer->click();
        editor->LMDpfAccept->Click();
        editor->LMDpfClose->Click();
    });
    ASSERT_TRUE(Editor().EditMailbox(record, false, rows, 0));
    EXPECT_EQ(refreshOf(oauth2::TPurpose::Mailbox, "pop.example.org"), "renewed");

    OnModal<TfrmOutgoingServer>([&](TfrmOutgoingServer *window) {
        put(oauth2::TPurpose::Outgoing, "smtp.example.org", "renewed");
        Type(window->LMDeUserName, "Ann Example");
        window->LMDpfApply->Click();
    });
    Frm->LMDpfOutGoingClick();
    EXPECT_EQ(GetText(Globals->Config.SmtpUserName), "Ann Example");
    EXPECT_EQ(refreshOf(oauth2::TPurpose::Outgoing, "smtp.example.org"), "renewed");
}

TEST_F(MailboxWindows, ControlsCarryTheirNames)
{
    for (const char *name : {"LMDeUserID",        "LMDePassword",        "LMDeMailServer",
                             "LMDeStorage",       "LMDcbxLeaveOnServer", "LMDpfBrowse1",
                             "LMDpfInbox",        "LMDcmbMailArrival",   "LMDcmbPriorityMail",
                             "LMDsbPlayAlert1",   "LMDsbPlayAlert2",     "LMDpfBrowseAlert1",
                             "LMDpfBrowseAlert2", "LMDpfMgPriority",     "LMDpfActivatePriority",
                             "LMDpfSyncPriority", "LMDpfAliasList",      "LMDpfActivateAlias",
                             "LMDpfMgRejection",  "LMDpfActivateReject", "LMDpfSyncReject",
                             "LMDpfAccept",       "LMDpfPassword",       "LMDpfHelp",
                             "LMDpfClose"})
        EXPECT_NE(Editor().findChild<QWidget *>(name), nullptr) << name;
    for (const char *name : {"pProgTitle", "pBuildDate", "Image1", "LMDSimpleLabel1",
                             "LMDSimpleLabel7", "bbWebSite", "bbContact", "bbOK"})
        EXPECT_NE(Frm->AboutFrm->findChild<QWidget *>(name), nullptr) << name;
}

TEST_F(MailboxWindows, AboutShowsTheBuildAndOpensWebAndContactThroughTheDesktop)
{
    testenv::TRecordingOpener opener;
    platform::SetOpener(&opener);
    EXPECT_EQ(BuildStamp(0), "Build: ");

    bool shown = false;
    OnModal<TAboutFrm>([&](TAboutFrm *about) {
        shown = true;
        EXPECT_EQ(about->windowTitle(), "About");
        EXPECT_EQ(about->pProgTitle->text(), "Corvex");
        EXPECT_TRUE(QRegularExpression("^Build: \\d\\d\\.\\d\\d\\.\\d{4}\\.\\d{1,2}\\.\\d\\d$")
                        .match(about->pBuildDate->text())
                        .hasMatch())
            << about->pBuildDate->text().toStdString();
        EXPECT_EQ(about->LMDSimpleLabel[0]->text(), "");
        EXPECT_EQ(about->LMDSimpleLabel[4]->text(), "");
        EXPECT_EQ(about->LMDSimpleLabel[6]->text(), "");
        EXPECT_FALSE(about->LMDSimpleLabel[1]->text().isEmpty());
        EXPECT_EQ(about->LMDSimpleLabel[5]->text(),
                  "Free software under the GNU General Public License, version 3 or later.");
        EXPECT_EQ(about->bbWebSite->toolTip().toStdString(), abouttext::WebAddress);
        about->bbWebSite->click();
        about->bbContact->click();
        about->bbOK->click();
    });
    Frm->AboutClick();
    ASSERT_TRUE(shown);
    EXPECT_EQ(opener.Opened,
              (std::vector<std::string>{abouttext::WebAddress,
                                        std::string("mailto:") + abouttext::ContactAddress}));
}

} // namespace

// The keyboard: Tab walks the mailbox page top to bottom; Enter on a Mailboxes row edits it.
// An editor opened after an OAuth2 mailbox is as high as one opened before it.
TEST_F(MailboxWindows, TabFollowsTheScreenEnterEditsARowAndNoBandIsLeft)
{
    const std::string root = Globals->DataRoot;
    oauth2::TStore store(root);
    store.Load();
    oauth2::TEntry entry;
    entry.Purpose = oauth2::TPurpose::Mailbox;
    entry.UserId = "ann";
    entry.Server = "pop.example.org";
    entry.ProviderId = oauth2::GoogleProvider;
    entry.Tokens = {"access", "refresh", 0, "ann@example.org"};
    store.Put(entry);
    std::string error;
    ASSERT_TRUE(store.Save(error)) << error;
    for (const char *user : {"/ann", "/bob"}) // no folder to make: nothing to apply
        ASSERT_TRUE(QDir().mkpath(QString::fromStdString(root + user)));
    TMailBoxRecord oauth = Record("ann", "pop.example.org", root + "/ann");
    TMailBoxRecord plain = Record("bob", "pop.example.org", root + "/bob");
    const TListRows rows = {MailboxRow(oauth, false), MailboxRow(plain, false)};

    int plainHeight = 0;
    std::vector<QWidget *> walk;
    OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
        plainHeight = editor->height();
        for (QWidget *widget : keyboard::TabWalk(editor))
            if (editor->tsMailbox->parentWidget() != widget->parentWidget() &&
                widget != editor->LMDpfAccept && widget != editor->LMDpfPassword &&
                widget != editor->LMDpfHelp && widget != editor->LMDpfClose)
                walk.push_back(widget);
        editor->LMDpfClose->Click();
    });
    Editor().EditMailbox(plain, false, rows, 1);
    // Every control of the page in the order it reads, the sign-in box after the server.
    std::vector<int> tops;
    std::string names;
    for (QWidget *widget : walk) {
        tops.push_back(widget->mapTo(&Editor(), QPoint(0, 0)).y());
        names += widget->objectName().toStdString() + "@" + std::to_string(tops.back()) + " ";
    }
    // Controls side by side may differ by a pixel or two.
    EXPECT_TRUE(std::is_sorted(tops.begin(), tops.end(), [](int a, int b) { return a < b - 4; }))
        << names;
    ASSERT_GE(walk.size(), 4u);
    EXPECT_EQ(walk[0], Editor().LMDeUserID);
    EXPECT_EQ(walk[2], Editor().LMDeMailServer);
    EXPECT_EQ(walk[3], Editor().SignInBox->cmbMethod);

    OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
        EXPECT_EQ(editor->SignInBox->lblState->text(), "Signed in as ann@example.org");
        editor->LMDpfClose->Click();
    });
    Editor().EditMailbox(oauth, false, rows, 0);
    OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
        EXPECT_EQ(editor->height(), plainHeight);
        editor->LMDpfClose->Click();
    });
    Editor().EditMailbox(plain, false, rows, 1);

    // Enter on the focused Mailboxes row opens the editor on that row.
    Store().Mailboxes.push_back(MailboxRow(plain, false));
    Frm->RowsChanged(true);
    Frm->show();
    Frm->ShowPage(TMonitorPage::Mailboxes);
    Frm->lvMailBoxes->setFocus();
    QApplication::processEvents();
    EXPECT_TRUE(Frm->lvMailBoxes->currentIndex().isValid()) << "the focus mark shows";
    std::string edited;
    OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
        edited = editor->LMDeUserID->text().toStdString();
        editor->LMDpfClose->Click();
    });
    QTest::keyClick(Frm->lvMailBoxes, Qt::Key_Return);
    EXPECT_EQ(edited, "bob");
}

// The import found nothing to take over and the user chose its "Mailbox Editor": once it has
// ended, the monitor opens the editor on a new mailbox.
TEST_F(MailboxWindows, ImportThatFoundNothingHandsOverToTheEditor)
{
    InstallProbe(names::Pelloway, "pelloway");
    qputenv("CORVEX_PROBE_EXIT", QByteArray::number(EditMailboxByHandExitCode));
    bool opened = false;
    OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
        opened = true;
        EXPECT_TRUE(editor->LMDeUserID->text().isEmpty());
        editor->LMDpfClose->Click();
    });
    Frm->LMDpfLoadClick();
    EXPECT_TRUE(fixtures::WaitUntil([&] { return opened; }));
    qunsetenv("CORVEX_PROBE_EXIT");
}
