#include "korrind/engine/imappush.h"

#include <QCoreApplication>
#include <QDateTime>
#include <algorithm>

#include "common/text.h"
#include "common/tlsservers.h"

TImapPush::TImapPush(std::string mailbox, std::string server)
    : Mailbox(std::move(mailbox)), Server(std::move(server)), Client(this)
{
    for (QTimer *timer : {&CycleTimer, &ReconnectTimer, &ClosedTimer, &ChangeTimer, &StopTimer})
        timer->setSingleShot(true);
    ClosedTimer.setInterval(0);
    ChangeTimer.setInterval(0);
    StopTimer.setInterval(StopMs);
    QObject::connect(&CycleTimer, &QTimer::timeout, &CycleTimer, [this] { Cycle(); });
    QObject::connect(&ReconnectTimer, &QTimer::timeout, &ReconnectTimer, [this] { Connect(); });
    QObject::connect(&ClosedTimer, &QTimer::timeout, &ClosedTimer, [this] { AfterClose(); });
    QObject::connect(&ChangeTimer, &QTimer::timeout, &ChangeTimer, [this] {
        if (OnChange)
            OnChange();
    });
    QObject::connect(&StopTimer, &QTimer::timeout, &StopTimer, [this] {
        Client.Abort();
        SetPhase(TPhase::Stopped);
    });
}

TImapPush::~TImapPush()
{
    for (QTimer *timer : {&CycleTimer, &ReconnectTimer, &ClosedTimer, &ChangeTimer, &StopTimer})
        timer->stop();
    Client.Abort();
}

void TImapPush::Log(const std::string &line)
{
    if (OnLog)
        OnLog(Mailbox + ": push: " + line);
}

void TImapPush::SetPhase(TPhase phase)
{
    if (Phase == phase)
        return;
    Phase = phase;
    if (OnStateChanged)
        OnStateChanged();
}

bool TImapPush::Stopped() const
{
    return !Preparing && (Phase == TPhase::Stopped || Phase == TPhase::Failed);
}

std::string TImapPush::StateText() const
{
    switch (Phase) {
    case TPhase::Idling:
        return pushtext::Push;
    case TPhase::Failed:
        return FailureText;
    case TPhase::Waiting: {
        const int left = std::max<int64_t>(0, RetryWaitMs - RetryClock.elapsed()) / 1000;
        return Format(pushtext::Reconnecting, std::max(left, 1));
    }
    case TPhase::Connecting:
    case TPhase::Selecting:
        return pushtext::Connecting;
    default:
        return pushtext::Off;
    }
}

void TImapPush::Start()
{
    if (!Stopped())
        return;
    FailureText.clear();
    RetrySeconds = FirstRetrySeconds;
    SelectedBefore = false;
    Client.Abort(); // a failed push may still be logging out
    ClosedTimer.stop();
    SetPhase(TPhase::Connecting);
    ReconnectTimer.start(0);
}

void TImapPush::Connect()
{
    ReconnectTimer.stop();
    if (Client.State() != TImapClient::TState::Disconnected)
        return;
    TLogin login;
    login.User = Mailbox;
    SetPhase(TPhase::Connecting);
    Preparing = true;
    const bool prepared = OnPrepare && OnPrepare(login);
    Preparing = false;
    if (Phase != TPhase::Connecting)
        return; // stopped meanwhile
    if (!prepared) {
        Fail(login.Failure.empty() ? std::string("nothing to log in with") : login.Failure);
        return;
    }
    Client.Host = Server;
    Client.User = login.User;
    Client.Password = login.Password;
    Client.AccessToken = login.AccessToken;
    Client.TimeOut = std::max(login.TimeOutMs, 1000);
    Client.SetProxy(login.ProxyHost, login.ProxyPort);
    const TServerAddress address = ParseImapAddress(Server).Server;
    Client.SpokeTlsBefore = KnownTlsServer(TlsProtocolImap, address.Host, address.Port);
    NothingToLogInWith = false;
    LastError.clear();
    Exists = 0;
    SelectTicket = IdleTicket = 0;
    ++ConnectsMade;
    Client.Connect();
}

void TImapPush::OnConnected()
{
    if (Phase != TPhase::Connecting)
        return;
    if (!Client.Offers("IDLE")) {
        Fail(pushtext::NoIdle);
        Client.Disconnect();
        return;
    }
    SetPhase(TPhase::Selecting);
    // EXAMINE: watching must change nothing, not even which messages count as recent.
    SelectTicket = Client.RequestSelect(Client.Folder(), true);
}

void TImapPush::BeginIdle()
{
    IdleTicket = Client.RequestIdle();
    if (IdleTicket == 0)
        return; // the connection is gone; its close is judged by AfterClose
    ++IdlesSent;
    SetPhase(TPhase::Idling);
    const int seconds = std::max(1, std::min(RenewSeconds, KeepAliveSeconds));
    CycleTimer.start(seconds * 1000);
}

// Renewal and keep-alive in one: DONE ends the IDLE, its answer proves the connection alive,
// and the next IDLE begins when it came.
void TImapPush::Cycle()
{
    if (Phase == TPhase::Idling)
        Client.RequestDone();
}

void TImapPush::OnRequestFinished(unsigned ticket, bool ok)
{
    if (ticket == SelectTicket) {
        SelectTicket = 0;
        TImapFolderState state;
        if (ok && Client.TakeFolderState(ticket, state)) {
            Exists = state.Exists;
            RetrySeconds = FirstRetrySeconds; // a working session ends the back-off
            if (SelectedBefore)
                ChangeTimer.start();
            SelectedBefore = true;
            BeginIdle();
        } else if (Client.Connected()) {
            Fail("the folder cannot be opened: " + Client.LastErrorText());
            Client.Disconnect();
        }
    } else if (ticket == IdleTicket) {
        IdleTicket = 0;
        if (ok && Phase == TPhase::Idling && Client.Connected())
            BeginIdle();
        else if (!ok && Client.Connected() && Phase == TPhase::Idling) {
            Fail(pushtext::NoIdle); // the server refused the command it announced
            Client.Disconnect();
        }
    }
}

void TImapPush::OnExists(uint32_t count)
{
    if (Phase != TPhase::Idling || count == Exists)
        return;
    if (count > Exists)
        ArrivedAt = QDateTime::currentMSecsSinceEpoch();
    Exists = count;
    ChangeTimer.start();
}

void TImapPush::OnExpunge(uint32_t)
{
    if (Phase != TPhase::Idling)
        return;
    Exists = Exists > 0 ? Exists - 1 : 0;
    ChangeTimer.start();
}

void TImapPush::OnTlsOffered()
{
    // The server is known for TLS from now on, as a check would note it.
    if (Client.SpokeTlsBefore)
        return;
    Client.SpokeTlsBefore = true;
    RememberTlsServer(TlsProtocolImap, Client.Address().Host, Client.Address().Port);
}

void TImapPush::OnAuthenticationNeeded()
{
    NothingToLogInWith = true;
}

void TImapPush::OnError(const std::string &text)
{
    LastError = text;
    if (Client.State() == TImapClient::TState::Disconnected)
        ClosedTimer.start();
}

void TImapPush::OnConnectionFailed()
{
    ClosedTimer.start();
}

void TImapPush::OnDisconnected()
{
    ClosedTimer.start();
}

// The connection is closed (the client has told everything it had to): stop for good, or
// try again after the pause.
void TImapPush::AfterClose()
{
    if (Client.State() != TImapClient::TState::Disconnected)
        return;
    CycleTimer.stop();
    if (Phase == TPhase::Stopping) {
        StopTimer.stop();
        SetPhase(TPhase::Stopped);
        Log("logged out");
        return;
    }
    if (Phase == TPhase::Failed || Phase == TPhase::Stopped)
        return;
    const TPop3Failure failure = Client.LastFailure();
    if (NothingToLogInWith) {
        Fail("no user ID or password to log in with");
    } else if (failure == TPop3Failure::LoginRefused || failure == TPop3Failure::SignInExpired ||
               failure == TPop3Failure::SignInRefused || Pop3FailureNeedsUser(failure)) {
        Fail(std::string(Pop3FailureText(failure)) + (LastError.empty() ? "" : ": " + LastError));
    } else {
        ScheduleReconnect();
    }
}

void TImapPush::ScheduleReconnect()
{
    RetryWaitMs = RetrySeconds * 1000;
    RetryClock.start();
    Log(Format("connection lost (%s); reconnecting in %d s", LastError.c_str(), RetrySeconds));
    RetrySeconds = std::min(RetrySeconds * 2, LastRetrySeconds);
    ReconnectTimer.start(RetryWaitMs);
    SetPhase(TPhase::Waiting);
}

void TImapPush::Fail(const std::string &why)
{
    CycleTimer.stop();
    ReconnectTimer.stop();
    FailureText = why;
    Log("stopped: " + why);
    SetPhase(TPhase::Failed);
}

void TImapPush::Stop()
{
    CycleTimer.stop();
    ReconnectTimer.stop();
    ChangeTimer.stop();
    if (Client.State() == TImapClient::TState::Disconnected) {
        if (Phase != TPhase::Failed)
            SetPhase(TPhase::Stopped);
        return;
    }
    SetPhase(TPhase::Stopping);
    Client.RequestDone();
    Client.Disconnect(); // LOGOUT once the IDLE is answered; a connect under way just ends
    if (Client.State() == TImapClient::TState::Disconnected)
        SetPhase(TPhase::Stopped);
    else
        StopTimer.start();
}

// ---- the set

void TPushSet::Sync(const std::vector<TEntry> &entries, bool enabled)
{
    Closing.erase(
        std::remove_if(Closing.begin(), Closing.end(),
                       [](const std::unique_ptr<TImapPush> &push) { return push->Stopped(); }),
        Closing.end());
    auto listed = [&](const TImapPush &push) {
        return enabled && std::any_of(entries.begin(), entries.end(), [&](const TEntry &entry) {
                   return entry.Mailbox == push.Mailbox && entry.Server == push.Server;
               });
    };
    for (auto it = Pushes.begin(); it != Pushes.end();) {
        if (listed(**it)) {
            ++it;
            continue;
        }
        Retire(std::move(*it));
        it = Pushes.erase(it);
    }
    if (!enabled || !Create)
        return;
    for (const TEntry &entry : entries) {
        TImapPush *known = Find(entry.Mailbox);
        if (known != nullptr && known->Server == entry.Server)
            continue;
        std::unique_ptr<TImapPush> push = Create(entry);
        if (!push)
            continue;
        push->Start();
        Pushes.push_back(std::move(push));
    }
}

void TPushSet::Retire(std::unique_ptr<TImapPush> push)
{
    push->OnChange = nullptr;
    push->OnStateChanged = nullptr;
    push->Stop();
    if (!push->Stopped())
        Closing.push_back(std::move(push));
}

TImapPush *TPushSet::Find(const std::string &mailbox) const
{
    for (const std::unique_ptr<TImapPush> &push : Pushes)
        if (push->Mailbox == mailbox)
            return push.get();
    return nullptr;
}

void TPushSet::StopAll()
{
    for (std::unique_ptr<TImapPush> &push : Pushes)
        Retire(std::move(push));
    Pushes.clear();
    QElapsedTimer clock;
    clock.start();
    auto open = [this] {
        return std::any_of(Closing.begin(), Closing.end(),
                           [](const std::unique_ptr<TImapPush> &push) { return !push->Stopped(); });
    };
    // Each push closes its socket within StopMs on its own; the margin covers the event
    // delivery.
    while (open() && clock.elapsed() < TImapPush::StopMs + 200)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    Closing.clear();
}

void TPushSet::Drop()
{
    Pushes.clear();
    Closing.clear();
}
