#include "common/ui/passwordfrm.h"

#include <QCheckBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>

#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/fieldentry.h"
#include "common/ui/panelbuttons.h"

namespace {

// Runs a panel's command under the panel-button guard when the program has one.
bool PressPanel(TCaptionPanel *panel)
{
    return !PButtons || PButtons->Press(panel);
}

void ReleasePanel(TCaptionPanel *panel)
{
    if (PButtons)
        PButtons->Release(panel);
}

} // namespace

TPasswordf::TPasswordf(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
{
    setWindowTitle(PasswordCaption);
    contexthelp::SetHelpKeyword(this, help::Password);
    setModal(true);

    LMDpfPassword = new QGroupBox(PromptVerify, this);
    LMDePassword = new QLineEdit(LMDpfPassword);
    LMDePassword->setEchoMode(QLineEdit::Password);
    LMDePassword->setStyleSheet("lineedit-password-character: 42"); // every character as "*"
    LMDcbxActivatePasswords = new QCheckBox(ActivateCaption, LMDpfPassword);
    auto *inner = new QVBoxLayout(LMDpfPassword);
    inner->addWidget(LMDePassword);
    inner->addWidget(LMDcbxActivatePasswords);

    LMDpfContinue = new TCaptionPanel("Continue", this);
    LMDpfCancel = new TCaptionPanel("Cancel", this);
    for (TCaptionPanel *panel : {LMDpfContinue, LMDpfCancel}) {
        panel->setMinimumSize(80, 24);
        panel->setCursor(Qt::PointingHandCursor);
    }
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(LMDpfContinue);
    buttons->addWidget(LMDpfCancel);

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(LMDpfPassword);
    layout->addLayout(buttons);

    connect(LMDpfContinue, &TCaptionPanel::clicked, this, &TPasswordf::LMDpfContinueClick);
    connect(LMDpfCancel, &TCaptionPanel::clicked, this, &TPasswordf::LMDpfCancelClick);
    connect(LMDePassword, &QLineEdit::returnPressed, this, &TPasswordf::LMDpfContinueClick);
    connect(LMDcbxActivatePasswords, &QCheckBox::toggled, this,
            &TPasswordf::LMDcbxActivatePasswordsChange);
}

TPasswordf::~TPasswordf()
{
    if (Installed)
        SetPasswordPrompt(nullptr);
}

void TPasswordf::Install()
{
    SetPasswordPrompt([this](TPasswordMode mode, bool active, std::size_t maxLength) {
        return Run(mode, active, maxLength);
    });
    Installed = true;
}

TPasswordEntry TPasswordf::Run(TPasswordMode mode, bool active, std::size_t maxLength)
{
    Result = false;
    Active = active;
    LMDePassword->clear();
    LMDePassword->setEnabled(true);
    LMDcbxActivatePasswords->setEnabled(true);
    LMDcbxActivatePasswords->setVisible(true);
    LMDcbxActivatePasswords->setChecked(active);
    LMDePassword->setEnabled(active);
    ClearEntryLimit(LMDePassword);

    switch (mode) {
    case pmVerify:
    case pmVerifyNew:
        LMDpfPassword->setTitle(mode == pmVerify ? PromptVerify : PromptVerifyNew);
        LMDcbxActivatePasswords->setVisible(false);
        LMDcbxActivatePasswords->setEnabled(false);
        LMDePassword->setEnabled(true);
        break;
    case pmNewPassword:
        LMDpfPassword->setTitle(PromptNew);
        // The field's size in bytes bounds what can be typed, so a new password always fits
        // its record, whatever characters it has.
        SetEntryLimit(LMDePassword, int(maxLength));
        break;
    }

    exec();

    TPasswordEntry entry;
    entry.Accepted = Result;
    entry.Text = LMDePassword->text().toStdString();
    entry.Activate = LMDcbxActivatePasswords->isChecked();
    LMDePassword->clear(); // the entry does not linger in the dialog
    return entry;
}

void TPasswordf::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    if (LMDcbxActivatePasswords->isVisible())
        LMDcbxActivatePasswords->setChecked(Active);
    if (LMDePassword->isEnabled())
        LMDePassword->setFocus();
}

void TPasswordf::LMDpfContinueClick()
{
    if (!PressPanel(LMDpfContinue))
        return;
    Result = true;
    ReleasePanel(LMDpfContinue);
    accept();
}

void TPasswordf::LMDpfCancelClick()
{
    if (!PressPanel(LMDpfCancel))
        return;
    Result = false;
    ReleasePanel(LMDpfCancel);
    reject();
}

void TPasswordf::LMDcbxActivatePasswordsChange(bool checked)
{
    LMDePassword->setEnabled(checked);
    if (checked)
        LMDePassword->setFocus();
}
