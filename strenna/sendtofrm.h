// TfrmSendTo ("Send To", "Forward Message"): forwards one saved message to an address typed or
// picked from the address book, with an optional note above the text. A failed send keeps the
// dialog open and shows why.
#pragma once

#include <QDialog>

#include "strenna/sendto.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;
class TCaptionPanel;

class TfrmSendTo : public QDialog
{
public:
    explicit TfrmSendTo(QWidget *parent = nullptr);

    // Opens the dialog modally on a message; the address typed is stored when it closes.
    void ShowForward(const std::string &file, const std::string &account);
    // The steps of ShowForward around the modal wait (tests drive the dialog in between).
    void Prepare(const std::string &file, const std::string &account);
    void Finish();
    // "Send": true when the message went out (the dialog then closes).
    bool SendClick();

    TSendTo SendTo;
    QComboBox *LMDcbSendTo;
    QLineEdit *LMDeSubject;
    QPlainTextEdit *mMsgBody;
    TCaptionPanel *LMDpfSend, *LMDpfCancel, *LMDpfHelp, *LMDpfStatusBar;
};
