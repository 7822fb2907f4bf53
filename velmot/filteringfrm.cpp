#include "velmot/filteringfrm.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>

#include "common/globals.h"
#include "common/names.h"
#include "common/records.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/filtercriteriafrm.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/placement.h"
#include "common/ui/rowmodel.h"
#include "common/utils.h"

namespace {

constexpr int CaptionColumnWidth = 150; // the smallest widths of the first two columns
constexpr int SubjectColumnWidth = 150;
constexpr int PixelsPerCharacter = 8;
constexpr char LoadFromAddressBook[] = "Load from Address Book";
constexpr char NotAvailable[] = "Option not currently available";

std::string EditorCaption(const std::string &listFile)
{
    return listFile.find("Reject") != std::string::npos ? RejectionCaption : PriorityCaption;
}

} // namespace

TFilteringFrm::TFilteringFrm(const std::string &listFile, QWidget *parent) : QWidget(parent)
{
    setObjectName("TFilteringFrm");
    contexthelp::SetHelpKeyword(this, help::RulesManager);
    List.ListFile = listFile;
    const std::string title = TFilterList::TitleFor(listFile);
    setWindowTitle(QString::fromStdString(title.empty() ? RulesManagerTitle : title));
    CloseOnEscape(this);
    ShowMessage = [this](const std::string &text) {
        QMessageBox::warning(this, "Warning", QString::fromStdString(text));
    };
    TfrmFilterCriteria::Install(
        [] { return Globals ? GetText(Globals->Config.RulesPath) : std::string(); });

    Model =
        new TRowModel(List.Rows, {std::begin(FilterColumns), std::end(FilterColumns)}, false, this);
    lvFilterList = new QTableView(this);
    lvFilterList->setObjectName("lvFilterList");
    lvFilterList->setModel(Model);
    lvFilterList->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvFilterList->setSelectionMode(QAbstractItemView::SingleSelection);
    lvFilterList->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvFilterList->setShowGrid(true);
    lvFilterList->setTabKeyNavigation(false); // Tab leaves the list instead of walking its cells
    lvFilterList->setWordWrap(false);
    lvFilterList->verticalHeader()->hide();
    lvFilterList->horizontalHeader()->setSectionsClickable(true);
    lvFilterList->viewport()->installEventFilter(this);
    connect(lvFilterList->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { lvFilterListColumnClick(column); });

    LMDpfAdd = Panel("Add", "LMDpfAdd");
    LMDpfAddDrop = Panel("v", "LMDpfAddDrop");
    LMDpfAddDrop->setFixedWidth(18);
    LMDpfEdit = Panel("Edit", "LMDpfEdit");
    LMDpfRemove = Panel("Remove", "LMDpfRemove");
    LMDpfApply = Panel("Apply", "LMDpfApply");
    LMDpfHelp = Panel("Help", "LMDpfHelp");
    LMDpfClose = Panel("Close", "LMDpfClose");
    LMDpfStatusBar = new QLabel(QString::fromStdString(listFile), this);
    LMDpfStatusBar->setObjectName("LMDpfStatusBar");
    pmAdd = new QMenu(this);
    pmAdd->setObjectName("pmAdd");
    connect(pmAdd->addAction(LoadFromAddressBook), &QAction::triggered, this,
            [this] { ShowMessage(NotAvailable); });

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(4);
    auto *add = new QHBoxLayout;
    add->setSpacing(0);
    add->addWidget(LMDpfAdd, 1);
    add->addWidget(LMDpfAddDrop);
    buttons->addLayout(add, 1);
    for (TCaptionPanel *panel : {LMDpfEdit, LMDpfRemove, LMDpfApply, LMDpfHelp, LMDpfClose})
        buttons->addWidget(panel, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lvFilterList, 1);
    layout->addLayout(buttons);
    layout->addWidget(LMDpfStatusBar);
    resize(720, 360);

    connect(LMDpfAdd, &TCaptionPanel::clicked, this, [this] { LMDpfAddClick(); });
    connect(LMDpfAddDrop, &TCaptionPanel::clicked, this, [this] {
        if (PButtons->DropDown(LMDpfAddDrop, pmAdd))
            PButtons->ReleaseDropDown(LMDpfAddDrop);
    });
    connect(LMDpfEdit, &TCaptionPanel::clicked, this, [this] { LMDpfEditClick(); });
    connect(LMDpfRemove, &TCaptionPanel::clicked, this, [this] { LMDpfRemoveClick(); });
    connect(LMDpfApply, &TCaptionPanel::clicked, this, [this] { LMDpfApplyClick(); });
    connect(LMDpfHelp, &TCaptionPanel::clicked, this, [this] { LMDpfHelpClick(); });
    connect(LMDpfClose, &TCaptionPanel::clicked, this, [this] { LMDpfCloseClick(); });
    SetApplyEnabled(false);
}

TFilteringFrm::~TFilteringFrm()
{
    SetRuleEditor(nullptr);
}

TCaptionPanel *TFilteringFrm::Panel(const char *caption, const char *name)
{
    auto *panel = new TCaptionPanel(caption, this);
    panel->setObjectName(name);
    panel->setMinimumHeight(22);
    panel->setCursor(Qt::PointingHandCursor);
    return panel;
}

bool TFilteringFrm::Activate()
{
    if (Activated)
        return true;
    Activated = true;
    SetApplyEnabled(false);
    TDataStore store;
    store.LoadSettingsReadOnly(); // a missing settings file leaves the defaults
    if (List.ListFile.empty())
        return false;
    const bool loaded = List.Load();
    RowsChanged();
    if (!loaded)
        ShowMessage(List.LastError);
    return loaded;
}

int TFilteringFrm::SelectedRow() const
{
    const QModelIndexList rows = lvFilterList->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

bool TFilteringFrm::EditRow(bool blank, TRuleFields &fields)
{
    return EditRule(blank, fields, EditorCaption(List.ListFile));
}

void TFilteringFrm::RowsChanged()
{
    Model->Refresh();
    FitColumns();
}

void TFilteringFrm::FitColumns()
{
    lvFilterList->setColumnWidth(
        0, std::max(CaptionColumnWidth, PixelsPerCharacter * List.LongestCaption()));
    lvFilterList->setColumnWidth(
        1, std::max(SubjectColumnWidth, PixelsPerCharacter * List.LongestSubject()));
}

void TFilteringFrm::SetApplyEnabled(bool enabled)
{
    PButtons->SetEnabled(LMDpfApply, enabled);
}

void TFilteringFrm::LMDpfAddClick()
{
    if (!PButtons->Press(LMDpfAdd))
        return;
    TRuleFields fields(RuleFieldCount);
    if (EditRow(true, fields)) {
        List.AddRow(fields);
        RowsChanged();
        SetApplyEnabled(true);
    }
    PButtons->Release(LMDpfAdd);
}

void TFilteringFrm::LMDpfEditClick()
{
    if (!PButtons->Press(LMDpfEdit))
        return;
    const int row = SelectedRow();
    if (row >= 0) {
        TRuleFields fields = List.RowFields(row);
        if (EditRow(false, fields)) {
            List.SetRow(row, fields);
            RowsChanged();
            SetApplyEnabled(true);
        }
        lvFilterList->clearSelection();
    }
    PButtons->Release(LMDpfEdit);
}

void TFilteringFrm::LMDpfRemoveClick()
{
    if (!PButtons->Press(LMDpfRemove))
        return;
    const int row = SelectedRow();
    if (row >= 0) {
        lvFilterList->clearSelection();
        List.RemoveRow(row);
        RowsChanged();
        SetApplyEnabled(true);
    }
    PButtons->Release(LMDpfRemove);
}

void TFilteringFrm::LMDpfApplyClick()
{
    if (!PButtons->Press(LMDpfApply))
        return;
    const bool written = List.Apply();
    RowsChanged();
    PButtons->Release(LMDpfApply);
    if (written)
        SetApplyEnabled(false);
    else
        ShowMessage(List.LastError);
}

void TFilteringFrm::LMDpfHelpClick()
{
    if (!PButtons->Press(LMDpfHelp))
        return;
    contexthelp::ShowWindowHelp(this);
    PButtons->Release(LMDpfHelp);
}

void TFilteringFrm::LMDpfCloseClick()
{
    if (!PButtons->Press(LMDpfClose))
        return;
    PButtons->Release(LMDpfClose);
    close(); // edits not applied are dropped
    Utils->Delay(500);
}

void TFilteringFrm::lvFilterListColumnClick(int column)
{
    Utils->SortListView(column);
    // The first click on a column puts the larger texts first, the next one reverses.
    Model->Sort(Utils->SortColumn, !Utils->SortDescending);
}

bool TFilteringFrm::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lvFilterList->viewport() && event->type() == QEvent::MouseButtonDblClick) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        const QModelIndex index = lvFilterList->indexAt(mouse->position().toPoint());
        if (index.isValid()) {
            lvFilterList->selectRow(index.row());
            LMDpfEditClick();
        } else {
            lvFilterList->clearSelection();
            LMDpfAddClick();
        }
        return true;
    }
    return QWidget::eventFilter(watched, event);
}
