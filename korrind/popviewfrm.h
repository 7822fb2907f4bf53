// TCorvexFrm: the monitor's main window. Four pages behind caption-panel tabs ("Summary",
// "Mailboxes", "Operation", "Preferences"), the bottom bar, the status bar and the tray icon.
// The window is thin: it shows the rows and settings the logic (TCorvexMonitor) keeps, reads
// the controls back, and forwards commands to the logic.
#pragma once

#include <QMainWindow>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/records.h"
#include "korrind/maillistfrm.h"
#include "korrind/popview.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QListWidget;
class QMenu;
class QRadioButton;
class QSlider;
class QSpinBox;
class QStackedWidget;
class QTableView;
class TAboutFrm;
class TDesktopNotifier;
struct TNewMailNote;
class TCaptionPanel;
class TMailBoxEditFrm;
class TMailListFrm;
class TPasswordf;
class TRowModel;
class TTrayView;
class TfrmOutgoingServer;
class TfrmProxyServer;
class TfrmWhatToDo;

// Fixed texts and sizes of the main window.
namespace windowtext {
inline constexpr char RemoveQuestion[] = "\nDelete %s Mail Box from list?\n";
inline constexpr char RulesFolderTitle[] = "Set Path to Filter Files";
inline constexpr char NewMessageTarget[] = "mailto:";
// The status bar's note: why the selected Summary row timed out, or that edited mailboxes wait.
inline constexpr char RowCauseNote[] = "  %s: %s";
inline constexpr char ApplyWaitsNote[] = "  Press Apply to save the mail boxes and check them";
} // namespace windowtext

inline constexpr int MainMinWidth = 470;
inline constexpr int MainMinHeight = 240;
inline constexpr int SettingsPageHeight = 292; // Operation and Preferences need this much
inline constexpr int TabHeight = 20;
inline constexpr int QueryIntervalMax = 1092; // minutes: × 60 must fit 16 bits
inline constexpr int SecurityLevelMax = 7;    // the highest action number

class TCorvexFrm : public QMainWindow, public TMonitorWindow
{
    Q_OBJECT
public:
    // Creates the logic (and with it the process-wide objects), then the controls.
    explicit TCorvexFrm(QWidget *parent = nullptr);
    ~TCorvexFrm() override;

    std::unique_ptr<TCorvexMonitor> Monitor;

    // ---- TMonitorWindow
    void SetStatusText(const std::string &text) override;
    void SetProgress(int position) override;
    void SetBusyCursors(bool busy) override;
    void RowsChanged(bool mailboxesToo) override;
    bool IsWindowVisible() const override;
    void ShowWindow() override;
    void HideWindow() override;
    void SetTopmost(bool topmost) override;
    void ShowPage(TMonitorPage page) override;
    TMonitorPage CurrentPage() const override;
    void FocusCheckNow() override;
    bool MailListVisible() const override;
    void ShowTrayIcon(TTrayIcon &tray) override;
    void ShowSettings() override;
    void LayoutButtonBars() override;
    bool ApplyEnabled() const override;
    void SetApplyEnabled(bool enabled) override;
    bool ApplyChanges() override;
    void FillMailerBox(const TStringList &mailerList) override;
    bool SelectMailer(const std::string &name) override;
    TWindowPos WindowPosition() const override;
    void SetWindowPosition(const TWindowPos &position) override;
    bool PressExitButton() override;
    void ReleaseExitButton() override;
    TAnswer AskYesNo(const std::string &text, const std::string &caption) override;
    void ShowMessage(const std::string &text) override;

    // The values of the settings controls, as WindowToSettings takes them.
    TSettingsControls ReadControls() const;

    // ---- page tabs and pages
    TCaptionPanel *tsSummary;
    TCaptionPanel *tsMailboxes;
    TCaptionPanel *tsOperation;
    TCaptionPanel *tsPreferences;
    QStackedWidget *Pages;

    // "Summary"
    TCaptionPanel *LMDpfCheckNow;
    TCaptionPanel *LMDpfListMail;
    TCaptionPanel *LMDpfListMailDrop;
    TCaptionPanel *LMDpfNewMsg;
    QSpinBox *LMDseQueryInterval;
    QTableView *lvSummary;

    // "Mailboxes"
    QTableView *lvMailBoxes;
    TCaptionPanel *LMDpfSyncAll;
    TCaptionPanel *LMDpfAdd;
    TCaptionPanel *LMDpfEdit;
    TCaptionPanel *LMDpfInbox;
    TCaptionPanel *LMDpfRemove;
    TCaptionPanel *LMDpfLoad;

    // "Operation"
    QSpinBox *LMDseCheckMinutes;
    QSpinBox *LMDseTimerFrequency;
    QSpinBox *LMDseTimeout;
    QSpinBox *LMDseRetries;
    TCaptionPanel *LMDpfOutGoing;
    TCaptionPanel *LMDpfProxy;
    QButtonGroup *ActivateOn; // ids 0 Disabled, 1 New Mail, 2 Priority Mail
    QComboBox *LMDcbCorvex;
    QSlider *LMDtbSecurity;
    QLabel *LMDslSecurityLevel;
    TCaptionPanel *LMDpfPassword;

    // "Preferences"
    QListWidget *LMDcbxOptions; // 14 check items, TOptionIndex order
    QCheckBox *LMDcbPriorityActive;
    QCheckBox *LMDcbPriorityGlobal;
    TCaptionPanel *LMDpfManagePriority;
    TCaptionPanel *LMDpfManagePriorityDrop;
    TCaptionPanel *LMDpfSyncPriority;
    QCheckBox *LMDcbRejectActive;
    QCheckBox *LMDcbRejectGlobal;
    TCaptionPanel *LMDpfManageReject;
    TCaptionPanel *LMDpfManageRejectDrop;
    TCaptionPanel *LMDpfSyncReject;

    // Bottom bar
    TCaptionPanel *LMDpfApply;
    TCaptionPanel *LMDpfExit;
    TCaptionPanel *LMDpfHelp;
    TCaptionPanel *LMDpfHelpDrop;
    QSlider *LMDtbTimer; // progress to the next check, 0 to 100; dragging moves the check
    TCaptionPanel *LMDpfClose;

    // Menus
    QMenu *pmSummary;  // the Summary list's menu
    QMenu *pmListMail; // the "List Mail" drop-down, the same items
    QMenu *pmMailBoxes;
    QMenu *pmHelp;

    // The right part of the status bar, left alone by the cycle's texts: why the selected
    // Summary row timed out, else that edited mailboxes wait for Apply.
    QLabel *StatusNote = nullptr;

    TRowModel *SummaryModel;
    TRowModel *MailboxModel;
    TTrayView *TrayView = nullptr;

    TfrmOutgoingServer *frmOutgoingServer;
    TfrmProxyServer *frmProxyServer;
    TMailBoxEditFrm *MailBoxEditFrm;
    TAboutFrm *AboutFrm;

    // ---- commands
    // Page tab clicked: the security gate decides whether the page may change.
    void SelectPage(TMonitorPage page);
    void LMDpfCheckNowClick();
    void LMDpfApplyClick();
    void LMDpfExitClick();
    void LMDpfCloseClick();
    void LMDpfHelpClick();
    void LMDpfHelpDropClick();
    void LMDpfNewMsgClick();
    void LMDpfRemoveClick();
    void LMDpfOutGoingClick();
    void LMDpfProxyClick();
    void LMDpfPasswordClick();
    void ManageDropClick(TCaptionPanel *dropPanel);
    // The mailbox commands (mailboxeditcommands.cpp).
    void LMDpfAddClick();
    void LMDpfEditClick();
    void MailboxDoubleClick(); // asks action 2, then Edit
    void LMDpfInboxClick();
    void SummaryInboxClick();
    void LMDpfLoadClick();
    void AboutClick();
    // The Summary and companion commands (maincommands.cpp).
    void ReadLastMessageClick();
    // Reads the newest message of a Summary row's mailbox into the mail program, then asks
    // what to do with it and checks the mailbox again.
    void ReadLastMessageOf(int summaryRow);
    // Double click on the Summary list: list, read or open the saved messages by the row.
    void SummaryDoubleClick();
    // Opens the mailbox editor on a mailbox whose sign-in must be renewed, the sign-in started.
    void SignInMailbox(const std::string &userId);
    void RejectedMailClick(); // also the tray's "Rejection Box"
    void TrayInboxClick(const std::string &userId);
    void LMDpfSyncAllClick();
    void ManageListClick(TCaptionPanel *button, bool reject);
    void SyncListClick(TCaptionPanel *button, bool reject);
    // Before the mailbox list is read again over unapplied edits: offers Apply. False when the
    // user wanted them applied and they could not be saved (the caller then reads nothing).
    bool OfferApply();
    // Opens the server mail list instead of OpenServerMailList when set (tests).
    std::function<int(int mailboxRow)> ListServerMail;
    TfrmWhatToDo *frmWhatToDo = nullptr; // the new-mail decision prompt, made when first used
    bool PromptOff = false;              // "Don't show these options again" was chosen
    unsigned ReadMessageDelayMs = 5000;  // the mail program's time to show a read message
    // Header click on a list: sort it by that column (shared sort state of Utils).
    void SortSummary(int column);
    void SortMailboxes(int column);
    // Prepares the Summary (or List Mail) menu's items as it opens.
    void PrepareSummaryMenu(QMenu *menu);
    // Minimises the monitor: Summary page, window hidden.
    void Minimize();
    // The server mail list window for a Mailboxes row (−1: every active mailbox); answers its
    // result, 2 when messages were deleted (server mail list commands, maillistcommands.cpp).
    // With select, the message it names is selected once the list is filled.
    int OpenServerMailList(int mailboxRow, const TNewMailNote *select = nullptr);
    // Runs after the server mail list was filled and the noted message selected (tests).
    std::function<void(TMailListFrm &window)> MailListFilled;
    void LMDpfListMailClick();
    void SaveAllMailClick();
    void DeleteAllMailClick();
    // Connects the "List Mail ", "Save All Mail" and "Delete All Mail" items of a menu.
    void ConnectMailListItems(QMenu *menu);
    TMailListFrm *MailListFrm = nullptr;
    TMailListLayout MailListLayout; // the server mail list's size and column widths

    // ---- desktop notifications (notifycommands.cpp)
    // The notifier's new-mail notifications and notices, wired to this window and its logic.
    void AttachNotifier(TDesktopNotifier &notifier);
    // A notification's "Show": the server mail list of the message's mailbox, the message
    // selected. "Reject Sender": its sender into the mailbox's rejection list, the message
    // handled as rejected mail. Both wait for a pass that holds the session.
    void ShowNotedMessage(const TNewMailNote &note);
    void RejectNotedMessage(const TNewMailNote &note);

protected:
    void showEvent(QShowEvent *event) override;
    void changeEvent(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    QWidget *BuildSummaryPage();
    QWidget *BuildMailboxesPage();
    QWidget *BuildOperationPage();
    QWidget *BuildPreferencesPage();
    QWidget *BuildMasterListGroup(const char *title, QCheckBox *&active, QCheckBox *&global,
                                  TCaptionPanel *&manage, TCaptionPanel *&manageDrop,
                                  TCaptionPanel *&sync);
    QWidget *BuildTabBar();
    QWidget *BuildBottomBar();
    void BuildMenus();
    void ConnectSettingsControls();
    TCaptionPanel *Panel(const char *caption, const char *hint = nullptr);

    void SettingChanged();
    void UpdateGlobalApplyBoxes();
    void UpdateSecurityControls();
    void OptionChanged(int index);
    void MailboxCheckChanged(int row);
    void SecurityLevelChanged(int position);
    void MailerChosen(int index);
    void ApplySettingsChanges(const TSettingsChanges &changes);
    void ComeBackAfterChild();
    void ShowTabs();
    void UpdateStatusNote();
    // The Apply panel stands out while changes wait for it.
    void MarkApplyWaiting(bool waiting);
    int SelectedRow(const QTableView *view) const;
    void RunMailerByName(const std::string &name);
    void AddRunMailItems(QMenu *menu);
    void EditSelectedMailbox();
    void EditMailboxRow(int row, bool signIn);
    void WatchSummaryDoubleClick();
    int ListServerMailOf(int mailboxRow);

    std::vector<TCaptionPanel *> Panels() const;
    // The panels whose commands wait for a running pass (they need the session or change the
    // rows it works through); the others work during a pass.
    bool WaitsForPass(const TCaptionPanel *panel) const;
    // During a pass: the command runs once it ended (true), else false.
    bool AfterPass(std::function<void()> command);

    TPasswordf *Passwordf = nullptr; // installed when no prompt was installed before
    TMonitorPage Page = TMonitorPage::Summary;
    bool Filling = false; // controls are being set from the settings
    bool ApplyOn = false; // the Apply panel's state
    // The mailbox editor accepted a mailbox since the last Apply: Apply then checks at once.
    bool MailboxEdited = false;
    bool Busy = false;          // hour-glass cursors shown
    bool CheckNowWaits = false; // a Check Now asked during a pass waits for its end
    bool ActivationSeen = false;
};
