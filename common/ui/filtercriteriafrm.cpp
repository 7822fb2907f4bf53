#include "common/ui/filtercriteriafrm.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include "common/alerts.h"
#include "common/names.h"
#include "common/platform/folders.h"
#include "common/stringlist.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/placement.h"
#include "common/ui/sound.h"
#include "common/utils.h"

namespace {

const char NoAlertName[] = "-none-";
const char FolderDialogTitle[] = "Set Path to Alternet Inbox";
const char AlertFilter[] = "*.wav (*.wav);;All Files (*)";

QString ToQ(const std::string &text)
{
    return QString::fromStdString(text);
}

std::string FromQ(const QString &text)
{
    return text.toStdString();
}

std::string ComboText(const QComboBox *box)
{
    return FromQ(box->currentText());
}

// Sets an editable box's text only when it differs, so typing keeps its cursor.
void SetComboText(QComboBox *box, const std::string &text)
{
    if (ComboText(box) != text)
        box->setEditText(ToQ(text));
}

void FillCombo(QComboBox *box, const std::vector<std::string> &items)
{
    box->clear();
    for (const std::string &item : items)
        box->addItem(ToQ(item));
}

QComboBox *EditableCombo(QWidget *parent)
{
    auto *box = new QComboBox(parent);
    box->setEditable(true);
    box->setInsertPolicy(QComboBox::NoInsert);
    box->setContextMenuPolicy(Qt::CustomContextMenu);
    return box;
}

// Two or three radio buttons in one exclusive group, ids from 0.
QButtonGroup *RadioGroup(QWidget *parent, QBoxLayout *layout,
                         std::initializer_list<const char *> captions)
{
    auto *group = new QButtonGroup(parent);
    int id = 0;
    for (const char *caption : captions) {
        auto *button = new QRadioButton(caption, parent);
        group->addButton(button, id++);
        layout->addWidget(button);
    }
    return group;
}

std::vector<std::string> AlertNames(const std::string &rulesFolder)
{
    const TStringList alerts = ReadAlerts(rulesFolder);
    std::vector<std::string> names;
    for (int i = 0; i < alerts.Count(); ++i)
        names.push_back(alerts.Names(i));
    return names;
}

} // namespace

TfrmFilterCriteria::TfrmFilterCriteria(const std::string &rulesFolder, QWidget *parent)
    : QDialog(parent), rulesFolder(rulesFolder),
      destinations(TUtils::AddBackslash(rulesFolder) + names::AddressBookFile),
      altFolders(TUtils::AddBackslash(rulesFolder) + names::AltPathFile)
{
    setWindowTitle(RuleEditorTitle);
    contexthelp::SetHelpKeyword(this, help::RuleEditor);
    tsPages = new QTabWidget(this);
    tsPages->addTab(BuildCriteriaPage(), "Criteria");
    tsPages->addTab(BuildActionsPage(), "Actions");

    LMDpfAccept = new TCaptionPanel("Apply", this);
    LMDpfCancel = new TCaptionPanel("Cancel", this);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    for (TCaptionPanel *panel : {LMDpfAccept, LMDpfCancel}) {
        panel->setMinimumSize(72, 24);
        buttons->addWidget(panel);
    }
    connect(LMDpfAccept, &TCaptionPanel::clicked, this, [this] { LMDpfAcceptClick(); });
    connect(LMDpfCancel, &TCaptionPanel::clicked, this, [this] { LMDpfCancelClick(); });

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(tsPages);
    layout->addLayout(buttons);
    ConnectChanges();
}

QWidget *TfrmFilterCriteria::BuildCriteriaPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);

    auto *matchBy = new QGroupBox("Match By", page);
    auto *matchLayout = new QHBoxLayout(matchBy);
    rgMatchBy = RadioGroup(matchBy, matchLayout, {"Both", "Address", "Subject"});
    layout->addWidget(matchBy);

    auto addPatternGroup = [&](const char *caption, QComboBox *&edit, QButtonGroup *&mode,
                               QComboBox *&quick, const char *const *quickItems, int count) {
        auto *group = new QGroupBox(caption, page);
        auto *grid = new QVBoxLayout(group);
        edit = EditableCombo(group);
        grid->addWidget(edit);
        auto *row = new QHBoxLayout;
        mode = RadioGroup(group, row, {"Contains", "Exact Match"});
        row->addStretch();
        row->addWidget(new QLabel("Quick Edits", group));
        quick = new QComboBox(group);
        for (int i = 0; i < count; ++i)
            quick->addItem(quickItems[i]);
        row->addWidget(quick);
        grid->addLayout(row);
        layout->addWidget(group);
    };
    addPatternGroup("Address Edit", cbAddress, rgAddressMode, cbAddressQuick, AddressQuickEdits,
                    std::size(AddressQuickEdits));
    addPatternGroup("Subject Edit", cbSubject, rgSubjectMode, cbSubjectQuick, SubjectQuickEdits,
                    std::size(SubjectQuickEdits));

    auto *alert = new QGroupBox("E-mail Audio Alert", page);
    auto *alertLayout = new QHBoxLayout(alert);
    alertLayout->addWidget(new QLabel("Audio Alert for priority mail arrival", alert));
    cbAlert = new QComboBox(alert);
    alertLayout->addWidget(cbAlert, 1);
    LMDpfPlayAlert = new TCaptionPanel("Play", alert);
    LMDpfBrowseAlert = new TCaptionPanel("Browse for Audio Alert", alert);
    alertLayout->addWidget(LMDpfPlayAlert);
    alertLayout->addWidget(LMDpfBrowseAlert);
    connect(LMDpfPlayAlert, &TCaptionPanel::clicked, this, [this] { LMDpfPlayAlertClick(); });
    connect(LMDpfBrowseAlert, &TCaptionPanel::clicked, this, [this] { LMDpfBrowseAlertClick(); });
    layout->addWidget(alert);
    layout->addStretch();
    return page;
}

QWidget *TfrmFilterCriteria::BuildActionsPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);

    auto *forward = new QGroupBox("Forward", page);
    auto *grid = new QGridLayout(forward);
    LMDcbForward = new QCheckBox("Forward this message", forward);
    LMDcbToMobile = new QCheckBox("Forward is to a Mobil Phone", forward);
    LMDseMaxSize = new QSpinBox(forward);
    LMDseMaxSize->setRange(MinMaxSize, MaxMaxSize);
    cbDestination = EditableCombo(forward);
    grid->addWidget(LMDcbForward, 0, 0);
    grid->addWidget(LMDcbToMobile, 0, 1);
    grid->addWidget(new QLabel("Maximum Message Size", forward), 1, 0);
    grid->addWidget(LMDseMaxSize, 1, 1);
    grid->addWidget(new QLabel("Destination Address", forward), 2, 0);
    grid->addWidget(cbDestination, 2, 1);
    layout->addWidget(forward);

    auto *save = new QGroupBox("Save", page);
    auto *saveLayout = new QGridLayout(save);
    LMDcbSaveToInbox = new QCheckBox("Save message to Inbox", save);
    LMDcbDelete = new QCheckBox("Delete message from server", save);
    LMDcbAutoSave = new QCheckBox("Auto Save to Alternate Folder", save);
    cbAltFolder = EditableCombo(save);
    LMDpfBrowseFolder = new TCaptionPanel("Browse for Folder", save);
    saveLayout->addWidget(LMDcbSaveToInbox, 0, 0);
    saveLayout->addWidget(LMDcbDelete, 0, 1);
    saveLayout->addWidget(LMDcbAutoSave, 1, 0);
    saveLayout->addWidget(cbAltFolder, 2, 0);
    saveLayout->addWidget(LMDpfBrowseFolder, 2, 1);
    connect(LMDpfBrowseFolder, &TCaptionPanel::clicked, this, [this] { LMDpfBrowseFolderClick(); });
    layout->addWidget(save);
    layout->addStretch();
    return page;
}

void TfrmFilterCriteria::ConnectChanges()
{
    auto plain = [this] { Change([] {}); };
    for (QComboBox *box : {cbAddress, cbSubject, cbDestination, cbAltFolder})
        connect(box, &QComboBox::editTextChanged, this, plain);
    connect(cbAlert, &QComboBox::currentIndexChanged, this, plain);
    for (QButtonGroup *group : {rgAddressMode, rgSubjectMode})
        connect(group, &QButtonGroup::idClicked, this, plain);
    for (QCheckBox *box : {LMDcbForward, LMDcbToMobile, LMDcbSaveToInbox, LMDcbDelete})
        connect(box, &QCheckBox::toggled, this, plain);
    connect(LMDseMaxSize, &QSpinBox::valueChanged, this, plain);
    connect(LMDcbAutoSave, &QCheckBox::toggled, this,
            [this](bool on) { Change([this, on] { state.SetSaveToAltFolder(on); }); });
    connect(rgMatchBy, &QButtonGroup::idClicked, this, [this](int id) {
        Change([this, id] { state.SetMatchBy(static_cast<TRuleEditState::TMatchBy>(id)); });
    });
    connect(cbAddressQuick, &QComboBox::activated, this, [this](int index) {
        Change([this, index] {
            state.AddressQuickEdit(static_cast<TRuleEditState::TAddressQuickEdit>(index));
        });
    });
    connect(cbSubjectQuick, &QComboBox::activated, this, [this](int index) {
        Change([this, index] {
            state.SubjectQuickEdit(static_cast<TRuleEditState::TSubjectQuickEdit>(index));
        });
    });
    connect(cbDestination, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { HistoryMenu(cbDestination, destinations, pos); });
    connect(cbAltFolder, &QWidget::customContextMenuRequested, this,
            [this](const QPoint &pos) { HistoryMenu(cbAltFolder, altFolders, pos); });
}

// Every change goes through the state; the controls then show what the state says.
void TfrmFilterCriteria::Change(const std::function<void()> &change)
{
    if (showing)
        return;
    ReadControls();
    change();
    state.Changed();
    ShowState();
}

void TfrmFilterCriteria::ReadControls()
{
    state.AddressText = ComboText(cbAddress);
    state.SubjectText = ComboText(cbSubject);
    state.AddressMode = rgAddressMode->checkedId() == mmExact ? mmExact : mmContains;
    state.SubjectMode = rgSubjectMode->checkedId() == mmExact ? mmExact : mmContains;
    state.AlertName = ComboText(cbAlert);
    state.Forward = LMDcbForward->isChecked();
    state.ToMobile = LMDcbToMobile->isChecked();
    state.MaxSize = LMDseMaxSize->value();
    state.ForwardTo = ComboText(cbDestination);
    state.SaveToInbox = LMDcbSaveToInbox->isChecked();
    state.DeleteFromServer = LMDcbDelete->isChecked();
    state.SaveToAltFolder = LMDcbAutoSave->isChecked();
    state.AltFolder = ComboText(cbAltFolder);
}

void TfrmFilterCriteria::ShowState()
{
    showing = true;
    rgMatchBy->button(state.MatchBy)->setChecked(true);
    SetComboText(cbAddress, state.AddressText);
    SetComboText(cbSubject, state.SubjectText);
    cbAddress->setEnabled(state.AddressEnabled);
    cbAddressQuick->setEnabled(state.AddressEnabled);
    cbSubject->setEnabled(state.SubjectEnabled);
    cbSubjectQuick->setEnabled(state.SubjectEnabled);
    rgAddressMode->button(state.AddressMode)->setChecked(true);
    rgSubjectMode->button(state.SubjectMode)->setChecked(true);
    LMDcbForward->setChecked(state.Forward);
    LMDcbToMobile->setChecked(state.ToMobile);
    LMDseMaxSize->setValue(state.MaxSize);
    SetComboText(cbDestination, state.ForwardTo);
    LMDcbSaveToInbox->setChecked(state.SaveToInbox);
    LMDcbDelete->setChecked(state.DeleteFromServer);
    LMDcbAutoSave->setChecked(state.SaveToAltFolder);
    SetComboText(cbAltFolder, state.AltFolder);
    cbAltFolder->setEnabled(state.AltFolderEnabled);
    ShowPanelEnabled(LMDpfBrowseFolder, state.AltFolderEnabled);
    ShowPanelEnabled(LMDpfAccept, state.ApplyEnabled);
    showing = false;
}

// Changes a panel's look only when its state changes (the change pumps events).
void TfrmFilterCriteria::ShowPanelEnabled(TCaptionPanel *panel, bool enabled)
{
    auto shown = panelsShown.find(panel);
    if (shown != panelsShown.end() && shown->second == enabled)
        return;
    panelsShown[panel] = enabled;
    if (PButtons)
        PButtons->SetEnabled(panel, enabled);
    else
        panel->setEnabled(enabled);
}

void TfrmFilterCriteria::FillAlerts()
{
    std::vector<std::string> names = AlertNames(rulesFolder);
    // A rule's alert that the list no longer knows is kept rather than dropped.
    if (!state.AlertName.empty() &&
        std::none_of(names.begin(), names.end(),
                     [this](const std::string &name) { return SameText(name, state.AlertName); }))
        names.push_back(state.AlertName);
    FillCombo(cbAlert, names);
    int index = cbAlert->findText(ToQ(state.AlertName), Qt::MatchFixedString);
    cbAlert->setCurrentIndex(index);
}

void TfrmFilterCriteria::FillHistory(QComboBox *box, THistoryList &history)
{
    history.Load();
    FillCombo(box, history.Entries.Items());
}

void TfrmFilterCriteria::Open(const std::string &caption, bool blank, const TRuleFields &fields)
{
    showing = true;
    accepted = false;
    state.Open(blank, fields);
    setWindowTitle(ToQ(caption.empty() ? std::string(RuleEditorTitle) : caption));
    FillCombo(cbAddress, state.AddressList);
    FillCombo(cbSubject, state.SubjectList);
    FillAlerts();
    FillHistory(cbDestination, destinations);
    FillHistory(cbAltFolder, altFolders);
    cbDestination->setToolTip(ToQ(state.ForwardTo));
    cbAltFolder->setToolTip(ToQ(state.AltFolder));
    cbAddressQuick->setCurrentIndex(0);
    cbSubjectQuick->setCurrentIndex(0);
    tsPages->setCurrentIndex(0);
    // One size whatever window opens the editor: the layout's own, wider for long patterns.
    const QSize natural = sizeHint();
    resize(std::max(natural.width(), state.WindowWidth()), natural.height());
    ShowState();
}

bool TfrmFilterCriteria::Execute(const std::string &caption, bool blank, TRuleFields &fields)
{
    Open(caption, blank, fields);
    exec();
    if (!accepted)
        return false;
    fields = state.Fields();
    return true;
}

void TfrmFilterCriteria::Install(std::function<std::string()> rulesFolder)
{
    SetRuleEditor([rulesFolder](const std::string &caption, bool blank, TRuleFields &fields) {
        TfrmFilterCriteria editor(rulesFolder ? rulesFolder() : std::string(), OpenerWindow());
        return editor.Execute(caption, blank, fields);
    });
}

void TfrmFilterCriteria::HistoryMenu(QComboBox *box, THistoryList &history, const QPoint &pos)
{
    QMenu menu(this);
    QAction *remove = menu.addAction("Delete");
    std::string text = ComboText(box);
    remove->setEnabled(history.CanDelete(text));
    if (menu.exec(box->mapToGlobal(pos)) != remove)
        return;
    history.Delete(text);
    FillCombo(box, history.Entries.Items());
    box->setEditText(QString());
}

void TfrmFilterCriteria::LMDpfAcceptClick()
{
    if (PButtons && !PButtons->Press(LMDpfAccept))
        return;
    ReadControls();
    if (!state.CanApply()) {
        QMessageBox::warning(this, "Warning", EmptyRuleMessage);
    } else {
        destinations.Save(state.ForwardTo);
        altFolders.Save(state.AltFolder);
        accepted = true;
    }
    if (PButtons)
        PButtons->Release(LMDpfAccept);
    if (accepted)
        accept();
}

void TfrmFilterCriteria::LMDpfCancelClick()
{
    if (PButtons && !PButtons->Press(LMDpfCancel))
        return;
    accepted = false;
    if (PButtons)
        PButtons->Release(LMDpfCancel);
    reject();
}

void TfrmFilterCriteria::LMDpfBrowseFolderClick()
{
    if (PButtons && !PButtons->Press(LMDpfBrowseFolder))
        return;
    QString folder =
        QFileDialog::getExistingDirectory(this, FolderDialogTitle, cbAltFolder->currentText());
    if (!folder.isEmpty())
        cbAltFolder->setEditText(folder);
    if (PButtons)
        PButtons->Release(LMDpfBrowseFolder);
}

void TfrmFilterCriteria::LMDpfBrowseAlertClick()
{
    if (PButtons && !PButtons->Press(LMDpfBrowseAlert))
        return;
    std::string start = TUtils::AddBackslash(platform::DocumentsFolder()) + names::MyAlertsFolder;
    QString file =
        QFileDialog::getOpenFileName(this, "Browse for Audio Alert", ToQ(start), AlertFilter);
    if (!file.isEmpty()) {
        std::string name = AlertNameFor(rulesFolder, FromQ(file));
        if (!name.empty()) {
            // Refilling the list must not read the box back before the new name is chosen.
            showing = true;
            state.AlertName = name;
            FillAlerts();
            showing = false;
            Change([] {});
        }
    }
    if (PButtons)
        PButtons->Release(LMDpfBrowseAlert);
}

void TfrmFilterCriteria::LMDpfPlayAlertClick()
{
    if (PButtons && !PButtons->Press(LMDpfPlayAlert))
        return;
    std::string name = ComboText(cbAlert);
    if (!name.empty() && !SameText(name, NoAlertName)) {
        std::string file = AlertFile(rulesFolder, name);
        if (!file.empty())
            platform::PlayWaveFile(file, [] {
                TUtils::ProcessMessages();
                return !TUtils::Terminating();
            });
    }
    if (PButtons)
        PButtons->Release(LMDpfPlayAlert);
}
