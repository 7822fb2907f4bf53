// TPop3: the monitor's POP3 mail session. It drives TPop3Client and adds what a mailbox check
// needs: defaults, a connect loop with a growing time-out and a bounded number of attempts,
// retries of each retrieval with a reconnect when the connection was lost, a cancel hook,
// copies of the newest summary or message in plain fields, and log lines by debug level that
// also feed the status display.
//
// Every wait processes events, ends when the program is quitting and asks CancelCheck.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/net/pop3client.h"
#include "korrind/engine/mailsession.h"

class TPop3 : public TMailSession, private TPop3Listener
{
public:
    // debugLevel: the level deciding which log lines are shown (the program's DebugLevel);
    // without one the session uses its own level 0.
    explicit TPop3(const uint16_t *debugLevel = nullptr);
    ~TPop3() override;
    TPop3(const TPop3 &) = delete;
    TPop3 &operator=(const TPop3 &) = delete;

    // ---- settings besides those of every session
    bool ComponentFlag2 = false; // kept for the component; nothing uses it
    int16_t ReportLevel = 0;     // kept for the component; nothing uses it
    int32_t Tag = 0;
    int32_t Port = 110;

    // ---- state
    int16_t AuthFailures = 0;
    int32_t WaitMs = 0;
    bool RetrieveDone = false;
    bool Receiving = false;
    bool ConnectionRequired = false;
    bool LastOpOk = false;
    bool LastOpFailed = false;

    bool IsConnected() const override;
    void SetProxy(const std::string &host, uint16_t port) override;
    bool Connect() override;
    bool Disconnect() override;
    void Abort() override; // nothing is committed on the server
    void ReleaseClosedSessions() override;
    int32_t MessageCount() const override;
    int64_t MessageSize(int n) const override; // from LIST
    bool GetSummary(int n) override;           // TOP n 0
    int SummaryNumber() const override;        // 0 also after GetMessage
    bool GetMessage(int n) override;
    // Summaries in one pipelined batch; the results equal those of GetSummary one by one.
    // Summary holds the last one afterwards.
    bool GetSummaries(int first, int last, std::vector<TMailSummary> &summaries) override;
    bool GetSummaryBatch(const std::vector<int> &numbers, std::vector<TMailSummary> &summaries,
                         std::vector<std::string> *ids = nullptr) override;
    // One "UIDL n" each and the summaries, in one pipeline.
    bool GetUniqueIdsAndSummaries(const std::vector<int> &idNumbers, std::vector<std::string> &ids,
                                  const std::vector<int> &summaryNumbers,
                                  std::vector<TMailSummary> &summaries) override;
    // True only when the server accepted the DELE; the server removes the message at QUIT.
    // A rejected message is deleted as any other: POP3 has no other place for it.
    bool DeleteMessage(int n, TRemoval why = TRemoval::Delete) override;
    bool GetUniqueIds(std::vector<std::string> &ids) override;
    // Deletions count only once QUIT confirmed them. Session() numbers the open session (the
    // one a DELE just went to).
    uint32_t Session() const override { return SessionNumber; }
    TDeleteOutcome DeleteOutcome(uint32_t session) const override;
    // Requested pipelined; no more than the pipeline's messages are held at once.
    bool RetrieveMessages(const std::vector<int> &numbers, const TMessageSink &sink) override;
    // DELE for every number, sent together.
    std::vector<int> DeleteMessages(const std::vector<int> &numbers,
                                    TRemoval why = TRemoval::Delete) override;
    bool Reconnect(int factor);

    TPop3Client *Component() { return Client.get(); }
    // Whether the server is worth asking for unique ids: CAPA lists UIDL, or gave no list.
    bool MayOfferUniqueIds() const override
    {
        return Client && (Client->OffersUidl() || !Client->CapaAnswered());
    }

    // "server certificate not trusted (…)"
    TPop3Failure LastFailure() const override;
    std::string FailureText() const override;
    std::string FailureDetail() const override;

private:
    enum class TConnectEnd { Connected, Failed, Cancelled, Terminated };
    enum class TKind { Summary, Message };

    int64_t WaitLimitMs() const; // longest wait for the server to end a reply or the session
    bool ConnectLoop();
    TConnectEnd AttemptConnect();
    bool Retrieve(TKind kind, int n);
    void TakeSummary(unsigned ticket);
    bool AwaitBatch(const std::vector<unsigned> &tickets);
    void TakeMessage(unsigned ticket);
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
    int ConnectRunning = 0;   // connect loops under way (a wait may start another)
    bool LoginGaveUp = false; // the server refused the login and no retry is left
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
