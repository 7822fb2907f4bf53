// The main window driven offscreen: the tray it feeds, the Apply rules, the security gate on
// the pages, list sorting, mailbox removal and the settings controls.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QHeaderView>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QSpinBox>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTcpServer>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

#include "common/encrypt.h"
#include "common/globals.h"
#include "common/password.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/rowmodel.h"
#include "common/utils.h"
#include "korrind/popviewfrm.h"
#include "korrind/trayview.h"
#include "support/testenv.h"

namespace {

std::vector<std::string> Captions(const QMenu *menu)
{
    std::vector<std::string> captions;
    for (const QAction *action : menu->actions())
        captions.push_back(action->text().toStdString());
    return captions;
}

std::vector<std::string> RowCaptions(const TListRows &rows)
{
    std::vector<std::string> captions;
    for (const TListRow &row : rows)
        captions.push_back(row.Caption);
    return captions;
}

QImage Pixels(const QIcon &icon)
{
    return icon.pixmap(32, 32).toImage();
}

TListRow Mailbox(const std::string &userId, bool active)
{
    TListRow row;
    row.Caption = userId;
    row.Checked = active;
    row.SetCell(mcMailServer, "127.0.0.1");
    row.SetCell(mcBoxProtected, FlagOff);
    return row;
}

// Answers the next modal message box with button (polls until it is up).
QPointer<QTimer> AnswerMessageBox(QMessageBox::StandardButton button, std::string *text = nullptr)
{
    auto *poll = new QTimer;
    poll->setInterval(5);
    QObject::connect(poll, &QTimer::timeout, [poll, button, text] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        poll->stop();
        poll->deleteLater();
        if (text)
            *text = box->text().toStdString();
        box->button(button)->click();
    });
    poll->start();
    return poll;
}

class CorvexFrmTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Frm = std::make_unique<TCorvexFrm>();
        Frm->Monitor->Activated = true; // the first activation is not under test here
        ASSERT_NE(Globals, nullptr);
        Globals->InitPaths();
        Globals->CreateDataFolders();
        Globals->Config.PasswordActive = 0;
        Globals->Config.SecurityLevel = 0;
    }
    void TearDown() override
    {
        Frm.reset();
        SetPasswordPrompt(nullptr);
        TUtils::ResetTerminating();
    }

    // Password prompts answer with entry; the number of prompts is counted.
    void AnswerPasswords(const std::string &entry)
    {
        SetPasswordPrompt([this, entry](TPasswordMode, bool active, std::size_t) {
            ++Prompts;
            return TPasswordEntry{!entry.empty(), entry, active};
        });
    }

    void Protect(int level, const char *password)
    {
        Globals->Config.PasswordActive = 1;
        Globals->Config.SecurityLevel = uint8_t(level);
        SetText(Globals->Config.MasterPassword, password);
    }

    void ClickHeader(QTableView *view, int column)
    {
        QHeaderView *header = view->horizontalHeader();
        QPoint at(header->sectionViewportPosition(column) + 4, header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, at);
    }

    TDataStore &Store() { return Frm->Monitor->Store; }

    std::unique_ptr<TCorvexFrm> Frm;
    int Prompts = 0;
};

TEST_F(CorvexFrmTest, TrayShowsTheIconStatesWithTheirTipsAndAlternation)
{
    TTrayIcon &tray = Frm->Monitor->Tray;
    Frm->ShowTrayIcon(tray);
    ASSERT_NE(Frm->TrayView, nullptr);
    QSystemTrayIcon *icon = Frm->TrayView->Icon();

    tray.SetIconState(IconNewMail);
    EXPECT_EQ(Pixels(icon->icon()), Pixels(TrayImage(NewMailImage)));
    EXPECT_EQ(icon->toolTip(), "You Have Mail!");
    tray.SetIconState(IconNewMail);
    EXPECT_EQ(Pixels(icon->icon()), Pixels(TrayImage(IdleImage)));

    tray.SetIconState(IconChecking);
    EXPECT_EQ(Pixels(icon->icon()), Pixels(TrayImage(CheckingImage2)));
    tray.SetIconState(2);
    EXPECT_EQ(Pixels(icon->icon()), Pixels(TrayImage(CheckingImage)));
    EXPECT_EQ(icon->toolTip(), "Checking Mail Boxes");

    // Clearing new mail from the tray resets the Summary images and returns to idle.
    Store().Summary = {SummaryRow("alice")};
    Store().Summary[0].ImageIndex = siPriorityMail;
    tray.SetIconState(IconPriority);
    for (QAction *action : Frm->TrayView->Menu()->actions())
        if (action->text() == "Clear New Mail")
            action->trigger();
    EXPECT_EQ(Store().Summary[0].ImageIndex, siOrdinary);
    EXPECT_EQ(icon->toolTip(), "Corvex Users");
    EXPECT_EQ(Pixels(icon->icon()), Pixels(TrayImage(IdleImage)));
}

TEST_F(CorvexFrmTest, TrayMenuFollowsTheWindowAndKeepsItsSubMenusSingle)
{
    Frm->ShowTrayIcon(Frm->Monitor->Tray);
    TTrayView &view = *Frm->TrayView;
    Globals->MailerList = TStringList{"Thunderbird=thunderbird", "Evolution=evolution"};
    Store().InboxMap = TStringList{"alice=/tmp/alice", "bob=/tmp/bob"};

    Frm->show();
    view.PrepareMenu();
    EXPECT_EQ(view.ShowAction()->text(), "Minimize");
    view.PrepareMenu();
    EXPECT_EQ(Captions(view.RunMailMenu()), (std::vector<std::string>{"Thunderbird", "Evolution"}));
    EXPECT_EQ(Captions(view.InboxesMenu()), (std::vector<std::string>{"alice", "bob"}));

    // Minimising shows the Summary page and leaves the window out of sight.
    Frm->ShowPage(TMonitorPage::Preferences);
    view.ShowAction()->trigger();
    EXPECT_FALSE(Frm->IsWindowVisible());
    EXPECT_EQ(Frm->CurrentPage(), TMonitorPage::Summary);
    view.PrepareMenu();
    EXPECT_EQ(view.ShowAction()->text(), "Display");
    EXPECT_EQ(Captions(view.InboxesMenu()).size(), 2u);

    view.ShowAction()->trigger();
    EXPECT_TRUE(Frm->IsWindowVisible());
}

TEST_F(CorvexFrmTest, ApplyIsEnabledByUserChangesOnly)
{
    Globals->Config.MasterPriorityActive = 1;
    Globals->Config.MasterRejectActive = 0;
    Globals->MailerList = TStringList{"Thunderbird=thunderbird", "Evolution=evolution"};
    Store().Mailboxes = {Mailbox("alice", true)};
    Frm->RowsChanged(true);
    Frm->ShowSettings();
    Frm->FillMailerBox(Globals->MailerList);
    EXPECT_TRUE(Frm->SelectMailer("Evolution"));
    EXPECT_FALSE(Frm->SelectMailer("Outlook"));
    EXPECT_FALSE(Frm->ApplyEnabled()) << "showing the settings is no change";

    EXPECT_TRUE(Frm->LMDcbPriorityGlobal->isEnabled());
    EXPECT_FALSE(Frm->LMDcbRejectGlobal->isEnabled());

    Frm->LMDseRetries->setValue(Frm->LMDseRetries->value() + 1);
    EXPECT_TRUE(Frm->ApplyEnabled());
    Frm->SetApplyEnabled(false);
    Frm->LMDpfApply->Click(); // a disabled Apply does nothing
    EXPECT_FALSE(Frm->ApplyEnabled());

    Frm->LMDcbRejectActive->setChecked(true);
    EXPECT_TRUE(Frm->ApplyEnabled());
    EXPECT_TRUE(Frm->LMDcbRejectGlobal->isEnabled());
    Frm->LMDcbPriorityActive->setChecked(false);
    EXPECT_FALSE(Frm->LMDcbPriorityGlobal->isEnabled());

    // Switching a mailbox on or off in the list is a list edit.
    Frm->SetApplyEnabled(false);
    QAbstractItemModel *model = Frm->lvMailBoxes->model();
    model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole); // no real change
    EXPECT_FALSE(Frm->ApplyEnabled());
    model->setData(model->index(0, 0), Qt::Unchecked, Qt::CheckStateRole);
    EXPECT_TRUE(Frm->ApplyEnabled());
    EXPECT_FALSE(Store().Mailboxes[0].Checked);

    // Choosing a mail program, an option, the Activate On box.
    for (auto change : std::vector<std::function<void()>>{
             [&] { emit Frm->LMDcbCorvex->activated(0); },
             [&] { Frm->LMDcbxOptions->item(opSmartRejection)->setCheckState(Qt::Checked); },
             [&] { Frm->ActivateOn->button(2)->setChecked(true); }}) {
        Frm->SetApplyEnabled(false);
        change();
        EXPECT_TRUE(Frm->ApplyEnabled());
    }
    EXPECT_EQ(Globals->DefaultMailer, "Thunderbird");
}

TEST_F(CorvexFrmTest, SecurityGateGuardsThePages)
{
    Frm->resize(MainMinWidth, MainMinHeight);

    // Level 4: leaving the Summary is free, entering a settings page needs the password.
    Protect(4, "secret");
    AnswerPasswords("wrong");
    Frm->tsMailboxes->Click();
    EXPECT_EQ(Frm->CurrentPage(), TMonitorPage::Summary);
    EXPECT_EQ(Prompts, 1);
    AnswerPasswords("secret");
    Prompts = 0;
    Frm->tsOperation->Click();
    EXPECT_EQ(Frm->CurrentPage(), TMonitorPage::Operation);
    EXPECT_EQ(Prompts, 1);
    EXPECT_GE(Frm->height(), SettingsPageHeight);
    Frm->tsSummary->Click();

    // Level 5: leaving the Summary asks once; entering is not asked again.
    Protect(5, "secret");
    Prompts = 0;
    Frm->tsPreferences->Click();
    EXPECT_EQ(Frm->CurrentPage(), TMonitorPage::Preferences);
    EXPECT_EQ(Prompts, 1);

    // Protection on with level 0: nothing is asked.
    Protect(0, "secret");
    Frm->ShowPage(TMonitorPage::Summary);
    Prompts = 0;
    Frm->tsMailboxes->Click();
    EXPECT_EQ(Frm->CurrentPage(), TMonitorPage::Mailboxes);
    EXPECT_EQ(Prompts, 0);
}

TEST_F(CorvexFrmTest, DisplayPasswordsOptionNeedsMailboxAccess)
{
    Protect(1, "secret");
    Frm->ShowSettings();
    AnswerPasswords("");
    QListWidgetItem *option = Frm->LMDcbxOptions->item(opDisplayPasswords);
    option->setCheckState(Qt::Checked);
    EXPECT_EQ(option->checkState(), Qt::Unchecked) << "refused: set back to the stored value";
    EXPECT_FALSE(Frm->ApplyEnabled());

    AnswerPasswords("secret");
    option->setCheckState(Qt::Checked);
    EXPECT_EQ(option->checkState(), Qt::Checked);
    EXPECT_TRUE(Frm->ApplyEnabled());
}

TEST_F(CorvexFrmTest, HeaderClicksSortAndToggleTheOrder)
{
    Frm->show();
    Utils->SortColumn = 0;
    Utils->SortDescending = false;
    Store().Summary = {SummaryRow("beta"), SummaryRow("Alpha"), SummaryRow("gamma")};
    Store().Summary[0].SetCell(scMsgs, "2");
    Store().Summary[1].SetCell(scMsgs, "3");
    Store().Summary[2].SetCell(scMsgs, "1");
    Frm->RowsChanged(false);
    Frm->lvSummary->selectRow(2); // gamma

    ClickHeader(Frm->lvSummary, 1);
    EXPECT_EQ(RowCaptions(Store().Summary), (std::vector<std::string>{"gamma", "beta", "Alpha"}));
    ClickHeader(Frm->lvSummary, 0);
    EXPECT_EQ(RowCaptions(Store().Summary), (std::vector<std::string>{"Alpha", "beta", "gamma"}))
        << "captions compare without regard to case";
    ClickHeader(Frm->lvSummary, 0);
    EXPECT_EQ(RowCaptions(Store().Summary), (std::vector<std::string>{"gamma", "beta", "Alpha"}));
    EXPECT_TRUE(Utils->SortDescending);
    const QModelIndexList selected = Frm->lvSummary->selectionModel()->selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_EQ(selected[0].row(), 0) << "the selection follows its row";
    Store().Summary.pop_back();
    Frm->RowsChanged(false);
    EXPECT_EQ(Frm->lvSummary->model()->rowCount(), 2) << "a shorter list is shown shorter";

    // The sort state is shared: the Mailboxes list continues from it.
    Frm->ShowPage(TMonitorPage::Mailboxes);
    Store().Mailboxes = {Mailbox("b", true), Mailbox("a", true), Mailbox("c", true)};
    Frm->RowsChanged(true);
    ClickHeader(Frm->lvMailBoxes, 0);
    EXPECT_EQ(RowCaptions(Store().Mailboxes), (std::vector<std::string>{"a", "b", "c"}));
}

TEST_F(CorvexFrmTest, SummaryMenuOffersItsItemsOnlyWhenMailboxWorkIsAllowed)
{
    Globals->MailerList = TStringList{"Thunderbird=thunderbird", "Evolution=evolution"};
    Globals->DefaultMailer = "Evolution";
    auto item = [this](const char *caption) -> QAction * {
        for (QAction *action : Frm->pmSummary->actions())
            if (action->text() == caption)
                return action;
        return nullptr;
    };
    QMenu *runMail = item("Run Mail")->menu();

    Frm->PrepareSummaryMenu(Frm->pmSummary);
    Frm->PrepareSummaryMenu(Frm->pmSummary);
    EXPECT_TRUE(item("Check Mail")->isEnabled());
    EXPECT_TRUE(item("List Mail ")->isEnabled());
    ASSERT_NE(item("Evolution"), nullptr) << "the default item carries the default's name";
    EXPECT_TRUE(item("Evolution")->isEnabled());
    EXPECT_EQ(Captions(runMail), (std::vector<std::string>{"Thunderbird", "Evolution"}));

    Frm->SetBusyCursors(true);
    Frm->PrepareSummaryMenu(Frm->pmSummary);
    EXPECT_FALSE(item("Check Mail")->isEnabled());
    EXPECT_FALSE(item("Run Mail")->isEnabled());
    Frm->SetBusyCursors(false);

    Protect(1, "secret");
    AnswerPasswords("");
    Frm->PrepareSummaryMenu(Frm->pmSummary);
    EXPECT_FALSE(item("Delete All Mail")->isEnabled());
    EXPECT_FALSE(item("Inbox")->isEnabled());
}

TEST_F(CorvexFrmTest, LayoutSharesTheBarsOutEvenly)
{
    Frm->show();
    Frm->resize(MainMinWidth, MainMinHeight);
    QApplication::processEvents();
    EXPECT_EQ(Frm->minimumSize(), QSize(MainMinWidth, MainMinHeight));
    EXPECT_EQ(Frm->tsSummary->height(), TabHeight);
    const int tabBar = Frm->tsSummary->parentWidget()->width();
    for (TCaptionPanel *tab :
         {Frm->tsSummary, Frm->tsMailboxes, Frm->tsOperation, Frm->tsPreferences})
        EXPECT_NEAR(tab->width(), (tabBar - 15) / 4, 1);

    Frm->ShowPage(TMonitorPage::Mailboxes);
    Frm->resize(600, 300);
    QApplication::processEvents();
    const int bar = Frm->LMDpfSyncAll->parentWidget()->width();
    for (TCaptionPanel *panel : {Frm->LMDpfSyncAll, Frm->LMDpfAdd, Frm->LMDpfEdit, Frm->LMDpfInbox,
                                 Frm->LMDpfRemove, Frm->LMDpfLoad})
        EXPECT_NEAR(panel->width(), bar / 6, 1);
}

TEST(SortRows, ComparesUpperCaseTextOfTheColumn)
{
    TListRows rows(3);
    rows[0].Caption = "x";
    rows[0].SetCell(1, "bob");
    rows[1].Caption = "y";
    rows[1].SetCell(1, "Alice");
    rows[2].Caption = "z"; // no such cell: sorts as empty text
    SortRows(rows, 2, false);
    EXPECT_EQ(RowCaptions(rows), (std::vector<std::string>{"z", "y", "x"}));
    SortRows(rows, 2, true);
    EXPECT_EQ(RowCaptions(rows), (std::vector<std::string>{"x", "y", "z"}));
}

TEST_F(CorvexFrmTest, RemoveAsksAndDeletesTheSelectedMailbox)
{
    Store().Mailboxes = {Mailbox("alice", true), Mailbox("bob", false)};
    Frm->RowsChanged(true);
    Frm->ShowPage(TMonitorPage::Mailboxes);

    Frm->lvMailBoxes->selectRow(1);
    AnswerMessageBox(QMessageBox::No);
    Frm->LMDpfRemove->Click();
    EXPECT_EQ(Store().Mailboxes.size(), 2u);
    EXPECT_FALSE(Frm->ApplyEnabled());

    Frm->lvMailBoxes->selectRow(1);
    std::string question;
    AnswerMessageBox(QMessageBox::Yes, &question);
    Frm->LMDpfRemove->Click();
    EXPECT_EQ(question, "\nDelete bob Mail Box from list?\n");
    EXPECT_EQ(RowCaptions(Store().Mailboxes), (std::vector<std::string>{"alice"}));
    EXPECT_TRUE(Frm->ApplyEnabled());
    EXPECT_EQ(Frm->lvMailBoxes->model()->rowCount(), 1);

    // Nothing selected: nothing is asked, nothing removed.
    Frm->LMDpfRemove->Click();
    EXPECT_EQ(Store().Mailboxes.size(), 1u);
}

TEST_F(CorvexFrmTest, SettingsRoundTripThroughTheControls)
{
    TConfigRecord &config = Globals->Config;
    config.TimeoutMs = 42000;
    config.CheckMinutes = 17;
    config.TimerSeconds = 9;
    config.Retries = 7;
    config.RestoreAction = 2;
    config.SecurityLevel = 3;
    config.MasterPriorityActive = 1;
    config.MasterPriorityGlobal = 0;
    config.MasterRejectActive = 0;
    config.MasterRejectGlobal = 1;
    config.KeepOnTop = 0;
    config.WarnLargeMail = 1;
    config.ClearRejectionsWeekly = 1;
    config.EncryptMailboxes = 0;
    config.DisplayPasswords = 1;
    const TConfigRecord before = config;

    Frm->ShowSettings();
    EXPECT_EQ(Frm->LMDseTimeout->value(), 42);
    EXPECT_EQ(Frm->LMDseQueryInterval->value(), 17);
    EXPECT_EQ(Frm->Monitor->TmpIntervalSeconds, 17 * 60);
    EXPECT_EQ(Frm->Monitor->MainTimer.interval(), 9000);
    EXPECT_EQ(Frm->ActivateOn->checkedId(), 2);

    TConfigRecord copy = config;
    WindowToSettings(Frm->ReadControls(), GetText(config.DefaultMailerName), copy);
    EXPECT_EQ(std::memcmp(&copy, &before, sizeof copy), 0);

    // Edits reach "Config.cfg" through Apply, and a new check interval the Query Interval box.
    Frm->LMDseCheckMinutes->setValue(25);
    Frm->LMDseTimerFrequency->setValue(2);
    Frm->LMDcbxOptions->item(opSmartMailRead)->setCheckState(Qt::Unchecked);
    Frm->LMDpfApply->Click();
    EXPECT_FALSE(Frm->ApplyEnabled());
    EXPECT_EQ(Frm->LMDseQueryInterval->value(), 25);
    EXPECT_EQ(Frm->Monitor->MainTimer.interval(), 2000);

    std::string file = testenv::ReadFile(Store().ConfigPath());
    ASSERT_EQ(file.size(), sizeof(TConfigRecord));
    TConfigRecord saved;
    std::memcpy(&saved, file.data(), sizeof saved);
    EXPECT_EQ(saved.CheckMinutes, 25);
    EXPECT_EQ(saved.TimerSeconds, 2);
    EXPECT_EQ(saved.SmartMailRead, 0);
    EXPECT_EQ(saved.TimeoutMs, 42000);

    // "Load At Startup" puts the program into the desktop's autostart folder and takes it out.
    const std::string entry =
        TUtils::AddBackslash(Utils->GetSpecialFolder(specialfolder::Startup)) + "Corvex.desktop";
    Frm->LMDcbxOptions->item(opLoadAtStartup)->setCheckState(Qt::Checked);
    Frm->LMDpfApply->Click();
    EXPECT_TRUE(TUtils::FileExists(entry));
    Frm->LMDcbxOptions->item(opLoadAtStartup)->setCheckState(Qt::Unchecked);
    Frm->LMDpfApply->Click();
    EXPECT_FALSE(TUtils::FileExists(entry));
}

TEST_F(CorvexFrmTest, PasswordButtonSwitchesProtectionOnAndUnlocksTheLevel)
{
    Frm->ShowSettings();
    EXPECT_FALSE(Frm->LMDtbSecurity->isEnabled());
    SetPasswordPrompt([](TPasswordMode, bool, std::size_t) {
        return TPasswordEntry{true, "pw", true};
    });
    Frm->LMDpfPassword->Click();
    EXPECT_EQ(Globals->Config.PasswordActive, 1);
    EXPECT_EQ(GetText(Globals->Config.MasterPassword), "pw");
    EXPECT_TRUE(Frm->ApplyEnabled());
    EXPECT_TRUE(Frm->LMDtbSecurity->isEnabled());

    Frm->LMDtbSecurity->setValue(3);
    EXPECT_EQ(Globals->Config.SecurityLevel, 3);
}

TEST_F(CorvexFrmTest, CloseClearsNewMailAndPutsTheWindowAway)
{
    Store().Summary = {SummaryRow("alice")};
    Store().Summary[0].ImageIndex = siNewMail;
    Globals->CheckCounters.NewMailState = 1;
    Frm->show();
    Frm->ShowPage(TMonitorPage::Mailboxes);
    Frm->LMDpfClose->Click();
    EXPECT_EQ(Store().Summary[0].ImageIndex, siOrdinary);
    EXPECT_EQ(Globals->CheckCounters.NewMailState, 0);
    EXPECT_EQ(Frm->CurrentPage(), TMonitorPage::Summary);
    EXPECT_FALSE(Frm->IsWindowVisible());
}

// The title bar's close asks what Exit asks, but not whether to stop monitoring: the Exit
// password of level 6 and the unsaved-changes question. A refusal keeps the window open and the
// monitor running.
TEST_F(CorvexFrmTest, TitleBarCloseIsGuardedAsExitIs)
{
    Frm->show();
    Protect(6, "secret");
    AnswerPasswords("wrong");
    EXPECT_FALSE(Frm->close());
    EXPECT_EQ(Prompts, 1);
    EXPECT_TRUE(Frm->isVisible());
    EXPECT_FALSE(TUtils::Terminating());

    AnswerPasswords("secret");
    Frm->SetApplyEnabled(true);
    std::string question;
    AnswerMessageBox(QMessageBox::No, &question); // answers the first question only
    EXPECT_TRUE(Frm->close());
    EXPECT_EQ(question, monitortext::ApplyQuestion);
    EXPECT_TRUE(TUtils::Terminating());
}

TEST_F(CorvexFrmTest, ApplyWithANewlyActiveMailboxRebuildsTheSummaryAndChecksAtOnce)
{
    QTcpServer probe; // a port nobody listens on: the connect fails at once
    ASSERT_TRUE(probe.listen(QHostAddress::LocalHost));
    const std::string server = "127.0.0.1:" + std::to_string(probe.serverPort());
    probe.close();

    Frm->Monitor->PauseMs = 0;
    Frm->ShowSettings();
    Frm->LMDseTimeout->setValue(2);
    Store().Mailboxes = {Mailbox("alice", false)};
    Store().Mailboxes[0].SetCell(mcMailServer, server);
    Store().SetPassword("alice", server, "pw");
    Frm->RowsChanged(true);
    ASSERT_TRUE(Store().Summary.empty());

    QAbstractItemModel *model = Frm->lvMailBoxes->model();
    model->setData(model->index(0, 0), Qt::Checked, Qt::CheckStateRole);

    // A list that cannot be saved is reported and stays pending, in memory, unchecked.
    const std::string popSrv = Store().PopSrvPath();
    std::remove(popSrv.c_str());
    ASSERT_EQ(::mkdir(popSrv.c_str(), 0700), 0);
    std::string told;
    AnswerMessageBox(QMessageBox::Ok, &told);
    Frm->LMDpfApply->Click();
    EXPECT_FALSE(told.empty());
    EXPECT_TRUE(Frm->ApplyEnabled());
    EXPECT_TRUE(Store().Mailboxes.at(0).Checked);
    EXPECT_TRUE(Store().Summary.empty());
    EXPECT_EQ(Frm->Monitor->LastCheck, 0);
    ASSERT_EQ(::rmdir(popSrv.c_str()), 0);

    Frm->LMDpfApply->Click();

    ASSERT_EQ(RowCaptions(Store().Summary), (std::vector<std::string>{"alice"}));
    EXPECT_EQ(Store().Summary[0].Cell(scFrom), "Connection Refused");
    EXPECT_EQ(Frm->lvSummary->model()->rowCount(), 1);
    EXPECT_NE(Frm->Monitor->LastCheck, 0);
    EXPECT_FALSE(Frm->ApplyEnabled());
}

TEST_F(CorvexFrmTest, BusyCursorsHoldTheCommandsButNotExit)
{
    Store().Mailboxes = {Mailbox("alice", true)};
    Frm->RowsChanged(true);
    Frm->lvMailBoxes->selectRow(0);

    Frm->SetBusyCursors(true);
    QPointer<QTimer> answer = AnswerMessageBox(QMessageBox::Yes);
    Frm->LMDpfRemove->Click();
    EXPECT_EQ(Store().Mailboxes.size(), 1u);
    delete answer.data(); // no question came
    EXPECT_TRUE(PButtons->IsAvailable(Frm->LMDpfExit));

    Frm->SetBusyCursors(false);
    EXPECT_TRUE(PButtons->IsAvailable(Frm->LMDpfRemove));
    EXPECT_FALSE(PButtons->IsAvailable(Frm->LMDpfApply)) << "Apply stays disabled";
}

TEST_F(CorvexFrmTest, MovingTheProgressBarMovesTheNextCheck)
{
    const TMsTime now = 10'000'000;
    Frm->Monitor->Now = [now] { return now; };
    Frm->Monitor->TmpIntervalSeconds = 180;
    Frm->LMDtbTimer->setValue(0);
    Frm->LMDtbTimer->triggerAction(QAbstractSlider::SliderPageStepAdd);
    EXPECT_EQ(Frm->LMDtbTimer->value(), 10);
    EXPECT_EQ(Frm->Monitor->LastCheck, now - 18'000);

    // The timer's progress does not move a bar the user holds.
    Frm->LMDtbTimer->setSliderDown(true);
    Frm->SetProgress(70);
    EXPECT_EQ(Frm->LMDtbTimer->value(), 10);
    Frm->LMDtbTimer->setSliderDown(false);
    Frm->SetProgress(70);
    EXPECT_EQ(Frm->LMDtbTimer->value(), 70);
}

} // namespace

TEST_F(CorvexFrmTest, StoredPositionIsBroughtOntoTheScreen)
{
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    const TWindowPos stored[] = {
        {20000, 20000, 20000, 20000}, {INT32_MIN, INT32_MAX, -7, INT32_MAX}, {-300, -400, 0, 0}};
    for (const TWindowPos &position : stored) {
        Frm->SetWindowPosition(position);
        EXPECT_TRUE(area.contains(QRect(Frm->x(), Frm->y(), Frm->width(), Frm->height())))
            << position.Top << " " << position.Left << " " << Frm->x() << "," << Frm->y() << " "
            << Frm->width() << "x" << Frm->height();
        EXPECT_GE(Frm->width(), MainMinWidth);
        EXPECT_GE(Frm->height(), MainMinHeight);
    }
    Frm->SetWindowPosition({30, 40, 300, 520});
    EXPECT_EQ(Frm->x(), 40);
    EXPECT_EQ(Frm->y(), 30);
    EXPECT_EQ(Frm->width(), 520);
    EXPECT_EQ(Frm->height(), 300);
}

TEST_F(CorvexFrmTest, ApplyRefusesToSwitchEncryptionOffWhileDataCannotBeDecrypted)
{
    ASSERT_TRUE(InitCrypto()) << CryptoLastError();
    Globals->CryptoReady = true;
    ASSERT_TRUE(Store().LoadSettings(false));
    Globals->Config.EncryptMailboxes = 1;
    Store().Mailboxes = {Mailbox("alice", true)};
    Store().PasswordMap.SetText("alice=pa\n");
    ASSERT_TRUE(Store().SaveChanges(false)) << Store().LastError;
    std::remove(CryptoKeyFilePath().c_str());
    Globals->CryptoReady = InitCrypto(); // the key is lost: a new key file
    ASSERT_TRUE(Store().LoadSettings(false));
    Store().LoadMailBoxes(true);
    const std::string mailboxes = testenv::ReadFile(Store().PopSrvPath());

    Frm->ShowSettings();
    Frm->LMDseCheckMinutes->setValue(44);
    Frm->LMDcbxOptions->item(opEncryptMailboxes)->setCheckState(Qt::Unchecked);
    std::vector<std::string> messages;
    QTimer answer;
    answer.setInterval(5);
    QObject::connect(&answer, &QTimer::timeout, [&messages] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            messages.push_back(box->text().toStdString());
            box->done(QMessageBox::Ok);
        }
    });
    answer.start();
    Frm->LMDpfApply->Click();
    answer.stop();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], EncryptOffRefused);
    EXPECT_FALSE(Frm->ApplyEnabled());
    EXPECT_EQ(Frm->LMDcbxOptions->item(opEncryptMailboxes)->checkState(), Qt::Checked);
    EXPECT_EQ(Globals->Config.EncryptMailboxes, 1);
    EXPECT_EQ(Globals->Config.CheckMinutes, 44) << "the other changes are applied";
    EXPECT_EQ(testenv::ReadFile(Store().PopSrvPath()), mailboxes);
    EXPECT_EQ(testenv::ReadFile(Store().ConfigPath())[offsetof(TConfigRecord, CheckMinutes)], 44);
}
