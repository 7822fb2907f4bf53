// The "Out Going Mail Server" window: edits the outgoing server, password, user name and user
// ID of the settings record. Its answer tells the caller what happened: 0 closed, 1 applied
// (the four texts were copied back), 2 the mailbox import ran (reload mailboxes and settings).
#pragma once

#include <QDialog>
#include <functional>

#include "common/records.h"

class QLineEdit;
class TCaptionPanel;
class TSignInBox;

class TfrmOutgoingServer : public QDialog
{
public:
    static constexpr int AnswerClosed = 0;
    static constexpr int AnswerApplied = 1;
    static constexpr int AnswerImported = 2;

    explicit TfrmOutgoingServer(QWidget *parent = nullptr);

    // Fills the boxes from config, shows the window modally and, after Apply, copies the texts
    // back into config and stores the sign-in choice. Answers the window's answer.
    int Execute(TConfigRecord &config);

    // Starts the mailbox import program and waits for it; true when it was started.
    std::function<bool()> StartImport;

    int Answer = AnswerClosed;

    QLineEdit *LMDeMailServer;
    QLineEdit *LMDePassword;
    QLineEdit *LMDeUserName;
    QLineEdit *LMDeUserID;
    TSignInBox *SignInBox;
    TCaptionPanel *LMDpfApply;
    TCaptionPanel *LMDpfLoad;
    TCaptionPanel *LMDpfClose;
    TCaptionPanel *LMDpfHelp;

    void FormShow(const TConfigRecord &config);
    void StoreInto(TConfigRecord &config) const;
    void LMDpfApplyClick();
    void LMDpfLoadClick();
    void LMDpfCloseClick();
    void LMDpfHelpClick();

private:
    void EnableApply(bool enabled);
    void StoreSignIn(const TConfigRecord &config) const;

    std::string DataRoot;
};
