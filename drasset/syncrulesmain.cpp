#include "drasset/syncrulesmain.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "common/globals.h"
#include "common/platform/folders.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"

namespace {

constexpr int TickMs = 1000;
constexpr char SourceTitle[] = "Rules Source";
constexpr char NetLogonTitle[] = "Net Logon";
constexpr char GuestPasswordLabel[] = "Password (empty for a guest logon)";
constexpr char SkippedReport[] =
    "These files were not synchronised because their partner does not exist:\n%s";

// The rules source: a folder on a mounted share, or a typed smb://host/share/…,
// //host/share/… or \\host\share\… location.
std::string AskRulesSource(QWidget *parent)
{
    QDialog dialog(parent);
    dialog.setWindowTitle(SourceTitle);
    auto *edit = new QLineEdit(&dialog);
    edit->setMinimumWidth(360);
    edit->setPlaceholderText("smb://server/share or a folder on a mounted share");
    auto *browse = new QPushButton("Browse...", &dialog);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    auto *row = new QHBoxLayout;
    row->addWidget(edit, 1);
    row->addWidget(browse);
    auto *layout = new QVBoxLayout(&dialog);
    layout->addLayout(row);
    layout->addWidget(buttons);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    QObject::connect(browse, &QPushButton::clicked, &dialog, [&] {
        const QString start = QString::fromStdString(platform::RuntimeFolder() + "/gvfs");
        const QString folder = QFileDialog::getExistingDirectory(&dialog, SourceTitle, start);
        if (!folder.isEmpty())
            edit->setText(folder);
    });
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return edit->text().trimmed().toStdString();
}

bool AskNetLogon(QWidget *parent, std::string &user, std::string &password)
{
    bool ok = false;
    const QString typed = QInputDialog::getText(
        parent, NetLogonTitle, "User Name", QLineEdit::Normal, QString::fromStdString(user), &ok);
    if (!ok)
        return false;
    user = typed.trimmed().toStdString();
    password = QInputDialog::getText(parent, NetLogonTitle, GuestPasswordLabel, QLineEdit::Password,
                                     "", &ok)
                   .toStdString();
    return ok;
}

} // namespace

TSyncRulesFrm::TSyncRulesFrm(QWidget *parent) : QWidget(parent)
{
    setObjectName("TSyncRulesFrm");
    setWindowTitle("Sync Mailbox Rules");
    setWindowFlag(Qt::Dialog); // a dialog: Esc presses "Cancel"
    contexthelp::SetHelpKeyword(this, help::RulesSync);
    ChooseRulesSource = [this] { return AskRulesSource(this); };
    ShowMessage = [this](const std::string &text) {
        QMessageBox::warning(this, "Warning", QString::fromStdString(text));
    };
    Sync.AskLogon = [this](std::string &user, std::string &password) {
        return AskNetLogon(this, user, password);
    };

    lblHeading = new QLabel("Syncing Rules Files", this);
    lblHeading->setObjectName("lblHeading");
    contexthelp::SetHelpContext(lblHeading, help::SyncHeading);
    LMDrbReplaceDest = new QRadioButton("Replace Destination Rules", this);
    LMDrbReplaceLocal = new QRadioButton("Replace Local Rules", this);
    LMDrbCombine = new QRadioButton("Combine Rules", this);
    contexthelp::SetHelpContext(LMDrbReplaceDest, help::SyncReplaceDestination);
    contexthelp::SetHelpContext(LMDrbReplaceLocal, help::SyncReplaceLocal);
    contexthelp::SetHelpContext(LMDrbCombine, help::SyncCombine);
    for (QRadioButton *button : {LMDrbReplaceDest, LMDrbReplaceLocal, LMDrbCombine}) {
        connect(button, &QRadioButton::clicked, this,
                [this] { PButtons->SetEnabled(LMDpfContinue, true); });
    }
    LMDrbReplaceDest->setObjectName("LMDrbReplaceDest");
    LMDrbReplaceLocal->setObjectName("LMDrbReplaceLocal");
    LMDrbCombine->setObjectName("LMDrbCombine");
    LMDpfContinue = Panel("Continue", "LMDpfContinue", help::SyncContinue);
    LMDpfHelp = Panel("Help", "LMDpfHelp", help::HelpButton);
    LMDpfCancel = Panel("Cancel", "LMDpfCancel", help::SyncCancel);
    StatusBar = new QLabel(this);
    StatusBar->setObjectName("StatusBar");
    StatusBar->setFrameShape(QFrame::StyledPanel);

    auto *buttons = new QHBoxLayout;
    for (TCaptionPanel *panel : {LMDpfContinue, LMDpfHelp, LMDpfCancel})
        buttons->addWidget(panel, 1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(lblHeading);
    for (QRadioButton *button : {LMDrbReplaceDest, LMDrbReplaceLocal, LMDrbCombine})
        layout->addWidget(button);
    layout->addLayout(buttons);
    layout->addWidget(StatusBar);

    connect(LMDpfContinue, &TCaptionPanel::clicked, this, [this] { LMDpfContinueClick(); });
    connect(LMDpfHelp, &TCaptionPanel::clicked, this, [this] { LMDpfHelpClick(); });
    connect(LMDpfCancel, &TCaptionPanel::clicked, this, [this] { LMDpfCancelClick(); });
    Timer1.setInterval(TickMs);
    Timer1.setSingleShot(true);
    connect(&Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
}

TSyncRulesFrm::~TSyncRulesFrm()
{
    Timer1.stop();
}

TCaptionPanel *TSyncRulesFrm::Panel(const char *caption, const char *name,
                                    help::TContext helpContext)
{
    auto *panel = new TCaptionPanel(caption, this);
    panel->setObjectName(name);
    panel->setMinimumHeight(22);
    panel->setCursor(Qt::PointingHandCursor);
    contexthelp::SetHelpContext(panel, helpContext);
    return panel;
}

bool TSyncRulesFrm::Activate(const TStringList &parameters)
{
    Timer1.stop();
    Sync.LocalDataRoot = Globals->DataRoot;
    LMDrbReplaceDest->setChecked(true);
    Sync.SyncFiles.Clear();
    for (const std::string &line : parameters)
        if (!Trim(line).empty())
            Sync.SyncFiles.Add(Trim(line));
    PButtons->SetEnabled(LMDpfContinue, true);
    return !Sync.SyncFiles.Empty();
}

uint16_t TSyncRulesFrm::SelectedMode() const
{
    if (LMDrbReplaceLocal->isChecked())
        return smReplaceLocal;
    return LMDrbCombine->isChecked() ? smCombine : smReplaceDestination;
}

void TSyncRulesFrm::SetStatus(const std::string &text)
{
    StatusBar->setText(QString::fromStdString(text));
}

void TSyncRulesFrm::SetRunning(bool running)
{
    for (QRadioButton *button : {LMDrbReplaceDest, LMDrbReplaceLocal, LMDrbCombine})
        button->setCursor(running ? Qt::WaitCursor : Qt::PointingHandCursor);
    PButtons->SetEnabled(LMDpfContinue, !running);
}

void TSyncRulesFrm::LMDpfContinueClick()
{
    if (!PButtons->Press(LMDpfContinue))
        return;
    const std::string source = ChooseRulesSource();
    PButtons->Release(LMDpfContinue);
    if (source.empty())
        return;
    Sync.RulesSource = source;
    Sync.SyncMode = SelectedMode();
    SetRunning(true);
    Timer1.start();
}

void TSyncRulesFrm::Timer1Timer()
{
    TUtils::ProcessMessages();
    Timer1.stop();
    if (Sync.SyncFiles.Empty())
        return Finish();
    const std::string file = Sync.SyncFiles[0];
    SetStatus(Format(ProcessingStatus, file.substr(file.find_last_of('/') + 1).c_str()));
    if (!Sync.SyncNext()) {
        SetStatus(SyncErrorStatus);
        SetRunning(false); // the file stays queued; "Continue" asks for a source again
        ShowMessage(Sync.LastError);
        return;
    }
    if (Sync.SyncFiles.Empty())
        return Finish();
    Timer1.start();
}

void TSyncRulesFrm::Finish()
{
    if (!Sync.Skipped.Empty())
        ShowMessage(Format(SkippedReport, JoinText(Sync.Skipped.Items(), "\n").c_str()));
    close();
}

void TSyncRulesFrm::LMDpfHelpClick()
{
    if (!PButtons->Press(LMDpfHelp))
        return;
    contexthelp::ShowWindowHelp(this);
    PButtons->Release(LMDpfHelp);
}

void TSyncRulesFrm::LMDpfCancelClick()
{
    if (!PButtons->Press(LMDpfCancel))
        return;
    PButtons->Release(LMDpfCancel);
    Timer1.stop();
    Utils->Delay(500);
    close();
}
