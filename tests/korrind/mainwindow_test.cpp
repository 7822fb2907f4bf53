// The main window as a user meets it: why a mailbox shows "Timed Out" (row tip, tray tip and
// debug log, against the real POP3 server), and how the window fits its contents and answers
// the keyboard.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QSlider>
#include <QSpinBox>
#include <QTableView>
#include <QTest>
#include <memory>

#include "common/globals.h"
#include "common/password.h"
#include "common/plugins.h"
#include "common/ui/captionpanel.h"
#include "common/ui/placement.h"
#include "common/ui/rowmodel.h"
#include "common/utils.h"
#include "korrind/aboutfrm.h"
#include "korrind/mailboxeditfrm.h"
#include "korrind/maillistfrm.h"
#include "korrind/outgoingedit.h"
#include "korrind/popviewfrm.h"
#include "korrind/proxysetup.h"
#include "korrind/whattodofrm.h"
#include "support/fixtures.h"
#include "support/keyboard.h"
#include "support/modalsteps.h"
#include "support/testenv.h"

namespace {

class MainWindowTest : public ::testing::Test
{
protected:
    std::unique_ptr<TCorvexFrm> Frm;

    void SetUp() override
    {
        Frm = std::make_unique<TCorvexFrm>();
        Frm->Monitor->Activated = true; // the first activation is not under test here
        Frm->Monitor->PauseMs = 0;
        Globals->InitPaths();
        Globals->CreateDataFolders();
        Globals->Config.PasswordActive = 0;
        Globals->Config.SecurityLevel = 0;
        Globals->Config.TimeoutMs = 1000;
    }
    void TearDown() override { Frm.reset(); }

    void AddMailbox(const std::string &user, const std::string &server)
    {
        TListRow mailbox;
        mailbox.Caption = user;
        mailbox.Checked = true;
        mailbox.SetCell(mcMailServer, server);
        mailbox.SetCell(mcDel, DelNo);
        mailbox.SetCell(mcAliasActive, FlagOff);
        mailbox.SetCell(mcBoxProtected, FlagOff);
        Frm->Monitor->Store.Mailboxes.push_back(mailbox);
        Frm->Monitor->Store.SetPassword(user, server, "secret");
        Frm->Monitor->Store.Summary.push_back(SummaryRow(user));
        Frm->RowsChanged(true);
    }

    std::string RowTip(int row)
    {
        QModelIndex cell = Frm->SummaryModel->index(row, 2);
        return Frm->SummaryModel->data(cell, Qt::ToolTipRole).toString().toStdString();
    }
};

TEST_F(MainWindowTest, TimedOutRowNamesItsCauseAndOnlyRealTimeOutsLeadToARestart)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa(fixtures::WrongCaFile());
    Utils->LogFileName = testenv::MakeScratchDir("log") + "/Debug.txt";
    fixtures::Mailbox box = fixtures::CreateMailbox("untrusted");
    AddMailbox(box.user, "pop3s://" + box.host + ":" + std::to_string(box.pop3sPort));
    AddMailbox("nobody", "127.0.0.1:1");

    Frm->Monitor->CheckMail(-1);

    const TListRows &rows = Frm->Monitor->Store.Summary;
    ASSERT_EQ(rows.size(), 2u);
    for (const TListRow &row : rows)
        EXPECT_EQ(row.ImageIndex, siTimedOut) << row.Caption;
    EXPECT_EQ(rows[0].Cell(scFrom), "Timed Out");
    EXPECT_EQ(rows[1].Cell(scFrom), "Connection Refused") << "a refusal is no time-out";
    EXPECT_NE(RowTip(0).find("Timed Out: server certificate not trusted"), std::string::npos)
        << RowTip(0);
    EXPECT_EQ(RowTip(1), "Connection Refused: 127.0.0.1:1 refused the connection");

    const std::string tip = Frm->Monitor->Tray.Tip();
    EXPECT_EQ(tip.rfind("All Mail Boxes Timed Out\n", 0), 0u) << tip;
    EXPECT_NE(tip.find(box.user + ": server certificate not trusted"), std::string::npos) << tip;
    EXPECT_NE(tip.find("nobody: 127.0.0.1:1 refused the connection"), std::string::npos) << tip;

    const std::string log = testenv::ReadFile(Utils->LogFileName);
    EXPECT_NE(log.find(box.user + ": Timed Out - server certificate not trusted"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("nobody: Connection Refused - 127.0.0.1:1 refused the connection"),
              std::string::npos)
        << log;

    // A certificate stays untrusted however often the monitor restarts: no restart is due.
    EXPECT_EQ(Frm->Monitor->TimedOutSince, 0);

    // An unreachable server alone still counts towards the restart.
    Frm->Monitor->Store.Mailboxes.erase(Frm->Monitor->Store.Mailboxes.begin());
    Frm->Monitor->Store.Summary.erase(Frm->Monitor->Store.Summary.begin());
    Frm->RowsChanged(true);
    Frm->Monitor->CheckMail(-1);
    EXPECT_NE(Frm->Monitor->TimedOutSince, 0);
    EXPECT_EQ(Frm->Monitor->Tray.Tip().rfind(
                  "All Mail Boxes Timed Out\nnobody: 127.0.0.1:1 refused the connection", 0),
              0u);

    // Once the server answers, the cause goes with the time-out.
    fixtures::TrustTestCa();
    Frm->Monitor->Store.Mailboxes.clear();
    Frm->Monitor->Store.Summary.clear();
    const std::string server = "pop3s://" + box.host + ":" + std::to_string(box.pop3sPort);
    AddMailbox(box.user, server);
    Frm->Monitor->Store.SetPassword(box.user, server, box.password);
    Frm->Monitor->Store.Summary[0].ImageIndex = siTimedOut;
    Frm->Monitor->CheckMail(-1);
    EXPECT_EQ(Frm->Monitor->Store.Summary[0].ImageIndex, siOrdinary);
    EXPECT_EQ(RowTip(0), "");
    EXPECT_EQ(Frm->Monitor->Tray.Tip(), "Corvex Users");
}

// A new user's monitor: with nothing to check the tray says so; a login the server refuses
// shows its cause in the status line while its row is selected, and the mailbox mended in the
// editor is checked by Apply at once.
TEST_F(MainWindowTest, TrayAndStatusLineTellANewUserWhatIsWrong)
{
    REQUIRE_FIXTURES();
    TCorvexMonitor &monitor = *Frm->Monitor;
    ASSERT_TRUE(monitor.Store.LoadSettings(false));
    Globals->Config.PasswordActive = 0;
    Globals->Config.EncryptMailboxes = 0;
    monitor.CheckMail(-1);
    EXPECT_EQ(monitor.Tray.Tip(), "No Mail Boxes Yet");
    monitor.Tray.ClearNewMail(true);
    EXPECT_EQ(monitor.Tray.Tip(), "No Mail Boxes Yet");
    TListRow imported;
    imported.Caption = "imported"; // waits for its password, so it is not switched on
    monitor.Store.Mailboxes.push_back(imported);
    monitor.CheckMail(-1);
    EXPECT_EQ(monitor.Tray.Tip(), "No Mail Box Switched On");
    monitor.Store.Mailboxes.clear();

    fixtures::TrustTestCa();
    fixtures::Mailbox box = fixtures::CreateMailbox("refused");
    AddMailbox(box.user, box.host + ":" + std::to_string(box.pop3Port)); // a wrong password
    Frm->ShowSettings();
    monitor.CheckMail(-1);
    ASSERT_EQ(monitor.Store.Summary[0].Cell(scFrom), "Login Refused");
    EXPECT_EQ(Frm->StatusNote->text(), "");
    Frm->lvSummary->selectRow(0);
    const std::string note = Frm->StatusNote->text().toStdString();
    EXPECT_EQ(note.rfind("  " + box.user + ": Login Refused: the server refused the login", 0), 0u)
        << note;
    Frm->SelectPage(TMonitorPage::Mailboxes);
    EXPECT_EQ(Frm->StatusNote->text(), "");

    OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
        editor->LMDePassword->selectAll();
        QTest::keyClicks(editor->LMDePassword, QString::fromStdString(box.password));
        editor->LMDpfAccept->Click();
        editor->LMDpfClose->Click();
    });
    Frm->lvMailBoxes->selectRow(0);
    Frm->LMDpfEdit->Click();
    Frm->LMDpfApply->Click();
    ASSERT_EQ(monitor.Store.Summary.size(), 1u);
    EXPECT_EQ(monitor.Store.Summary[0].ImageIndex, siOrdinary);
    EXPECT_EQ(monitor.Tray.Tip(), "Corvex Users");
}

TEST_F(MainWindowTest, WindowFitsItsContentsAndAnswersTheKeyboard)
{
    AddMailbox("fit", "127.0.0.1:1");
    TListRow &row = Frm->Monitor->Store.Summary[0];
    row.SetCell(scMsgs, "2");
    row.SetCell(scFrom, "Alexandra Example <alexandra@example.org>");
    row.SetCell(scSubject, "Minutes of the quarterly meeting");
    row.SetCell(scDate, "07/12/2026 09:15:00");
    Frm->RowsChanged(false);
    const QSize firstSize = Frm->size();
    Frm->resize(900, Frm->height());
    Frm->show();
    Frm->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Frm.get()));

    // Columns as wide as their texts; the last one takes what is left, also after widening.
    QHeaderView *header = Frm->lvSummary->horizontalHeader();
    const int last = header->count() - 1;
    const QFontMetrics metrics = Frm->lvSummary->fontMetrics();
    for (int column : {2, 3, 4}) {
        const QString text = QString::fromStdString(row.Cell(std::size_t(column - 1)));
        EXPECT_GT(header->sectionSize(column), metrics.horizontalAdvance(text))
            << text.toStdString() << " is cut";
    }
    const int lastWidth = header->sectionSize(last);
    Frm->resize(Frm->width() + 200, Frm->height());
    QApplication::processEvents();
    EXPECT_GE(header->sectionSize(last), lastWidth + 150);
    EXPECT_EQ(header->sectionPosition(last) + header->sectionSize(last),
              Frm->lvSummary->viewport()->width());
    Frm->resize(firstSize);

    // All fourteen options at the window's first size.
    Frm->SelectPage(TMonitorPage::Preferences);
    QApplication::processEvents();
    QListWidget *options = Frm->LMDcbxOptions;
    ASSERT_EQ(options->count(), 14);
    for (int i = 0; i < options->count(); ++i)
        EXPECT_TRUE(options->viewport()->rect().contains(options->visualItemRect(options->item(i))))
            << options->item(i)->text().toStdString();

    // Panels are reached by Tab in the order they are shown; Space and Enter click them.
    Frm->SelectPage(TMonitorPage::Summary);
    QApplication::processEvents();
    Frm->LMDpfCheckNow->setFocus();
    std::vector<QWidget *> reached;
    for (int i = 0; i < 12; ++i) {
        reached.push_back(QApplication::focusWidget());
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    // Apply is off until something changes: Tab passes it over. After Close, the tabs again.
    const std::vector<QWidget *> expected = {
        Frm->LMDpfCheckNow,      Frm->LMDpfListMail, Frm->LMDpfListMailDrop, Frm->LMDpfNewMsg,
        Frm->LMDseQueryInterval, Frm->lvSummary,     Frm->LMDpfExit,         Frm->LMDpfHelp,
        Frm->LMDpfHelpDrop,      Frm->LMDtbTimer,    Frm->LMDpfClose,        Frm->tsSummary};
    EXPECT_EQ(reached, expected);

    int clicks = 0;
    TCaptionPanel *tab = Frm->tsSummary;
    QObject::connect(tab, &TCaptionPanel::clicked, [&clicks] { ++clicks; });
    tab->setFocus();
    QTest::keyClick(tab, Qt::Key_Space);
    QTest::keyClick(tab, Qt::Key_Return);
    QTest::keyClick(tab, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_EQ(clicks, 3);

    // The tab of the page shown is filled with the highlight colour; the others are not.
    Frm->SelectPage(TMonitorPage::Mailboxes);
    const QColor highlight = Frm->palette().color(QPalette::Highlight);
    const QSize tabSize = Frm->tsMailboxes->size();
    EXPECT_GT(keyboard::PixelsOf(Frm->tsMailboxes, highlight),
              tabSize.width() * tabSize.height() / 3);
    EXPECT_EQ(keyboard::PixelsOf(Frm->tsPreferences, highlight), 0);
}

// Every window of the monitor is worked by the keyboard alone, page by page; a companion it
// starts learns where the main window is, to open centred over it.
TEST_F(MainWindowTest, EveryWindowIsWalkedByTheKeyboardAndCompanionsOpenOverTheMainWindow)
{
    Frm->show();
    for (TMonitorPage page : {TMonitorPage::Summary, TMonitorPage::Mailboxes,
                              TMonitorPage::Operation, TMonitorPage::Preferences}) {
        Frm->SelectPage(page);
        EXPECT_EQ(keyboard::ControlsTabMisses(Frm.get()), std::vector<std::string>{}) << int(page);
    }
    Globals->PlugIns->BeforeStart();
    const QRect frame = Frm->frameGeometry();
    EXPECT_EQ(qgetenv(OpenerVariable).toStdString(), QString("%1,%2,%3,%4")
                                                         .arg(frame.x())
                                                         .arg(frame.y())
                                                         .arg(frame.width())
                                                         .arg(frame.height())
                                                         .toStdString());
    Frm->hide();

    for (int page = 0; page < 3; ++page) {
        Frm->MailBoxEditFrm->ShowPage(page);
        Frm->MailBoxEditFrm->show();
        EXPECT_EQ(keyboard::ControlsTabMisses(Frm->MailBoxEditFrm), std::vector<std::string>{})
            << page;
    }
    Frm->MailBoxEditFrm->hide();
    TListRows mailboxes;
    TMailListFrm mailList(mailboxes);
    TfrmWhatToDo prompt;
    for (QWidget *window :
         {static_cast<QWidget *>(&mailList), static_cast<QWidget *>(&prompt),
          static_cast<QWidget *>(Frm->frmOutgoingServer),
          static_cast<QWidget *>(Frm->frmProxyServer), static_cast<QWidget *>(Frm->AboutFrm)}) {
        window->show();
        EXPECT_EQ(keyboard::ControlsTabMisses(window), std::vector<std::string>{})
            << window->metaObject()->className();
        window->hide();
    }
}

} // namespace
