// TMailBoxEditFrm: the "Mailbox Properties" window. Three pages behind caption-panel tabs
// ("Mailbox", "Notification", "Rules") edit one mailbox record; the buttons start the companion
// programs on the mailbox's files. The window is thin: the rules of what is shown and stored
// are in mailboxedit.h.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

#include "common/listrows.h"
#include "common/records.h"
#include "korrind/mailboxedit.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QStackedWidget;
class QToolButton;
class TCaptionPanel;
class TSignInBox;

class TMailBoxEditFrm : public QDialog
{
public:
    explicit TMailBoxEditFrm(QWidget *parent = nullptr);

    // Runs the editor modally on record. Access to mailbox work (action 1) and the mailbox's
    // own password are asked first; refused, nothing is shown. With markChanged Apply starts
    // enabled. True (and record changed) only when Apply was used before the window closed;
    // the record then gets the values of the last Apply.
    // mailboxes and editedRow (−1 for a new mailbox) let the editor refuse a second mailbox
    // with the same user ID on the same server.
    // With signIn the browser sign-in starts as the editor opens (a mailbox whose sign-in
    // must be renewed).
    bool EditMailbox(TMailBoxRecord &record, bool markChanged, const TListRows &mailboxes,
                     int editedRow, bool signIn = false);

    // The folder the alert list lives in (the rules folder).
    std::function<std::string()> RulesFolder;
    // Plays a wave file to its end; tests replace it.
    std::function<void(const std::string &file)> PlaySound;

    bool Accepted = false;
    bool BoxProtected = false;
    std::string BoxPassword;

    // ---- pages
    TCaptionPanel *tsMailbox;
    TCaptionPanel *tsNotification;
    TCaptionPanel *tsRules;
    QStackedWidget *Pages;

    // "Mailbox"
    QLineEdit *LMDeUserID;
    QLineEdit *LMDePassword;
    QLineEdit *LMDeMailServer;
    QLineEdit *LMDeStorage;
    QCheckBox *LMDcbxLeaveOnServer;
    TSignInBox *SignInBox;
    TCaptionPanel *LMDpfBrowse1;
    TCaptionPanel *LMDpfInbox;

    // "Notification"
    QComboBox *LMDcmbMailArrival;
    QComboBox *LMDcmbPriorityMail;
    QToolButton *LMDsbPlayAlert1;
    QToolButton *LMDsbPlayAlert2;
    TCaptionPanel *LMDpfBrowseAlert1;
    TCaptionPanel *LMDpfBrowseAlert2;

    // "Rules"
    TCaptionPanel *LMDpfMgPriority;
    TCaptionPanel *LMDpfActivatePriority;
    TCaptionPanel *LMDpfSyncPriority;
    TCaptionPanel *LMDpfAliasList;
    TCaptionPanel *LMDpfActivateAlias;
    TCaptionPanel *LMDpfMgRejection;
    TCaptionPanel *LMDpfActivateReject;
    TCaptionPanel *LMDpfSyncReject;

    // Bottom bar
    TCaptionPanel *LMDpfAccept;
    TCaptionPanel *LMDpfPassword;
    TCaptionPanel *LMDpfHelp;
    TCaptionPanel *LMDpfClose;

    // ---- commands
    void ShowPage(int page);
    void LMDpfAcceptClick();
    void LMDpfCloseClick();
    void LMDpfBrowse1Click();
    void LMDpfInboxClick();
    void PlayAlert(QComboBox *box);
    void BrowseAlert(TCaptionPanel *button, QComboBox *box);
    void ManageList(TCaptionPanel *button, const char *listFile);
    void SyncList(TCaptionPanel *button, const char *listFile);
    void LMDpfAliasListClick();
    void ToggleList(TCaptionPanel *toggle);
    void LMDpfPasswordClick();
    void LMDpfHelpClick();

    bool ApplyEnabled() const { return ApplyOn; }
    // The values of the controls and the protection state.
    TMailboxFields Fields() const;

protected:
    void reject() override;
    // Only as high as this mailbox's controls: an earlier one may have shown more of them.
    void showEvent(QShowEvent *event) override;

private:
    QWidget *BuildMailboxPage();
    QWidget *BuildNotificationPage();
    QWidget *BuildRulesPage();
    TCaptionPanel *Panel(const char *name, const char *caption, const char *hint = nullptr);
    void ShowFields(const TMailboxFields &fields);
    void FillAlertBoxes(const std::string &arrival, const std::string &priority);
    // Why the controls' values cannot be stored ("" when they can).
    std::string Problem() const;
    // Apply's work: false (the user told why) when the controls' values can't be stored.
    bool Apply();
    // Whether the editor may close; asks about changes not applied yet.
    bool MayClose();
    void Changed();
    void SetApplyEnabled(bool enabled);
    void ShowMessage(const std::string &text);
    std::string RulesFolderPath() const;
    // storage/user/ (with the trailing separator), "" without a user ID.
    std::string MailboxFolder() const;

    TMailBoxRecord Original{}; // the record as the editor opened it
    TMailboxFields Applied;    // the values at the last Apply
    std::string DataRoot;
    const TListRows *Mailboxes = nullptr;
    int EditedRow = -1;
    bool ApplyOn = false;
    bool Filling = false;
    int UserIdMax = UserIdLimit; // the user ID's limit for this opening (UserIdLimitFor)
};
