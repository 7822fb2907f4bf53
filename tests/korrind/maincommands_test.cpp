// The main window's Summary and companion commands, driven offscreen: the companions get their
// files through the plug-in registry (a probe program records them), Read Last Message reads
// the newest message from the test POP3 server into the mail program and acts on the prompt's
// answer, and a double click on the Summary list does what its row calls for.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>

#include "common/filterparam.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/records.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"
#include "korrind/popviewfrm.h"
#include "korrind/trayview.h"
#include "korrind/whattodofrm.h"
#include "korrind/windowsteps.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

using Lines = std::vector<std::string>;

QAction *Item(const QMenu *menu, const QString &caption)
{
    for (QAction *action : menu->actions())
        if (action->text() == caption)
            return action;
    ADD_FAILURE() << "no item " << caption.toStdString();
    return nullptr;
}

class MainCommands : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Frm = std::make_unique<TCorvexFrm>();
        Frm->Monitor->Activated = true;
        Frm->Monitor->PauseMs = 0;
        Frm->ReadMessageDelayMs = 0;
        ASSERT_TRUE(Store().LoadSettings(false));
        Globals->Config.PasswordActive = 0;
        Globals->Config.EncryptMailboxes = 0;
        Globals->Config.TimeoutMs = 5000;
        Globals->Config.Retries = 1;
        Frm->ShowSettings();
        Rules = Frm->Monitor->RulesFolder();
    }
    void TearDown() override
    {
        Frm.reset();
        SetRuleEditor(nullptr);
    }
    TDataStore &Store() { return Frm->Monitor->Store; }

    // A copy of the probe program, registered in the data root under menuId.
    std::string InstallProbe(const std::string &menuId)
    {
        if (ProbeFolder.empty())
            ProbeFolder = testenv::MakeScratchDir("programs") + "/";
        const std::string probe = ProbeFolder + LowerCase(menuId);
        std::filesystem::copy_file(
            QCoreApplication::applicationDirPath().toStdString() + "/plugin_probe", probe);
        testenv::WriteFile(Globals->DataRoot + "/Extentions/" + menuId + ".ini",
                           "caption=" + menuId + " Probe\nmenuid=" + menuId +
                               "\nexecutable=" + probe + "\n");
        Globals->PlugIns->LoadExtensions("", Globals->ExtensionList);
        return probe;
    }
    // The parameter lines (or, with argument, the command-line arguments) the probe got last,
    // forgotten once read.
    Lines Seen(const std::string &probe, const char *kind = "param=")
    {
        const std::string seenFile = probe + ".seen";
        // The mail program is started without waiting for it: wait for what it wrote.
        fixtures::WaitUntil(
            [&] { return testenv::ReadFile(seenFile).find(kind) != std::string::npos; });
        Lines seen;
        for (const std::string &line : SplitText(testenv::ReadFile(seenFile), '\n'))
            if (line.rfind(kind, 0) == 0)
                seen.push_back(line.substr(std::strlen(kind)));
        std::remove(seenFile.c_str());
        return seen;
    }
    void SetMailboxes(const std::vector<TMailBoxRecord> &records)
    {
        Store().Mailboxes.clear();
        Store().Summary.clear();
        Store().InboxMap.Clear();
        for (const TMailBoxRecord &record : records) {
            Store().Mailboxes.push_back(MailboxRow(record, false));
            Store().InboxMap.Add(GetText(record.UserId) + "=" + GetText(record.InboxPath));
            Store().SetPassword(GetText(record.UserId), GetText(record.MailServer),
                                GetText(record.Password));
            Store().Summary.push_back(SummaryRow(GetText(record.UserId)));
        }
        Frm->RowsChanged(true);
    }

    std::unique_ptr<TCorvexFrm> Frm;
    std::string Rules;
    std::string ProbeFolder;
};

TEST_F(MainCommands, CompanionsGetTheirFilesAndLoadKeepsUnappliedEdits)
{
    const std::string velmot = InstallProbe(names::Velmot);
    const std::string drasset = InstallProbe(names::Drasset);
    const std::string strenna = InstallProbe(names::Strenna);
    const std::string pelloway = InstallProbe(names::Pelloway);
    // Imported mailboxes: a login that is an address, a server written with scheme and port.
    SetMailboxes({Record("ann@a.org", "pop.a.org", "/mail/ann"),
                  Record("bob", "pop3s://pop.b.org:995", "/mail/b")});
    const std::string priority = Rules + "/mPriorityMail.ini";
    const std::string reject = Rules + "/mRejectMail.ini";

    Frm->LMDpfSyncAll->Click();
    EXPECT_EQ(Seen(drasset),
              (Lines{priority, reject, "/mail/ann/PriorityMail.ini", "/mail/ann/RejectMail.ini",
                     "/mail/b/PriorityMail.ini", "/mail/b/RejectMail.ini"}));
    Frm->LMDpfManagePriority->Click();
    EXPECT_EQ(Seen(velmot), Lines{priority});
    Frm->LMDpfManageReject->Click();
    EXPECT_EQ(Seen(velmot), Lines{reject});
    Frm->LMDpfSyncReject->Click();
    EXPECT_EQ(Seen(drasset), Lines{reject});

    // Inbox from the Summary menu and from the tray; the rejected mail with the first
    // mailbox's address, from the menu and from the tray. Each address is one a mail server
    // takes as a sender.
    Frm->lvSummary->selectRow(1);
    Item(Frm->pmSummary, "Inbox")->trigger();
    EXPECT_EQ(Seen(strenna), (Lines{"/mail/b", "bob@pop.b.org"}));
    Item(Frm->pmListMail, "Rejected Mail")->trigger();
    EXPECT_EQ(Seen(strenna), (Lines{Globals->RejectedPath, "ann@a.org"}));
    Frm->ShowTrayIcon(Frm->Monitor->Tray);
    TTrayView &tray = *Frm->TrayView;
    tray.PrepareMenu();
    tray.InboxesMenu()->actions().at(1)->trigger();
    EXPECT_EQ(Seen(strenna), (Lines{"/mail/b", "bob@pop.b.org"}));
    Item(tray.Menu(), "Rejection Box")->trigger();
    EXPECT_EQ(Seen(strenna), (Lines{Globals->RejectedPath, "ann@a.org"}));
    SetMailboxes({});
    Item(tray.Menu(), "Rejection Box")->trigger();
    EXPECT_EQ(Seen(strenna), (Lines{Globals->RejectedPath, ""})) << "no address without mailboxes";

    // A mailbox added but not applied is offered for saving before the import runs, and is
    // still there when the list is read again afterwards.
    SetMailboxes({Record("carl", "pop.c.org", "/mail/carl")});
    Frm->SetApplyEnabled(true);
    std::string question;
    AnswerMessage(question, QMessageBox::Yes);
    Frm->LMDpfLoad->Click();
    EXPECT_EQ(question, "\nMail Box Information has changed\nApply Changes?\n");
    EXPECT_EQ(Seen(pelloway), Lines{Globals->DataRoot});
    ASSERT_EQ(Store().Mailboxes.size(), 1u);
    EXPECT_EQ(Store().Mailboxes[0].Caption, "carl");
    EXPECT_FALSE(Frm->ApplyEnabled());
}

TEST_F(MainCommands, ReadLastMessageShowsItAndCarriesOutThePrompt)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    fixtures::Mailbox box = fixtures::CreateMailbox("readlast");
    std::vector<std::string> raws;
    for (int i = 1; i <= 2; ++i) {
        fixtures::MessageFields fields;
        fields.from = Format("Sender %d <sender%d@example.org>", i, i);
        fields.subject = Format("Message %d", i);
        raws.push_back(fixtures::BuildMessage(fields));
    }
    fixtures::AddMessages(box, raws);
    const std::string inbox = testenv::MakeScratchDir("inbox");
    TMailBoxRecord record = Record(box.user, box.host + ":" + std::to_string(box.pop3Port), inbox);
    SetText(record.Password, box.password);
    record.LeaveOnServer = 1;
    SetMailboxes({record});

    // The mail program: a desktop entry whose command takes the file.
    const std::string mailer = InstallProbe("MailProgram");
    const std::string applications =
        qEnvironmentVariable("XDG_DATA_HOME").toStdString() + "/applications";
    QDir().mkpath(QString::fromStdString(applications));
    testenv::WriteFile(applications + "/probemail.desktop",
                       "[Desktop Entry]\nType=Application\nName=Probe Mail\nExec=" + mailer +
                           " %f\nMimeType=x-scheme-handler/mailto;\n");
    Globals->BuildMailerList();
    Frm->FillMailerBox(Globals->MailerList);
    ASSERT_TRUE(Frm->SelectMailer("Probe Mail"));

    Frm->Monitor->CheckMailFrom(TPassSource::CheckNow, -1);
    TListRow &row = Store().Summary[0];
    ASSERT_EQ(row.Cell(scMsgs), "2");

    // Large messages ask first; No reads nothing.
    Globals->Config.WarnLargeMail = 1;
    Globals->Config.SmartMailRead = 1;
    row.SetCell(scSize, "50001");
    std::string question;
    AnswerMessage(question, QMessageBox::No);
    Frm->lvSummary->selectRow(0);
    Frm->SummaryDoubleClick();
    EXPECT_EQ(question, "Message Size Is: 50001.\nDo you want to continue?");
    const std::string temp = Globals->DataRoot + "/Temp/temp.eml";
    EXPECT_FALSE(TUtils::FileExists(temp));

    // 50000 bytes are read without a question. The rule is made from the message itself,
    // not from what the row shows.
    row.SetCell(scSize, "50000");
    row.SetCell(scFrom, "????????????");
    TRuleFields ruleShown;
    SetRuleEditor([&](const std::string &, bool, TRuleFields &fields) {
        ruleShown = fields;
        return true;
    });
    bool prompted = false;
    OnModal<TfrmWhatToDo>([&](TfrmWhatToDo *prompt) {
        prompted = true;
        prompt->LMDcbSave->click();
        prompt->LMDcbDelete->click();
        prompt->LMDcbAddReject->click();
        prompt->LMDpfClose->Click();
    });
    Frm->lvSummary->selectRow(0);
    Frm->SummaryDoubleClick();
    ASSERT_TRUE(prompted);
    EXPECT_EQ(Seen(mailer, "arg="), Lines{temp});
    EXPECT_EQ(testenv::ReadFile(temp), raws[1]);
    const QStringList saved = QDir(QString::fromStdString(inbox)).entryList({"*.eml"});
    ASSERT_EQ(saved.size(), 1);
    EXPECT_EQ(testenv::ReadFile(inbox + "/" + saved[0].toStdString()), raws[1]);
    EXPECT_EQ(fixtures::StoredMessages(box), Lines{raws[0]});
    ASSERT_GE(ruleShown.size(), 2u);
    EXPECT_EQ(ruleShown[rfAddress], "Sender 2 <sender2@example.org>");
    EXPECT_EQ(ruleShown[rfSubject], "Message 2");
    EXPECT_NE(testenv::ReadFile(Rules + "/mRejectMail.ini").find("sender2@example.org"),
              std::string::npos);
    // The mailbox was checked again afterwards.
    EXPECT_EQ(Store().Summary[0].Cell(scMsgs), "1");
    EXPECT_FALSE(Frm->PromptOff);
}

// A command that holds the POP3 session gives it back however it ends: after an exception
// while it carries out the prompt's answer the cursors are normal and the next check runs.
TEST_F(MainCommands, ReadLastMessageGivesTheSessionBackWhenItFails)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    fixtures::Mailbox box = fixtures::CreateMailbox("readfail");
    fixtures::AddMessage(box, fixtures::BuildMessage({}));
    TMailBoxRecord record = Record(box.user, box.host + ":" + std::to_string(box.pop3Port),
                                   testenv::MakeScratchDir("inbox"));
    SetText(record.Password, box.password);
    SetMailboxes({record});
    Store().Summary[0].SetCell(scMsgs, "1");
    Frm->Monitor->MainTimer.start();
    SetRuleEditor([](const std::string &, bool, TRuleFields &) -> bool {
        throw std::runtime_error("the editor is gone");
    });
    OnModal<TfrmWhatToDo>([](TfrmWhatToDo *prompt) {
        prompt->LMDcbAddReject->click();
        prompt->LMDpfClose->Click();
    });
    EXPECT_THROW(Frm->ReadLastMessageOf(0), std::runtime_error);
    EXPECT_EQ(Frm->Monitor->SessionOwner(), TCorvexMonitor::TSessionOwner::None);
    EXPECT_TRUE(PButtons->IsAvailable(Frm->LMDpfCheckNow)) << "no hour-glass left";
    EXPECT_TRUE(Frm->Monitor->MainTimer.isActive());
    EXPECT_TRUE(Frm->Monitor->CheckMail(-1));
}

// Delete All Mail empties the mailbox in one go, and its Summary row shows that at once
// instead of the deleted newest message.
TEST_F(MainCommands, DeleteAllMailEmptiesTheMailboxAndItsSummaryRow)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    fixtures::Mailbox box = fixtures::CreateMailbox("deleteall");
    fixtures::AddMessages(box, fixtures::BulkMessages(3));
    TMailBoxRecord record = Record(box.user, box.host + ":" + std::to_string(box.pop3Port),
                                   testenv::MakeScratchDir("inbox"));
    SetText(record.Password, box.password);
    SetMailboxes({record});
    Frm->Monitor->CheckMailFrom(TPassSource::CheckNow, -1);
    const TListRow &row = Store().Summary[0];
    ASSERT_EQ(row.Cell(scMsgs), "3");
    ASSERT_EQ(row.Cell(scSubject), "Bulk message 0003 of 3");
    ASSERT_NE(row.ImageIndex, siOrdinary);

    std::string question;
    AnswerMessage(question, QMessageBox::Yes);
    Frm->lvSummary->selectRow(0);
    Frm->DeleteAllMailClick();
    EXPECT_EQ(question, "\nAre you sure you want to delete 3 messages from " + box.user + "?\n");
    EXPECT_EQ(fixtures::MessageCount(box), 0);
    EXPECT_EQ(row.Cell(scMsgs), "0");
    for (size_t cell = scFrom; cell < SummaryCellCount; ++cell)
        EXPECT_EQ(row.Cell(cell), "") << cell;
    EXPECT_EQ(row.ImageIndex, siOrdinary);
    EXPECT_EQ(Frm->lvSummary->model()->index(0, 1 + scSubject).data().toString().toStdString(), "");
}

TEST_F(MainCommands, SummaryDoubleClickFollowsTheRow)
{
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    const std::string server = "127.0.0.1:" + std::to_string(closed.serverPort());
    closed.close(); // connections are refused at once
    const std::string strenna = InstallProbe(names::Strenna);
    SetMailboxes({Record("ann", server, "/mail/ann"), Record("bob", server, "/mail/bob")});
    Store().Summary[0].SetCell(scMsgs, "0");
    Store().Summary[1].SetCell(scMsgs, "3");
    for (TListRow &row : Store().Summary)
        row.ImageIndex = siNewMail;
    Globals->Config.SmartMailRead = 0;
    Globals->CheckCounters.NewMailState = 1;
    Frm->RowsChanged(false);

    std::vector<int> listed;
    bool timerRanWhileListing = false;
    int answer = 0;
    Frm->ListServerMail = [&](int mailboxRow) {
        listed.push_back(mailboxRow);
        timerRanWhileListing |= Frm->Monitor->MainTimer.isActive();
        return answer;
    };
    Frm->resize(600, 400);
    Frm->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Frm.get()));
    Frm->Monitor->MainTimer.start(60000);
    QWidget *viewport = Frm->lvSummary->viewport();
    auto doubleClick = [&](int row) {
        const QPoint at =
            row < 0 ? QPoint(5, viewport->height() - 5)
                    : Frm->lvSummary->visualRect(Frm->lvSummary->model()->index(row, 1)).center();
        QTest::mouseDClick(viewport, Qt::LeftButton, {}, at);
    };

    // Below the rows: every mailbox listed, every image cleared, new mail cleared.
    doubleClick(-1);
    EXPECT_EQ(listed, std::vector<int>{-1});
    for (const TListRow &row : Store().Summary)
        EXPECT_EQ(row.ImageIndex, siOrdinary);
    EXPECT_EQ(Globals->CheckCounters.NewMailState, 0);

    // No message: the saved messages instead.
    doubleClick(0);
    EXPECT_EQ(Seen(strenna), (Lines{"/mail/ann", "ann@127.0.0.1"})) << "no port in the sender";

    // Several messages without Smart Mail Read: that mailbox listed; while busy, nothing.
    Store().Summary[1].ImageIndex = siNewMail;
    doubleClick(1);
    EXPECT_EQ(listed, (std::vector<int>{-1, 1}));
    EXPECT_EQ(Store().Summary[1].ImageIndex, siOrdinary);
    Frm->SetBusyCursors(true);
    doubleClick(1);
    Frm->SetBusyCursors(false);
    EXPECT_EQ(listed.size(), 2u);

    // Something deleted in the list: the mailbox is checked again (the server is gone).
    answer = 2;
    doubleClick(1);
    EXPECT_EQ(listed, (std::vector<int>{-1, 1, 1}));
    EXPECT_EQ(Store().Summary[1].ImageIndex, siTimedOut);
    EXPECT_EQ(Store().Summary[0].ImageIndex, siOrdinary) << "only that mailbox was checked";
    EXPECT_FALSE(timerRanWhileListing);
    EXPECT_TRUE(Frm->Monitor->MainTimer.isActive());
}

} // namespace
