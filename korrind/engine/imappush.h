// TImapPush: one IMAP mailbox watched between checks. It keeps a connection of its own (its own
// TImapClient, never the check's session) logged in, with the mailbox's folder examined and the
// server in IDLE, and reports that the folder changed (a message arrived or was expunged) so
// the owner can check it at once. It never reads or changes a message itself.
//
// It stays connected: IDLE is ended and begun again every RenewSeconds (well before the 29
// minutes after which a server may drop an idle client) and every KeepAliveSeconds, and a
// reply that does not come within the time-out counts as a dropped connection. A dropped
// connection is opened again after 1 s, then after twice the pause before, up to 5 minutes.
// A refused login, a missing password or sign-in, a certificate that does not verify or a
// server that offers no IDLE stops it, with the reason in StateText(), until Start() is called
// again: it never logs in again and again with what the server refused. The password or
// access token is asked for through OnPrepare before every connect, so a token is fresh.
// Reports come from the event loop, never from inside the client's own handlers. A session
// opened again after a drop reports a change at once: mail may have come while it was away.
//
// TPushSet keeps one TImapPush per active IMAP mailbox of a mailbox list, by caption and server.
#pragma once

#include <QElapsedTimer>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/net/imapclient.h"

// Fixed texts of the push state (the Summary row's tooltip shows them).
namespace pushtext {
inline constexpr char Push[] = "push";
inline constexpr char NoIdle[] = "server offers no IDLE";
inline constexpr char Reconnecting[] = "reconnecting in %d s";
inline constexpr char Connecting[] = "connecting for push";
inline constexpr char Off[] = "push off";
} // namespace pushtext

class TImapPush : private TImapListener
{
public:
    static constexpr int DefaultRenewSeconds = 25 * 60;
    static constexpr int DefaultKeepAliveSeconds = 4 * 60;
    static constexpr int FirstRetrySeconds = 1;
    static constexpr int LastRetrySeconds = 5 * 60;
    static constexpr int StopMs = 1000; // Stop: DONE and LOGOUT, then the socket is closed

    // What a connect logs in with; OnPrepare fills it or answers false with Failure set.
    struct TLogin
    {
        std::string User;
        std::string Password;
        std::string AccessToken;
        std::string ProxyHost;
        int ProxyPort = 0;
        int TimeOutMs = 30000;
        std::string Failure; // why there is nothing to log in with
    };

    TImapPush(std::string mailbox, std::string server);
    ~TImapPush() override;
    TImapPush(const TImapPush &) = delete;
    TImapPush &operator=(const TImapPush &) = delete;

    const std::string Mailbox; // the mailbox's caption (user ID)
    const std::string Server;  // its Mail Server field
    int RenewSeconds = DefaultRenewSeconds;
    int KeepAliveSeconds = DefaultKeepAliveSeconds;

    std::function<bool(TLogin &login)> OnPrepare;
    std::function<void()> OnChange;                 // the folder changed
    std::function<void()> OnStateChanged;           // StateText() may read differently
    std::function<void(const std::string &)> OnLog; // a line for the program's log

    // Starts watching (again: a stopped or failed push tries afresh), connecting from the
    // event loop; nothing while running.
    void Start();
    // Ends IDLE with DONE, logs out and closes; the socket is closed within StopMs whatever the
    // server does. Stopped() tells when it is over.
    void Stop();
    bool Stopped() const;
    // Whether it stopped for a reason only the user or the server's owner can mend.
    bool Failed() const { return Phase == TPhase::Failed; }
    // "push", "server offers no IDLE", "reconnecting in 40 s", "connecting for push" or the
    // failure that stopped it.
    std::string StateText() const;
    bool Idling() const { return Phase == TPhase::Idling; }
    int IdleCommands() const { return IdlesSent; } // IDLE commands sent since construction
    int Connects() const { return ConnectsMade; }
    // When the server last reported more messages (ms since the epoch; 0: never).
    int64_t LastArrivalMs() const { return ArrivedAt; }

private:
    enum class TPhase { Stopped, Connecting, Selecting, Idling, Waiting, Failed, Stopping };

    void Connect();
    void BeginIdle();
    void Cycle();
    void SetPhase(TPhase phase);
    void Fail(const std::string &why);
    void AfterClose();
    void ScheduleReconnect();
    void Log(const std::string &line);

    void OnAuthenticationNeeded() override;
    void OnConnected() override;
    void OnConnectionFailed() override;
    void OnTlsOffered() override;
    void OnDisconnected() override;
    void OnError(const std::string &text) override;
    void OnRequestFinished(unsigned ticket, bool ok) override;
    void OnExists(uint32_t count) override;
    void OnExpunge(uint32_t sequence) override;

    TImapClient Client;
    TPhase Phase = TPhase::Stopped;
    std::string FailureText;
    std::string LastError;
    bool NothingToLogInWith = false;
    bool Preparing = false;      // inside OnPrepare, which may process events
    bool SelectedBefore = false; // a session of this start reached IDLE before
    unsigned SelectTicket = 0;
    unsigned IdleTicket = 0;
    uint32_t Exists = 0;
    int RetrySeconds = FirstRetrySeconds;
    int IdlesSent = 0;
    int ConnectsMade = 0;
    int64_t ArrivedAt = 0;
    QElapsedTimer RetryClock;
    int RetryWaitMs = 0;
    QTimer CycleTimer;     // DONE + IDLE: renewal and keep-alive
    QTimer ReconnectTimer; // the back-off after a drop
    QTimer ClosedTimer;    // 0 ms: judges a close once the client has settled
    QTimer ChangeTimer;    // 0 ms: reports a change from the event loop
    QTimer StopTimer;      // Stop's limit
};

// One push per active IMAP mailbox.
class TPushSet
{
public:
    struct TEntry
    {
        std::string Mailbox;
        std::string Server;
    };
    // Creates a push for a mailbox, wired by the owner (hooks, intervals); not yet started.
    std::function<std::unique_ptr<TImapPush>(const TEntry &entry)> Create;

    // Starts a push for each entry that has none (by caption and server) and stops and drops
    // those no longer listed; with enabled false every push is stopped and dropped.
    void Sync(const std::vector<TEntry> &entries, bool enabled);
    // Stops every push and waits, processing events, until all have closed or StopMs passed.
    void StopAll();
    // Ends every push at once, without a word to the servers (the owner is going away).
    void Drop();
    TImapPush *Find(const std::string &mailbox) const;
    size_t Size() const { return Pushes.size(); }
    const std::vector<std::unique_ptr<TImapPush>> &All() const { return Pushes; }

private:
    void Retire(std::unique_ptr<TImapPush> push);
    std::vector<std::unique_ptr<TImapPush>> Pushes;
    std::vector<std::unique_ptr<TImapPush>> Closing; // stopping; freed once closed
};
