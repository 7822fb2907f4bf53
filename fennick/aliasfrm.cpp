#include "fennick/aliasfrm.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QListWidget>
#include <QMessageBox>
#include <QVBoxLayout>

#include "common/alias.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"
#include "fennick/edittextfrm.h"

namespace {

constexpr unsigned ButtonPauseMs = 200;
constexpr int MaxAliasLength = 64;
constexpr char AliasPrompt[] = "Alias:";
constexpr char AddCaption[] = "Add New Alias";
constexpr char EditCaption[] = "Edit Alias";
constexpr char SaveFailedFormat[] = "Can't save the alias list to %s.";

void Pause()
{
    if (Utils)
        Utils->Delay(ButtonPauseMs);
}

} // namespace

TAliasFrm::TAliasFrm(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                          Qt::CustomizeWindowHint)
{
    setWindowTitle("Edit Alias List");
    contexthelp::SetHelpKeyword(this, help::AliasManager);
    ShowMessage = [this](const std::string &text) {
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(text));
    };

    clbAlais = new QListWidget(this);
    clbAlais->setObjectName("clbAlais");
    LMDpfAdd = Panel("Add", "LMDpfAdd");
    LMDpfEdit = Panel("Edit", "LMDpfEdit");
    LMDpfRemove = Panel("Remove", "LMDpfRemove");
    LMDpfApply = Panel("Apply", "LMDpfApply");
    LMDpfHelp = Panel("Help", "LMDpfHelp");
    LMDpfClose = Panel("Close", "LMDpfClose");

    auto *buttons = new QVBoxLayout;
    for (TCaptionPanel *panel : {LMDpfAdd, LMDpfEdit, LMDpfRemove, LMDpfApply, LMDpfHelp})
        buttons->addWidget(panel);
    buttons->addStretch();
    buttons->addWidget(LMDpfClose);
    auto *layout = new QHBoxLayout(this);
    layout->addWidget(clbAlais, 1);
    layout->addLayout(buttons);
    resize(320, 260);

    connect(LMDpfAdd, &TCaptionPanel::clicked, this, &TAliasFrm::LMDpfAddClick);
    connect(LMDpfEdit, &TCaptionPanel::clicked, this, &TAliasFrm::LMDpfEditClick);
    connect(LMDpfRemove, &TCaptionPanel::clicked, this, &TAliasFrm::LMDpfRemoveClick);
    connect(LMDpfApply, &TCaptionPanel::clicked, this, &TAliasFrm::LMDpfApplyClick);
    connect(LMDpfHelp, &TCaptionPanel::clicked, this, &TAliasFrm::LMDpfHelpClick);
    connect(LMDpfClose, &TCaptionPanel::clicked, this, &TAliasFrm::LMDpfCloseClick);
    connect(clbAlais, &QListWidget::itemChanged, this, [this] { ListChanged(); });
}

TCaptionPanel *TAliasFrm::Panel(const char *caption, const char *name)
{
    auto *panel = new TCaptionPanel(caption, this);
    panel->setObjectName(name);
    panel->setMinimumSize(70, 22);
    panel->setCursor(Qt::PointingHandCursor);
    return panel;
}

bool TAliasFrm::Activate(const std::string &inboxFolder)
{
    AliasFile = AliasFilePath(inboxFolder);
    switch (LoadAliasList(AliasFile, Lines)) {
    case TAliasListLoad::Loaded:
        break;
    case TAliasListLoad::Unreadable:
        // Saving over a list that is there but cannot be read would empty it, and the monitor
        // would then take no mail for the mailbox.
        if (Utils)
            Utils->DebugLog("Can't read alias list %s", AliasFile.c_str());
        ShowMessage(Format(names::CantReadFile, AliasFile.c_str()));
        return false;
    case TAliasListLoad::Missing:
        if (!Lines.SaveToFile(AliasFile)) {
            if (Utils)
                Utils->DebugLog("Can't create alias list %s", AliasFile.c_str());
            return false;
        }
        break;
    }
    FillList();
    Applied = false;
    PButtons->SetEnabled(LMDpfApply, false);
    return true;
}

void TAliasFrm::FillList()
{
    const QSignalBlocker quiet(clbAlais);
    clbAlais->clear();
    for (const TAliasEntry &entry : AliasEntries(Lines))
        AddEntry(entry.Alias, entry.Active);
}

void TAliasFrm::AddEntry(const std::string &alias, bool active)
{
    auto *item = new QListWidgetItem(QString::fromStdString(alias));
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(active ? Qt::Checked : Qt::Unchecked);
    clbAlais->addItem(item);
}

QListWidgetItem *TAliasFrm::FirstSelected() const
{
    for (int i = 0; i < clbAlais->count(); ++i)
        if (clbAlais->item(i)->isSelected())
            return clbAlais->item(i);
    return nullptr;
}

void TAliasFrm::ListChanged()
{
    PButtons->SetEnabled(LMDpfApply, true);
}

// Asks for an alias until the user gives a usable one or cancels.
bool TAliasFrm::AskAlias(std::string &text, const char *caption)
{
    for (;;) {
        if (!EditText(0, 0, MaxAliasLength, text, AliasPrompt, caption, this))
            return false;
        std::string problem = AliasTextProblem(text);
        if (problem.empty())
            return true;
        ShowMessage(problem);
    }
}

void TAliasFrm::LMDpfAddClick()
{
    if (!PButtons->Press(LMDpfAdd))
        return;
    std::string text;
    if (AskAlias(text, AddCaption)) {
        const QSignalBlocker quiet(clbAlais);
        AddEntry(text, false);
        ListChanged();
    }
    PButtons->Release(LMDpfAdd);
}

void TAliasFrm::LMDpfEditClick()
{
    if (!PButtons->Press(LMDpfEdit))
        return;
    if (QListWidgetItem *item = FirstSelected()) {
        std::string text = item->text().toStdString();
        if (AskAlias(text, EditCaption)) {
            const QSignalBlocker quiet(clbAlais);
            item->setText(QString::fromStdString(text));
            ListChanged();
        }
    }
    PButtons->Release(LMDpfEdit);
}

void TAliasFrm::LMDpfRemoveClick()
{
    if (!PButtons->Press(LMDpfRemove))
        return;
    if (QListWidgetItem *item = FirstSelected()) {
        delete item;
        ListChanged();
        Pause();
    }
    PButtons->Release(LMDpfRemove);
}

void TAliasFrm::LMDpfApplyClick()
{
    if (!PButtons->Press(LMDpfApply))
        return;
    Applied = true;
    Pause();
    PButtons->Release(LMDpfApply);
    PButtons->SetEnabled(LMDpfApply, false);
}

void TAliasFrm::LMDpfHelpClick()
{
    if (!PButtons->Press(LMDpfHelp))
        return;
    contexthelp::ShowWindowHelp(this);
    PButtons->Release(LMDpfHelp);
}

void TAliasFrm::LMDpfCloseClick()
{
    if (!PButtons->Press(LMDpfClose))
        return;
    Pause();
    PButtons->Release(LMDpfClose);
    close();
}

void TAliasFrm::reject()
{
    close();
}

bool TAliasFrm::SaveIfApplied()
{
    if (!Applied)
        return true;
    std::vector<TAliasEntry> entries;
    for (int i = 0; i < clbAlais->count(); ++i) {
        const QListWidgetItem *item = clbAlais->item(i);
        entries.push_back({item->text().toStdString(), item->checkState() == Qt::Checked});
    }
    Lines = AliasListLines(entries);
    if (Lines.SaveToFile(AliasFile))
        return true;
    if (Utils)
        Utils->DebugLog(SaveFailedFormat, AliasFile.c_str());
    ShowMessage(Format(SaveFailedFormat, AliasFile.c_str()));
    return false;
}

void TAliasFrm::closeEvent(QCloseEvent *event)
{
    // A list that could not be saved keeps the window open, so the edits are not lost.
    if (SaveIfApplied())
        event->accept();
    else
        event->ignore();
}
