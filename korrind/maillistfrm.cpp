#include "korrind/maillistfrm.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "common/globals.h"
#include "common/password.h"
#include "common/records.h"
#include "common/smtpinterface.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"
#include "korrind/engine/mailsession.h"

namespace {

constexpr int CloseDelayMs = 500;
constexpr int SummaryDelayMs = 1000;
constexpr int PixelsPerCaptionChar = 9;
constexpr int MinRunMailWidth = 85;
constexpr int DropWidth = 18;
// A column is at most this many average characters wide; longer texts are elided.
constexpr int MaxColumnChars = 100;
constexpr int RowPadding = 6;
// The default width: this many average characters, at most this share of the screen.
constexpr int DefaultWidthChars = 240;
constexpr double MaxScreenShare = 0.9;

QString ToQ(const std::string &text)
{
    return QString::fromStdString(text);
}

// While mailbox work is restricted: the own password of every protected mailbox listed, or
// the master password when none of them has its own.
bool PasswordsGiven(const TListRows &mailboxes, const std::string &mailboxName)
{
    if (!IsRestricted(saMailboxWork))
        return true;
    bool ownPassword = false;
    for (const TListRow &row : mailboxes) {
        if (!mailboxName.empty() && row.Caption != mailboxName)
            continue;
        if (row.Cell(mcBoxProtected) != FlagOn)
            continue;
        ownPassword = true;
        if (!VerifyPassword(row.Cell(mcBoxPassword)))
            return false;
    }
    return ownPassword || CheckAccess(saMailboxWork);
}

} // namespace

// The rows of TMailList as a table. The view is told about new rows only by Reload, so a fill
// under way never shows half a list.
class TMailListModel : public QAbstractTableModel
{
public:
    TMailListModel(const std::vector<TMailListRow> &rows, QObject *parent)
        : QAbstractTableModel(parent), Rows(rows)
    {
    }
    int rowCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : Shown;
    }
    int columnCount(const QModelIndex &parent = QModelIndex()) const override
    {
        return parent.isValid() ? 0 : MailListColumnCount;
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || index.row() >= int(Rows.size()))
            return {};
        const TMailListRow &row = Rows[size_t(index.row())];
        if (role == Qt::DisplayRole)
            return ToQ(row.Text(index.column()));
        if (role == Qt::UserRole) // the image index: 1 marks an attachment
            return row.Multipart ? 1 : 0;
        if (role == Qt::DecorationRole && index.column() == 0 && row.Multipart)
            return QApplication::style()->standardIcon(QStyle::SP_FileIcon);
        return {};
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
            section < MailListColumnCount)
            return QString(maillisttext::Columns[section]);
        return {};
    }
    void Reload()
    {
        beginResetModel();
        Shown = int(Rows.size());
        endResetModel();
    }
    void Refresh()
    {
        if (Shown != int(Rows.size()))
            Reload();
        else if (Shown > 0)
            emit dataChanged(index(0, 0), index(Shown - 1, MailListColumnCount - 1));
    }

private:
    const std::vector<TMailListRow> &Rows;
    int Shown = 0;
};

TMailListFrm::TMailListFrm(TListRows &mailboxes, QWidget *parent) : QDialog(parent), List(mailboxes)
{
    setObjectName("TMailListFrm");
    contexthelp::SetHelpKeyword(this, help::MailList);
    setMinimumSize(MailListMinWidth, MailListMinHeight);
    Model = new TMailListModel(List.Rows, this);

    lvMailList = new QTableView(this);
    lvMailList->setObjectName("lvMailList");
    lvMailList->setModel(Model);
    lvMailList->setShowGrid(true);
    lvMailList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvMailList->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvMailList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvMailList->setTabKeyNavigation(false); // Tab leaves the list instead of walking its cells
    lvMailList->verticalHeader()->hide();
    // One line per row, every row as high: long texts are elided, never wrapped.
    lvMailList->setWordWrap(false);
    lvMailList->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    lvMailList->verticalHeader()->setDefaultSectionSize(lvMailList->fontMetrics().height() +
                                                        RowPadding);
    lvMailList->horizontalHeader()->setSectionsClickable(true);
    lvMailList->setContextMenuPolicy(Qt::CustomContextMenu);
    Columns = new TColumnFit(lvMailList, mlSubject, MaxColumnChars);
    // A long "Received" line is seldom read whole; the Subject is the column that stretches.
    Columns->GiveFirst = {mlReplyTo, mlSubject};

    LMDpfSave = Panel("LMDpfSave", " Save ");
    LMDpfSubSave = Panel("LMDpfSubSave", "v");
    LMDpfDelete = Panel("LMDpfDelete", " Delete");
    LMDpfSubDelete = Panel("LMDpfSubDelete", "v");
    LMDpfRefresh = Panel("LMDpfRefresh", "Refresh");
    LMDpfRunMail = Panel("LMDpfRunMail", "");
    LMDpfRunMailDrop = Panel("LMDpfRunMailDrop", "v");
    LMDpfInbox = Panel("LMDpfInbox", "Inbox");
    LMDpfRules = Panel("LMDpfRules", "Filtering");
    LMDpfClose = Panel("LMDpfClose", "Close");
    for (TCaptionPanel *drop : {LMDpfSubSave, LMDpfSubDelete, LMDpfRunMailDrop})
        drop->setFixedWidth(DropWidth);
    LMDpfStatusBar = new QLabel(this);
    LMDpfStatusBar->setObjectName("LMDpfStatusBar");

    auto *bar = new QHBoxLayout;
    bar->setSpacing(0);
    for (TCaptionPanel *panel :
         {LMDpfSave, LMDpfSubSave, LMDpfDelete, LMDpfSubDelete, LMDpfRefresh, LMDpfRunMail,
          LMDpfRunMailDrop, LMDpfInbox, LMDpfRules, LMDpfClose})
        bar->addWidget(panel);
    bar->addStretch(); // the filler
    auto *barWidget = new QWidget(this);
    barWidget->setObjectName("LMDpfButtonBar");
    barWidget->setLayout(bar);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(barWidget);
    layout->addWidget(lvMailList, 1);
    layout->addWidget(LMDpfStatusBar);
    BuildMenus();

    GetSummaryTimer.setSingleShot(true);
    GetSummaryTimer.setInterval(SummaryDelayMs);
    connect(&GetSummaryTimer, &QTimer::timeout, this, [this] {
        GetSummaryTimer.stop();
        FillMailList();
        if (OnFilled)
            OnFilled();
    });

    List.OnStatus = [this](const std::string &text) { ShowStatus(text); };
    List.OnRowsReset = [this](bool refilled) { RowsReset(refilled); };
    List.OnRowsChanged = [this] { Model->Refresh(); };
    List.OnAddSender = [this](const TMailListRow &row, bool reject, bool master) {
        List.AddSender(row, reject, master);
    };
    Confirm = [this](const std::string &text) {
        return QMessageBox::warning(this, "Warning", ToQ(text),
                                    QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
    };
    ChooseSaveFile = [this](const std::string &suggested) {
        QString file = QFileDialog::getSaveFileName(this, maillisttext::SaveTitle, ToQ(suggested),
                                                    maillisttext::SaveFilter);
        if (!file.isEmpty() && QFileInfo(file).suffix().isEmpty())
            file += ".eml";
        return file.toStdString();
    };

    connect(lvMailList->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { List.SortByColumn(column); });
    connect(lvMailList, &QTableView::doubleClicked, this, [this] {
        if (!SelectedRows().empty())
            RunMail(RunMailName());
    });
    connect(lvMailList, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        pmMailList->popup(lvMailList->viewport()->mapToGlobal(pos));
    });
    connect(LMDpfSave, &TCaptionPanel::clicked, this,
            [this] { Guarded(LMDpfSave, [this] { SaveClick(); }); });
    connect(LMDpfDelete, &TCaptionPanel::clicked, this,
            [this] { Guarded(LMDpfDelete, [this] { DeleteSelected(); }); });
    connect(LMDpfRefresh, &TCaptionPanel::clicked, this,
            [this] { Guarded(LMDpfRefresh, [this] { FillMailList(); }); });
    connect(LMDpfRunMail, &TCaptionPanel::clicked, this,
            [this] { Guarded(LMDpfRunMail, [this] { RunMail(RunMailName()); }); });
    connect(LMDpfInbox, &TCaptionPanel::clicked, this,
            [this] { Guarded(LMDpfInbox, [this] { InboxClick(); }); });
    connect(LMDpfClose, &TCaptionPanel::clicked, this,
            [this] { Guarded(LMDpfClose, [this] { CloseClick(); }); });
    auto dropDown = [this](TCaptionPanel *panel, QMenu *menu) {
        connect(panel, &TCaptionPanel::clicked, this, [panel, menu] {
            if (PButtons && PButtons->DropDown(panel, menu))
                PButtons->ReleaseDropDown(panel);
        });
    };
    dropDown(LMDpfSubSave, pmSave);
    dropDown(LMDpfSubDelete, pmDelete);
    dropDown(LMDpfRunMailDrop, pmMailers);
    dropDown(LMDpfRules, pmRules);
}

TMailListFrm::~TMailListFrm() = default;

TCaptionPanel *TMailListFrm::Panel(const char *name, const char *caption)
{
    auto *panel = new TCaptionPanel(caption, this);
    panel->setObjectName(name);
    panel->setMinimumHeight(22);
    panel->setCursor(Qt::PointingHandCursor);
    return panel;
}

void TMailListFrm::BuildMenus()
{
    auto menu = [this](const char *name) {
        auto *created = new QMenu(this);
        created->setObjectName(name);
        return created;
    };
    auto item = [this](QMenu *into, const char *caption, std::function<void()> command) {
        QAction *action = into->addAction(caption);
        connect(action, &QAction::triggered, this, std::move(command));
        return action;
    };
    pmSave = menu("pmSave");
    item(pmSave, "All", [this] { SaveMessages(true); });
    item(pmSave, "Selected", [this] { SaveMessages(false); });
    pmDelete = menu("pmDelete");
    item(pmDelete, "All", [this] { DeleteAll(); });
    pmMailers = menu("pmMailers");
    pmRules = menu("pmRules");
    item(pmRules, "Add to Master Priority List", [this] { AddSender(false, true); });
    item(pmRules, "Add to Mailbox Priority List", [this] { AddSender(false, false); });
    item(pmRules, "Add to Master Rejection List", [this] { AddSender(true, true); });
    item(pmRules, "Add to Mailbox Rejection List", [this] { AddSender(true, false); });

    pmMailList = menu("pmMailList");
    item(pmMailList, "Delete", [this] { DeleteSelected(); });
    item(pmMailList, "Delete All", [this] { DeleteAll(); });
    item(pmMailList, "Save", [this] { SaveClick(); });
    item(pmMailList, "Save All", [this] { SaveMessages(true); });
    QAction *runMail = item(pmMailList, "Run Mail", [this] { RunMail(RunMailName()); });
    runMail->setObjectName("RunMail");
    QMenu *rejection = pmMailList->addMenu("Add Rejection To");
    item(rejection, "Mailbox List", [this] { AddSender(true, false); });
    item(rejection, "Master List", [this] { AddSender(true, true); });
    QMenu *priority = pmMailList->addMenu("Add Priority To");
    item(priority, "Mailbox List", [this] { AddSender(false, false); });
    item(priority, "Master List", [this] { AddSender(false, true); });
    // Entries that act on a row are greyed while none is selected.
    connect(pmMailList, &QMenu::aboutToShow, this, [this, rejection, priority] {
        const bool selected = !SelectedRows().empty();
        for (QAction *action : pmMailList->actions())
            if (!action->text().contains("All"))
                action->setEnabled(selected);
        rejection->menuAction()->setEnabled(selected);
        priority->menuAction()->setEnabled(selected);
    });
}

std::string TMailListFrm::RunMailName() const
{
    return LMDpfRunMail->Caption();
}

int TMailListFrm::ShowMailList(const std::string &mailboxName)
{
    if (!List.OnConnectMailbox || !PasswordsGiven(List.Mailboxes, mailboxName))
        return 0;
    List.Open(mailboxName);
    setWindowTitle(ToQ(List.Caption()));
    if (!Layout->HasSize() && Layout->Columns.empty()) // the first opening of this run
        *Layout = LoadWindowState(MailListStateKey);
    Layout->Columns.resize(MailListColumnCount, 0);
    Columns->State = Layout;

    // Without a chosen program the desktop's default one opens the message.
    std::string mailer = Globals ? Globals->DefaultMailer : std::string();
    if (mailer.empty())
        mailer = maillisttext::DefaultMailProgram;
    LMDpfRunMail->SetCaption(mailer);
    if (QAction *run = pmMailList->findChild<QAction *>("RunMail"))
        run->setText(ToQ(mailer).replace("&", "&&"));
    LMDpfRunMail->setMinimumWidth(
        std::max(MinRunMailWidth, PixelsPerCaptionChar * int(mailer.size()) + DropWidth));
    pmMailers->clear();
    if (Globals)
        for (int i = 0; i < Globals->MailerList.Count(); ++i) {
            const std::string name = Globals->MailerList.Names(i);
            connect(pmMailers->addAction(ToQ(name).replace("&", "&&")), &QAction::triggered, this,
                    [this, name] { RunMail(name); });
        }
    RowsReset(false);
    PlaceWindow();

    TMailSession::TStatusDisplay previous =
        Mail ? Mail->StatusLabel : TMailSession::TStatusDisplay();
    if (Mail)
        Mail->StatusLabel = [this](const std::string &text) { ShowStatus(text); };
    Opened = true;
    exec();
    Opened = false;
    GetSummaryTimer.stop();
    KeepLayout();
    if (Mail)
        Mail->StatusLabel = previous;
    const int result = List.Result;
    List.Rows.clear();
    RowsReset(false);
    return result;
}

// The size the user left the window at, else wide enough for the columns' usual texts and
// high enough for MailListMinRows rows; centred on the desktop.
void TMailListFrm::PlaceWindow()
{
    QScreen *screen = QApplication::primaryScreen();
    const QRect desktop = screen ? screen->availableGeometry() : QRect(0, 0, 1024, 768);
    const int listHeight = lvMailList->horizontalHeader()->sizeHint().height() +
                           MailListMinRows * lvMailList->verticalHeader()->defaultSectionSize() +
                           2 * lvMailList->frameWidth() +
                           lvMailList->horizontalScrollBar()->sizeHint().height();
    const QSize fallback(std::min(int(desktop.width() * MaxScreenShare),
                                  DefaultWidthChars * fontMetrics().averageCharWidth()),
                         layout()->sizeHint().height() - lvMailList->sizeHint().height() +
                             listHeight);
    DefaultSized = !Layout->HasSize();
    RestoreWindowSize(this, *Layout, fallback.expandedTo(minimumSizeHint()));
    move(desktop.center() - rect().center());
}

void TMailListFrm::KeepLayout()
{
    CaptureWindowSize(this, *Layout);
    if (Layout->HasSize() && !SaveWindowState(MailListStateKey, *Layout) && Utils)
        Utils->DebugLog("The server mail list's size could not be saved");
}

void TMailListFrm::RowsReset(bool refilled)
{
    Model->Reload();
    if (refilled) {
        Columns->Measure();
        if (DefaultSized && !isMaximized())
            Columns->WidenWindow(this);
    }
    Columns->Fit();
    lvMailList->scrollToTop();
}

void TMailListFrm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    GetSummaryTimer.start();
}

void TMailListFrm::ShowStatus(const std::string &text)
{
    LMDpfStatusBar->setText(ToQ(text));
}

void TMailListFrm::SetBusy(bool busy)
{
    const Qt::CursorShape shape = busy ? Qt::WaitCursor : Qt::ArrowCursor;
    lvMailList->viewport()->setCursor(shape);
    if (PButtons)
        for (TCaptionPanel *panel :
             {LMDpfSave, LMDpfSubSave, LMDpfDelete, LMDpfSubDelete, LMDpfRefresh, LMDpfRunMail,
              LMDpfRunMailDrop, LMDpfInbox, LMDpfRules})
            PButtons->SetBusy(panel, busy);
}

void TMailListFrm::Guarded(TCaptionPanel *panel, const std::function<void()> &work)
{
    if (PButtons && !PButtons->Press(panel))
        return;
    work();
    if (PButtons)
        PButtons->Release(panel);
}

std::vector<size_t> TMailListFrm::SelectedRows() const
{
    std::vector<size_t> rows;
    for (const QModelIndex &index : lvMailList->selectionModel()->selectedRows())
        rows.push_back(size_t(index.row()));
    std::sort(rows.begin(), rows.end());
    return rows;
}

void TMailListFrm::SelectAll()
{
    lvMailList->selectAll();
}

void TMailListFrm::SelectRow(size_t row)
{
    if (row >= List.Rows.size())
        return;
    lvMailList->selectRow(int(row));
    lvMailList->scrollTo(lvMailList->model()->index(int(row), 0));
}

void TMailListFrm::FillMailList()
{
    SetBusy(true);
    List.Fill();
    SetBusy(false);
}

void TMailListFrm::DeleteSelected()
{
    std::vector<size_t> rows = SelectedRows();
    if (rows.empty())
        return;
    const char *question = rows.size() == 1 ? maillisttext::DeleteOne : maillisttext::DeleteMany;
    if (!Confirm(Format(question, int(rows.size()))))
        return;
    SetBusy(true);
    List.DeleteRows(rows, Globals && Globals->Config.SmartRejection != 0);
    SetBusy(false);
}

void TMailListFrm::DeleteAll()
{
    SelectAll();
    DeleteSelected();
}

void TMailListFrm::SaveClick()
{
    std::vector<size_t> rows = SelectedRows();
    if (rows.empty() || List.Rows[rows.front()].Number <= 0)
        return;
    const size_t row = rows.front();
    const std::string name = List.DefaultSaveName(row);
    if (name.empty())
        return;
    const std::string file =
        ChooseSaveFile(TUtils::AddBackslash(List.InboxFolder(List.Rows[row].Mailbox)) + name);
    if (!file.empty())
        List.SaveRowAs(row, file);
    lvMailList->clearSelection();
}

void TMailListFrm::SaveMessages(bool all)
{
    if (all)
        SelectAll();
    std::vector<size_t> rows = SelectedRows();
    SetBusy(true);
    List.SaveRows(rows);
    SetBusy(false);
    lvMailList->clearSelection();
}

void TMailListFrm::RunMail(const std::string &program)
{
    std::vector<size_t> rows = SelectedRows();
    if (rows.empty()) {
        // No program of that name (none is set): the desktop's mail program starts.
        if (Globals && !Globals->RunMailProgram(program) && Utils)
            Utils->ShellOpen("mailto:", "", false);
        return;
    }
    if (List.Rows[rows.front()].Number > 0)
        List.OpenRow(rows.front(), program);
}

void TMailListFrm::InboxClick()
{
    std::vector<size_t> rows = SelectedRows();
    int mailbox = -1;
    if (!rows.empty())
        mailbox = List.Rows[rows.front()].Mailbox;
    else if (!List.AllListed)
        mailbox = FindRow(List.Mailboxes, List.MailboxName);
    if (mailbox < 0 || mailbox >= int(List.Mailboxes.size()) || !Globals)
        return;
    const TListRow &row = List.Mailboxes[size_t(mailbox)];
    Globals->StartStrenna(row.Cell(mcInboxPath),
                          MailboxSenderAddress(row.Caption, row.Cell(mcMailServer)));
}

void TMailListFrm::AddSender(bool reject, bool master)
{
    std::vector<size_t> rows = SelectedRows();
    if (rows.empty() || !List.OnAddSender)
        return;
    List.OnAddSender(List.Rows[rows.front()], reject, master);
}

void TMailListFrm::CloseClick()
{
    if (Utils)
        Utils->Delay(CloseDelayMs);
    accept();
}
