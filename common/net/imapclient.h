// TImapClient: an event-driven IMAP4rev1 client on QSslSocket, in the manner of TPop3Client.
// Every operation only starts work and returns at once; results come back as reports to a
// TImapListener while the caller keeps the event loop running. No call ever blocks.
//
// Protocol: greeting, CAPABILITY (again after STARTTLS and after the login unless the server
// sent it), STARTTLS when offered (implicit TLS for "imaps://" or port 993), login by
// AUTHENTICATE PLAIN (with SASL-IR when offered) or LOGIN, or with an OAuth2 access token by
// AUTHENTICATE OAUTHBEARER or XOAUTH2 (over TLS only). Then, on request: SELECT or EXAMINE, UID
// FETCH of sizes, headers and whole messages (always BODY.PEEK: reading never sets \Seen), LIST
// with the special-use flags, UID MOVE or UID COPY + UID STORE + UID EXPUNGE, NOOP, IDLE (RFC
// 2177) with its DONE, and LOGOUT.
// Commands are tagged and pipelined; responses are matched to them by tag. The login is short
// (see ShortLogin): capabilities come from the greeting and the login's answer when the server
// puts them there (read again after STARTTLS, as the clear-text ones may have been changed on the
// way), the SASL response goes with AUTHENTICATE when SASL-IR is offered, requests made while
// connecting go out right behind the login, and a TLS session is resumed from one connection to
// the next. Lines and literals
// are bounded and every reply must end within a deadline, so a broken or hostile server gives
// a failed request, never a crash, a hang or unbounded memory. A plain EXPUNGE is never sent.
// No secret is written to any log line or error text.
#pragma once

#include <QSslSocket>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/net/pop3client.h" // TServerAddress, TPop3Failure, TPop3Summary
#include "common/stringlist.h"

class TImapReader;
struct TImapResponse;

// The forms of an IMAP server: "imap://host[:port]" (143, STARTTLS when offered),
// "imaps://host[:port]" (implicit TLS, 993) and "imap+tls://host[:port]" (STARTTLS required),
// each with an optional folder path ("imaps://host/Lists/Work"; INBOX without one).
inline constexpr char ImapScheme[] = "imap://";
inline constexpr char ImapsScheme[] = "imaps://";
inline constexpr char ImapRequireTlsScheme[] = "imap+tls://";
inline constexpr int ImapPort = 143;
inline constexpr int ImapsPort = 993;
struct TImapAddress
{
    TServerAddress Server; // ImplicitTls for imaps:// or port 993, RequireTls for imap+tls://
    std::string Folder = "INBOX";
};
// Whether a Mail Server field names an IMAP server (one of the three schemes).
bool IsImapAddress(const std::string &server);
TImapAddress ParseImapAddress(const std::string &server);

// What SELECT or EXAMINE reported of a folder.
struct TImapFolderState
{
    uint32_t UidValidity = 0;
    uint32_t UidNext = 0;
    uint32_t Exists = 0;
    bool ReadOnly = false;
};

// One folder of LIST: its name as the server spells it (for commands) and its attributes
// ("\Junk", "\Trash", "\Noselect", ...; compared without regard to case).
struct TImapFolder
{
    std::string Name;
    std::vector<std::string> Attributes;
    bool Has(const std::string &attribute) const;
};

// One message of a UID FETCH. Summary is filled when the header was asked (its Size is the
// RFC822.SIZE); Size alone otherwise.
struct TImapMessage
{
    uint32_t Uid = 0;
    int64_t Size = 0;
    bool Deleted = false; // FLAGS holds \Deleted (RequestSizes asks for the flags too)
    TPop3Summary Summary;
};

class TImapListener
{
public:
    virtual ~TImapListener() = default;
    // The login was refused. Setting retry makes the client try again on the same connection
    // (never after a refused access token).
    virtual void OnAuthenticationFailed(bool &retry) {}
    virtual void OnAuthenticationNeeded() {} // no user or password to log in with
    virtual void OnConnected() {}            // logged in; requests may be sent
    virtual void OnConnectionFailed() {}     // the connection or its set-up failed
    virtual void OnTlsOffered() {}           // CAPABILITY on the clear connection listed STARTTLS
    virtual void OnDisconnected() {}
    virtual void OnStatus(const std::string &text) {} // a response line, for the log (no secret)
    virtual void OnError(const std::string &text) {}  // why a connection or command failed
    virtual void OnRequestFinished(unsigned ticket, bool ok) {}
    // Untagged news about the selected folder (for a session that stays open, in IDLE or not).
    virtual void OnExists(uint32_t count) {}
    virtual void OnExpunge(uint32_t sequence) {}
};

class TImapClient
{
public:
    enum class TState { Disconnected, Connecting, Ready, LoggingOut };

    static constexpr size_t MaxLine = 64 * 1024;        // one response line, without literals
    static constexpr int64_t MaxLiteral = 256LL << 20;  // one literal (a whole message)
    static constexpr int64_t MaxResponse = 300LL << 20; // one untagged response with literals
    static constexpr int ReplyTimeOuts = 2;             // as TPop3Client's deadlines
    static constexpr int64_t DeadlineBlock = 64 * 1024;
    // UIDs per UID FETCH, MOVE, COPY or STORE command, so no command line grows unbounded.
    static constexpr size_t MaxUidsPerCommand = 500;

    explicit TImapClient(TImapListener *listener);
    ~TImapClient();
    TImapClient(const TImapClient &) = delete;
    TImapClient &operator=(const TImapClient &) = delete;

    // Settings, read when Connect starts.
    std::string Host; // one of the forms of ParseImapAddress
    std::string User;
    std::string Password;
    std::string AccessToken; // OAuth2: OAUTHBEARER or XOAUTH2 instead of the password, TLS only
    int TimeOut = 30000;     // ms of silence from the server before an operation fails
    // The server offered STARTTLS before: without TLS now it gets no login.
    bool SpokeTlsBefore = false;
    void SetProxy(const std::string &host, int port); // SOCKS5; empty host: direct

    TState State() const { return State_; }
    bool Connected() const { return State_ == TState::Ready; }
    bool Secure() const { return Secure_; }
    // A capability the server announced (after the login, the last list it sent), e.g. "MOVE",
    // "UIDPLUS", "IDLE", "SPECIAL-USE"; compared without regard to case.
    bool Offers(const std::string &capability) const;
    std::string LastErrorText() const { return LastErrorText_; }
    TPop3Failure LastFailure() const { return LastFailure_; }
    int64_t BytesReceived() const { return BytesReceived_; }
    TServerAddress Address() const { return Address_.Server; }
    std::string Folder() const { return Address_.Folder; }

    void Connect();    // ends in OnConnected, or in a failure report and OnDisconnected
    void Disconnect(); // LOGOUT after the requests already sent, then close
    void Abort();      // close at once; requests under way fail
    void ReleaseClosedSockets();

    // Requests answer a ticket (0 without a connection); OnRequestFinished reports each.
    // While connecting, the requests wait and go out with the login (when the connection
    // fails they end with it, without a report).
    // SELECT (readOnly false) or EXAMINE of folder; TakeFolderState.
    unsigned RequestSelect(const std::string &folder, bool readOnly);
    // UID FETCH first:* (UID RFC822.SIZE FLAGS): every message of the selected folder from that UID
    // on, ascending by UID; TakeMessages.
    unsigned RequestSizes(uint32_t firstUid = 1);
    // UID FETCH of the given UIDs (UID RFC822.SIZE BODY.PEEK[HEADER]); TakeMessages, in the
    // order the server sent them. UIDs the server no longer has are simply missing.
    unsigned RequestHeaders(const std::vector<uint32_t> &uids);
    // FETCH * (UID RFC822.SIZE BODY.PEEK[HEADER]): the header of the newest message, asked
    // before its UID is known (beside the SELECT); TakeMessages. Fails on an empty folder.
    unsigned RequestNewestHeader();
    // UID FETCH uid (BODY.PEEK[]); TakeMessage gives its lines (without CRLF). Fails when the
    // server no longer has the message.
    unsigned RequestMessage(uint32_t uid);
    // LIST "" "*" (with RETURN (SPECIAL-USE) when offered); TakeFolders.
    unsigned RequestFolders();
    // Moves the UIDs to folder: UID MOVE when offered, otherwise UID COPY, UID STORE +FLAGS
    // (\Deleted) and, when UIDPLUS is offered, UID EXPUNGE of exactly those UIDs. TakeUids
    // gives the UIDs that are known to have left the folder (COPYUID/EXPUNGE answers, or all
    // asked when the server confirmed the command without saying which). Without UIDPLUS the
    // copied messages stay marked \Deleted, which counts as gone: listings skip them.
    unsigned RequestMove(const std::vector<uint32_t> &uids, const std::string &folder);
    // UID STORE +FLAGS.SILENT (\Deleted) and, when UIDPLUS is offered, UID EXPUNGE of exactly
    // those UIDs (without UIDPLUS they stay marked \Deleted, which counts as gone); TakeUids
    // as above.
    unsigned RequestDelete(const std::vector<uint32_t> &uids);
    unsigned RequestNoop();
    // IDLE on the selected folder: the server then reports changes as they happen (OnExists,
    // OnExpunge) and no silence counts as a time-out. The request finishes when the server
    // answers the DONE that RequestDone sends; any other request ends the IDLE first. Nothing
    // is sent after it until then. 0 when the server offers no IDLE.
    unsigned RequestIdle();
    // Ends the IDLE under way (at once, or as soon as the server accepted it); its answer must
    // come within the time-out. False when no IDLE is under way.
    bool RequestDone();
    bool Idling() const; // the server accepted an IDLE that no DONE ended yet

    // Results of finished requests; each can be taken once.
    bool TakeFolderState(unsigned ticket, TImapFolderState &state);
    bool TakeMessages(unsigned ticket, std::vector<TImapMessage> &messages);
    bool TakeMessage(unsigned ticket, TStringList &lines);
    bool TakeFolders(unsigned ticket, std::vector<TImapFolder> &folders);
    bool TakeUids(unsigned ticket, std::vector<uint32_t> &uids);

private:
    enum class TKind {
        Greeting,
        Capability,
        StartTls,
        Login,
        AuthBearer,
        Select,
        Sizes,
        Headers,
        Message,
        List,
        Move,
        Copy,
        Store,
        Expunge,
        Noop,
        Idle,
        Logout
    };
    struct TCommand
    {
        TKind Kind = TKind::Noop;
        std::string Tag;
        std::vector<std::string> Parts; // sent one by one, each after a continuation
        size_t NextPart = 0;
        std::string Log; // the command as the log shows it, secrets masked
        unsigned Ticket = 0;
        bool Sent = false;
        bool Answered = false; // a token login answered the server's error challenge
        uint64_t Serial = 0;
        int64_t Expected = 0;           // bytes of reply expected, for the deadline
        std::vector<uint32_t> Uids;     // asked, ascending
        bool Newest = false;            // FETCH * : the message with the highest UID
        uint32_t FirstUid = 0;          // of a sizes FETCH
        std::vector<uint32_t> CopyUids; // source UIDs a COPYUID code named
        bool CopyUidSeen = false;
        bool Idling = false;     // an IDLE the server accepted
        bool DoneWanted = false; // an IDLE to end as soon as the server accepted it
        bool DoneSent = false;
    };
    struct TRequest
    {
        TKind Kind = TKind::Noop;
        bool Ok = true;
        int Outstanding = 0;
        std::deque<TCommand> Steps; // sent one after another, each once the one before is OK
        TImapFolderState FolderState;
        std::vector<TImapMessage> Messages;
        bool GotBody = false;
        TStringList Lines;
        std::vector<TImapFolder> Folders;
        std::vector<uint32_t> Gone;
        std::string Failure;
    };
    enum class TFailKind { Connection, InvalidHost, Silent };

    TCommand MakeCommand(TKind kind, const std::string &line);
    void Push(TCommand command);
    void PushSimple(TKind kind, const std::string &line) { Push(MakeCommand(kind, line)); }
    unsigned StartRequest(TKind kind, std::vector<TCommand> commands, bool sequential);
    void SendQueued();
    void SendPart(TCommand &command);
    TCommand *AwaitingContinuation();
    TCommand *OldestSent();
    int64_t ExpectedBytes(const TCommand &command) const;
    void ArmTimer(bool restart = true);
    void OnReadyRead();
    void HandleResponse(const std::string &raw);
    void HandleContinuation(const TImapResponse &response);
    void HandleUntagged(const TImapResponse &response);
    void HandleStatusCode(const TImapResponse &response, TCommand *command);
    void HandleFetch(const TImapResponse &response);
    void HandleTagged(const TImapResponse &response);
    void Dispatch(TCommand &command, bool ok, const TImapResponse &response);
    void AfterGreeting(const TImapResponse &response);
    void AfterCapability();
    void SetCapabilities(const std::vector<std::string> &words, size_t first);
    void StartLogin();
    void StartBearerLogin();
    void LoginDone(const TImapResponse &response);
    void LoginRefused(const std::string &status);
    void BearerRefused(const std::string &status);
    void BecomeReady();
    void ReleaseHeld();
    bool ClearsTheWay(const TCommand &sent) const;
    void CommandDone(TCommand &command, bool ok, const std::string &status);
    void FinishRequest(unsigned ticket);
    TCommand *SentOf(TKind kind);
    TCommand *IdleCommand();
    void SendDone(TCommand &idle);
    TRequest *RequestOf(const TCommand *command);
    void ProtocolError(const std::string &why);
    void FailConnect(TFailKind kind, const std::string &why);
    void LoseConnection(const std::string &why);
    void OnRemoteClosed();
    void OnSocketError();
    void OnTimeOut(const std::string &why);
    void TearDown();
    std::vector<unsigned> PendingTickets() const;
    void NoteFailure(TPop3Failure failure);
    void Log(const std::string &line);
    std::string Quote(const std::string &value) const;

    TImapListener *Listener;
    std::unique_ptr<QSslSocket> Socket;
    std::vector<QMetaObject::Connection> Links;
    std::vector<std::unique_ptr<QSslSocket>> Retired; // closed sockets, deleted on next Connect
    QTimer Timer;                                     // silence
    QTimer DeadlineTimer;                             // the reply awaited did not end in time
    TImapAddress Address_;
    std::string ProxyHost;
    int ProxyPort = 0;
    TState State_ = TState::Disconnected;
    bool Secure_ = false;
    bool LoggedIn = false;
    bool StartedTls = false;
    std::vector<std::string> Capabilities; // upper-cased
    TBearerMechanism Bearer = TBearerMechanism::XOAuth2;
    TBearerError BearerRefusal;
    std::string LastErrorText_;
    std::string SslErrorText;
    bool SslNameOnly = false;
    TPop3Failure LastFailure_ = TPop3Failure::None;
    int64_t BytesReceived_ = 0;
    std::unique_ptr<TImapReader> Reader;
    std::deque<TCommand> Queue; // sent and unsent, in order
    std::vector<TCommand> Held; // requested while connecting: they follow the login
    bool LoginSent = false;     // the login went out whole: requests may follow it
    std::map<unsigned, TRequest> Requests;
    std::map<uint32_t, int64_t> KnownSizes; // UID → RFC822.SIZE of the selected folder
    uint32_t Exists = 0;
    uint64_t NextSerial = 1;
    uint64_t DeadlinePhase = 0;
    bool DeadlineArmed = false;
    bool Reading = false;
    unsigned Generation = 0;
    unsigned NextTicket = 1;
    unsigned NextTag = 1;
    std::map<unsigned, TImapFolderState> FolderStates;
    std::map<unsigned, std::vector<TImapMessage>> MessageLists;
    std::map<unsigned, TStringList> MessageLines;
    std::map<unsigned, std::vector<TImapFolder>> FolderLists;
    std::map<unsigned, std::vector<uint32_t>> UidLists;
};
