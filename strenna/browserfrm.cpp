#include "strenna/browserfrm.h"
#include "strenna/mailsearchfrm.h"
#include "strenna/runmail.h"
#include "strenna/sendtofrm.h"
#include "strenna/suggestbox.h"

#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QEvent>
#include <QFileSystemWatcher>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "common/globals.h"
#include "common/names.h"
#include "common/records.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/filtercriteriafrm.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/rowmodel.h"
#include "common/ui/windowstate.h"
#include "common/utils.h"

namespace {

QString ToQ(const std::string &text)
{
    return QString::fromStdString(text);
}

constexpr int SubjectColumn = 1; // takes the width the other columns leave
constexpr int MaxColumnChars = 100;
constexpr int DefaultWidth = 700, DefaultHeight = 420;
constexpr int ShowProgressFrom = 500; // files; smaller folders load without a progress bar

} // namespace

TInboxFrm::TInboxFrm(const TStringList &parameters, QWidget *parent) : QWidget(parent)
{
    Browser.SetLaunchValues(parameters);
    QApplication::setApplicationDisplayName(browsertext::AppTitle);
    setObjectName("InboxFrm");
    contexthelp::SetHelpKeyword(this, help::SavedMessages);
    Confirm = [this](const std::string &text) {
        return QMessageBox::warning(this, browsertext::WarningTitle, ToQ(text),
                                    QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
    };

    Model = new TRowModel(
        Browser.Rows,
        std::vector<std::string>(std::begin(MessageColumns), std::end(MessageColumns)), false,
        this);
    lvEmailList = new QTableView(this);
    lvEmailList->setObjectName("lvEmailList");
    contexthelp::SetHelpContext(lvEmailList, help::InboxList);
    lvEmailList->setModel(Model);
    lvEmailList->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvEmailList->setSelectionMode(QAbstractItemView::ExtendedSelection);
    lvEmailList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvEmailList->setTabKeyNavigation(false); // Tab leaves the list instead of walking its cells
    lvEmailList->setWordWrap(false);
    lvEmailList->verticalHeader()->hide();
    lvEmailList->verticalHeader()->setDefaultSectionSize(lvEmailList->fontMetrics().height() + 6);
    lvEmailList->horizontalHeader()->setSectionsClickable(true);
    Columns = new TColumnFit(lvEmailList, SubjectColumn, MaxColumnChars);
    Columns->GiveFirst = {5, 4}; // the content type, then the attachments
    State = LoadWindowState(InboxStateKey);
    Columns->State = &State;
    connect(lvEmailList->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { SortByColumn(column); });
    connect(lvEmailList, &QTableView::doubleClicked, this, [this] { RunMailClick(); });

    BuildMenus();
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 4, 4, 2);
    layout->setSpacing(4);
    layout->addWidget(BuildFilterBar());
    layout->addWidget(lvEmailList, 1);
    layout->addWidget(BuildButtonBar());

    auto *statusBar = new QHBoxLayout;
    LMDpfStatusBar = Panel("");
    LMDpfStatusBar->setObjectName("LMDpfStatusBar");
    LMDpfStatusBar->SetBevels(TBevel::None, TBevel::Lowered);
    LMDpfStatusBar->setCursor(Qt::ArrowCursor);
    pbProgress = new QProgressBar(this);
    pbProgress->setObjectName("pbProgress");
    pbProgress->setMaximumWidth(160);
    pbProgress->hide();
    LMDpfDate = Panel("");
    LMDpfDate->setObjectName("LMDpfDate");
    LMDpfDate->SetBevels(TBevel::None, TBevel::Lowered);
    LMDpfDate->setCursor(Qt::ArrowCursor);
    LMDpfDate->setFixedWidth(150);
    statusBar->addWidget(LMDpfStatusBar, 1);
    statusBar->addWidget(pbProgress);
    statusBar->addWidget(LMDpfDate);
    layout->addLayout(statusBar);
    RestoreWindowSize(this, State, QSize(DefaultWidth, DefaultHeight));
    DefaultSized = !State.HasSize();
    // The windows of the program after this one, in their order: send-to, the rule editor
    // (built each time it opens) and the search.
    SendToWindow = new TfrmSendTo(this);
    TfrmFilterCriteria::Install([] {
        std::string rules = Globals ? GetText(Globals->Config.RulesPath) : std::string();
        return rules.empty() && Globals ? Globals->DataRoot : rules;
    });
    SearchWindow = new TfrmMailSearch(this);
}

TInboxFrm::~TInboxFrm()
{
    KeepState();
}

void TInboxFrm::KeepState()
{
    CaptureWindowSize(this, State);
    if (State.HasSize() && !SaveWindowState(InboxStateKey, State) && Utils)
        Utils->DebugLog("The window's size could not be saved");
}

void TInboxFrm::closeEvent(QCloseEvent *event)
{
    KeepState();
    QWidget::closeEvent(event);
}

TCaptionPanel *TInboxFrm::Panel(const char *caption)
{
    auto *panel = new TCaptionPanel(caption, this);
    panel->setMinimumHeight(22);
    panel->setCursor(Qt::PointingHandCursor);
    return panel;
}

QWidget *TInboxFrm::BuildFilterBar()
{
    auto *bar = new QWidget(this);
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    LMDcbFilterType = new QComboBox(bar);
    LMDcbFilterType->setObjectName("LMDcbFilterType");
    for (const char *item : FilterTypeItems)
        LMDcbFilterType->addItem(item);
    contexthelp::SetHelpContext(LMDcbFilterType, help::InboxFilterType);
    LMDcbFilterText = new QComboBox(bar);
    LMDcbFilterText->setObjectName("LMDcbFilterText");
    LMDcbFilterText->setEditable(true);
    LMDcbFilterText->setInsertPolicy(QComboBox::NoInsert);
    SuggestOnly(LMDcbFilterText);
    LMDcbFilterText->setMinimumWidth(180);
    contexthelp::SetHelpContext(LMDcbFilterText, help::InboxFilterText);
    LMDpfRefresh = Panel("Refresh");
    LMDpfRefresh->setObjectName("LMDpfRefresh");
    LMDpfSearch = Panel("Search");
    LMDpfSearch->setObjectName("LMDpfSearch");
    for (TCaptionPanel *panel : {LMDpfRefresh, LMDpfSearch}) {
        panel->setFixedWidth(70);
        contexthelp::SetHelpContext(panel, help::InboxRefresh);
    }
    row->addWidget(new QLabel("Filtering:", bar));
    row->addWidget(LMDcbFilterType);
    row->addWidget(new QLabel("Text:", bar));
    row->addWidget(LMDcbFilterText, 1);
    row->addWidget(LMDpfRefresh);
    row->addWidget(LMDpfSearch);
    connect(LMDcbFilterType, &QComboBox::currentIndexChanged, this, [this] { FilterTypeChange(); });
    connect(LMDpfRefresh, &TCaptionPanel::clicked, this, [this] { RefreshClick(); });
    connect(LMDpfSearch, &TCaptionPanel::clicked, this, [this] { SearchClick(); });
    return bar;
}

QWidget *TInboxFrm::BuildButtonBar()
{
    auto *bar = new QWidget(this);
    auto *row = new QHBoxLayout(bar);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(2);
    struct TItem
    {
        TCaptionPanel *&Panel;
        const char *Name;
        const char *Caption;
        help::TContext Help;
    };
    const TItem items[] = {{LMDpfInbox, "LMDpfInbox", " Browse", help::InboxBrowse},
                           {LMDpfSubMailboxes, "LMDpfSubMailboxes", "v", help::InboxBrowseDrop},
                           {LMDpfRules, "LMDpfRules", "Rules", help::InboxRules},
                           {LMDpfRunMail, "LMDpfRunMail", "Run Mail", help::InboxRunMail},
                           {LMDpfSubRunMail, "LMDpfSubRunMail", "v", help::InboxRunMailDrop},
                           {LMDpfSend, "LMDpfSend", "Forward", help::InboxForward},
                           {LMDpfDelete, "LMDpfDelete", " Delete", help::InboxDelete},
                           {LMDpfSubDelete, "LMDpfSubDelete", "v", help::InboxDeleteDrop},
                           {LMDpfHelp, "LMDpfHelp", "Help", help::HelpButton},
                           {LMDpfClose, "LMDpfClose", "Close", help::InboxClose}};
    for (const TItem &item : items) {
        item.Panel = Panel(item.Caption);
        contexthelp::SetHelpContext(item.Panel, item.Help);
        item.Panel->setObjectName(item.Name);
        if (std::string(item.Caption) == "v")
            item.Panel->setFixedWidth(DropPartWidth);
        else
            item.Panel->setMinimumWidth(70);
        row->addWidget(item.Panel, std::string(item.Caption) == "v" ? 0 : 1);
    }
    auto dropDown = [this](TCaptionPanel *panel, QMenu *menu, std::function<void()> prepare) {
        connect(panel, &TCaptionPanel::clicked, this, [panel, menu, prepare] {
            if (!PButtons || !PButtons->IsAvailable(panel))
                return;
            if (prepare)
                prepare();
            if (PButtons->DropDown(panel, menu))
                PButtons->ReleaseDropDown(panel);
        });
    };
    dropDown(LMDpfSubMailboxes, pmMailBoxes, [this] { FillMailboxMenu(); });
    dropDown(LMDpfRules, pmRules, nullptr);
    dropDown(LMDpfSubRunMail, pmRunMail, [this] {
        FillMailerMenu(pmRunMail, [this](const std::string &name) { OpenWithMailer(name); });
    });
    dropDown(LMDpfSubDelete, pmDelete, nullptr);
    connect(LMDpfInbox, &TCaptionPanel::clicked, this, [this] { BrowseClick(); });
    connect(LMDpfRunMail, &TCaptionPanel::clicked, this, [this] { RunMailClick(); });
    connect(LMDpfSend, &TCaptionPanel::clicked, this, [this] { ForwardClick(); });
    connect(LMDpfDelete, &TCaptionPanel::clicked, this, [this] { DeleteClick(); });
    connect(LMDpfHelp, &TCaptionPanel::clicked, this, [this] {
        if (PButtons && PButtons->Press(LMDpfHelp)) {
            contexthelp::ShowWindowHelp(this);
            PButtons->Release(LMDpfHelp);
        }
    });
    connect(LMDpfClose, &TCaptionPanel::clicked, this, [this] { CloseClick(); });
    return bar;
}

void TInboxFrm::BuildMenus()
{
    pmMailBoxes = new QMenu(this);
    pmMailBoxes->setObjectName("pmMailBoxes");
    connect(pmMailBoxes->addAction(browsertext::RejectedItem), &QAction::triggered, this,
            [this] { SelectRejected(); });

    pmRules = new QMenu(this);
    pmRules->setObjectName("pmRules");
    struct TRuleItem
    {
        const char *Caption;
        bool Reject, Master;
    };
    const TRuleItem rules[] = {{"Add to Master Priority List", false, true},
                               {"Add to Mailbox Priority List", false, false},
                               {nullptr, false, false},
                               {"Add to Master Rejection List", true, true},
                               {"Add to Mailbox Rejection List", true, false}};
    for (const TRuleItem &item : rules) {
        if (!item.Caption) {
            pmRules->addSeparator();
            continue;
        }
        connect(pmRules->addAction(item.Caption), &QAction::triggered, this,
                [this, item] { AddRule(item.Reject, item.Master); });
    }

    pmRunMail = new QMenu(this);
    pmRunMail->setObjectName("pmRunMail");

    pmDelete = new QMenu(this);
    pmDelete->setObjectName("pmDelete");
    connect(pmDelete->addAction("All"), &QAction::triggered, this,
            [this] { DeleteMessages(true); });
    connect(pmDelete->addAction("Selected"), &QAction::triggered, this,
            [this] { DeleteMessages(false); });
}

std::vector<TCaptionPanel *> TInboxFrm::Panels() const
{
    return {LMDpfRefresh,   LMDpfSearch,  LMDpfInbox, LMDpfSubMailboxes,
            LMDpfRules,     LMDpfRunMail, LMDpfSend,  LMDpfDelete,
            LMDpfSubDelete, LMDpfHelp,    LMDpfClose, LMDpfSubRunMail};
}

bool TInboxFrm::event(QEvent *event)
{
    // A question of this window hands the activation back when it closes; that is not the user
    // returning from elsewhere, and must not switch the folder under the running command.
    if (event->type() == QEvent::WindowActivate && ModalDepth == 0 && !Loading)
        Activate();
    return QWidget::event(event);
}

void TInboxFrm::ActivateOnce()
{
    if (!Activated)
        Activate();
}

void TInboxFrm::WatchParameterFile(const std::string &path)
{
    ParameterFile = path;
    // The file is replaced whole (written beside and renamed), so its folder is watched.
    auto *watcher = new QFileSystemWatcher(this);
    watcher->addPath(ToQ(TUtils::ExtractParent(path, "/")));
    connect(watcher, &QFileSystemWatcher::directoryChanged, this,
            [this] { ParameterFileChanged(); });
}

void TInboxFrm::ParameterFileChanged()
{
    // While a command or question of this window runs, the next activation reads the file.
    if (ModalDepth > 0 || Loading || QApplication::activeModalWidget() ||
        !Browser.ReadLaunchValues(ParameterFile))
        return;
    Activate();
    if (isMinimized())
        showNormal();
    raise();
}

void TInboxFrm::Activate()
{
    if (!Globals || !Utils)
        return;
    Activated = true;
    if (!ParameterFile.empty())
        Browser.ReadLaunchValues(ParameterFile);
    Globals->InitPaths();
    TDataStore store;
    SettingsRead = store.LoadSettingsReadOnly();
    Browser.ResetToLaunch(TUtils::AddBackslash(Globals->DataRoot) + names::IconMailboxFile);

    LMDcbFilterType->setCurrentIndex(int(TFilterType::None));
    FilterTypeChange();
    SizeRunMail();

    SetBusy(true);
    Utils->SortColumn = ArrivalDateColumn; // the load sorts by arrival date
    LoadMessageList();
    ShowToday();
    SearchWindow->SearchHandler = [this](const TSearchOptions &options) {
        return SearchMessages(options);
    };
    SetBusy(false);
}

void TInboxFrm::SizeRunMail()
{
    const int runMailWidth = ShowDefaultMailer(LMDpfRunMail);
    resize(std::max(width(), runMailWidth + 6 * LMDpfInbox->minimumWidth() + 20), height());
}

void TInboxFrm::ShowToday()
{
    LMDpfDate->SetCaption("Today " +
                          QDateTime::currentDateTime().toString("MM.dd.yyyy hh.mm").toStdString());
}

void TInboxFrm::SetBusy(bool busy)
{
    lvEmailList->setCursor(busy ? Qt::WaitCursor : Qt::ArrowCursor);
    if (!PButtons)
        return;
    for (TCaptionPanel *panel : Panels())
        PButtons->SetBusy(panel, busy);
    if (busy)
        return;
    PButtons->SetEnabled(LMDpfSubRunMail, Globals && !Globals->MailerList.Empty());
    PButtons->SetEnabled(LMDpfSend, SettingsRead); // no settings, no outgoing server
}

bool TInboxFrm::LoadProgress(int done, int total)
{
    if (total < ShowProgressFrom)
        return false;
    pbProgress->setMaximum(total);
    pbProgress->setValue(done);
    pbProgress->show();
    TUtils::ProcessMessages();
    return TUtils::Terminating() || (Globals && Globals->EscapePressed(false));
}

void TInboxFrm::LoadMessageList()
{
    setWindowTitle(ToQ(Format(browsertext::Caption, Browser.MailboxName.c_str())));
    const TFilterType filter = TFilterType(std::max(0, LMDcbFilterType->currentIndex()));
    const std::string text =
        filter == TFilterType::None ? std::string() : LMDcbFilterText->currentText().toStdString();
    Loading = true;
    if (Globals)
        Globals->EscapePressed(true);
    Browser.LoadMessageList(filter, text,
                            [this](int done, int total) { return LoadProgress(done, total); });
    Loading = false;
    pbProgress->hide();
    if (Utils)
        Browser.Sort(Utils->SortColumn, Utils->SortDescending);
    Model->Reload();
    Columns->Measure();
    // The first list at the default size: as wide as a whole row (within the screen).
    if (DefaultSized && !isMaximized() && !Browser.Rows.empty()) {
        DefaultSized = false;
        Columns->WidenWindow(this);
    }
    ShowStatus(Format(browsertext::MessageCount, int(Browser.Rows.size())));
}

void TInboxFrm::ReloadBusy()
{
    SetBusy(true);
    LoadMessageList();
    SetBusy(false);
}

void TInboxFrm::ShowStatus(const std::string &text)
{
    LMDpfStatusBar->SetCaption(text);
}

void TInboxFrm::SortByColumn(int column)
{
    if (!Utils || Loading)
        return;
    Utils->SortListView(column);
    Browser.Sort(Utils->SortColumn, Utils->SortDescending);
    Model->Reload();
}

std::vector<int> TInboxFrm::SelectedRows() const
{
    std::vector<int> rows;
    for (const QModelIndex &index : lvEmailList->selectionModel()->selectedRows())
        rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    return rows;
}

bool TInboxFrm::Ask(const std::string &text)
{
    ++ModalDepth;
    const bool ok = Confirm(text);
    QApplication::processEvents(); // the activation the question hands back arrives now
    --ModalDepth;
    return ok;
}

// ---- commands

void TInboxFrm::FilterTypeChange()
{
    LMDcbFilterText->clear();
    const TValueList *values = nullptr;
    switch (TFilterType(LMDcbFilterType->currentIndex())) {
    case TFilterType::From:
        values = &Browser.FromValues;
        break;
    case TFilterType::Subject:
        values = &Browser.SubjectValues;
        break;
    case TFilterType::ArrivalDate:
        values = &Browser.DateValues;
        break;
    default:
        break;
    }
    if (values)
        for (const std::string &value : *values)
            LMDcbFilterText->addItem(ToQ(value));
    LMDcbFilterText->setCurrentIndex(-1);
    LMDcbFilterText->setEditText(QString());
}

void TInboxFrm::RefreshClick()
{
    if (!PButtons || !PButtons->Press(LMDpfRefresh))
        return;
    ReloadBusy();
    PButtons->Release(LMDpfRefresh);
}

void TInboxFrm::BrowseClick()
{
    if (!PButtons || !PButtons->Press(LMDpfInbox))
        return;
    if (Utils) {
        Utils->ShellOpen(Browser.MailboxFolder, "", true);
        Utils->Delay(500);
    }
    PButtons->Release(LMDpfInbox);
}

void TInboxFrm::FillMailboxMenu()
{
    std::vector<std::string> shown;
    for (QAction *action : pmMailBoxes->actions())
        shown.push_back(action->text().replace("&&", "&").toStdString());
    for (const std::string &name : Browser.MailboxMenuNames()) {
        if (std::find(shown.begin(), shown.end(), name) != shown.end())
            continue;
        shown.push_back(name);
        connect(pmMailBoxes->addAction(ToQ(name).replace("&", "&&")), &QAction::triggered, this,
                [this, name] { SelectMailbox(name); });
    }
}

void TInboxFrm::SelectMailbox(const std::string &name)
{
    Browser.SelectMailbox(name, Globals ? Globals->DataRoot : std::string());
    ReloadBusy();
}

void TInboxFrm::SelectRejected()
{
    Browser.SelectRejected(Globals ? Globals->RejectedPath : std::string());
    ReloadBusy();
}

void TInboxFrm::RunMailClick()
{
    if (!PButtons || !PButtons->Press(LMDpfRunMail))
        return;
    OpenWithMailer(LMDpfRunMail->Caption());
    PButtons->Release(LMDpfRunMail);
}

void TInboxFrm::OpenWithMailer(const std::string &mailerName)
{
    const std::vector<int> rows = SelectedRows();
    if (rows.empty() || !Globals)
        return;
    const std::vector<std::string> paths = Browser.PathsOf({rows.front()});
    SetBusy(true);
    OpenMessageWith(mailerName, paths.front());
    SetBusy(false);
}

void TInboxFrm::ForwardClick()
{
    const std::vector<int> rows = SelectedRows();
    if (rows.empty() || !PButtons || !PButtons->Press(LMDpfSend))
        return;
    const std::vector<std::string> paths = Browser.PathsOf({rows.front()});
    SendToWindow->ShowForward(paths.front(), Browser.MailboxAccount);
    if (Utils)
        Utils->Delay(500);
    PButtons->Release(LMDpfSend);
}

void TInboxFrm::DeleteClick()
{
    const std::vector<int> rows = SelectedRows();
    if (rows.empty() || !PButtons || !PButtons->Press(LMDpfDelete))
        return;
    const std::vector<std::string> paths = Browser.PathsOf({rows.front()});
    const std::string name = Browser.Rows[size_t(rows.front())].Cell(mcFileName);
    if (Ask(Format(browsertext::ConfirmDeleteOne, name.c_str()))) {
        SetBusy(true);
        TMessageBrowser::DeleteFiles(paths);
        LoadMessageList();
        ShowStatus(Format(browsertext::Deleted, name.c_str()));
        SetBusy(false);
    }
    PButtons->Release(LMDpfDelete);
}

void TInboxFrm::DeleteMessages(bool all)
{
    std::vector<int> rows = SelectedRows();
    if (all) {
        rows.resize(Browser.Rows.size());
        for (size_t i = 0; i < rows.size(); ++i)
            rows[i] = int(i);
    }
    if (rows.empty())
        return;
    // The paths are fixed before the question: whatever happens while it is open, exactly the
    // files the user agreed to are deleted.
    const std::vector<std::string> paths = Browser.PathsOf(rows);
    if (!Ask(Format(browsertext::ConfirmDeleteMany, int(paths.size()))))
        return;
    SetBusy(true);
    for (const std::string &name : TMessageBrowser::DeleteFiles(paths))
        ShowStatus(Format(browsertext::Deleted, name.c_str()));
    LoadMessageList();
    SetBusy(false);
}

void TInboxFrm::AddRule(bool reject, bool master)
{
    const std::vector<int> rows = SelectedRows();
    if (rows.empty() || !Globals)
        return;
    const TListRow row = Browser.Rows[size_t(rows.front())];
    const std::string folder = Browser.MailboxFolder;
    ++ModalDepth;
    Globals->AddRuleFromMessage(row.Caption, row.Cell(mcSubject), reject, master, folder);
    QApplication::processEvents();
    --ModalDepth;
}

void TInboxFrm::SearchClick()
{
    if (!PButtons || !PButtons->Press(LMDpfSearch))
        return;
    SearchWindow->ShowSearch();
    PButtons->Release(LMDpfSearch);
}

TSearchResult TInboxFrm::SearchMessages(const TSearchOptions &options)
{
    if (Globals)
        Globals->EscapePressed(true);
    const std::vector<std::string> paths = SearchTargets(Browser, options.Where);
    Loading = true;
    TSearchResult result = SearchFiles(paths, options, MaxResultRows, [this](int done, int total) {
        return LoadProgress(done, total);
    });
    Loading = false;
    pbProgress->hide();
    return result;
}

void TInboxFrm::CloseClick()
{
    if (!PButtons || !PButtons->Press(LMDpfClose))
        return;
    if (Utils)
        Utils->Delay(500);
    PButtons->Release(LMDpfClose);
    close();
}
