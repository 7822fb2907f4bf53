#include "korrind/popviewfrm.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QShortcut>
#include <QSlider>
#include <QSpinBox>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <QWhatsThis>
#include <algorithm>
#include <cstdio>

#include "common/globals.h"
#include "common/names.h"
#include "common/password.h"
#include "common/plugins.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/passwordfrm.h"
#include "common/ui/placement.h"
#include "common/ui/rowmodel.h"
#include "common/utils.h"
#include "korrind/aboutfrm.h"
#include "korrind/mailboxedit.h"
#include "korrind/mailboxeditfrm.h"
#include "korrind/outgoingedit.h"
#include "korrind/proxysetup.h"
#include "korrind/trayview.h"

namespace {

constexpr int TabSpacing = 5; // three gaps: each tab gets (width − 15) / 4
constexpr int InitialWidth = 520;

QString ToQ(const std::string &text)
{
    return QString::fromStdString(text);
}

// Summary row images as icons: ordinary, timed out, new mail, priority mail.
QIcon SummaryImage(int image)
{
    switch (image) {
    case siTimedOut:
        return TrayImage(TimedOutImage);
    case siNewMail:
        return TrayImage(NewMailImage);
    case siPriorityMail:
        return TrayImage(PriorityImage);
    default:
        return TrayImage(IdleImage);
    }
}

QSpinBox *SpinBox(int minimum, int maximum, QWidget *parent)
{
    auto *box = new QSpinBox(parent);
    box->setRange(minimum, maximum);
    return box;
}

QTableView *ListView(QAbstractItemModel *model, QWidget *parent)
{
    auto *view = new QTableView(parent);
    view->setModel(model);
    view->setSelectionBehavior(QAbstractItemView::SelectRows);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view->setContextMenuPolicy(Qt::CustomContextMenu);
    view->verticalHeader()->hide();
    view->verticalHeader()->setDefaultSectionSize(view->fontMetrics().height() + 6);
    view->horizontalHeader()->setSectionsClickable(true);
    view->horizontalHeader()->setHighlightSections(false);
    // Every column as wide as its widest text; the last takes the rest of the width.
    view->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    view->horizontalHeader()->setStretchLastSection(true);
    view->setTabKeyNavigation(false); // Tab leaves the list instead of walking its cells
    view->setShowGrid(false);
    view->setWordWrap(false);
    return view;
}

// Tab goes through the widgets in this order (hidden pages are passed over).
void ChainFocus(const std::vector<QWidget *> &widgets)
{
    for (std::size_t i = 1; i < widgets.size(); ++i)
        QWidget::setTabOrder(widgets[i - 1], widgets[i]);
}

// Names of the Summary menu items that the menu's opening enables or disables.
constexpr char ItemCheckMail[] = "pmsCheckMail";
constexpr char ItemListMail[] = "pmsListMail";
constexpr char ItemDeleteAll[] = "pmsDeleteAllMail";
constexpr char ItemInbox[] = "pmsInbox";
constexpr char ItemDefault[] = "pmsDefault";
constexpr char ItemRunMail[] = "pmsRunMail";
constexpr char ItemPush[] = "pmsPush";

} // namespace

TCorvexFrm::TCorvexFrm(QWidget *parent) : QMainWindow(parent)
{
    Monitor = std::make_unique<TCorvexMonitor>(*this);
    // Companions come to the front, centred over the window they were started from: the
    // monitor gives up being on top while one starts, and comes back (on top again only with
    // "Keep On Top") after a child it waited for has ended.
    if (Globals && Globals->PlugIns) {
        Globals->PlugIns->BeforeStart = [this] {
            SetTopmost(false);
            AnnounceOpener(this);
        };
        Globals->PlugIns->AfterChild = [this] {
            ComeBackAfterChild();
            // The import found nothing and the user asked to enter a mailbox by hand.
            if (Globals->PlugIns->LastExitCode == EditMailboxByHandExitCode)
                QTimer::singleShot(0, this, [this] { LMDpfAddClick(); });
        };
    }

    setWindowTitle(names::AppTitle);
    contexthelp::SetHelpKeyword(this, help::MonitorWindow);
    setWindowFlag(Qt::WindowStaysOnTopHint, true);
    setMinimumSize(MainMinWidth, MainMinHeight);

    SummaryModel = new TRowModel(
        Monitor->Store.Summary,
        std::vector<std::string>(std::begin(SummaryColumns), std::end(SummaryColumns)), false,
        this);
    SummaryModel->Images = SummaryImage;
    SummaryModel->ToolTip = [this](const TListRow &row) { return Monitor->RowTip(row); };
    MailboxModel = new TRowModel(
        Monitor->Store.Mailboxes,
        std::vector<std::string>(std::begin(MailboxColumns), std::end(MailboxColumns)), true, this);
    MailboxModel->OnCheckChanged = [this](int row) { MailboxCheckChanged(row); };

    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(4, 4, 4, 2);
    layout->setSpacing(4);
    layout->addWidget(BuildTabBar());
    Pages = new QStackedWidget(central);
    // Help on a page, or on its tab, opens that page's section of the guide.
    const char *const pageTopics[] = {help::SummaryPage, help::MailboxesPage, help::OperationPage,
                                      help::PreferencesPage};
    TCaptionPanel *const tabs[] = {tsSummary, tsMailboxes, tsOperation, tsPreferences};
    int pageIndex = 0;
    for (QWidget *page :
         {BuildSummaryPage(), BuildMailboxesPage(), BuildOperationPage(), BuildPreferencesPage()}) {
        contexthelp::SetHelpKeyword(page, pageTopics[pageIndex]);
        contexthelp::SetHelpKeyword(tabs[pageIndex], pageTopics[pageIndex]);
        ++pageIndex;
        auto *scroll = new QScrollArea(Pages);
        scroll->setWidgetResizable(true);
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setFocusPolicy(Qt::NoFocus); // only a frame: Tab goes to the page's controls
        scroll->setWidget(page);
        Pages->addWidget(scroll);
    }
    layout->addWidget(Pages, 1);
    layout->addWidget(BuildBottomBar());
    setCentralWidget(central);
    statusBar()->setSizeGripEnabled(true);
    StatusNote = new QLabel(statusBar());
    StatusNote->setObjectName("StatusNote");
    statusBar()->addPermanentWidget(StatusNote);

    BuildMenus();
    ConnectSettingsControls();
    std::vector<QWidget *> focusOrder = {
        tsSummary,     tsMailboxes,       tsOperation,       tsPreferences,       LMDpfCheckNow,
        LMDpfListMail, LMDpfListMailDrop, LMDpfNewMsg,       LMDseQueryInterval,  lvSummary,
        lvMailBoxes,   LMDpfSyncAll,      LMDpfAdd,          LMDpfEdit,           LMDpfInbox,
        LMDpfRemove,   LMDpfLoad,         LMDseCheckMinutes, LMDseTimerFrequency, LMDseTimeout,
        LMDseRetries,  LMDpfOutGoing,     LMDpfProxy};
    for (QAbstractButton *radio : ActivateOn->buttons())
        focusOrder.push_back(radio);
    for (QWidget *widget : std::initializer_list<QWidget *>{LMDcbCorvex,
                                                            LMDtbSecurity,
                                                            LMDpfPassword,
                                                            LMDcbxOptions,
                                                            LMDcbPriorityActive,
                                                            LMDcbPriorityGlobal,
                                                            LMDpfManagePriority,
                                                            LMDpfManagePriorityDrop,
                                                            LMDpfSyncPriority,
                                                            LMDcbRejectActive,
                                                            LMDcbRejectGlobal,
                                                            LMDpfManageReject,
                                                            LMDpfManageRejectDrop,
                                                            LMDpfSyncReject,
                                                            LMDpfApply,
                                                            LMDpfExit,
                                                            LMDpfHelp,
                                                            LMDpfHelpDrop,
                                                            LMDtbTimer,
                                                            LMDpfClose})
        focusOrder.push_back(widget);
    ChainFocus(focusOrder);

    frmOutgoingServer = new TfrmOutgoingServer(this);
    frmOutgoingServer->StartImport = [this] {
        return Globals && OfferApply() && Globals->StartPelloway();
    };
    frmProxyServer = new TfrmProxyServer(this);
    MailBoxEditFrm = new TMailBoxEditFrm(this);
    MailBoxEditFrm->RulesFolder = [this] { return Monitor->RulesFolder(); };
    MailBoxEditFrm->PlaySound = [this](const std::string &file) { Monitor->PlaySound(file); };
    AboutFrm = new TAboutFrm(this);
    if (!HasPasswordPrompt()) {
        Passwordf = new TPasswordf(this);
        Passwordf->Install();
    }

    ShowPage(TMonitorPage::Summary);
    SetApplyEnabled(false);

    // Tall enough for the fullest page (the options), never below the settings pages' height.
    resize(std::max(InitialWidth, sizeHint().width()),
           std::max(SettingsPageHeight, sizeHint().height()));
    if (QScreen *screen = QGuiApplication::primaryScreen()) {
        QRect desktop = screen->availableGeometry();
        move(desktop.center() - rect().center());
    }
}

// The views go before the logic: they hold models over the logic's rows. The logic then frees
// the process-wide objects.
TCorvexFrm::~TCorvexFrm()
{
    if (Globals && Globals->PlugIns) {
        Globals->PlugIns->BeforeStart = nullptr;
        Globals->PlugIns->AfterChild = nullptr;
    }
    delete TrayView;
    TrayView = nullptr;
    delete takeCentralWidget();
    delete SummaryModel;
    delete MailboxModel;
    Monitor.reset();
}

TCaptionPanel *TCorvexFrm::Panel(const char *caption, const char *hint)
{
    auto *panel = new TCaptionPanel(caption, this);
    panel->setMinimumHeight(22);
    panel->setCursor(Qt::PointingHandCursor);
    if (hint)
        panel->setToolTip(hint);
    return panel;
}

std::vector<TCaptionPanel *> TCorvexFrm::Panels() const
{
    return {LMDpfCheckNow,     LMDpfListMail,       LMDpfListMailDrop,
            LMDpfNewMsg,       LMDpfSyncAll,        LMDpfAdd,
            LMDpfEdit,         LMDpfInbox,          LMDpfRemove,
            LMDpfLoad,         LMDpfOutGoing,       LMDpfProxy,
            LMDpfPassword,     LMDpfManagePriority, LMDpfManagePriorityDrop,
            LMDpfSyncPriority, LMDpfManageReject,   LMDpfManageRejectDrop,
            LMDpfSyncReject,   LMDpfApply,          LMDpfHelp,
            LMDpfHelpDrop,     LMDpfClose};
}

bool TCorvexFrm::WaitsForPass(const TCaptionPanel *panel) const
{
    return panel == LMDpfCheckNow || panel == LMDpfListMail || panel == LMDpfListMailDrop ||
           panel == LMDpfEdit || panel == LMDpfRemove;
}

bool TCorvexFrm::AfterPass(std::function<void()> command)
{
    if (!Monitor->PassRunning())
        return false;
    Monitor->WhenSessionFree(std::move(command));
    return true;
}

// ---- building the window

QWidget *TCorvexFrm::BuildTabBar()
{
    auto *bar = new QWidget(this);
    bar->setFixedHeight(TabHeight);
    auto *layout = new QHBoxLayout(bar);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(TabSpacing);
    auto addTab = [&](TCaptionPanel *&tab, const char *caption, TMonitorPage page) {
        tab = Panel(caption);
        tab->setMinimumHeight(0);
        tab->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        tab->setFixedHeight(TabHeight);
        layout->addWidget(tab, 1);
        connect(tab, &TCaptionPanel::clicked, this, [this, page] { SelectPage(page); });
    };
    addTab(tsSummary, "Summary", TMonitorPage::Summary);
    addTab(tsMailboxes, "Mailboxes", TMonitorPage::Mailboxes);
    addTab(tsOperation, "Operation", TMonitorPage::Operation);
    addTab(tsPreferences, "Preferences", TMonitorPage::Preferences);
    return bar;
}

QWidget *TCorvexFrm::BuildSummaryPage()
{
    auto *page = new QWidget;
    auto *bar = new QHBoxLayout;
    LMDpfCheckNow = Panel("CheckNow", "Manual mail check");
    LMDpfCheckNow->setFocusPolicy(Qt::StrongFocus);
    LMDpfListMail = Panel("List Mail");
    LMDpfListMailDrop = Panel("v");
    LMDpfListMailDrop->setFixedWidth(18);
    LMDpfNewMsg = Panel("New Msg", "Create a new message");
    LMDseQueryInterval = SpinBox(3, QueryIntervalMax, page);
    LMDseQueryInterval->setToolTip("Temporary mail check interval (minutes)");
    LMDseQueryInterval->setValue(3);
    LMDseQueryInterval->installEventFilter(this);
    if (auto *entry = LMDseQueryInterval->findChild<QLineEdit *>())
        entry->installEventFilter(this); // clicks into the text land here
    bar->addWidget(LMDpfCheckNow, 2);
    bar->setSpacing(4);
    auto *listMail = new QHBoxLayout;
    listMail->setSpacing(0);
    listMail->addWidget(LMDpfListMail, 1);
    listMail->addWidget(LMDpfListMailDrop);
    bar->addLayout(listMail, 2);
    bar->addWidget(LMDpfNewMsg, 2);
    bar->addWidget(new QLabel("Query Interval", page));
    bar->addWidget(LMDseQueryInterval, 1);

    lvSummary = ListView(SummaryModel, page);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(bar);
    layout->addWidget(lvSummary, 1);

    connect(LMDpfCheckNow, &TCaptionPanel::clicked, this, [this] { LMDpfCheckNowClick(); });
    connect(LMDpfNewMsg, &TCaptionPanel::clicked, this, [this] { LMDpfNewMsgClick(); });
    connect(LMDpfListMail, &TCaptionPanel::clicked, this, [this] { LMDpfListMailClick(); });
    connect(LMDpfListMailDrop, &TCaptionPanel::clicked, this, [this] {
        if (PButtons && PButtons->DropDown(LMDpfListMailDrop, pmListMail))
            PButtons->ReleaseDropDown(LMDpfListMailDrop);
    });
    connect(LMDseQueryInterval, &QSpinBox::valueChanged, this, [this](int minutes) {
        if (!Filling)
            Monitor->SetQueryInterval(minutes);
    });
    connect(lvSummary->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { SortSummary(column); });
    WatchSummaryDoubleClick();
    connect(lvSummary->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { UpdateStatusNote(); });
    connect(lvSummary, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        pmSummary->exec(lvSummary->viewport()->mapToGlobal(pos));
    });
    return page;
}

QWidget *TCorvexFrm::BuildMailboxesPage()
{
    auto *page = new QWidget;
    lvMailBoxes = ListView(MailboxModel, page);
    auto *bar = new QHBoxLayout;
    bar->setSpacing(0);
    bar->setContentsMargins(0, 0, 0, 0);
    LMDpfSyncAll = Panel("Sync All");
    LMDpfAdd = Panel("Add");
    LMDpfEdit = Panel("Edit");
    LMDpfInbox = Panel("Inbox");
    LMDpfRemove = Panel("Remove");
    LMDpfLoad = Panel("Load");
    // Six buttons, each one sixth of the bar.
    for (TCaptionPanel *panel :
         {LMDpfSyncAll, LMDpfAdd, LMDpfEdit, LMDpfInbox, LMDpfRemove, LMDpfLoad}) {
        panel->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
        bar->addWidget(panel, 1);
    }
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(lvMailBoxes, 1);
    layout->addLayout(bar);

    connect(LMDpfRemove, &TCaptionPanel::clicked, this, [this] { LMDpfRemoveClick(); });
    connect(LMDpfAdd, &TCaptionPanel::clicked, this, [this] { LMDpfAddClick(); });
    connect(LMDpfEdit, &TCaptionPanel::clicked, this, [this] { LMDpfEditClick(); });
    connect(LMDpfInbox, &TCaptionPanel::clicked, this, [this] { LMDpfInboxClick(); });
    connect(LMDpfLoad, &TCaptionPanel::clicked, this, [this] { LMDpfLoadClick(); });
    connect(LMDpfSyncAll, &TCaptionPanel::clicked, this, [this] { LMDpfSyncAllClick(); });
    connect(lvMailBoxes, &QTableView::doubleClicked, this, [this] { MailboxDoubleClick(); });
    // Enter edits the row under the focus mark; the mark sits on the first row when the list
    // gets the focus without one, so it can be seen.
    for (int key : {Qt::Key_Return, Qt::Key_Enter}) {
        auto *enter = new QShortcut(QKeySequence(key), lvMailBoxes);
        enter->setContext(Qt::WidgetShortcut);
        connect(enter, &QShortcut::activated, this, [this] {
            if (const QModelIndex current = lvMailBoxes->currentIndex(); current.isValid())
                lvMailBoxes->selectRow(current.row());
            MailboxDoubleClick();
        });
    }
    connect(qApp, &QApplication::focusChanged, lvMailBoxes, [this](QWidget *, QWidget *now) {
        if (now == lvMailBoxes && !lvMailBoxes->currentIndex().isValid() &&
            MailboxModel->rowCount() > 0)
            lvMailBoxes->setCurrentIndex(MailboxModel->index(0, 0));
    });
    connect(lvMailBoxes->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { SortMailboxes(column); });
    connect(lvMailBoxes, &QWidget::customContextMenuRequested, this, [this](const QPoint &pos) {
        pmMailBoxes->exec(lvMailBoxes->viewport()->mapToGlobal(pos));
    });
    return page;
}

QWidget *TCorvexFrm::BuildOperationPage()
{
    auto *page = new QWidget;

    auto *settings = new QGroupBox("Settings", page);
    auto *grid = new QGridLayout(settings);
    LMDseCheckMinutes = SpinBox(3, 255, settings);
    LMDseTimerFrequency = SpinBox(1, 60, settings);
    LMDseTimeout = SpinBox(0, 1000, settings);
    LMDseRetries = SpinBox(1, 10, settings);
    int row = 0;
    for (auto [caption, box, unit] : {std::tuple{"Check For Mail Every:", LMDseCheckMinutes, "min"},
                                      std::tuple{"Timer Frequency:", LMDseTimerFrequency, "sec"},
                                      std::tuple{"Connection Timeout:", LMDseTimeout, "sec"},
                                      std::tuple{"Retries On Timeout:", LMDseRetries, ""}}) {
        grid->addWidget(new QLabel(caption, settings), row, 0);
        grid->addWidget(box, row, 1);
        grid->addWidget(new QLabel(unit, settings), row, 2);
        ++row;
    }
    LMDpfOutGoing = Panel("Out Going Mail Server");
    LMDpfProxy = Panel("Proxy");

    auto *activateOn = new QGroupBox("Activate On", page);
    auto *activateLayout = new QVBoxLayout(activateOn);
    ActivateOn = new QButtonGroup(this);
    int id = 0;
    for (const char *caption : {"Disabled", "New  Mail", "Priority Mail"}) {
        auto *radio = new QRadioButton(caption, activateOn);
        ActivateOn->addButton(radio, id++);
        activateLayout->addWidget(radio);
    }
    LMDcbCorvex = new QComboBox(page);

    auto *security = new QGroupBox(" Security ", page);
    auto *securityLayout = new QHBoxLayout(security);
    LMDtbSecurity = new QSlider(Qt::Horizontal, security);
    LMDtbSecurity->setRange(0, SecurityLevelMax);
    LMDtbSecurity->setPageStep(1);
    LMDtbSecurity->setTickPosition(QSlider::TicksBelow);
    LMDslSecurityLevel = new QLabel("0", security);
    LMDslSecurityLevel->setMinimumWidth(16);
    LMDpfPassword = Panel("Password");
    securityLayout->addWidget(LMDtbSecurity, 1);
    securityLayout->addWidget(LMDslSecurityLevel);
    securityLayout->addWidget(LMDpfPassword);

    auto *left = new QVBoxLayout;
    left->addWidget(settings);
    auto *dialogs = new QHBoxLayout;
    dialogs->addWidget(LMDpfOutGoing, 2);
    dialogs->addWidget(LMDpfProxy, 1);
    left->addLayout(dialogs);
    left->addStretch(1);
    auto *right = new QVBoxLayout;
    right->addWidget(activateOn);
    right->addWidget(LMDcbCorvex);
    right->addWidget(security);
    right->addStretch(1);
    auto *layout = new QHBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(left, 1);
    layout->addLayout(right, 1);

    connect(LMDpfOutGoing, &TCaptionPanel::clicked, this, [this] { LMDpfOutGoingClick(); });
    connect(LMDpfProxy, &TCaptionPanel::clicked, this, [this] { LMDpfProxyClick(); });
    connect(LMDpfPassword, &TCaptionPanel::clicked, this, [this] { LMDpfPasswordClick(); });
    return page;
}

QWidget *TCorvexFrm::BuildMasterListGroup(const char *title, QCheckBox *&active, QCheckBox *&global,
                                          TCaptionPanel *&manage, TCaptionPanel *&manageDrop,
                                          TCaptionPanel *&sync)
{
    auto *group = new QGroupBox(title);
    auto *grid = new QGridLayout(group);
    active = new QCheckBox("Activate", group);
    global = new QCheckBox("Global Apply", group);
    manage = Panel("Manage ");
    manageDrop = Panel("v");
    manageDrop->setFixedWidth(18);
    sync = Panel("Sync");
    auto *manageLayout = new QHBoxLayout;
    manageLayout->setSpacing(0);
    manageLayout->addWidget(manage, 1);
    manageLayout->addWidget(manageDrop);
    grid->addWidget(active, 0, 0);
    grid->addWidget(global, 1, 0);
    grid->addLayout(manageLayout, 0, 1);
    grid->addWidget(sync, 1, 1);
    TCaptionPanel *drop = manageDrop;
    connect(drop, &TCaptionPanel::clicked, this, [this, drop] { ManageDropClick(drop); });
    return group;
}

QWidget *TCorvexFrm::BuildPreferencesPage()
{
    auto *page = new QWidget;
    auto *options = new QGroupBox("Options", page);
    auto *optionsLayout = new QVBoxLayout(options);
    LMDcbxOptions = new QListWidget(options);
    for (const char *caption : OptionCaptions) {
        auto *item = new QListWidgetItem(caption, LMDcbxOptions);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
        item->setCheckState(Qt::Unchecked);
    }
    // Every option shows without scrolling.
    LMDcbxOptions->setMinimumHeight(LMDcbxOptions->sizeHintForRow(0) * LMDcbxOptions->count() +
                                    2 * LMDcbxOptions->frameWidth());
    optionsLayout->addWidget(LMDcbxOptions);

    auto *lists = new QVBoxLayout;
    lists->addWidget(BuildMasterListGroup("Master Priority List", LMDcbPriorityActive,
                                          LMDcbPriorityGlobal, LMDpfManagePriority,
                                          LMDpfManagePriorityDrop, LMDpfSyncPriority));
    lists->addWidget(BuildMasterListGroup("Master Rejection List", LMDcbRejectActive,
                                          LMDcbRejectGlobal, LMDpfManageReject,
                                          LMDpfManageRejectDrop, LMDpfSyncReject));
    lists->addStretch(1);
    for (bool reject : {false, true}) {
        TCaptionPanel *manage = reject ? LMDpfManageReject : LMDpfManagePriority;
        TCaptionPanel *sync = reject ? LMDpfSyncReject : LMDpfSyncPriority;
        connect(manage, &TCaptionPanel::clicked, this,
                [this, manage, reject] { ManageListClick(manage, reject); });
        connect(sync, &TCaptionPanel::clicked, this,
                [this, sync, reject] { SyncListClick(sync, reject); });
    }
    auto *layout = new QHBoxLayout(page);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(options, 1);
    layout->addLayout(lists, 1);
    return page;
}

QWidget *TCorvexFrm::BuildBottomBar()
{
    auto *bar = new QWidget(this);
    auto *layout = new QHBoxLayout(bar);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    LMDpfApply = Panel("Apply", "Save changes made");
    LMDpfExit = Panel("Exit");
    LMDpfHelp = Panel(" Help");
    LMDpfHelpDrop = Panel("v");
    LMDpfHelpDrop->setFixedWidth(18);
    LMDtbTimer = new QSlider(Qt::Horizontal, bar);
    LMDtbTimer->setRange(0, 100);
    LMDtbTimer->setPageStep(10);
    LMDpfClose = Panel("Close", "Hide Corvex");
    for (TCaptionPanel *panel : {LMDpfApply, LMDpfExit})
        layout->addWidget(panel, 2);
    auto *help = new QHBoxLayout;
    help->setSpacing(0);
    help->addWidget(LMDpfHelp, 1);
    help->addWidget(LMDpfHelpDrop);
    layout->addLayout(help, 2);
    layout->addWidget(LMDtbTimer, 3);
    layout->addWidget(LMDpfClose, 2);

    connect(LMDpfApply, &TCaptionPanel::clicked, this, [this] { LMDpfApplyClick(); });
    connect(LMDpfExit, &TCaptionPanel::clicked, this, [this] { LMDpfExitClick(); });
    connect(LMDpfHelp, &TCaptionPanel::clicked, this, [this] { LMDpfHelpClick(); });
    connect(LMDpfHelpDrop, &TCaptionPanel::clicked, this, [this] { LMDpfHelpDropClick(); });
    connect(LMDpfClose, &TCaptionPanel::clicked, this, [this] { LMDpfCloseClick(); });

    // Dragging the bar moves the next check; while it is held the timer leaves it alone.
    connect(LMDtbTimer, &QSlider::sliderPressed, this, [this] {
        if (!Busy)
            Monitor->TrackStarted();
    });
    connect(LMDtbTimer, &QSlider::sliderMoved, this, [this](int position) {
        if (!Busy)
            Monitor->TrackMoved(position);
    });
    connect(LMDtbTimer, &QSlider::actionTriggered, this, [this](int action) {
        if (!Busy && action != QAbstractSlider::SliderMove)
            Monitor->TrackMoved(LMDtbTimer->sliderPosition());
    });
    connect(LMDtbTimer, &QSlider::sliderReleased, this, [this] {
        if (!Busy)
            Monitor->TrackEnded();
    });
    return bar;
}

void TCorvexFrm::BuildMenus()
{
    auto buildSummaryMenu = [this](const char *name) {
        auto *menu = new QMenu(this);
        menu->setObjectName(name);
        auto add = [menu](const char *caption, const char *objectName) {
            QAction *action = menu->addAction(caption);
            if (objectName)
                action->setObjectName(objectName);
            return action;
        };
        QAction *checkMail = add("Check Mail", ItemCheckMail);
        add("List Mail ", ItemListMail);
        QAction *readLast = add("Read Last Message", nullptr);
        add("Save All Mail", nullptr);
        add("Delete All Mail", ItemDeleteAll);
        menu->addSeparator();
        QAction *inbox = add("Inbox", ItemInbox);
        QAction *rejectedMail = add("Rejected Mail", nullptr);
        menu->addSeparator();
        QAction *defaultMailer = add("default", ItemDefault);
        QMenu *runMail = menu->addMenu("Run Mail");
        runMail->setObjectName(ItemRunMail);
        QAction *send = add("Send Message", nullptr);
        menu->addSeparator();
        QAction *push = add("Push New IMAP Mail", ItemPush);
        push->setCheckable(true);
        connect(push, &QAction::triggered, this,
                [this](bool checked) { Monitor->SetPushEnabled(checked); });

        connect(checkMail, &QAction::triggered, this, [this] {
            int summary = SelectedRow(lvSummary);
            if (summary < 0 || Monitor->PassRunning())
                return;
            int mailbox = FindRow(Monitor->Store.Mailboxes,
                                  Monitor->Store.Summary[std::size_t(summary)].Caption);
            if (mailbox >= 0)
                Monitor->CheckMailFrom(TPassSource::SummaryMenu, mailbox);
        });
        connect(defaultMailer, &QAction::triggered, this, [this] {
            if (Globals)
                RunMailerByName(Globals->DefaultMailer);
        });
        connect(send, &QAction::triggered, this, [this] { LMDpfNewMsgClick(); });
        connect(inbox, &QAction::triggered, this, [this] { SummaryInboxClick(); });
        connect(readLast, &QAction::triggered, this, [this] { ReadLastMessageClick(); });
        connect(rejectedMail, &QAction::triggered, this, [this] { RejectedMailClick(); });
        connect(menu, &QMenu::aboutToShow, this, [this, menu] { PrepareSummaryMenu(menu); });
        ConnectMailListItems(menu);
        return menu;
    };
    pmSummary = buildSummaryMenu("pmSummary");
    pmListMail = buildSummaryMenu("pmListMail");

    pmMailBoxes = new QMenu(this);
    pmMailBoxes->setObjectName("pmMailBoxes");
    connect(pmMailBoxes->addAction("Add"), &QAction::triggered, this, [this] { LMDpfAddClick(); });
    connect(pmMailBoxes->addAction("Edit"), &QAction::triggered, this,
            [this] { LMDpfEditClick(); });
    connect(pmMailBoxes->addAction("Remove"), &QAction::triggered, this,
            [this] { LMDpfRemoveClick(); });
    connect(pmMailBoxes->addAction("Inbox"), &QAction::triggered, this,
            [this] { LMDpfInboxClick(); });

    pmHelp = new QMenu(this);
    pmHelp->setObjectName("pmHelp");
    connect(pmHelp->addAction("About Corvex"), &QAction::triggered, this, [this] { AboutClick(); });
    // Help mode: the next click on a control shows its help (Shift+F1 anywhere does the same).
    QAction *whatsThis = pmHelp->addAction("What's This?");
    whatsThis->setShortcut(QKeySequence::WhatsThis);
    whatsThis->setShortcutContext(Qt::WidgetShortcut);
    connect(whatsThis, &QAction::triggered, this, [] { QWhatsThis::enterWhatsThisMode(); });
}

void TCorvexFrm::ConnectSettingsControls()
{
    for (QSpinBox *box : {LMDseCheckMinutes, LMDseTimerFrequency, LMDseTimeout, LMDseRetries})
        connect(box, &QSpinBox::valueChanged, this, [this] { SettingChanged(); });
    for (QCheckBox *box :
         {LMDcbPriorityActive, LMDcbPriorityGlobal, LMDcbRejectActive, LMDcbRejectGlobal})
        connect(box, &QCheckBox::toggled, this, [this] { SettingChanged(); });
    connect(ActivateOn, &QButtonGroup::idToggled, this, [this](int, bool checked) {
        if (checked)
            SettingChanged();
    });
    connect(LMDcbxOptions, &QListWidget::itemChanged, this,
            [this](QListWidgetItem *item) { OptionChanged(LMDcbxOptions->row(item)); });
    connect(LMDtbSecurity, &QSlider::valueChanged, this,
            [this](int position) { SecurityLevelChanged(position); });
    connect(LMDcbCorvex, &QComboBox::activated, this, [this](int index) { MailerChosen(index); });
}

// ---- settings controls

TSettingsControls TCorvexFrm::ReadControls() const
{
    TSettingsControls controls;
    controls.TimeoutSeconds = LMDseTimeout->value();
    controls.CheckMinutes = LMDseCheckMinutes->value();
    controls.TimerSeconds = LMDseTimerFrequency->value();
    controls.Retries = LMDseRetries->value();
    controls.RestoreAction = std::max(0, ActivateOn->checkedId());
    controls.SecurityLevel = LMDtbSecurity->value();
    controls.MasterPriorityActive = LMDcbPriorityActive->isChecked();
    controls.MasterPriorityGlobal = LMDcbPriorityGlobal->isChecked();
    controls.MasterRejectActive = LMDcbRejectActive->isChecked();
    controls.MasterRejectGlobal = LMDcbRejectGlobal->isChecked();
    for (std::size_t i = 0; i < OptionCount; ++i)
        controls.Options[i] = LMDcbxOptions->item(int(i))->checkState() == Qt::Checked;
    return controls;
}

void TCorvexFrm::ShowSettings()
{
    if (!Globals)
        return;
    const TSettingsControls controls = SettingsToWindow(Globals->Config);
    Filling = true;
    LMDseTimeout->setValue(controls.TimeoutSeconds);
    LMDseCheckMinutes->setValue(controls.CheckMinutes);
    LMDseTimerFrequency->setValue(controls.TimerSeconds);
    LMDseRetries->setValue(controls.Retries);
    if (QAbstractButton *button = ActivateOn->button(controls.RestoreAction))
        button->setChecked(true);
    LMDtbSecurity->setValue(controls.SecurityLevel);
    LMDcbPriorityActive->setChecked(controls.MasterPriorityActive);
    LMDcbPriorityGlobal->setChecked(controls.MasterPriorityGlobal);
    LMDcbRejectActive->setChecked(controls.MasterRejectActive);
    LMDcbRejectGlobal->setChecked(controls.MasterRejectGlobal);
    for (std::size_t i = 0; i < OptionCount; ++i)
        LMDcbxOptions->item(int(i))->setCheckState(controls.Options[i] ? Qt::Checked
                                                                       : Qt::Unchecked);
    LMDseQueryInterval->setValue(controls.CheckMinutes);
    Filling = false;

    Monitor->MainTimer.setInterval(controls.MainTimerIntervalMs());
    Monitor->SetQueryInterval(controls.CheckMinutes);
    Globals->SetRejectedPath(GetText(Globals->Config.RulesPath));
    Globals->SetDataVisible(controls.Options[opDataVisible]);
    UpdateGlobalApplyBoxes();
    UpdateSecurityControls();
}

// Each master list's "Global Apply" box can be used only while its "Activate" box is checked.
void TCorvexFrm::UpdateGlobalApplyBoxes()
{
    LMDcbPriorityGlobal->setEnabled(LMDcbPriorityActive->isChecked());
    LMDcbRejectGlobal->setEnabled(LMDcbRejectActive->isChecked());
}

void TCorvexFrm::UpdateSecurityControls()
{
    const bool protectionOn = Globals && Globals->Config.PasswordActive;
    LMDtbSecurity->setEnabled(protectionOn);
    LMDslSecurityLevel->setEnabled(protectionOn);
    LMDslSecurityLevel->setText(QString::number(LMDtbSecurity->value()));
    LMDseQueryInterval->setEnabled(!Globals || !IsRestricted(saCheckNow));
}

void TCorvexFrm::SettingChanged()
{
    if (Filling)
        return;
    SetApplyEnabled(true);
    UpdateGlobalApplyBoxes();
}

// "Display Passwords" shows the mailbox passwords: switching it needs action 1.
void TCorvexFrm::OptionChanged(int index)
{
    if (Filling || index < 0 || index >= int(OptionCount))
        return;
    if (index == opDisplayPasswords && Globals && !CheckAccess(saMailboxWork)) {
        Filling = true;
        LMDcbxOptions->item(index)->setCheckState(Globals->Config.DisplayPasswords ? Qt::Checked
                                                                                   : Qt::Unchecked);
        Filling = false;
        return;
    }
    SettingChanged();
}

void TCorvexFrm::SecurityLevelChanged(int position)
{
    LMDslSecurityLevel->setText(QString::number(position));
    if (Filling || !Globals)
        return;
    Globals->Config.SecurityLevel = uint8_t(position);
    SetApplyEnabled(true);
}

void TCorvexFrm::MailerChosen(int index)
{
    if (Filling || index < 0 || !Globals)
        return;
    Globals->DefaultMailer = LMDcbCorvex->itemText(index).toStdString();
    SetApplyEnabled(true);
}

// A mailbox switched on or off by the user is a list edit.
void TCorvexFrm::MailboxCheckChanged(int)
{
    if (!Filling)
        SetApplyEnabled(true);
}

void TCorvexFrm::FillMailerBox(const TStringList &mailerList)
{
    Filling = true;
    LMDcbCorvex->clear();
    for (int i = 0; i < mailerList.Count(); ++i)
        LMDcbCorvex->addItem(ToQ(mailerList.Names(i)));
    Filling = false;
}

bool TCorvexFrm::SelectMailer(const std::string &name)
{
    int index = LMDcbCorvex->findText(ToQ(name), Qt::MatchExactly);
    if (index < 0)
        return false;
    Filling = true;
    LMDcbCorvex->setCurrentIndex(index);
    Filling = false;
    return true;
}

bool TCorvexFrm::ApplyEnabled() const
{
    return ApplyOn;
}

void TCorvexFrm::SetApplyEnabled(bool enabled)
{
    ApplyOn = enabled;
    if (PButtons)
        PButtons->SetEnabled(LMDpfApply, enabled);
    else
        LMDpfApply->setCursor(enabled ? Qt::PointingHandCursor : Qt::ForbiddenCursor);
    if (!enabled)
        MailboxEdited = false;
    MarkApplyWaiting(enabled);
    UpdateStatusNote();
}

void TCorvexFrm::MarkApplyWaiting(bool waiting)
{
    QFont font = LMDpfApply->font();
    font.setBold(waiting);
    LMDpfApply->setFont(font);
    // A tint of the selection colour: it keeps the caption readable in light and dark themes.
    const QPalette &base = QApplication::palette();
    QColor tint = base.color(QPalette::Window);
    if (waiting) {
        const QColor highlight = base.color(QPalette::Highlight);
        tint.setRgb((2 * tint.red() + highlight.red()) / 3,
                    (2 * tint.green() + highlight.green()) / 3,
                    (2 * tint.blue() + highlight.blue()) / 3);
    }
    QPalette palette = LMDpfApply->palette();
    palette.setColor(QPalette::Window, tint);
    LMDpfApply->setPalette(palette);
    LMDpfApply->setAutoFillBackground(waiting);
}

// ---- Apply

void TCorvexFrm::LMDpfApplyClick()
{
    if (!ApplyOn || !PButtons || !PButtons->Press(LMDpfApply))
        return;
    const TTimerPause pause(Monitor->MainTimer);
    const bool saved = ApplyChanges();
    PButtons->Release(LMDpfApply);
    const bool edited = MailboxEdited;
    // Changes that could not be saved stay pending: Apply can be tried again, Exit asks about
    // them, and the list is not reloaded from the old file over them.
    SetApplyEnabled(!saved);

    // A mailbox added or mended in the editor is checked at once, as the note promised.
    const TDataStore &store = Monitor->Store;
    if (saved && (edited || ActiveMailboxesChanged(store.Mailboxes, store.Summary)))
        Monitor->RecheckAfterApply();
}

bool TCorvexFrm::ApplyChanges()
{
    if (!Globals)
        return false;
    if (Globals->DataRoot.empty()) { // never save the mailboxes beside the current folder
        Globals->InitPaths();
        Globals->CreateDataFolders();
    }
    TDataStore &store = Monitor->Store;
    QListWidgetItem *encryptItem = LMDcbxOptions->item(opEncryptMailboxes);
    const bool storedEncrypted = Globals->Config.EncryptMailboxes != 0;
    if (storedEncrypted && encryptItem->checkState() != Qt::Checked &&
        !store.CanStoreUnencrypted()) {
        Filling = true;
        encryptItem->setCheckState(Qt::Checked);
        Filling = false;
        if (Utils)
            Utils->DebugLog("%s", EncryptOffRefused);
        ShowMessage(EncryptOffRefused);
    }
    auto ask = [this](const std::string &userId) {
        return QInputDialog::getText(this, ToQ(Format(PasswordPromptTitle, userId.c_str())),
                                     PasswordPromptText, QLineEdit::Password)
            .toStdString();
    };
    const TSettingsChanges changes =
        WindowToSettings(ReadControls(), Globals->DefaultMailer, Globals->Config);
    const bool saved = store.SaveChanges(storedEncrypted, ask);
    if (saved)
        PruneChoices(Globals->DataRoot, store.Mailboxes, GetText(Globals->Config.SmtpUserId),
                     GetText(Globals->Config.SmtpServer));
    else
        ShowMessage(store.LastError);
    ApplySettingsChanges(changes);
    return saved;
}

void TCorvexFrm::ApplySettingsChanges(const TSettingsChanges &changes)
{
    const TConfigRecord &config = Globals->Config;
    Monitor->MainTimer.setInterval(std::clamp<int>(config.TimerSeconds, 1, 60) * 1000);
    if (changes.CheckMinutes) {
        Filling = true;
        LMDseQueryInterval->setValue(config.CheckMinutes);
        Filling = false;
        Monitor->SetQueryInterval(config.CheckMinutes);
    }
    if (changes.LoadAtStartup && Utils) {
        if (config.LoadAtStartup) {
            Utils->CreateShortcut(QCoreApplication::applicationFilePath().toStdString(),
                                  specialfolder::Startup, names::AppTitle, names::AppTitle);
        } else {
            std::string folder = Utils->GetSpecialFolder(specialfolder::Startup);
            if (!folder.empty())
                std::remove(
                    (TUtils::AddBackslash(folder) + names::AppTitle + names::ShortcutExt).c_str());
        }
    }
    if (changes.KeepOnTop) {
        SetTopmost(config.KeepOnTop != 0);
        if (isVisible()) {
            raise();
            activateWindow();
        }
    }
}

void TCorvexFrm::ComeBackAfterChild()
{
    if (Globals && Globals->Config.KeepOnTop)
        SetTopmost(true);
    if (IsWindowVisible()) {
        raise();
        activateWindow();
    }
}

// ---- commands

void TCorvexFrm::LMDpfCheckNowClick()
{
    // Asked during a pass, one more pass follows it: the running one may have started before
    // the mail the user expects.
    if (Monitor->PassRunning()) {
        if (!CheckNowWaits) {
            CheckNowWaits = true;
            AfterPass([this] {
                CheckNowWaits = false;
                LMDpfCheckNowClick();
            });
        }
        return;
    }
    if (!PButtons || !PButtons->Press(LMDpfCheckNow))
        return;
    Monitor->CheckNow();
    PButtons->Release(LMDpfCheckNow);
}

void TCorvexFrm::LMDpfExitClick()
{
    Monitor->Exit();
}

void TCorvexFrm::LMDpfCloseClick()
{
    if (!PButtons || !PButtons->Press(LMDpfClose))
        return;
    Monitor->Tray.ClearNewMail(true);
    PButtons->Release(LMDpfClose);
    Minimize();
}

void TCorvexFrm::Minimize()
{
    Monitor->Minimised();
}

void TCorvexFrm::LMDpfHelpClick()
{
    if (!PButtons || !PButtons->Press(LMDpfHelp))
        return;
    contexthelp::ShowWindowHelp(this);
    PButtons->Release(LMDpfHelp);
}

void TCorvexFrm::LMDpfHelpDropClick()
{
    if (PButtons && PButtons->DropDown(LMDpfHelpDrop, pmHelp))
        PButtons->ReleaseDropDown(LMDpfHelpDrop);
}

// A new message in the default mail handler.
void TCorvexFrm::LMDpfNewMsgClick()
{
    if (!PButtons || !PButtons->Press(LMDpfNewMsg))
        return;
    if (Utils)
        Utils->ShellOpen(windowtext::NewMessageTarget, std::string(), false);
    PButtons->Release(LMDpfNewMsg);
}

void TCorvexFrm::LMDpfRemoveClick()
{
    if (AfterPass([this] { LMDpfRemoveClick(); }))
        return;
    if (!Globals || !CheckAccess(saMailboxWork))
        return;
    if (!PButtons || !PButtons->Press(LMDpfRemove))
        return;
    const int row = SelectedRow(lvMailBoxes);
    TListRows &rows = Monitor->Store.Mailboxes;
    if (row >= 0 && !Monitor->PassRunning()) {
        const std::string &userId = rows[std::size_t(row)].Caption;
        if (AskYesNo(Format(windowtext::RemoveQuestion, userId.c_str()),
                     monitortext::WarningCaption) == TAnswer::Yes) {
            RemoveMailbox(Monitor->Store, row);
            MailboxModel->Reload();
            SetApplyEnabled(true);
        }
    }
    lvMailBoxes->clearSelection();
    PButtons->Release(LMDpfRemove);
}

void TCorvexFrm::LMDpfOutGoingClick()
{
    if (!Globals || !PButtons || !PButtons->Press(LMDpfOutGoing))
        return;
    const int answer = frmOutgoingServer->Execute(Globals->Config);
    if (answer == TfrmOutgoingServer::AnswerApplied) {
        SetApplyEnabled(true);
    } else if (answer == TfrmOutgoingServer::AnswerImported) {
        Monitor->ReloadAfterImport();
    }
    PButtons->Release(LMDpfOutGoing);
}

void TCorvexFrm::LMDpfProxyClick()
{
    if (!Globals || !PButtons || !PButtons->Press(LMDpfProxy))
        return;
    if (frmProxyServer->Execute(Globals->Config) && OfferApply()) {
        Monitor->ReloadMailboxes(Globals->Config.EncryptMailboxes != 0);
        ShowSettings();
    }
    PButtons->Release(LMDpfProxy);
}

void TCorvexFrm::LMDpfPasswordClick()
{
    if (!Globals || !PButtons || !PButtons->Press(LMDpfPassword))
        return;
    if (RunMasterPasswordCommand(Globals->Config))
        SetApplyEnabled(true);
    else
        ShowMessage(AccessDeniedText);
    UpdateSecurityControls();
    PButtons->Release(LMDpfPassword);
}

// The drop-down of either "Manage ": the folder of the list and rule files.
void TCorvexFrm::ManageDropClick(TCaptionPanel *dropPanel)
{
    if (!Globals || !PButtons || !PButtons->Press(dropPanel))
        return;
    TConfigRecord &config = Globals->Config;
    const QString folder = QFileDialog::getExistingDirectory(this, windowtext::RulesFolderTitle,
                                                             ToQ(GetText(config.RulesPath)));
    const std::string chosen = folder.toStdString();
    if (chosen.size() >= sizeof(config.RulesPath)) {
        if (Utils)
            Utils->DebugLog("Rules folder path too long: %s", chosen.c_str());
    } else if (!chosen.empty()) {
        SetText(config.RulesPath, chosen);
        Globals->SetRejectedPath(chosen);
        SetApplyEnabled(true);
    }
    PButtons->ReleaseDropDown(dropPanel);
}

void TCorvexFrm::RunMailerByName(const std::string &name)
{
    if (Globals && !name.empty())
        Globals->RunMailProgram(TTrayMenu::ItemName(name));
}

// ---- pages

void TCorvexFrm::SelectPage(TMonitorPage page)
{
    if (page == Page || !Globals)
        return;
    if (Page == TMonitorPage::Summary && !CheckAccess(saShowWindow))
        return;
    if (page != TMonitorPage::Summary && !IsRestricted(saShowWindow) &&
        !CheckAccess(saSettingsPages))
        return;
    ShowPage(page);
    if ((page == TMonitorPage::Operation || page == TMonitorPage::Preferences) &&
        height() < SettingsPageHeight)
        resize(width(), SettingsPageHeight);
    if (page == TMonitorPage::Operation)
        UpdateSecurityControls();
}

void TCorvexFrm::ShowPage(TMonitorPage page)
{
    Page = page;
    Pages->setCurrentIndex(int(page));
    ShowTabs();
    UpdateStatusNote();
}

TMonitorPage TCorvexFrm::CurrentPage() const
{
    return Page;
}

void TCorvexFrm::ShowTabs()
{
    ShowCurrentTab({tsSummary, tsMailboxes, tsOperation, tsPreferences}, int(Page));
}

void TCorvexFrm::LayoutButtonBars()
{
    // The bars share their width out through equal stretch factors; make them follow now.
    if (centralWidget() && centralWidget()->layout())
        centralWidget()->layout()->activate();
}

// ---- lists

int TCorvexFrm::SelectedRow(const QTableView *view) const
{
    const QModelIndexList rows = view->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TCorvexFrm::RowsChanged(bool mailboxesToo)
{
    SummaryModel->Refresh();
    if (mailboxesToo)
        MailboxModel->Refresh();
    UpdateStatusNote();
}

// The Summary row's caption stays "Timed Out"; the user looking at the row reads the cause here
// too, not only in its tooltip. The cycle's own texts on the left change every tick.
void TCorvexFrm::UpdateStatusNote()
{
    if (!StatusNote)
        return;
    std::string note;
    const int row = SelectedRow(lvSummary);
    const TListRows &summary = Monitor->Store.Summary;
    if (Page == TMonitorPage::Summary && row >= 0 && row < int(summary.size())) {
        const TListRow &shown = summary[std::size_t(row)];
        const std::string cause = Monitor->FailureTip(shown);
        if (!cause.empty())
            note = Format(windowtext::RowCauseNote, shown.Caption.c_str(), cause.c_str());
    }
    if (note.empty() && ApplyOn && MailboxEdited)
        note = windowtext::ApplyWaitsNote;
    StatusNote->setText(ToQ(note));
}

// While a pass runs the rows are being worked through by position: neither list is reordered.
void TCorvexFrm::SortSummary(int column)
{
    if (!Utils || Monitor->PassRunning())
        return;
    Utils->SortListView(column);
    SummaryModel->Sort(Utils->SortColumn, Utils->SortDescending);
    lvSummary->horizontalHeader()->setSortIndicator(
        Utils->SortColumn, Utils->SortDescending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void TCorvexFrm::SortMailboxes(int column)
{
    if (!Utils || Monitor->PassRunning())
        return;
    Utils->SortListView(column);
    MailboxModel->Sort(Utils->SortColumn, Utils->SortDescending);
    lvMailBoxes->horizontalHeader()->setSortIndicator(
        Utils->SortColumn, Utils->SortDescending ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void TCorvexFrm::AddRunMailItems(QMenu *menu)
{
    menu->clear();
    if (!Globals)
        return;
    const TStringList &mailers = Globals->MailerList;
    for (int i = 0; i < mailers.Count(); ++i) {
        const std::string name = mailers.Names(i);
        QAction *action = menu->addAction(ToQ(name).replace("&", "&&"));
        connect(action, &QAction::triggered, this, [this, name] { RunMailerByName(name); });
    }
}

void TCorvexFrm::PrepareSummaryMenu(QMenu *menu)
{
    auto *checkMail = menu->findChild<QAction *>(ItemCheckMail);
    auto *listMail = menu->findChild<QAction *>(ItemListMail);
    auto *deleteAll = menu->findChild<QAction *>(ItemDeleteAll);
    auto *inbox = menu->findChild<QAction *>(ItemInbox);
    auto *defaultMailer = menu->findChild<QAction *>(ItemDefault);
    auto *runMail = menu->findChild<QMenu *>(ItemRunMail);
    if (auto *push = menu->findChild<QAction *>(ItemPush))
        push->setChecked(Monitor->PushEnabled());
    for (QAction *action : {checkMail, listMail, deleteAll, inbox, defaultMailer})
        action->setEnabled(false);
    runMail->menuAction()->setEnabled(false);
    if (Busy || !Globals || !CheckAccess(saMailboxWork))
        return;
    for (QAction *action : {checkMail, listMail, deleteAll, inbox})
        action->setEnabled(true);
    if (!Globals->DefaultMailer.empty()) {
        defaultMailer->setText(ToQ(Globals->DefaultMailer).replace("&", "&&"));
        defaultMailer->setEnabled(true);
    }
    AddRunMailItems(runMail);
    runMail->menuAction()->setEnabled(!runMail->isEmpty());
}

// ---- status, cursors, window

void TCorvexFrm::SetStatusText(const std::string &text)
{
    statusBar()->showMessage(ToQ(text));
}

void TCorvexFrm::SetProgress(int position)
{
    if (!LMDtbTimer->isSliderDown())
        LMDtbTimer->setValue(std::clamp(position, 0, 100));
}

// The Exit button keeps its hand cursor: the user can always end the monitor, even mid-pass.
void TCorvexFrm::SetBusyCursors(bool busy)
{
    Busy = busy;
    // A pass leaves the commands that need no session available.
    const bool passOnly = busy && Monitor && Monitor->PassRunning();
    if (PButtons) {
        for (TCaptionPanel *panel : Panels())
            if (!passOnly || WaitsForPass(panel))
                PButtons->SetBusy(panel, busy);
        PButtons->SetBusy(LMDpfExit, false);
        if (!busy && !ApplyOn)
            PButtons->SetEnabled(LMDpfApply, false);
    }
    const Qt::CursorShape shape = busy ? Qt::WaitCursor : Qt::ArrowCursor;
    lvSummary->viewport()->setCursor(shape);
    lvMailBoxes->viewport()->setCursor(shape);
}

bool TCorvexFrm::IsWindowVisible() const
{
    return isVisible() && !isMinimized();
}

void TCorvexFrm::ShowWindow()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}

// Without a notification area a hidden window could not be brought back: it is minimised to
// the task bar instead.
void TCorvexFrm::HideWindow()
{
    if (TTrayView::Available())
        hide();
    else if (!isMinimized())
        showMinimized();
}

void TCorvexFrm::SetTopmost(bool topmost)
{
    if (bool(windowFlags() & Qt::WindowStaysOnTopHint) == topmost)
        return;
    const bool visible = isVisible();
    const bool minimized = isMinimized();
    setWindowFlag(Qt::WindowStaysOnTopHint, topmost);
    if (visible)
        minimized ? showMinimized() : show(); // changing the flag hides the window
}

void TCorvexFrm::FocusCheckNow()
{
    LMDpfCheckNow->setFocus();
}

void TCorvexFrm::ShowTrayIcon(TTrayIcon &tray)
{
    if (!TrayView) {
        TrayView = new TTrayView(tray, this);
        TrayView->WindowShown = [this] { return IsWindowVisible(); };
        TrayView->MailerList = []() -> const TStringList & {
            static const TStringList none;
            return Globals ? Globals->MailerList : none;
        };
        TrayView->InboxMap = [this]() -> const TStringList & { return Monitor->Store.InboxMap; };
        TrayView->SignInNeeded = [this] { return Monitor->MailboxesNeedingSignIn(); };
        TrayView->OnCommand = [this](TTrayCommand command, const std::string &name) {
            switch (command) {
            case TTrayCommand::CheckNow:
                LMDpfCheckNowClick();
                break;
            case TTrayCommand::SendMessage:
                LMDpfNewMsgClick();
                break;
            case TTrayCommand::RunMail:
                RunMailerByName(name);
                break;
            case TTrayCommand::Restart:
                Monitor->Restart();
                break;
            case TTrayCommand::Exit:
                LMDpfExitClick();
                break;
            case TTrayCommand::Inboxes:
                TrayInboxClick(TTrayMenu::ItemName(name));
                break;
            case TTrayCommand::RejectionBox:
                RejectedMailClick();
                break;
            case TTrayCommand::SignIn:
                SignInMailbox(name);
                break;
            default:
                break;
            }
        };
    }
    TrayView->Show();
}

TWindowPos TCorvexFrm::WindowPosition() const
{
    TWindowPos position;
    position.Top = y();
    position.Left = x();
    position.Height = height();
    position.Width = width();
    return position;
}

// A stored position comes from a file: it is brought onto the available screen area, and the
// size is limited to that area, so a damaged or foreign value can't make a huge window.
void TCorvexFrm::SetWindowPosition(const TWindowPos &position)
{
    const QScreen *screen = QGuiApplication::screenAt(QPoint(position.Left, position.Top));
    if (!screen)
        screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) {
        resize(MainMinWidth, MainMinHeight);
        return;
    }
    const QRect area = screen->availableGeometry();
    const int width =
        std::clamp(position.Width, MainMinWidth, std::max(area.width(), MainMinWidth));
    const int height =
        std::clamp(position.Height, MainMinHeight, std::max(area.height(), MainMinHeight));
    const int left =
        std::clamp(position.Left, area.left(), std::max(area.left(), area.right() + 1 - width));
    const int top =
        std::clamp(position.Top, area.top(), std::max(area.top(), area.bottom() + 1 - height));
    resize(width, height);
    move(left, top);
}

bool TCorvexFrm::PressExitButton()
{
    return PButtons && PButtons->Press(LMDpfExit);
}

void TCorvexFrm::ReleaseExitButton()
{
    if (PButtons)
        PButtons->Release(LMDpfExit);
}

TAnswer TCorvexFrm::AskYesNo(const std::string &text, const std::string &caption)
{
    QMessageBox box(QMessageBox::Warning, ToQ(caption), ToQ(text),
                    QMessageBox::Yes | QMessageBox::No, this);
    return box.exec() == QMessageBox::Yes ? TAnswer::Yes : TAnswer::No;
}

void TCorvexFrm::ShowMessage(const std::string &text)
{
    QMessageBox box(QMessageBox::Information, names::AppTitle, ToQ(text), QMessageBox::Ok, this);
    box.exec();
}

// ---- events

// The first show runs the first activation: window activation is not guaranteed on every
// desktop (focus-stealing prevention), showing is.
void TCorvexFrm::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    Monitor->WindowShown();
    if (!ActivationSeen) {
        ActivationSeen = true;
        QTimer::singleShot(0, this, [this] {
            QStringList arguments = QCoreApplication::arguments();
            std::vector<std::string> list;
            for (int i = 1; i < arguments.size(); ++i)
                list.push_back(arguments[i].toStdString());
            Monitor->Activate(list);
        });
    }
}

void TCorvexFrm::changeEvent(QEvent *event)
{
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        QTimer::singleShot(0, this, [this] {
            if (isMinimized())
                Minimize();
        });
}

// The title bar's close is Exit without its question whether to stop monitoring: the
// password gate and the unsaved-changes question still stand, and when either refuses the
// window stays and the monitor keeps running. A program already ending closes at once.
void TCorvexFrm::closeEvent(QCloseEvent *event)
{
    if (TUtils::Terminating() || Monitor->Exit(false))
        event->accept();
    else
        event->ignore();
}

void TCorvexFrm::resizeEvent(QResizeEvent *event)
{
    QMainWindow::resizeEvent(event);
    LayoutButtonBars();
}

// A click on the Query Interval box while Check Now is restricted disables the box again.
bool TCorvexFrm::eventFilter(QObject *watched, QEvent *event)
{
    const bool queryBox = watched == LMDseQueryInterval || watched->parent() == LMDseQueryInterval;
    if (queryBox && event->type() == QEvent::MouseButtonPress && Globals &&
        IsRestricted(saCheckNow)) {
        LMDseQueryInterval->setEnabled(false);
        return true;
    }
    return QMainWindow::eventFilter(watched, event);
}
