// TPop3: the monitor's one POP3 session. It drives TPop3Client and adds what a mailbox check
// needs: defaults, a connect loop with a growing time-out and a bounded number of attempts,
// retries of each retrieval with a reconnect when the connection was lost, a cancel hook,
// copies of the newest summary or message in plain fields, and log lines by debug level that
// also feed the status display.
//
// Every wait processes events, ends when the program is quitting and asks CancelCheck.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/net/pop3client.h"
#include "common/sessionlog.h"
#include "common/stringlist.h"

// The header fields of one message on the server.
struct TMailSummary
{
    std::string To;
    std::string From;
    std::string Subject;
    std::string MessageId;
    std::string Date; // normalised (TUtils::NormalizeMailDate)
    std::string Received;
    TStringList HeaderLines;
    int32_t Size = 0;
};

class TPop3 : private TPop3Listener
{
public:
    using TCancelCheck = std::function<bool(bool reset)>;
    using TStatusDisplay = ::TStatusDisplay;

    static constexpr size_t MaxLogText = MaxSessionLogText;
    static constexpr size_t MaxHeaderValue = 512;

    // debugLevel: the level deciding which log lines are shown (the program's DebugLevel);
    // without one the session uses its own level 0.
    explicit TPop3(const uint16_t *debugLevel = nullptr);
    ~TPop3() override;
    TPop3(const TPop3 &) = delete;
    TPop3 &operator=(const TPop3 &) = delete;

    // ---- settings
    std::string Host; // may carry ":port" or "pop3s://"
    std::string Password;
    std::string AccessToken; // an OAuth2 sign-in's token, used instead of the password
    std::string User;
    std::string WorkFolder;
    bool DeleteAfterRetrieve = false;
    bool ComponentFlag2 = false; // kept for the component; nothing uses it
    int16_t ReportLevel = 0;     // kept for the component; nothing uses it
    int32_t Tag = 0;
    int32_t Port = 110;
    int32_t TimeoutStep = 1000; // ms: first connect time-out and its growth per attempt
    int32_t Tries = 5;
    TStatusDisplay StatusBar;
    TStatusDisplay StatusLabel;
    const uint16_t *DebugLevelRef = nullptr;
    TCancelCheck CancelCheck;

    // ---- state
    int32_t LastError = 0; // -1 after an operation that gave up on time-out or attempts
    int16_t AuthFailures = 0;
    int32_t WaitMs = 0;
    bool RetrieveDone = false;
    bool Receiving = false;
    bool ConnectionRequired = false;
    bool LastOpOk = false;
    bool LastOpFailed = false;
    std::string LogText;
    TMailSummary Summary;
    TStringList RawLines; // the whole message after GetMessage, one entry per line

    // True while a mailbox is open or a connect is under way (the busy test).
    bool IsConnected() const;
    void SetProxy(const std::string &host, uint16_t port);
    bool Connect();
    bool Disconnect(); // answers whether still connected
    void Abort();      // drops the connection at once; nothing is committed on the server
    int32_t MessageCount() const; // -1 when no mailbox is open
    bool GetSummary(int n);       // n: 1 = oldest
    // The number of the message whose summary Summary holds, read in the open session; 0 when
    // it holds none of this session (or a message's fields since GetMessage).
    int SummaryNumber() const;
    bool GetMessage(int n);
    // Summaries of messages first..last, requested in one pipelined batch; the results equal
    // those of GetSummary one by one. Summary holds the last one afterwards.
    bool GetSummaries(int first, int last, std::vector<TMailSummary> &summaries);
    // The same for the given message numbers, in that order. With ids, the unique ids of all
    // messages are asked in the same pipeline; ids stays empty when the server refuses them.
    bool GetSummaryBatch(const std::vector<int> &numbers, std::vector<TMailSummary> &summaries,
                         std::vector<std::string> *ids = nullptr);
    // In one pipeline: the unique id of each of idNumbers (one "UIDL n" each) and the
    // summaries of summaryNumbers. False unless every one of them came.
    bool GetUniqueIdsAndSummaries(const std::vector<int> &idNumbers, std::vector<std::string> &ids,
                                  const std::vector<int> &summaryNumbers,
                                  std::vector<TMailSummary> &summaries);
    // True only when the server accepted the DELE; the server removes the message at QUIT.
    bool DeleteMessage(int n);
    // The server's unique id of every message (index = number - 1); false when the server
    // offers none or the connection failed.
    bool GetUniqueIds(std::vector<std::string> &ids);
    // Deletions count only once QUIT confirmed them. Session() numbers the open session (the
    // one a DELE just went to); DeleteOutcome tells what became of that session's deletions.
    enum class TDeleteOutcome { Pending, Committed, Lost };
    uint32_t Session() const { return SessionNumber; }
    TDeleteOutcome DeleteOutcome(uint32_t session) const;
    // Messages by number, requested pipelined; each one is handed to sink as soon as it has
    // arrived and is freed afterwards, so no more than the pipeline's messages are held at
    // once. sink answers false to stop. True when every message arrived and was taken.
    using TMessageSink = std::function<bool(int number, TStringList &lines)>;
    bool RetrieveMessages(const std::vector<int> &numbers, const TMessageSink &sink);
    // DELE for every number, sent together; answers the numbers the server accepted. They are
    // deleted only once QUIT confirmed them (DeleteOutcome of this Session()).
    std::vector<int> DeleteMessages(const std::vector<int> &numbers);
    std::string HeaderValue(const std::vector<std::string> &lines, const std::string &name);
    std::string HeaderValue(const TStringList &lines, const std::string &name)
    {
        return HeaderValue(lines.Items(), name);
    }
    bool Reconnect(int factor);
    // The user asked to stop (Esc) since the last wait began; answered once. For work between
    // waits that pumps events.
    bool CancelRequested() { return Cancelled(false); }
    // The user asked to stop (Esc) during a wait since the last Connect: reads that failed
    // since then were stopped, not lost.
    bool StoppedByUser() const { return UserStopped; }
    bool WaitFor(int ms, const bool *flag = nullptr);
    void Log(int level, const char *format, ...) __attribute__((format(printf, 3, 4)));

    TPop3Client *Component() { return Client.get(); }
    // Whether the server is worth asking for unique ids: CAPA lists UIDL, or gave no list.
    bool MayOfferUniqueIds() const
    {
        return Client && (Client->OffersUidl() || !Client->CapaAnswered());
    }

    // Why the last connect or retrieval failed: its class, and that class in words followed
    // by the client's own description ("server certificate not trusted (…)").
    TPop3Failure LastFailure() const;
    std::string FailureText() const;

private:
    enum class TWaitEnd { Done, TimedOut, Cancelled, Terminated };
    enum class TConnectEnd { Connected, Failed, Cancelled, Terminated };
    enum class TKind { Summary, Message };

    int Level() const;
    int64_t WaitLimitMs() const; // longest wait for the server to end a reply or the session
    bool Cancelled(bool reset);
    TWaitEnd WaitUntil(const std::function<bool()> &done, const std::function<int()> &limitMs);
    TWaitEnd Pause(int ms);
    bool ConnectLoop();
    TConnectEnd AttemptConnect();
    bool Retrieve(TKind kind, int n);
    void TakeSummary(unsigned ticket);
    bool AwaitBatch(const std::vector<unsigned> &tickets);
    void TakeMessage(unsigned ticket);
    TMailSummary MakeSummary(const TPop3Summary &fields, const std::vector<std::string> &lines);
    const char *HostText() const;
    const char *UserText() const;

    // Reports of the client.
    void OnAuthenticationFailed(bool &retry) override;
    void OnAuthenticationNeeded() override;
    void OnConnected() override;
    void OnConnectionFailed() override;
    void OnTlsOffered() override; // remembered: the server gets no login in clear text again
    void OnConnectionRequired() override;
    void OnDisconnected() override;
    void OnFailure() override;
    void OnHostResolved() override;
    void OnInvalidHost() override;
    void OnListEntry(int number, int64_t size) override;
    void OnPacketReceived(int64_t received, int64_t total) override;
    void OnRetrieveStart(int64_t total) override;
    void OnRetrieveEnd() override;
    void OnStatus(const std::string &text) override;
    void OnSuccess() override;
    void OnError(const std::string &text) override;
    void OnRequestFinished(unsigned ticket, bool ok) override;

    std::unique_ptr<TPop3Client> Client;
    uint16_t OwnDebugLevel = 0;
    int ConnectRunning = 0;   // connect loops under way (a wait may start another)
    bool LoginGaveUp = false; // the server refused the login and no retry is left
    bool UserStopped = false; // see StoppedByUser
    unsigned CurrentTicket = 0;
    int SummaryOf = 0;           // see SummaryNumber
    uint32_t SummarySession = 0; // the session it was read in
    void NoteSummaryOf(int n);
    bool RequestFailed = false;
    std::vector<int> PendingDeletes; // messages whose DELE was accepted, not yet committed by QUIT
    uint32_t SessionNumber = 0;      // counts the sessions opened
    bool SessionOpen = false;
    std::set<uint32_t> LostDeleteSessions; // sessions whose accepted DELEs were not committed
    bool BatchProgress = false;            // a request of the batch finished
    std::map<unsigned, size_t> BatchIndex; // ticket → entry of the batch under way
    std::vector<char> BatchState;          // per entry: 0 waiting, 1 done, 2 failed
    size_t BatchOpen = 0;
    std::map<unsigned, char> StreamState; // ticket → 0 waiting, 1 done, 2 failed (batches
                                          // of RetrieveMessages and DeleteMessages)
    bool WaitStreamed(unsigned ticket);
};

extern TPop3 *Pop3;
