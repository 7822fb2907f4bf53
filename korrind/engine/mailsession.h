// TMailSession: what the monitor needs of one mailbox on a mail server, in its own words and
// whatever the protocol: connect and sign in, the count of messages and their stable
// identities, the header summaries of a set of messages, one whole message, and removing a set
// of messages. Messages are numbered 1 (the oldest) to MessageCount() within an open session;
// a unique id tells a message apart across sessions. The check cycle, the filter engine and
// the mail list talk to this interface only; TPop3 and TImapSession are its implementations.
//
// Every wait processes events, ends when the program is quitting and asks CancelCheck. The
// log lines go by debug level to the program's log and the status display.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/net/pop3client.h" // TPop3Failure: the failure classes of every protocol
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

using TMailFailure = TPop3Failure;

class TMailSession
{
public:
    using TCancelCheck = std::function<bool(bool reset)>;
    using TStatusDisplay = ::TStatusDisplay;
    // Each message is handed over as soon as it arrived; the sink answers false to stop.
    using TMessageSink = std::function<bool(int number, TStringList &lines)>;
    // A removal is committed only once the server confirmed it (POP3: at QUIT).
    enum class TDeleteOutcome { Pending, Committed, Lost };
    // Why a message leaves the mailbox: a rejected one goes where the server keeps junk.
    enum class TRemoval { Delete, Reject };

    static constexpr size_t MaxLogText = MaxSessionLogText;
    static constexpr size_t MaxHeaderValue = 512;

    explicit TMailSession(const uint16_t *debugLevel = nullptr) : DebugLevelRef(debugLevel) {}
    virtual ~TMailSession() = default;
    TMailSession(const TMailSession &) = delete;
    TMailSession &operator=(const TMailSession &) = delete;

    // ---- settings, read by Connect
    std::string Host; // the Mail Server field
    std::string Password;
    std::string AccessToken; // an OAuth2 sign-in's token, used instead of the password
    std::string User;
    std::string WorkFolder;
    bool DeleteAfterRetrieve = false;
    int32_t TimeoutStep = 1000; // ms: first connect time-out and its growth per attempt
    int32_t Tries = 5;
    TStatusDisplay StatusBar;
    TStatusDisplay StatusLabel;
    const uint16_t *DebugLevelRef = nullptr;
    TCancelCheck CancelCheck;

    // ---- results
    int32_t LastError = 0; // -1 after an operation that gave up on time-out or attempts
    std::string LogText;
    TMailSummary Summary; // of the last summary read
    TStringList RawLines; // the whole message after GetMessage, one entry per line

    // The displays, cancel check and debug level of another session: the one the program
    // set up when this one takes over for a mailbox of another protocol.
    void TakeHooksFrom(const TMailSession &other);

    // True while a mailbox is open or a connect is under way (the busy test).
    virtual bool IsConnected() const = 0;
    virtual void SetProxy(const std::string &host, uint16_t port) = 0;
    virtual bool Connect() = 0;
    virtual bool Disconnect() = 0; // answers whether still connected
    virtual void Abort() = 0;      // drops the connection at once
    // Frees what ended sessions still hold (sockets, TLS state); never during a session.
    virtual void ReleaseClosedSessions() {}
    virtual int32_t MessageCount() const = 0;     // -1 when no mailbox is open
    virtual int64_t MessageSize(int n) const = 0; // 0 when unknown
    virtual bool GetSummary(int n) = 0;
    // The number of the message whose summary Summary holds, read in the open session; 0
    // when it holds none of this session.
    virtual int SummaryNumber() const = 0;
    virtual bool GetMessage(int n) = 0;
    // Summaries of messages first..last (or of the given numbers, in that order), asked
    // together. With ids, the unique ids of all messages are asked alongside; ids stays empty
    // when the server gives none.
    virtual bool GetSummaries(int first, int last, std::vector<TMailSummary> &summaries) = 0;
    virtual bool GetSummaryBatch(const std::vector<int> &numbers,
                                 std::vector<TMailSummary> &summaries,
                                 std::vector<std::string> *ids = nullptr) = 0;
    // The unique id of each of idNumbers and the summaries of summaryNumbers, asked together.
    // False unless every one of them came.
    virtual bool GetUniqueIdsAndSummaries(const std::vector<int> &idNumbers,
                                          std::vector<std::string> &ids,
                                          const std::vector<int> &summaryNumbers,
                                          std::vector<TMailSummary> &summaries) = 0;
    // The unique id of every message (index = number - 1); false when the server offers none.
    virtual bool GetUniqueIds(std::vector<std::string> &ids) = 0;
    // Whether the server is worth asking for unique ids.
    virtual bool MayOfferUniqueIds() const = 0;
    // Messages by number, each handed to sink as soon as it arrived and freed afterwards.
    virtual bool RetrieveMessages(const std::vector<int> &numbers, const TMessageSink &sink) = 0;
    // True when the server accepted the removal; DeleteOutcome of Session() tells whether it
    // was committed.
    virtual bool DeleteMessage(int n, TRemoval why = TRemoval::Delete) = 0;
    // The numbers whose removal the server accepted.
    virtual std::vector<int> DeleteMessages(const std::vector<int> &numbers,
                                            TRemoval why = TRemoval::Delete) = 0;
    // Lists the open mailbox afresh from what the session knows: its messages without those
    // removed in it, numbered anew, as a new session would list them. Only where the server
    // removes a message at once (IMAP); false otherwise (POP3 removes at QUIT, and until then
    // the session's numbers are the old ones): the caller opens a new session instead.
    virtual bool ListWithoutRemoved() { return false; }
    // Numbers the sessions opened; DeleteOutcome tells what became of a session's removals.
    virtual uint32_t Session() const = 0;
    virtual TDeleteOutcome DeleteOutcome(uint32_t session) const = 0;
    // Why the last connect or retrieval failed: its class, that class in words followed by
    // the client's description, and the client's description alone (the server's answer).
    virtual TMailFailure LastFailure() const = 0;
    virtual std::string FailureText() const = 0;
    virtual std::string FailureDetail() const = 0;

    // The user asked to stop (Esc) since the last wait began; answered once.
    bool CancelRequested() { return Cancelled(false); }
    // The user asked to stop during a wait since the last Connect.
    bool StoppedByUser() const { return UserStopped; }
    bool WaitFor(int ms, const bool *flag = nullptr);
    void Log(int level, const char *format, ...) __attribute__((format(printf, 3, 4)));
    std::string HeaderValue(const std::vector<std::string> &lines, const std::string &name);
    std::string HeaderValue(const TStringList &lines, const std::string &name)
    {
        return HeaderValue(lines.Items(), name);
    }
    // The summary of header lines and size, with the date normalised.
    TMailSummary MakeSummary(const TPop3Summary &fields, const std::vector<std::string> &lines);

protected:
    enum class TWaitEnd { Done, TimedOut, Cancelled, Terminated };
    static constexpr int PumpSliceMs = 50; // longest sleep between looks at cancel and quit

    // Processes the pending events, or sleeps until the next one arrives but at most ms, so
    // waits neither spin nor add latency to each server reply.
    static void PumpEvents(int ms);

    int Level() const;
    bool Cancelled(bool reset);
    // The failure's class in words followed by the client's description.
    static std::string DescribeFailure(TMailFailure failure, std::string detail);
    TWaitEnd WaitUntil(const std::function<bool()> &done, const std::function<int()> &limitMs);
    TWaitEnd Pause(int ms);

    uint16_t OwnDebugLevel = 0;
    bool UserStopped = false; // see StoppedByUser
};

// The session of the mailbox being checked or listed.
extern TMailSession *Mail;
