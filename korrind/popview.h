// The monitor's logic behind its main window: the process-wide objects, the first activation,
// the check cycle with its timers, Exit and Restart. No window code here: the main window
// (TCorvexFrm) implements TMonitorWindow for what the logic shows or asks, owns one
// TCorvexMonitor and forwards its commands to it.
#pragma once

#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/listrows.h"
#include "common/records.h"
#include "common/stringlist.h"
#include "korrind/engine/imappush.h"
#include "korrind/trayicon.h"

// Pages of the main window.
enum class TMonitorPage { Summary, Mailboxes, Operation, Preferences };

// Answer of a Yes/No question.
enum class TAnswer { Yes, No };

// What the logic needs from the main window. Everything is called on the one event thread.
class TMailSession;

class TMonitorWindow
{
public:
    virtual ~TMonitorWindow() = default;

    // Status bar text (the texts start with two blanks) and progress bar position 0 to 100.
    virtual void SetStatusText(const std::string &text) = 0;
    virtual void SetProgress(int position) = 0;
    // Hour-glass cursors on the buttons and lists while a pass runs; normal (hand) cursors,
    // the Exit button's included, when busy is false.
    virtual void SetBusyCursors(bool busy) = 0;
    // The Summary list's rows changed (texts or images): repaint it. The Mailboxes list too
    // when mailboxesToo (after a reload of the mailbox list).
    virtual void RowsChanged(bool mailboxesToo) = 0;

    virtual bool IsWindowVisible() const = 0;
    virtual void ShowWindow() = 0; // show, restore and bring to the front
    virtual void HideWindow() = 0;
    // Topmost state of the application's windows (dropped and restored around companions).
    virtual void SetTopmost(bool topmost) = 0;
    virtual void ShowPage(TMonitorPage page) = 0;
    virtual TMonitorPage CurrentPage() const = 0;
    // The clear-topmost tick found the window visible on the Summary page.
    virtual void FocusCheckNow() = 0;
    // The server mail list window is open (a connect failure then leaves the Summary alone).
    virtual bool MailListVisible() const = 0;

    // Adds the notification-area icon (with the application's title as its tip); shows the
    // images and tips the tray logic reports. Does nothing useful without a tray.
    virtual void ShowTrayIcon(TTrayIcon &tray) = 0;

    // Settings shown in the controls (SettingsToWindow, the Global Apply boxes, the rejected
    // folder, the Query Interval box with the check interval).
    virtual void ShowSettings() = 0;
    virtual void LayoutButtonBars() = 0;
    virtual bool ApplyEnabled() const = 0;
    virtual void SetApplyEnabled(bool enabled) = 0;
    // The Apply command's work (save mailboxes and settings) without its button guard; false
    // when something could not be saved (the user has been told why).
    virtual bool ApplyChanges() = 0;
    // The mail-program box: filled with the names, then a name selected (false when the box
    // does not hold it).
    virtual void FillMailerBox(const TStringList &mailerList) = 0;
    virtual bool SelectMailer(const std::string &name) = 0;

    virtual TWindowPos WindowPosition() const = 0;
    virtual void SetWindowPosition(const TWindowPos &position) = 0;

    // The Exit button through the panel-button object: false when it is busy.
    virtual bool PressExitButton() = 0;
    virtual void ReleaseExitButton() = 0;

    // A Yes/No message box with a caption; an informational one with "OK".
    virtual TAnswer AskYesNo(const std::string &text, const std::string &caption) = 0;
    virtual void ShowMessage(const std::string &text) = 0;
};

// Milliseconds since the epoch; 0 means "never".
using TMsTime = int64_t;

// Fixed texts of the cycle and of Exit.
namespace monitortext {
inline constexpr char CheckingForMail[] = "  Checking for mail";
inline constexpr char CheckingMailbox[] = "  Checking for mail: %s";
inline constexpr char NextCheck[] = "  Next Check: %s";
inline constexpr char CheckComplete[] = "  Mail Check Complete";
inline constexpr char NothingToCheck[] = "  No Mail Boxes Yet"; // a pass without any mailbox
inline constexpr char TimedOut[] = "Timed Out";
// Captions of a row whose server refused the login or the connection: neither is a time-out.
inline constexpr char LoginRefused[] = "Login Refused";
inline constexpr char ConnectionRefused[] = "Connection Refused";
inline constexpr char FailureStatus[] = "  %s:%s"; // the caption and the user ID
inline constexpr char TlsListUnwritable[] = "Servers known to speak TLS are not saved";
inline constexpr char NoPassword[] = "Invalid password for mail box";
// What the user is told when the provider refused the stored sign-in (the provider's own words
// stay in the row's tip).
inline constexpr char SignInRefused[] =
    "The provider no longer accepts Corvex's sign-in for %s; sign in again";
inline constexpr char ExitQuestion[] =
    "Do you truely want Corvex\nto stop monitoring your mailboxes?";
inline constexpr char ApplyQuestion[] = "\nMail Box Information has changed\nApply Changes?\n";
inline constexpr char WarningCaption[] = "Warning";
// "Exception %d checking mail" by where the pass started.
inline constexpr char CheckException[] = "Exception %d checking mail";
} // namespace monitortext

// Where a pass was started; decides the exception text's number. Push: the server told of a
// change in an IMAP mailbox's folder.
enum class TPassSource : int { Timer = 3, Apply = 1, CheckNow = 2, SummaryMenu = 4, Push = 5 };

// The monitor's own preferences in the registry file (user root): whether IMAP mailboxes are
// watched between checks (dword 1/0, on when missing), and how often an IDLE is renewed.
inline constexpr char MonitorRegistryKey[] = "\\Software\\Corvex\\Korrind";
inline constexpr char PushValue[] = "Push";
inline constexpr char PushRenewValue[] = "PushRenewSeconds";

class TCorvexMonitor
{
public:
    // Creates the process-wide objects in order: Globals, Mail (with DebugLevel, the Esc
    // cancel and the status bar), Utils, PButtons, EMailTest (on the Mailboxes rows), SMTPFunc.
    explicit TCorvexMonitor(TMonitorWindow &window);
    // Frees them, each before what it uses: SMTPFunc, EMailTest, PButtons, Mail, Utils, Globals.
    ~TCorvexMonitor();
    TCorvexMonitor(const TCorvexMonitor &) = delete;
    TCorvexMonitor &operator=(const TCorvexMonitor &) = delete;

    // ---- start-up
    // The first activation; later calls do nothing. arguments: the command line without the
    // program name ("debug=N" sets the debug level).
    void Activate(const std::vector<std::string> &arguments);
    // The window was shown: starts the clear-topmost timer (1 s).
    void WindowShown();
    // The application was minimised: Summary page, window hidden.
    void Minimised();
    // ShowMonitor of the tray: the window shown when the security gate allows action 5.
    void ShowMonitor();

    // ---- end
    // Exit with its questions (none while QuietExit is set); true when the program is ending.
    // The title bar's close comes without the question whether to stop monitoring
    // (askToStop false); the password gate and the unsaved-changes question stand.
    bool Exit(bool askToStop = true);
    // Starts the restart tool with this program's path, then Exit (which asks nothing once the
    // tool was started).
    void Restart();

    // ---- check cycle
    void MainTimerTick();
    void FetchTimerTick();
    // A pass over one mailbox (index) or all (−1); false when it did not run because a pass
    // or a window command holds the POP3 session.
    bool CheckMail(int index);
    // CheckMail guarded against exceptions, logged with the number of source (Check Now and
    // the Summary menu's "Check Mail"; index −1 for all mailboxes).
    void CheckMailFrom(TPassSource source, int index);
    // Apply changed the set of active mailboxes: reload the list, full pass, LastCheck = now.
    // During a pass the reload waits for its end and the next tick checks.
    void RecheckAfterApply();
    // Reloads the mailbox list from "PopSrv.cfg" (after a dialog or the import changed it);
    // during a pass the reload waits for its end, since the pass works on the rows.
    void ReloadMailboxes(bool decrypt);
    // Reads "Config.cfg" (LoadSettings of the store, failures logged), then rebuilds the alert
    // list in the rules folder it names. False when the settings could not be read.
    bool LoadSettings();
    // After the mailbox import ran: reads the settings again (it may have filled the outgoing
    // server) and the mailbox list, which it writes encrypted as the settings say.
    void ReloadAfterImport();
    bool ConnectMailbox(int index);
    void EndCheck();

    // ---- who holds the POP3 session: a check pass or a window command (server mail list,
    // Save All Mail, Delete All Mail). Neither starts on nor drops the other's session. A
    // pass asked for while a command holds it does not run; the main timer's next tick runs
    // it once the command is done.
    enum class TSessionOwner { None, Pass, Command };
    TSessionOwner SessionOwner() const { return Owner; }
    // False while a pass runs or another command holds the session.
    bool HoldSessionForCommand();
    void ReleaseCommandSession();
    // Neither a pass nor a command holds the session.
    bool SessionFree() const;
    // Runs job once the session is free: at once when it is and nothing waits before it, else
    // right after the pass or command that holds it, in the order asked. A command that needs
    // the session is asked for this way, so a click during a pass is carried out, not lost.
    void WhenSessionFree(std::function<void()> job);
    size_t CommandsWaiting() const { return WaitingJobs.size(); }
    // Connects a command's session to a mailbox at once (no pause before it). A failure marks
    // that mailbox's Summary row "Timed Out" unless the server mail list window is open.
    bool ConnectForCommand(int index);
    // Check Now: action 7 allowed → full pass, LastCheck = now. The caller holds the button.
    void CheckNow();
    // Query Interval changed (minutes, at least 3).
    void SetQueryInterval(int minutes);
    // The progress bar: pressed by the user, moved to position (0 to 100: the next check moves
    // accordingly, further right is sooner), released. While pressed the ticks leave it alone.
    void TrackStarted();
    void TrackMoved(int position);
    void TrackEnded();
    // Deletes old "*.eml" files in the rejected-mail folder as the settings ask.
    void PurgeRejectedMail();
    // Deletes the session's temporary files in folder.
    void RemoveTempFiles(const std::string &folder);
    // Where the list and rule files lie: the settings' rules path, else the data root.
    std::string RulesFolder() const;
    // A pass is running (commands that change the mailbox lists wait for its end).
    bool PassRunning() const { return InPass; }
    // The tip of a Summary row: what made it time out, and for an IMAP mailbox its push state
    // ("" when neither applies).
    std::string RowTip(const TListRow &row) const;
    // What made a Summary row time out ("" for a row that did not).
    std::string FailureTip(const TListRow &row) const;

    // ---- push: every active IMAP mailbox is watched between checks when the preference is
    // on; a change the server reports runs that mailbox's check at once, or right after the
    // pass or command that holds the session. The schedule keeps running.
    // Starts and stops the watches as the mailbox list and the preference say; a watch that
    // stopped on a failure starts again once a check of its mailbox logged in.
    void SyncPush();
    bool PushEnabled() const { return PushOn; }
    // Switches push and saves the preference; false when it could not be saved (it is
    // switched all the same).
    bool SetPushEnabled(bool on);
    TPushSet Pushes;
    int PushRenewSeconds = TImapPush::DefaultRenewSeconds; // from the registry, else 25 min

    // ---- state
    // Why a mailbox's last check failed, by user ID: the cause in words, and whether only the
    // user can mend it (a certificate or a login the server refuses), which a restart cannot.
    struct TMailboxFailure
    {
        std::string Text;
        bool NeedsUser = false;
        bool SignInNeeded = false; // the OAuth2 sign-in must be renewed by the user
        std::string Notice;        // what the notification says, when not Text
        const char *Caption = monitortext::TimedOut; // what the row shows
    };
    std::map<std::string, TMailboxFailure> Failures;
    // Mailboxes whose server refused the login, by user ID, with the server and password it
    // refused. A pass of the schedule does not log into them again until one of the two
    // changed; a check the user asks for (Check Now, the Summary list's Check Mail, a double
    // click on the row) and the server mail commands do.
    struct TRefusedLogin
    {
        std::string Server;
        std::string Password;
    };
    std::map<std::string, TRefusedLogin> RefusedLogins;
    // A mailbox's server refused its login (told once per password and server): the user ID
    // and why.
    std::function<void(const std::string &mailbox, const std::string &why)> OnLoginRefused;
    bool LoginRefused(const std::string &mailbox) const { return RefusedLogins.count(mailbox) > 0; }
    // The list of servers known to speak TLS cannot be written (told once until it can): why.
    // The status bar shows it too.
    std::function<void(const std::string &why)> OnTlsListUnwritable;
    // Mailboxes whose sign-in must be renewed and whose user was told so; told once, until a
    // sign-in works again.
    std::set<std::string> SignInAnnounced;
    // A mailbox's OAuth2 sign-in must be renewed (told once per mailbox): the user ID and why.
    std::function<void(const std::string &mailbox, const std::string &why)> OnSignInNeeded;
    // The user IDs whose Summary row shows "Sign-in Needed".
    std::vector<std::string> MailboxesNeedingSignIn() const;
    TDataStore Store; // Mailboxes, Summary, PasswordMap, InboxMap
    TTrayIcon Tray;
    bool Activated = false;
    bool HideOnStart = false;
    bool SettingsLoaded = false; // "Config.cfg" could be read at start
    TMsTime LastCheck = 0;
    TMsTime TimedOutSince = 0; // start of the first pass that found every mailbox timed out
    TMsTime PassStarted = 0;
    uint16_t TmpIntervalSeconds = 180;
    // From QueryIntervalVariable: when not 0, the interval in seconds whatever the settings say.
    uint16_t FixedIntervalSeconds = 0;
    bool TrackDragging = false;
    // CheckMailbox kept the session open for the repeat test after a removal.
    bool HeldForRepeat = false;
    int CurrentSummary = -1; // Summary row of the mailbox being checked
    int CurrentMailbox = -1; // Mailboxes row being checked
    int BlinkTicks = 0;
    int FetchTicks = 0;
    unsigned PauseMs = 1000; // pause before connecting and after each mailbox

    QTimer MainTimer;         // TimerSeconds × 1000 ms
    QTimer FetchTimer;        // 100 ms, only during a pass
    QTimer ClearTopmostTimer; // 1000 ms, single shot

    // The clock; tests replace it.
    std::function<TMsTime()> Now;
    // Plays a wave file to its end; tests replace it.
    std::function<void(const std::string &path)> PlaySound;

private:
    // How the check of one mailbox ended: go on after the pause, go on at once, check the
    // same mailbox again (a message was deleted), or stop (the program is quitting).
    enum class TMailboxOutcome { Next, NextAtOnce, Again, Stop };
    TMailboxOutcome CheckMailbox(int index, bool &again);
    // The end of every pass, however CheckMail is left: EndCheck unless it already ran, and the
    // main timer started again when it ran before the pass.
    void ClosePass(bool restartTimer) noexcept;
    void RestartMainTimer();
    void ClearTopmostTick();
    void MarkTimedOut(TListRow &row);
    void MarkFailure(TListRow &row, TMailboxFailure failure);
    void ShowFailure(TListRow &row, const TMailboxFailure &failure);
    // After a connect of the mailbox of row index: a refused login is remembered (and told
    // once), a login that worked forgets an earlier refusal.
    void NoteLoginOutcome(int index, bool connected);
    // The mailbox's login was refused with the server and password the session now has, and
    // the pass was not asked for by the user: no login is tried.
    bool LoginStillRefused(int index) const;
    // The session's failure: its cause, and whether only the user can mend it.
    TMailboxFailure SessionFailure() const;
    // For a mailbox that signs in with OAuth2: a fresh access token into the session, or the
    // mailbox's row marked (the sign-in needed, or the provider unreachable for now).
    bool TakeAccessToken(const TListRow &mailbox, bool forceRefresh);
    // The server refused the token it was given although the token had not expired: one
    // forced refresh and one more connect. marked: the refresh failed and the row says so.
    bool ConnectWithRenewedToken(int index, bool &marked);
    // The time-out causes of the Summary rows, one "user ID: cause" line each.
    std::string FailureSummary() const;
    bool FailureNeedsUser() const;
    void FillSummary(TListRow &row, const TListRow &mailbox, int count);
    TListRow *CurrentSummaryRow();
    void PlayNextSound();
    void StartNextProgram();
    void LoadMailboxList(bool decrypt);
    void OfferToSetAsideLockedData();
    bool MasterPasswordBarsTheWay();
    void SetupMailer();
    void PlaceWindow();
    void IdleTick(TMsTime remainingMs);
    void PurgeOlderThan(int days);
    void LogException(int number, const char *what);

    bool PrepareSession(int index);
    // The jobs waiting for the session run from the event loop, once the pass or command that
    // held it has returned.
    void ScheduleWaitingJobs();
    void RunWaitingJobs();
    std::deque<std::function<void()>> WaitingJobs;
    void LoadPushPreference();
    std::unique_ptr<TImapPush> CreatePush(const TPushSet::TEntry &entry);
    bool PreparePushLogin(const std::string &mailbox, const std::string &server,
                          TImapPush::TLogin &login);
    void PushChanged(const std::string &mailbox);
    void RunPushQueue();
    bool PushOn = true;
    bool PushPass = false;              // the running pass was asked for by a push
    std::set<std::string> PushQueue;    // mailboxes whose folder changed, to check
    std::set<std::string> LoggedInOnce; // mailboxes a check logged into since the last sync
    QTimer PushTimer;                   // 0 ms: runs the queue from the event loop
    // Makes Mail the session of the protocol that server speaks; the other one is closed and
    // hands over the displays and the cancel check.
    void UseSessionFor(const std::string &server);
    std::unique_ptr<TMailSession> Pop3Session;
    std::unique_ptr<TMailSession> ImapSession;

    TMonitorWindow &Window;
    bool InPass = false;
    bool UserAskedPass = false; // the running pass is Check Now or the Summary list's Check Mail
    TSessionOwner Owner = TSessionOwner::None;
    // A reload asked for during a pass, done when the pass ends; after Apply the next tick checks.
    bool ReloadAfterPass = false;
    bool ReloadDecrypt = false;
    bool RecheckAfterPass = false;
    int ProgramStartFailures = 0; // of the first entry of the program queue
};

// What a window command takes for its run, given back however the command ends (an exception
// included): a session left held would stop every check, a timer left stopped the schedule,
// busy cursors every button.

// The POP3 session, held for a command while this lives; false when it could not be had.
class TCommandSession
{
public:
    explicit TCommandSession(TCorvexMonitor &monitor)
        : Monitor(monitor), Held(monitor.HoldSessionForCommand())
    {
    }
    ~TCommandSession()
    {
        if (Held)
            Monitor.ReleaseCommandSession();
    }
    explicit operator bool() const { return Held; }
    TCommandSession(const TCommandSession &) = delete;
    TCommandSession &operator=(const TCommandSession &) = delete;

private:
    TCorvexMonitor &Monitor;
    const bool Held;
};

// The main check timer stopped for a command, started again afterwards if it ran (unless the
// program is ending).
class TTimerPause
{
public:
    explicit TTimerPause(QTimer &timer);
    ~TTimerPause();
    TTimerPause(const TTimerPause &) = delete;
    TTimerPause &operator=(const TTimerPause &) = delete;

private:
    QTimer &Timer;
    const bool WasRunning;
};

// Busy cursors on the window while a command runs.
class TBusyCursors
{
public:
    explicit TBusyCursors(TMonitorWindow &window) : Window(window) { Window.SetBusyCursors(true); }
    ~TBusyCursors() { Window.SetBusyCursors(false); }
    TBusyCursors(const TBusyCursors &) = delete;
    TBusyCursors &operator=(const TBusyCursors &) = delete;

private:
    TMonitorWindow &Window;
};

// Debug level from the command line: an argument whose lower-case form contains "debug" and
// that has "=" after its first character sets it to the number after "=" (0 when not a
// number); other arguments change nothing. Answers current when no argument sets it.
uint16_t DebugLevelFromArguments(const std::vector<std::string> &arguments, uint16_t current);

// Tests that wait for whole check intervals (the restart after every mailbox timed out) name
// a shorter interval in seconds here; read once at the first activation. The settings and the
// interval box keep showing minutes.
inline constexpr char QueryIntervalVariable[] = "CORVEX_QUERY_INTERVAL_SECONDS";
// The interval that variable's text asks for, in seconds: a positive whole number, at most what
// the interval holds; 0 (none) for anything else, a missing variable included.
uint16_t QueryIntervalSecondsFrom(const char *text);

// "hh:nn:ss" of a number of seconds.
std::string FormatHms(int64_t seconds);
