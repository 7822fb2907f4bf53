// TPasswordf: the one small modal password dialog of the program, used for every prompt (verify
// a password, enter a new one, verify the new one). Install() makes it the prompt of the
// password logic (common/password.h).
#pragma once

#include <QDialog>

#include "common/password.h"

class QCheckBox;
class QGroupBox;
class QLineEdit;
class TCaptionPanel;

class TPasswordf : public QDialog
{
    Q_OBJECT
public:
    explicit TPasswordf(QWidget *owner = nullptr);
    ~TPasswordf() override;

    // Makes this dialog the prompt of RunPasswordDialog; undone when the dialog is destroyed.
    void Install();

    // Shows the dialog modally in mode and answers what the user did.
    TPasswordEntry Run(TPasswordMode mode, bool active, std::size_t maxLength);

    QGroupBox *LMDpfPassword;
    QLineEdit *LMDePassword;
    QCheckBox *LMDcbxActivatePasswords;
    TCaptionPanel *LMDpfContinue;
    TCaptionPanel *LMDpfCancel;

protected:
    void showEvent(QShowEvent *event) override;

private:
    void LMDpfContinueClick();
    void LMDpfCancelClick();
    void LMDcbxActivatePasswordsChange(bool checked);

    bool Result = false;
    bool Active = false;
    bool Installed = false;
};
