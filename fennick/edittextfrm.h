// TEditTextFrm: the small text entry dialog of the alias manager, and EditText, which runs it.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QLineEdit;
class TCaptionPanel;

class TEditTextFrm : public QDialog
{
    Q_OBJECT
public:
    explicit TEditTextFrm(QWidget *owner = nullptr);

    QLabel *LMDpfTextEdit; // the prompt
    QLineEdit *LMDeText;
    TCaptionPanel *LMDpfApply;
    TCaptionPanel *LMDpfClose;

    bool Accepted() const { return Result; }

private:
    void LMDpfApplyClick();
    void LMDpfCloseClick();

    bool Result = false;
};

// Asks for a text of at most maxLength characters in a dialog with caption and prompt; text
// goes in as the proposal and comes out as the entry. With top and left both 0 the dialog is
// centred on owner. True when the user applied.
bool EditText(int top, int left, int maxLength, std::string &text, const std::string &prompt,
              const std::string &caption, QWidget *owner = nullptr);
