#include "strenna/mailsearchfrm.h"
#include "strenna/runmail.h"
#include "strenna/suggestbox.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QRadioButton>
#include <QScrollBar>
#include <QTableView>
#include <QVBoxLayout>
#include <algorithm>
#include <unistd.h>

#include "common/globals.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/placement.h"
#include "common/ui/rowmodel.h"
#include "common/ui/windowstate.h"
#include "common/utils.h"

namespace {

QString ToQ(const std::string &text)
{
    return QString::fromStdString(text);
}

constexpr int LineColumn = 0; // the hit's line takes the width the other columns leave
constexpr int MaxColumnChars = 80;
constexpr char StateKey[] = "\\Software\\Corvex\\Strenna\\FindText";
constexpr int MinWidth = 446, MinHeight = 275;
constexpr int ShownResultRows = 12; // what the window shows of the results when it first opens

} // namespace

TfrmMailSearch::TfrmMailSearch(QWidget *parent) : QWidget(parent, Qt::Window)
{
    setObjectName("frmMailSearch");
    setWindowTitle(searchtext::Caption);
    CloseOnEscape(this);
    contexthelp::SetHelpKeyword(this, help::MailSearch);
    setMinimumSize(MinWidth, MinHeight);
    Inform = [this](const std::string &text) {
        QMessageBox::information(this, searchtext::Caption, ToQ(text));
    };
    Confirm = [this](const std::string &text) {
        return QMessageBox::warning(this, browsertext::WarningTitle, ToQ(text),
                                    QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
    };

    auto *layout = new QVBoxLayout(this);
    auto *textRow = new QHBoxLayout;
    LMDcbSearchStr = new QComboBox(this);
    LMDcbSearchStr->setObjectName("LMDcbSearchStr");
    LMDcbSearchStr->setEditable(true);
    LMDcbSearchStr->setInsertPolicy(QComboBox::NoInsert);
    SuggestOnly(LMDcbSearchStr);
    textRow->addWidget(new QLabel("Text to find:", this));
    textRow->addWidget(LMDcbSearchStr, 1);
    layout->addLayout(textRow);

    auto *groups = new QWidget(this);
    LMDgbOptions = new QGroupBox("Options", groups);
    LMDgbOptions->setObjectName("LMDgbOptions");
    auto *options = new QVBoxLayout(LMDgbOptions);
    LMDcbxCaseSense = new QCheckBox("Case Sensitive", LMDgbOptions);
    LMDcbxCaseSense->setObjectName("LMDcbxCaseSense");
    LMDcbxWholeWord = new QCheckBox("Whole Words only", LMDgbOptions);
    LMDcbxWholeWord->setObjectName("LMDcbxWholeWord");
    options->addWidget(LMDcbxCaseSense);
    options->addWidget(LMDcbxWholeWord);
    LMDrgWhere = new QGroupBox("Where", groups);
    LMDrgWhere->setObjectName("LMDrgWhere");
    auto *where = new QVBoxLayout(LMDrgWhere);
    WhereButtons = new QButtonGroup(this);
    for (int i = 0; i < int(std::size(searchtext::WhereItems)); ++i) {
        auto *button = new QRadioButton(searchtext::WhereItems[i], LMDrgWhere);
        WhereButtons->addButton(button, i);
        where->addWidget(button);
    }
    WhereButtons->button(0)->setChecked(true);
    groups->setMinimumHeight(LMDgbOptions->sizeHint().height() + 20);
    groups->setFixedHeight(
        std::max(LMDgbOptions->sizeHint().height(), LMDrgWhere->sizeHint().height()));
    layout->addWidget(groups);

    Model = new TRowModel(
        Rows,
        std::vector<std::string>(std::begin(searchtext::Columns), std::end(searchtext::Columns)),
        false, this);
    lvSrchResult = new QTableView(this);
    lvSrchResult->setObjectName("lvSrchResult");
    lvSrchResult->setModel(Model);
    lvSrchResult->setSelectionBehavior(QAbstractItemView::SelectRows);
    lvSrchResult->setSelectionMode(QAbstractItemView::SingleSelection);
    lvSrchResult->setEditTriggers(QAbstractItemView::NoEditTriggers);
    lvSrchResult->setTabKeyNavigation(false); // Tab leaves the list instead of walking its cells
    lvSrchResult->setWordWrap(false);
    lvSrchResult->verticalHeader()->hide();
    Columns = new TColumnFit(lvSrchResult, LineColumn, MaxColumnChars);
    State = LoadWindowState(StateKey);
    Columns->State = &State;
    connect(lvSrchResult, &QTableView::doubleClicked, this,
            [this] { OpenWithMailer(LMDpfRunMail->Caption()); });
    layout->addWidget(lvSrchResult, 1);
    lbHits = new QLabel(this);
    lbHits->setObjectName("lbHits");
    layout->addWidget(lbHits);

    auto *buttons = new QHBoxLayout;
    buttons->setSpacing(2);
    LMDpfBegin = Panel("LMDpfBegin", "Begin");
    LMDpfClear = Panel("LMDpfClear", "Clear");
    LMDpfRunMail = Panel("LMDpfRunMail", "Run Mail");
    LMDpfSubRunMail = Panel("LMDpfSubRunMail", "v");
    LMDpfSubRunMail->setFixedWidth(DropPartWidth);
    LMDpfDelete = Panel("LMDpfDelete", " Delete");
    LMDpfHelp = Panel("LMDpfHelp", "Help");
    LMDpfClose = Panel("LMDpfClose", "Close");
    for (TCaptionPanel *panel : {LMDpfBegin, LMDpfClear, LMDpfRunMail, LMDpfSubRunMail, LMDpfDelete,
                                 LMDpfHelp, LMDpfClose})
        buttons->addWidget(panel, panel == LMDpfSubRunMail ? 0 : 1);
    layout->addLayout(buttons);
    pmRunMail = new QMenu(this);
    pmRunMail->setObjectName("pmRunMail");

    connect(LMDpfBegin, &TCaptionPanel::clicked, this, [this] {
        if (PButtons && PButtons->Press(LMDpfBegin)) {
            Begin();
            PButtons->Release(LMDpfBegin);
        }
    });
    connect(LMDpfClear, &TCaptionPanel::clicked, this, [this] {
        if (PButtons && PButtons->Press(LMDpfClear)) {
            Clear();
            PButtons->Release(LMDpfClear);
        }
    });
    connect(LMDpfRunMail, &TCaptionPanel::clicked, this, [this] {
        if (PButtons && PButtons->Press(LMDpfRunMail)) {
            OpenWithMailer(LMDpfRunMail->Caption());
            PButtons->Release(LMDpfRunMail);
        }
    });
    connect(LMDpfSubRunMail, &TCaptionPanel::clicked, this, [this] {
        FillMailerMenu(pmRunMail, [this](const std::string &name) { OpenWithMailer(name); });
        if (PButtons && PButtons->DropDown(LMDpfSubRunMail, pmRunMail))
            PButtons->ReleaseDropDown(LMDpfSubRunMail);
    });
    connect(LMDpfDelete, &TCaptionPanel::clicked, this, [this] {
        if (PButtons && PButtons->Press(LMDpfDelete)) {
            DeleteSelected();
            PButtons->Release(LMDpfDelete);
        }
    });
    connect(LMDpfHelp, &TCaptionPanel::clicked, this, [this] {
        if (PButtons && PButtons->Press(LMDpfHelp)) {
            contexthelp::ShowWindowHelp(this);
            PButtons->Release(LMDpfHelp);
        }
    });
    connect(LMDpfClose, &TCaptionPanel::clicked, this, [this] {
        if (PButtons && !PButtons->Press(LMDpfClose))
            return;
        if (Utils)
            Utils->Delay(500);
        close();
        if (PButtons)
            PButtons->Release(LMDpfClose);
    });
    // Opens with room for a dozen results: the rest of the window plus the list's header,
    // frame, scroll bar (the columns are wider than the window) and rows.
    const int listHeight = lvSrchResult->horizontalHeader()->sizeHint().height() +
                           2 * lvSrchResult->frameWidth() +
                           lvSrchResult->horizontalScrollBar()->sizeHint().height() +
                           ShownResultRows * lvSrchResult->verticalHeader()->defaultSectionSize();
    RestoreWindowSize(
        this, State,
        QSize(MinWidth, sizeHint().height() - lvSrchResult->sizeHint().height() + listHeight));
}

TfrmMailSearch::~TfrmMailSearch()
{
    KeepState();
}

void TfrmMailSearch::KeepState()
{
    if (!isVisible() && !State.HasSize() && Hits.empty())
        return; // never opened
    CaptureWindowSize(this, State);
    if (State.HasSize() && !SaveWindowState(StateKey, State) && Utils)
        Utils->DebugLog("The window's size could not be saved");
}

TCaptionPanel *TfrmMailSearch::Panel(const char *name, const char *caption)
{
    auto *panel = new TCaptionPanel(caption, this);
    panel->setObjectName(name);
    panel->setMinimumHeight(22);
    panel->setMinimumWidth(std::string(caption) == "v" ? DropPartWidth : 60);
    panel->setCursor(Qt::PointingHandCursor);
    return panel;
}

void TfrmMailSearch::ShowSearch()
{
    WhereButtons->button(int(TSearchWhere::Listed))->setChecked(true);
    LMDcbSearchStr->setEditText(QString());
    const int runMailWidth = ShowDefaultMailer(LMDpfRunMail);
    resize(std::max(width(), 5 * LMDpfBegin->minimumWidth() + runMailWidth + 20), height());
    show();
    raise();
    activateWindow();
    LMDcbSearchStr->setFocus();
}

TSearchOptions TfrmMailSearch::Options() const
{
    TSearchOptions options;
    options.Text = LMDcbSearchStr->currentText().toStdString();
    options.CaseSensitive = LMDcbxCaseSense->isChecked();
    options.WholeWord = LMDcbxWholeWord->isChecked();
    options.Where = TSearchWhere(std::max(0, WhereButtons->checkedId()));
    return options;
}

void TfrmMailSearch::Begin()
{
    const TSearchOptions options = Options();
    const QString text = ToQ(options.Text);
    if (LMDcbSearchStr->findText(text, Qt::MatchFixedString) < 0) {
        LMDcbSearchStr->addItem(text);
        LMDcbSearchStr->setEditText(text);
    }
    if (!SearchHandler)
        return;
    const TSearchResult result = SearchHandler(options);
    if (result.HitCount == 0) {
        Inform(searchtext::NotFound); // the previous rows stay
        return;
    }
    ShowHits(result);
}

void TfrmMailSearch::ShowHits(const TSearchResult &result)
{
    Hits = result.Hits;
    Rows.clear();
    Rows.reserve(Hits.size());
    for (const TSearchHit &hit : Hits) {
        TListRow row;
        row.Caption = hit.LineText;
        row.Cells = {hit.Date, hit.From, hit.Subject, hit.Path};
        Rows.push_back(std::move(row));
    }
    Model->Reload();
    Columns->Measure();
    Columns->WidenWindow(this); // every hit readable whole, within the screen
    lbHits->setText(size_t(result.HitCount) > Hits.size()
                        ? ToQ(Format(searchtext::HitsShown, result.HitCount, int(Hits.size())))
                        : ToQ(Format(searchtext::Hits, result.HitCount)));
}

void TfrmMailSearch::Clear()
{
    LMDcbxCaseSense->setChecked(false);
    LMDcbxWholeWord->setChecked(false);
    WhereButtons->button(int(TSearchWhere::Listed))->setChecked(true);
    Hits.clear();
    Rows.clear();
    Model->Reload();
    lbHits->clear();
}

int TfrmMailSearch::SelectedRow() const
{
    const QModelIndexList rows = lvSrchResult->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.first().row();
}

void TfrmMailSearch::OpenWithMailer(const std::string &mailerName)
{
    const int row = SelectedRow();
    if (row < 0 || row >= int(Hits.size()) || !Globals)
        return;
    OpenMessageWith(mailerName, Hits[size_t(row)].Path);
}

void TfrmMailSearch::DeleteSelected()
{
    const int row = SelectedRow();
    if (row < 0 || row >= int(Hits.size()))
        return;
    const std::string path = Hits[size_t(row)].Path;
    if (!Confirm(Format(browsertext::ConfirmDeleteOne, path.c_str())))
        return;
    TMessageBrowser::DeleteFiles({path});
    Hits.clear();
    Rows.clear();
    Model->Reload();
    Begin();
}

void TfrmMailSearch::closeEvent(QCloseEvent *event)
{
    KeepState();
    Clear();
    QWidget::closeEvent(event);
}

void TfrmMailSearch::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    const int half = std::max(0, width() / 2 - 24);
    LMDgbOptions->setGeometry(8, 0, half, LMDgbOptions->parentWidget()->height());
    LMDrgWhere->setGeometry(8 + half + 8, 0, half, LMDrgWhere->parentWidget()->height());
}
