// The monitor's check cycle: the main timer's tick, one pass over the mailboxes, the Summary
// rows, the new-mail and all-timed-out states, the sound and program queues.
#include <QDateTime>
#include <QFile>
#include <algorithm>
#include <exception>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "common/accesswait.h"
#include "common/globals.h"
#include "common/net/imapclient.h"
#include "common/net/tlstrust.h"
#include "common/oauth2/access.h"
#include "common/password.h"
#include "common/text.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/engine/mailsession.h"
#include "korrind/popview.h"
#include "korrind/signinchoice.h"

namespace {

constexpr int MinQueryMinutes = 3;
// TmpIntervalSeconds is 16 bits wide.
constexpr int MaxQueryMinutes = UINT16_MAX / 60;
constexpr int PurgeHour = 22;
constexpr int PurgeMinute = 59;
constexpr int FetchTicksPerFlip = 5;
constexpr int64_t MsPerDay = 24LL * 3600 * 1000;
// A server that accepts every deletion but never removes anything would otherwise make a
// mailbox be checked again for ever.
constexpr int RepeatLimit = 100;
// A queued program that cannot be started blocks the queue; it is dropped after this many
// failed ticks.
constexpr int ProgramStartAttempts = 5;

// A read that did not complete leaves the mailbox's state unknown, and its row says so, unless
// the user stopped the read or the program is quitting.
bool ReadFailureShows()
{
    return !TUtils::Terminating() && !Mail->StoppedByUser();
}

// A pass over large mailboxes leaves the allocator holding free pages; they go back to the
// system so the monitor idles light between passes, as do the certificates read for its
// sessions.
void ReleaseFreeMemory()
{
    ReleaseTrustedCertificates();
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

bool Pump()
{
    TUtils::ProcessMessages();
    return !TUtils::Terminating();
}

// A refused login or connection is told as what it is; every other failure keeps the
// "Timed Out" caption, with its cause in the row's tip.
const char *CaptionOf(TPop3Failure failure)
{
    switch (failure) {
    case TPop3Failure::LoginRefused:
        return monitortext::LoginRefused;
    case TPop3Failure::ConnectionRefused:
        return monitortext::ConnectionRefused;
    default:
        return monitortext::TimedOut;
    }
}

bool Contains(const std::string &text, const char *part)
{
    return text.find(part) != std::string::npos;
}

} // namespace

// ---- main timer ------------------------------------------------------------------------

void TCorvexMonitor::RestartMainTimer()
{
    if (!TUtils::Terminating())
        MainTimer.start();
}

void TCorvexMonitor::LogException(int number, const char *what)
{
    Utils->DebugLog(monitortext::CheckException, number);
    if (what != nullptr && *what != '\0')
        Utils->DebugLog("%s", what);
}

void TCorvexMonitor::MainTimerTick()
{
    MainTimer.stop();
    try {
        if (!Pump())
            return; // the timer stays stopped
        const TMsTime now = Now();
        if (LastCheck != 0) {
            TMsTime remaining = LastCheck + TMsTime(TmpIntervalSeconds) * 1000 - now;
            if (remaining > 0) {
                IdleTick(remaining);
                RestartMainTimer();
                return;
            }
        }
        Window.SetStatusText(monitortext::CheckingForMail);
        bool ran = false;
        try {
            ran = CheckMail(-1);
        } catch (const std::exception &error) {
            LogException(int(TPassSource::Timer), error.what());
            RestartMainTimer();
            return;
        }
        // The time the pass started: the next one is due one interval after it. A pass put
        // off by a window command is due at the next tick.
        if (ran)
            LastCheck = now;
        RestartMainTimer();
    } catch (const std::exception &error) {
        LogException(0, error.what());
        RestartMainTimer();
    }
}

void TCorvexMonitor::IdleTick(TMsTime remainingMs)
{
    const int64_t remainingSeconds = remainingMs / 1000;
    if (!TrackDragging && TmpIntervalSeconds > 0) {
        int64_t position =
            (int64_t(TmpIntervalSeconds) - remainingSeconds) * 100 / TmpIntervalSeconds;
        Window.SetProgress(int(std::clamp<int64_t>(position, 0, 100)));
    }
    Window.SetStatusText(Format(monitortext::NextCheck, FormatHms(remainingSeconds).c_str()));
    if (FetchTimer.isActive()) {
        Tray.SetIconState(IconChecking);
        FetchTimer.stop();
    }
    PlayNextSound();
    StartNextProgram();

    const uint16_t state = Globals->CheckCounters.NewMailState;
    if (state != 0) {
        if (++BlinkTicks > 2)
            Tray.SetIconState(state == 2 ? IconPriority : IconNewMail);
    } else {
        BlinkTicks = 0;
    }
    QTime time = QDateTime::fromMSecsSinceEpoch(Now()).time();
    if (time.hour() == PurgeHour && time.minute() == PurgeMinute)
        PurgeRejectedMail();
}

void TCorvexMonitor::PlayNextSound()
{
    TStringList &queue = EMailTest->SoundQueue;
    if (queue.Empty())
        return;
    std::string file = queue[0];
    queue.Delete(0); // before playing: the wait lets a pass queue more
    if (!file.empty() && PlaySound)
        PlaySound(file);
}

void TCorvexMonitor::StartNextProgram()
{
    TStringList &queue = EMailTest->ProgramQueue;
    if (queue.Empty())
        return;
    std::string program = queue[0];
    if (Globals->PlugIns->LaunchPlugIn(program)) {
        ProgramStartFailures = 0;
    } else if (++ProgramStartFailures < ProgramStartAttempts) {
        return;
    } else {
        Utils->DebugLog("Can't start %s", program.c_str());
        ProgramStartFailures = 0;
    }
    if (!queue.Empty() && queue[0] == program)
        queue.Delete(0);
}

// ---- one pass --------------------------------------------------------------------------

// The lists may change while events run during a pass (a window command); a pass never
// writes into a row that no longer belongs to the mailbox being checked.
TListRow *TCorvexMonitor::CurrentSummaryRow()
{
    if (CurrentSummary < 0 || CurrentSummary >= int(Store.Summary.size()) || CurrentMailbox < 0 ||
        CurrentMailbox >= int(Store.Mailboxes.size()))
        return nullptr;
    TListRow &row = Store.Summary[CurrentSummary];
    return row.Caption == Store.Mailboxes[CurrentMailbox].Caption ? &row : nullptr;
}

void TCorvexMonitor::MarkTimedOut(TListRow &row)
{
    MarkFailure(row, SessionFailure());
}

TCorvexMonitor::TMailboxFailure TCorvexMonitor::SessionFailure() const
{
    TMailboxFailure failure;
    failure.Text = Mail->FailureText();
    if (failure.Text.empty())
        failure.Text = Pop3FailureText(TPop3Failure::TimedOut);
    failure.NeedsUser = Pop3FailureNeedsUser(Mail->LastFailure());
    failure.Caption = CaptionOf(Mail->LastFailure());
    // The caption names the refusal; the text says who refused and how.
    if (Mail->LastFailure() == TPop3Failure::ConnectionRefused)
        failure.Text = Mail->Host + " refused the connection";
    else if (Mail->LastFailure() == TPop3Failure::LoginRefused)
        failure.Text = Mail->FailureDetail();
    return failure;
}

// The row shows the failure's caption; the cause goes to its tip, the tray tip, the status bar
// and the log.
void TCorvexMonitor::MarkFailure(TListRow &row, TMailboxFailure failure)
{
    ShowFailure(row, failure);
    Window.SetStatusText(Format(monitortext::FailureStatus, failure.Caption, row.Caption.c_str()));
    Utils->DebugLog("%s: %s - %s", row.Caption.c_str(), failure.Caption, failure.Text.c_str());
    if (failure.SignInNeeded && SignInAnnounced.insert(row.Caption).second && OnSignInNeeded)
        OnSignInNeeded(row.Caption, failure.Notice.empty() ? failure.Text : failure.Notice);
    Failures[row.Caption] = std::move(failure);
}

void TCorvexMonitor::ShowFailure(TListRow &row, const TMailboxFailure &failure)
{
    row.SetCell(scMsgs, "0");
    row.SetCell(scFrom, failure.Caption);
    row.SetCell(scSubject, "");
    row.ImageIndex = siTimedOut;
}

std::string TCorvexMonitor::RowTip(const TListRow &row) const
{
    std::string tip = FailureTip(row);
    std::string push;
    if (const TImapPush *watch = Pushes.Find(row.Caption))
        push = watch->StateText();
    else if (const int index = FindRow(Store.Mailboxes, row.Caption);
             !PushOn && index >= 0 &&
             IsImapAddress(Store.Mailboxes[size_t(index)].Cell(mcMailServer)))
        push = pushtext::Off;
    if (!push.empty())
        tip += (tip.empty() ? "" : "\n") + push;
    return tip;
}

std::string TCorvexMonitor::FailureTip(const TListRow &row) const
{
    if (row.ImageIndex != siTimedOut)
        return "";
    auto found = Failures.find(row.Caption);
    if (found == Failures.end())
        return "";
    return std::string(found->second.Caption) + ": " + found->second.Text;
}

void TCorvexMonitor::NoteLoginOutcome(int index, bool connected)
{
    const std::string &mailbox = Store.Mailboxes[size_t(index)].Caption;
    if (connected) {
        RefusedLogins.erase(mailbox);
        LoggedInOnce.insert(mailbox);
        return;
    }
    if (Mail->LastFailure() != TPop3Failure::LoginRefused)
        return;
    const TRefusedLogin refused{Mail->Host, Mail->Password};
    auto [entry, fresh] = RefusedLogins.try_emplace(mailbox, refused);
    const bool again = !fresh && entry->second.Server == refused.Server &&
                       entry->second.Password == refused.Password;
    entry->second = refused;
    if (!again && OnLoginRefused)
        OnLoginRefused(mailbox, Mail->FailureText());
}

bool TCorvexMonitor::LoginStillRefused(int index) const
{
    auto found = RefusedLogins.find(Store.Mailboxes[size_t(index)].Caption);
    return !UserAskedPass && found != RefusedLogins.end() && found->second.Server == Mail->Host &&
           found->second.Password == Mail->Password;
}

std::vector<std::string> TCorvexMonitor::MailboxesNeedingSignIn() const
{
    std::vector<std::string> mailboxes;
    for (const TListRow &row : Store.Summary) {
        auto found = Failures.find(row.Caption);
        if (row.ImageIndex == siTimedOut && found != Failures.end() && found->second.SignInNeeded)
            mailboxes.push_back(row.Caption);
    }
    return mailboxes;
}

std::string TCorvexMonitor::FailureSummary() const
{
    std::string lines;
    for (const TListRow &row : Store.Summary) {
        auto found = Failures.find(row.Caption);
        if (row.ImageIndex != siTimedOut || found == Failures.end())
            continue;
        lines += (lines.empty() ? "" : "\n") + row.Caption + ": " + found->second.Text;
    }
    return lines;
}

bool TCorvexMonitor::FailureNeedsUser() const
{
    for (const TListRow &row : Store.Summary) {
        auto found = Failures.find(row.Caption);
        if (row.ImageIndex == siTimedOut && found != Failures.end() && found->second.NeedsUser)
            return true;
    }
    return false;
}

// The newest message's summary, as far as the security level lets the Summary list show it.
void TCorvexMonitor::FillSummary(TListRow &row, const TListRow &mailbox, int count)
{
    if (row.ImageIndex == siTimedOut)
        row.ImageIndex = siOrdinary;
    if (mailbox.Cell(mcAliasActive) != FlagOff)
        return; // mail for aliases is filtered, but not counted here
    const TMailSummary &summary = Mail->Summary;
    row.SetCell(scMsgs, std::to_string(count));
    const TShownMail shown = MaskedMail({summary.From, summary.Subject, summary.Date,
                                         std::to_string(summary.Size), summary.Received},
                                        mailbox);
    row.SetCell(scFrom, shown.From);
    row.SetCell(scSubject, shown.Subject);
    row.SetCell(scDate, shown.Date);
    row.SetCell(scSize, shown.Size);
    row.SetCell(scReplyTo, shown.ReplyTo);
}

TCorvexMonitor::TMailboxOutcome TCorvexMonitor::CheckMailbox(int index, bool &again)
{
    TListRow *row = CurrentSummaryRow();
    const std::string mailbox = row->Caption;
    row->SetCell(scMsgs, "0");
    for (size_t cell = scFrom; cell < SummaryCellCount; ++cell)
        row->SetCell(cell, "");
    Window.SetStatusText(Format(monitortext::CheckingMailbox, row->Caption.c_str()));

    // The repeat test after a removal goes on in the session that removed, where it could
    // list the mailbox anew; one kept for repeats that then ran out is closed.
    const bool listedAgain = again && HeldForRepeat && Mail->IsConnected();
    if (HeldForRepeat && !listedAgain)
        Mail->Disconnect();
    HeldForRepeat = false;
    if (!listedAgain && !ConnectMailbox(index))
        return TMailboxOutcome::Next;
    Failures.erase(mailbox);
    if (!Pump())
        return TMailboxOutcome::Stop;
    int count = Mail->MessageCount();
    if (count > 0 && !Pump())
        return TMailboxOutcome::Stop;
    row = CurrentSummaryRow();
    if (row == nullptr) {
        Mail->Disconnect();
        return TMailboxOutcome::Next;
    }
    if (count <= 0) {
        row->ImageIndex = siOrdinary;
        Mail->Disconnect();
        return TMailboxOutcome::Next;
    }
    // Whether the session gave up on the read or it only ran out of attempts, the mailbox is
    // not known to be empty or unchanged.
    if (!Mail->GetSummary(count)) {
        if (ReadFailureShows() && (row = CurrentSummaryRow()) != nullptr)
            MarkTimedOut(*row);
        Mail->Disconnect();
        return TMailboxOutcome::NextAtOnce;
    }
    if ((row = CurrentSummaryRow()) == nullptr) {
        Mail->Disconnect();
        return TMailboxOutcome::Next;
    }
    FillSummary(*row, Store.Mailboxes[index], count);
    Window.RowsChanged(false);
    if (!Pump())
        return TMailboxOutcome::Stop;
    EMailTest->SummaryRow = CurrentSummaryRow();
    if (EMailTest->SummaryRow == nullptr) {
        Mail->Disconnect();
        return TMailboxOutcome::Next;
    }
    again = EMailTest->TestMail(index, count, again);
    if (EMailTest->ReadFailed && ReadFailureShows() && (row = CurrentSummaryRow()) != nullptr)
        MarkTimedOut(*row);
    // A server that removed the messages at once lists the mailbox for the repeat test from
    // what this session knows; another needs a new session, after QUIT committed the removals.
    if (again && EMailTest->Deleted && !EMailTest->ListingStale && Mail->ListWithoutRemoved()) {
        HeldForRepeat = true;
        return TMailboxOutcome::Again;
    }
    Mail->Disconnect();
    return again ? TMailboxOutcome::Again : TMailboxOutcome::Next;
}

bool TCorvexMonitor::CheckMail(int index)
{
    if (InPass)
        return false; // one pass at a time
    if (Owner == TSessionOwner::Command) {
        LastCheck = 0; // never on a window command's session: the first tick after it checks
        return false;
    }
    InPass = true;
    Owner = TSessionOwner::Pass;
    // However the pass ends, an exception included, it is closed and the main timer runs again
    // as before: a pass left open would keep every later check from running.
    struct TPassEnd
    {
        TCorvexMonitor &Monitor;
        const bool RestartTimer;
        ~TPassEnd() { Monitor.ClosePass(RestartTimer); }
    } passEnd{*this, MainTimer.isActive()};
    PassStarted = Now();
    Window.SetBusyCursors(true);
    MainTimer.stop();
    FetchTimer.start();

    const int rows = int(Store.Mailboxes.size());
    const int first = index >= 0 ? index : 0;
    const int last = index >= 0 ? std::min(index + 1, rows) : rows;
    Tray.SetIconState(IconChecking);
    EMailTest->NewMailFound = false;
    EMailTest->PriorityFound = false;
    bool again = false;
    int repeats = 0;

    for (int i = first; i < last;) {
        if (!Pump() || i >= int(Store.Mailboxes.size()))
            break;
        const TListRow &mailbox = Store.Mailboxes[i];
        CurrentSummary = FindRow(Store.Summary, mailbox.Caption);
        if (!mailbox.Checked || CurrentSummary < 0) {
            ++i;
            continue;
        }
        CurrentMailbox = i;
        TMailboxOutcome outcome = CheckMailbox(i, again);
        if (outcome == TMailboxOutcome::Stop)
            break;
        if (outcome == TMailboxOutcome::Again) {
            if (++repeats <= RepeatLimit)
                continue;
            Utils->DebugLog("%s: deleted messages stay on the server", mailbox.Caption.c_str());
        }
        again = false;
        repeats = 0;
        if (outcome != TMailboxOutcome::NextAtOnce) {
            RemoveTempFiles(Mail->WorkFolder);
            // A pass a push asked for checks its one mailbox as soon as it can.
            if (!PushPass)
                Utils->Delay(PauseMs);
        }
        ++i;
    }

    TCheckCounters &counters = Globals->CheckCounters;
    const uint8_t activateOn = Globals->Config.RestoreAction;
    if (EMailTest->NewMailFound && counters.NewMailState < 2) {
        counters.NewMailState = 1;
        if (!Window.IsWindowVisible() && activateOn == 1)
            ShowMonitor();
    }
    if (EMailTest->PriorityFound) {
        counters.NewMailState = 2;
        if (!Window.IsWindowVisible() && (activateOn == 1 || activateOn == 2))
            ShowMonitor();
    }
    if (EMailTest->OnPassEnded)
        EMailTest->OnPassEnded();
    EndCheck();
    return true;
}

void TCorvexMonitor::ClosePass(bool restartTimer) noexcept
{
    if (InPass) {
        // Left by an exception, which the caller logs; a failure of the closing itself must not
        // replace it.
        try {
            EndCheck();
        } catch (const std::exception &error) {
            InPass = false;
            Owner = TSessionOwner::None;
            Utils->DebugLog("Can't end the check: %s", error.what());
        }
    }
    if (restartTimer)
        RestartMainTimer();
}

void TCorvexMonitor::CheckMailFrom(TPassSource source, int index)
{
    // A check the user asked for logs into a mailbox whose login was refused before.
    struct TUserAsked
    {
        bool &Flag;
        const bool Before;
        TUserAsked(bool &flag, bool asked) : Flag(flag), Before(flag) { Flag = Flag || asked; }
        ~TUserAsked() { Flag = Before; }
    } asked{UserAskedPass, source == TPassSource::CheckNow || source == TPassSource::SummaryMenu};
    try {
        if (CheckMail(index) && source == TPassSource::CheckNow)
            LastCheck = Now();
    } catch (const std::exception &error) {
        LogException(int(source), error.what());
        if (source == TPassSource::CheckNow)
            LastCheck = Now();
    }
}

void TCorvexMonitor::CheckNow()
{
    if (IsRestricted(saCheckNow))
        return;
    CheckMailFrom(TPassSource::CheckNow, -1);
}

void TCorvexMonitor::ReloadMailboxes(bool decrypt)
{
    if (!InPass) {
        LoadMailboxList(decrypt);
        return;
    }
    ReloadAfterPass = true;
    ReloadDecrypt = decrypt;
}

void TCorvexMonitor::RecheckAfterApply()
{
    if (InPass) {
        // The lists must not change under a running pass: reload when it ends, check at once.
        ReloadMailboxes(Globals->Config.EncryptMailboxes != 0);
        RecheckAfterPass = true;
        return;
    }
    try {
        LoadMailboxList(Globals->Config.EncryptMailboxes != 0);
        CheckMail(-1);
        LastCheck = Now();
    } catch (const std::exception &error) {
        LogException(int(TPassSource::Apply), error.what());
    }
}

bool TCorvexMonitor::ConnectMailbox(int index)
{
    if (Mail->IsConnected() || Owner == TSessionOwner::Command)
        return false;
    if (!PushPass)
        Utils->Delay(PauseMs);
    if (TUtils::Terminating() || Owner == TSessionOwner::Command)
        return false;
    if (!PrepareSession(index))
        return false;
    if (LoginStillRefused(index)) {
        // The row keeps saying why until the password or the server changes.
        const std::string &mailbox = Store.Mailboxes[size_t(index)].Caption;
        TListRow *row = CurrentSummaryRow();
        if (auto failure = Failures.find(mailbox); row != nullptr && failure != Failures.end())
            ShowFailure(*row, failure->second);
        return false;
    }
    bool marked = false;
    const bool connected = Mail->Connect() || ConnectWithRenewedToken(index, marked);
    NoteLoginOutcome(index, connected);
    if (connected)
        return true;
    if (!marked && !Window.MailListVisible())
        if (TListRow *row = CurrentSummaryRow())
            MarkTimedOut(*row);
    return false;
}

bool TCorvexMonitor::ConnectWithRenewedToken(int index, bool &marked)
{
    marked = false;
    if (Mail->AccessToken.empty() || Mail->LastFailure() != TPop3Failure::SignInExpired ||
        TUtils::Terminating())
        return false;
    Utils->DebugLog("%s: the server refused the access token; renewing it", Mail->User.c_str());
    if (TakeAccessToken(Store.Mailboxes[size_t(index)], true))
        return Mail->Connect();
    marked = true;
    return false;
}

bool TCorvexMonitor::TakeAccessToken(const TListRow &mailbox, bool forceRefresh)
{
    Mail->AccessToken.clear();
    const oauth2::TTokenResult result =
        AwaitAccessToken(Globals->DataRoot, oauth2::TPurpose::Mailbox, mailbox.Caption,
                         mailbox.Cell(mcMailServer), forceRefresh);
    if (result.Ok()) {
        Mail->AccessToken = result.Tokens.AccessToken;
        SignInAnnounced.erase(mailbox.Caption);
        return true;
    }
    TMailboxFailure failure;
    failure.Text = result.ErrorText;
    // A provider out of reach is a passing fault, as a server that does not answer is.
    if (result.Failure == oauth2::TTokenFailure::Unreachable) {
        failure.Text = "sign-in provider not reached: " + failure.Text;
    } else {
        failure.NeedsUser = true;
        failure.SignInNeeded = true;
        failure.Caption = signintext::SignInNeeded;
        if (result.Failure == oauth2::TTokenFailure::Refused)
            failure.Notice = Format(monitortext::SignInRefused, mailbox.Caption.c_str());
    }
    if (const int summary = FindRow(Store.Summary, mailbox.Caption); summary >= 0) {
        MarkFailure(Store.Summary[size_t(summary)], failure);
        Window.RowsChanged(false);
    }
    return false;
}

bool TCorvexMonitor::HoldSessionForCommand()
{
    if (InPass || Owner != TSessionOwner::None || Mail->IsConnected())
        return false;
    Owner = TSessionOwner::Command;
    return true;
}

void TCorvexMonitor::ReleaseCommandSession()
{
    if (Owner != TSessionOwner::Command)
        return;
    Mail->Disconnect();
    Owner = TSessionOwner::None;
    ScheduleWaitingJobs();
    if (!PushQueue.empty())
        PushTimer.start(); // changes that came during the command
}

bool TCorvexMonitor::SessionFree() const
{
    return !InPass && Owner == TSessionOwner::None && !Mail->IsConnected();
}

void TCorvexMonitor::WhenSessionFree(std::function<void()> job)
{
    WaitingJobs.push_back(std::move(job));
    if (WaitingJobs.size() == 1 && SessionFree())
        RunWaitingJobs();
}

void TCorvexMonitor::ScheduleWaitingJobs()
{
    if (!WaitingJobs.empty())
        QTimer::singleShot(0, &MainTimer, [this] { RunWaitingJobs(); });
}

void TCorvexMonitor::RunWaitingJobs()
{
    while (!WaitingJobs.empty() && SessionFree() && !TUtils::Terminating()) {
        std::function<void()> job = std::move(WaitingJobs.front());
        WaitingJobs.pop_front();
        try {
            job();
        } catch (const std::exception &error) {
            Utils->DebugLog("Can't carry out a waiting command: %s", error.what());
        }
    }
}

bool TCorvexMonitor::ConnectForCommand(int index)
{
    if (Owner != TSessionOwner::Command || Mail->IsConnected() || index < 0 ||
        index >= int(Store.Mailboxes.size()) || !PrepareSession(index))
        return false;
    bool marked = false;
    const bool connected = Mail->Connect() || ConnectWithRenewedToken(index, marked);
    NoteLoginOutcome(index, connected);
    if (connected)
        return true;
    if (!marked && !Window.MailListVisible()) {
        int summary = FindRow(Store.Summary, Store.Mailboxes[size_t(index)].Caption);
        if (summary >= 0) {
            MarkTimedOut(Store.Summary[size_t(summary)]);
            Window.RowsChanged(false);
        }
    }
    return false;
}

// The session's settings for the mailbox of row index (none for −1: the last ones stay).
bool TCorvexMonitor::PrepareSession(int index)
{
    if (index >= int(Store.Mailboxes.size()))
        return false;
    if (index >= 0) {
        const TListRow &mailbox = Store.Mailboxes[index];
        UseSessionFor(mailbox.Cell(mcMailServer));
        const TConfigRecord &config = Globals->Config;
        // A time-out of 0 would never end a connect attempt; the session keeps its default.
        if (config.TimeoutMs > 0)
            Mail->TimeoutStep = config.TimeoutMs;
        Mail->DeleteAfterRetrieve = mailbox.Cell(mcDel) == DelYes;
        const std::string &inbox = mailbox.Cell(mcInboxPath);
        Mail->WorkFolder = TUtils::AddBackslash(
            !inbox.empty() && TUtils::FolderExists(inbox) ? inbox : Globals->DataRoot);
        Mail->Host = mailbox.Cell(mcMailServer);
        Mail->User = mailbox.Caption;
        Mail->Password.clear();
        Mail->AccessToken.clear();
        if (oauth2::SignsInWithOAuth2(Globals->DataRoot, oauth2::TPurpose::Mailbox, mailbox.Caption,
                                      Mail->Host)) {
            if (!TakeAccessToken(mailbox, false))
                return false;
        } else if (!Store.FindPassword(mailbox.Caption, Mail->Host, Mail->Password) ||
                   !PasswordGiven(Mail->Password)) {
            Utils->DebugLog("%s: %s", monitortext::NoPassword, mailbox.Caption.c_str());
            Window.ShowMessage(monitortext::NoPassword);
            return false;
        }
        if (config.ProxyActive)
            Mail->SetProxy(GetText(config.ProxyHost), config.ProxyPort);
        else
            Mail->SetProxy("", 0);
    }
    return true;
}

void TCorvexMonitor::UseSessionFor(const std::string &server)
{
    TMailSession *wanted = IsImapAddress(server) ? ImapSession.get() : Pop3Session.get();
    if (wanted == Mail || wanted == nullptr)
        return;
    if (Mail->IsConnected())
        Mail->Disconnect();
    wanted->TakeHooksFrom(*Mail);
    Mail = wanted;
}

void TCorvexMonitor::EndCheck()
{
    if (Owner == TSessionOwner::Command)
        return; // no pass ran; the command's session stays as it is
    InPass = false;
    Owner = TSessionOwner::None;
    Window.SetProgress(0);
    Mail->Disconnect();
    Mail->ReleaseClosedSessions();
    FetchTimer.stop();
    Window.SetBusyCursors(false);
    ReleaseFreeMemory();

    TCheckCounters &counters = Globals->CheckCounters;
    counters.NewCount = counters.PriorityCount = counters.TimedOutCount = 0;
    for (const TListRow &row : Store.Summary) {
        if (row.ImageIndex == siTimedOut)
            ++counters.TimedOutCount;
        else if (row.ImageIndex == siNewMail)
            ++counters.NewCount;
        else if (row.ImageIndex == siPriorityMail) {
            ++counters.NewCount;
            ++counters.PriorityCount;
        }
    }
    if (counters.PriorityCount > 0)
        counters.NewMailState = 2;
    else if (counters.NewMailState == 2)
        counters.NewMailState = 1;
    if (counters.NewCount > 0) {
        if (counters.NewMailState == 0)
            counters.NewMailState = 1;
    } else if (counters.NewMailState == 1) {
        counters.NewMailState = 0;
    }
    int icon = counters.NewMailState == 1   ? IconNewMail
               : counters.NewMailState == 2 ? IconPriority
                                            : IconIdle;

    bool restart = false;
    const size_t rows = Store.Summary.size();
    Tray.RestingState = rows > 0                  ? IconIdle
                        : Store.Mailboxes.empty() ? IconNoMailbox
                                                  : IconNoneActive;
    if (rows == 0) {
        icon = Tray.RestingState; // nothing was checked, so nothing timed out
        TimedOutSince = 0;
    } else if (rows != counters.TimedOutCount) {
        TimedOutSince = 0;
    } else {
        icon = IconAllTimedOut;
        counters.NewMailState = 0;
        // A certificate or a login the server refuses stays refused after any number of
        // restarts: only time-outs and unreachable servers lead to one.
        if (FailureNeedsUser()) {
            TimedOutSince = 0;
        } else {
            // Measured from the start of the passes, so that a pass that ends a little sooner
            // than the first one cannot put the restart off by a whole interval. In 64 bits:
            // retries × interval may well pass a day.
            const TMsTime span =
                TMsTime(Globals->Config.Retries) * TMsTime(TmpIntervalSeconds) * 1000;
            if (TimedOutSince == 0)
                TimedOutSince = PassStarted;
            else if (PassStarted >= TimedOutSince + span)
                restart = true;
        }
    }
    Tray.Detail = FailureSummary();
    Tray.SetIconState(icon);
    Window.SetStatusText(Store.Mailboxes.empty() ? monitortext::NothingToCheck
                                                 : monitortext::CheckComplete);
    Window.RowsChanged(false);

    if (ReloadAfterPass) {
        ReloadAfterPass = false;
        LoadMailboxList(ReloadDecrypt);
        if (RecheckAfterPass)
            LastCheck = 0; // the new list is checked at the next tick
        RecheckAfterPass = false;
    }
    if (!TUtils::Terminating()) {
        SyncPush();
        if (!PushQueue.empty())
            PushTimer.start(); // changes that came during the pass
    }
    // A pass cut short because the user ends the program must not bring it back.
    if (restart && !TUtils::Terminating()) {
        Utils->DebugLog("All mailboxes timed out: restarting");
        if (Globals->StartQuintor())
            Exit();
    }
    ScheduleWaitingJobs();
}

void TCorvexMonitor::FetchTimerTick()
{
    if (!Pump()) {
        Mail->Abort();
        FetchTicks = 0;
        FetchTimer.stop();
        return;
    }
    if (++FetchTicks >= FetchTicksPerFlip) {
        Tray.SetIconState(IconChecking);
        FetchTicks = 0;
    }
}

// ---- interval and progress bar ---------------------------------------------------------

void TCorvexMonitor::SetQueryInterval(int minutes)
{
    TmpIntervalSeconds = FixedIntervalSeconds > 0
                             ? FixedIntervalSeconds
                             : uint16_t(std::clamp(minutes, MinQueryMinutes, MaxQueryMinutes) * 60);
}

void TCorvexMonitor::TrackStarted()
{
    TrackDragging = true;
}

void TCorvexMonitor::TrackMoved(int position)
{
    const bool running = MainTimer.isActive();
    MainTimer.stop();
    position = std::clamp(position, 0, 100);
    LastCheck = Now() - TMsTime(TmpIntervalSeconds) * 1000 * position / 100;
    if (running)
        RestartMainTimer();
}

void TCorvexMonitor::TrackEnded()
{
    TrackDragging = false;
}

// ---- files -----------------------------------------------------------------------------

void TCorvexMonitor::PurgeRejectedMail()
{
    const TConfigRecord &config = Globals->Config;
    if (config.ClearRejections30)
        PurgeOlderThan(30);
    if (config.ClearRejectionsWeekly)
        PurgeOlderThan(7);
}

void TCorvexMonitor::PurgeOlderThan(int days)
{
    const std::string folder = TUtils::AddBackslash(Globals->RejectedPath);
    if (Globals->RejectedPath.empty())
        return;
    TStringList files;
    Utils->ListFiles(folder + "*.eml", fileattr::AnyFile & ~fileattr::Directory, files, true);
    const std::time_t cutoff = std::time_t((Now() - days * MsPerDay) / 1000);
    for (const std::string &name : files) {
        const std::string path = folder + name;
        if (TUtils::GetFileDate(path) < cutoff && !QFile::remove(QString::fromStdString(path)))
            Utils->DebugLog("Can't delete %s", path.c_str());
    }
}

void TCorvexMonitor::RemoveTempFiles(const std::string &folder)
{
    if (folder.empty())
        return;
    const std::string base = TUtils::AddBackslash(folder);
    TStringList files;
    Utils->ListFiles(base + "*", fileattr::AnyFile & ~fileattr::Directory, files, true);
    for (const std::string &name : files) {
        // The working folder is usually the mailbox's inbox, where saved messages are named
        // after their sender: "Temple@example.org…_000.eml" is mail, never a session leftover.
        if (Contains(name, ".ini") || EndsText(name, ".eml"))
            continue;
        bool temporary = Contains(name, "Temp") || Contains(name, ".tmp") ||
                         (Contains(name, "text") && Contains(name, ".htm"));
        if (temporary && !QFile::remove(QString::fromStdString(base + name)))
            Utils->DebugLog("Can't delete %s", (base + name).c_str());
    }
}
