// TPop3Client: an event-driven POP3 client on QSslSocket. Every operation only starts work and
// returns at once; progress and results come back as reports to a TPop3Listener while the
// caller keeps the event loop running. No call ever blocks.
//
// Protocol: greeting, CAPA, STLS when offered (implicit TLS for port 995 or "pop3s://host"),
// login by USER/PASS, APOP, SASL PLAIN or, with an OAuth2 access token, SASL OAUTHBEARER or
// XOAUTH2 (over TLS only), STAT and LIST once the mailbox is open, then TOP n 0
// for summaries (several at once when the server offers PIPELINING), RETR, DELE and QUIT.
// The login is short (see ShortLogin): over implicit TLS the CAPA goes out with the end of the
// handshake, a server known to speak TLS gets STLS without a CAPA before it, AUTH PLAIN carries
// its initial response, and with PIPELINING the login, STAT and LIST share one round trip.
// The capabilities are always read again once TLS is up: what the server said in clear text
// could have been changed on the way. A TLS session is resumed from one connection to the next.
// Every reply must end within a deadline that grows with its expected size, so a server that
// trickles a byte at a time cannot hold a session for ever. The client never deletes on its
// own: a DELE is sent only when the owner asks for it.
// Certificates are verified against the system CAs plus those in the file SSL_CERT_FILE names.
// No login goes out in clear text to a server that must be reached over TLS.
#pragma once

#include <QSslSocket>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/net/saslxoauth.h"
#include "common/stringlist.h"

// The header fields of one message as the client reads them: From, To and Subject unfolded
// and decoded to UTF-8 (double quotes removed), the message ID, the raw header lines and the
// size from LIST.
struct TPop3Summary
{
    std::string From;
    std::string To;
    std::string Subject;
    std::string MessageId;
    TStringList HeaderLines; // up to (not including) the empty line ending the header
    int64_t Size = 0;
};

// Builds the decoded fields of a summary from header lines (or a whole message).
TPop3Summary SummarizeHeader(const std::vector<std::string> &lines);

// A server written "host", "host:port", "pop3s://host[:port]", "pop3+tls://host[:port]",
// "pop3://host" or "[v6]:port". Another scheme ("imaps://host/Work") gives its host and port,
// without the folder path.
struct TServerAddress
{
    std::string Host;
    int Port = 0;
    bool ImplicitTls = false;
    bool RequireTls = false; // written with Pop3RequireTlsScheme
};
// The form of a server that must be reached over TLS: the connection is upgraded with STLS, and
// without it no login is sent.
inline constexpr char Pop3RequireTlsScheme[] = "pop3+tls://";
TServerAddress ParseServerAddress(const std::string &server, int defaultPort);

// What ended the last connection or session, in the classes a user can act on.
enum class TPop3Failure {
    None,
    CertificateUntrusted, // the server's certificate does not verify
    CertificateName,      // the certificate is valid but names another server
    LoginRefused,
    ConnectionRefused,
    NameNotFound,
    TimedOut,
    TlsNotOffered, // TLS is required, but the server did not offer STLS: no login was sent
    TlsRefused,    // the server offered STLS and then refused it: no login was sent
    Other,         // see LastErrorText
    // The server refused the access token as invalid or expired: a fresh access token (a
    // refresh) may mend it; the same token will be refused again.
    SignInExpired,
    SignInRefused // the server refused the access token otherwise
};
// The failure in a few words ("server certificate not trusted"); "" for None.
const char *Pop3FailureText(TPop3Failure failure);
// Failures that trying again cannot mend: the user must change a setting or the server's.
// SignInExpired is not among them: a fresh access token may mend it.
bool Pop3FailureNeedsUser(TPop3Failure failure);

// The reports of the client. Each has an empty default so a listener binds what it needs.
class TPop3Listener
{
public:
    virtual ~TPop3Listener() = default;
    // A login was refused. Setting retry makes the client try again on the same connection
    // (not after a refused access token: the same token would be refused again).
    virtual void OnAuthenticationFailed(bool &retry) {}
    virtual void OnAuthenticationNeeded() {} // no user or password to log in with
    virtual void OnConnected() {}            // logged in, mailbox open
    virtual void OnConnectionFailed() {}     // the connection or its set-up failed
    virtual void OnTlsOffered() {}           // CAPA on the clear-text connection listed STLS
    virtual void OnConnectionRequired() {}   // an operation needs a connection there is not
    virtual void OnDisconnected() {}
    virtual void OnFailure() {}      // the server refused a command (or answered garbage)
    virtual void OnHostResolved() {} // the server's name was found
    virtual void OnInvalidHost() {}  // the server's name was not found
    virtual void OnListEntry(int number, int64_t size) {}
    virtual void OnPacketReceived(int64_t received, int64_t total) {}
    virtual void OnRetrieveStart(int64_t total) {}
    virtual void OnRetrieveEnd() {}
    virtual void OnStatus(const std::string &text) {} // a reply line of the server
    virtual void OnSuccess() {}
    // Why a connection or command failed, in words (certificate, time-out, garbage, ...).
    virtual void OnError(const std::string &text) {}
    // A request (ticket from Request*) has finished; ok is false when it failed.
    virtual void OnRequestFinished(unsigned ticket, bool ok) {}
};

class TPop3Client
{
public:
    enum class TState { Disconnected, Connecting, Ready, Quitting };
    enum class TAuthMethod { Auto, UserPass, Apop, Plain };

    // Limits that keep a broken or hostile server from growing memory without bound.
    static constexpr size_t MaxReplyLine = 64 * 1024;     // status lines, CAPA, LIST
    static constexpr size_t MaxMessageLine = 1024 * 1024; // lines of TOP and RETR
    // The pipeline sends requests while the replies expected to them stay within this many
    // bytes, so many small summaries share a round trip and few large messages do.
    static constexpr int64_t PipelineBytes = 1 << 20;
    // A reply may take ReplyTimeOuts time-outs plus one time-out for each DeadlineBlock bytes
    // it is expected to hold (a message's size from LIST, the LIST itself).
    static constexpr int ReplyTimeOuts = 2;
    static constexpr int64_t DeadlineBlock = 64 * 1024;

    explicit TPop3Client(TPop3Listener *listener);
    ~TPop3Client();
    TPop3Client(const TPop3Client &) = delete;
    TPop3Client &operator=(const TPop3Client &) = delete;

    // Settings, read when Connect starts.
    std::string Host; // may carry a port or the pop3s:// prefix
    int Port = 110;
    std::string User;
    std::string Password;
    // An OAuth2 access token: when set, the login is SASL OAUTHBEARER (when CAPA lists it) or
    // XOAUTH2 with it instead of the password, and only over TLS. Never logged.
    std::string AccessToken;
    int TimeOut = 30000; // ms of silence from the server before an operation fails
    TAuthMethod AuthMethod = TAuthMethod::Auto;
    // The server offered STLS before: without TLS now it gets no login (someone may have taken
    // the offer out of CAPA to read the password).
    bool SpokeTlsBefore = false;
    std::string AttachmentPath;          // kept for the owner; this client decodes no parts
    int64_t MaxReplyBytes = 256LL << 20; // largest multi-line reply (a whole message)
    // A cap on the requests in flight besides PipelineBytes: replies to tiny messages would
    // otherwise arrive by the thousand in one read and keep the event loop from running
    // (comparisons with a fixed window lower it).
    static constexpr size_t DefaultRequestsInFlight = 1024;
    size_t MaxRequestsInFlight = DefaultRequestsInFlight;
    // A SOCKS5 proxy ("host" or "host:port"); an empty host means a direct connection.
    void SetProxy(const std::string &host, int port);

    TState State() const { return State_; }
    bool Connected() const { return State_ == TState::Ready; }
    bool Secure() const { return Secure_; }
    bool Pipelining() const { return Pipelining_; }
    // What CAPA told: whether the server answered it, and whether it lists UIDL.
    bool CapaAnswered() const { return CapaAnswered_; }
    bool OffersUidl() const { return OffersUidl_; }
    // Bytes read from the server since this client was made (after TLS decryption).
    int64_t BytesReceived() const { return BytesReceived_; }
    std::string ServerHost() const { return Address_.Host; }
    int ServerPort() const { return Address_.Port; }
    std::string LastErrorText() const { return LastErrorText_; }
    // The class of the failure that LastErrorText describes; None after a clean session.
    TPop3Failure LastFailure() const { return LastFailure_; }
    // True when the last QUIT was answered +OK, i.e. the server committed its deletions.
    bool QuitConfirmed() const { return QuitConfirmed_; }

    void Connect(); // ends in OnConnected, or in a failure report and Disconnected
    // QUIT after the requests already sent, then close; requests not yet sent are dropped
    // (they finish as failed).
    void Disconnect();
    void Abort(); // close at once; requests under way fail, nothing is committed
    // Deletes the sockets of ended sessions, with their TLS state, now rather than at the next
    // Connect. Never from inside one of the client's own signals.
    void ReleaseClosedSockets() { Retired.clear(); }

    int MessageCount() const { return State_ == TState::Ready ? Count_ : -1; }
    int64_t MessageSize(int number) const; // from LIST, 0 when unknown

    // Requests answer a ticket (0 when there is no connection: OnConnectionRequired).
    // A request for the same message and kind as one still under way answers that one's
    // ticket instead of asking the server twice.
    unsigned RequestSummary(int number);
    unsigned RequestMessage(int number);
    unsigned RequestDelete(int number);
    // TOP for every message of first..last, sent together when the server pipelines.
    std::vector<unsigned> RequestSummaries(int first, int last);
    // TOP for each of the given message numbers, in that order (0 tickets for those not asked).
    std::vector<unsigned> RequestSummaries(const std::vector<int> &numbers);

    // Results of finished requests; each can be taken once.
    bool TakeSummary(unsigned ticket, TPop3Summary &summary);
    bool TakeMessage(unsigned ticket, TStringList &lines);

    // UIDL: the server's unique id of every message (index = number - 1, "" when the server
    // listed none). A server without UIDL refuses it and the request fails.
    unsigned RequestUniqueIds();
    // "UIDL n" for each of the given messages; TakeUniqueIds then gives one id.
    std::vector<unsigned> RequestUniqueIdsOf(const std::vector<int> &numbers);
    bool TakeUniqueIds(unsigned ticket, std::vector<std::string> &ids);

private:
    enum class TKind {
        Greeting,
        Capa,
        Stls,
        User,
        Pass,
        Apop,
        AuthPlain,
        AuthData,
        AuthBearer,       // AUTH with the token's mechanism, with or without the response
        AuthBearerData,   // the response, when it did not fit on the AUTH line
        AuthBearerAnswer, // the answer to the server's error challenge
        Stat,
        List,
        Top,
        Retr,
        Dele,
        Quit,
        Uidl,
        UidlOne
    };
    struct TCommand
    {
        TKind Kind;
        std::string Line; // without CRLF; empty for the greeting
        int Number = 0;
        unsigned Ticket = 0;
        bool Sent = false;
        uint64_t Serial = 0;  // tells the replies awaited apart for their deadlines
        int64_t Expected = 0; // bytes of reply counted in flight while it is sent
        bool Joins = false;   // may share the wire with the commands before it
        bool Discard = false; // sent behind a login that failed: its reply is read and dropped
    };
    enum class TFailKind { Connection, InvalidHost, Silent };

    void StartSession();
    void AskCapaEarly();
    void Push(TKind kind, const std::string &line, int number = 0, unsigned ticket = 0);
    void SendQueued();
    bool Pipelinable(const TCommand &command) const;
    void PushLogin(TKind kind, const std::string &line);
    void DiscardMailboxReplies();
    std::string PlainResponse() const;
    int64_t ExpectedReplyBytes(const TCommand &command) const;
    void ArmTimer(bool restart = true);
    int ReplyDeadlineMs() const;
    void Pop();
    void OnReadyRead();
    bool ReadLine(std::string &line, size_t limit);
    void HandleStatus(const std::string &line);
    void HandleBodyLine(std::string &&line);
    void FinishCommand(bool ok, const std::string &status);
    void Dispatch(const TCommand &command, bool ok, const std::string &status);
    void AfterGreeting(const std::string &status);
    void AfterCapa(bool ok);
    void StartLogin();
    void LoginRefused(const std::string &status);
    void StartBearerLogin();
    void BearerReply(bool ok, const std::string &status);
    void BearerRefused(const std::string &status);
    void LoginDone();
    void RequestDone(const TCommand &command, bool ok, const std::string &status);
    void UniqueIdsDone(const TCommand &command, bool ok, const std::string &status);
    void UniqueIdDone(const TCommand &command, bool ok, const std::string &status);
    void ProtocolError(const std::string &why);
    void FailConnect(TFailKind kind, const std::string &why);
    void LoseConnection(const std::string &why);
    void OnRemoteClosed();
    void OnSocketError();
    void OnTimeOut(const std::string &why);
    void TearDown();
    std::vector<unsigned> DropUnsent();
    static uint64_t PendingKey(TKind kind, int number)
    {
        return (static_cast<uint64_t>(kind) << 32) | static_cast<uint32_t>(number);
    }
    unsigned PendingTicket(TKind kind, int number) const;
    std::vector<unsigned> PendingTickets() const;
    unsigned Enqueue(TKind kind, const std::string &line, int number);
    std::vector<unsigned> RequestEach(TKind kind, const char *format,
                                      const std::vector<int> &numbers);

    TPop3Listener *Listener;
    std::unique_ptr<QSslSocket> Socket;
    std::vector<QMetaObject::Connection> Links;       // the socket's signals bound to this session
    std::vector<std::unique_ptr<QSslSocket>> Retired; // closed sockets, deleted on next Connect
    QTimer Timer;         // silence: no byte from the server for TimeOut ms
    QTimer DeadlineTimer; // the reply awaited did not end in time
    TServerAddress Address_;
    std::string ProxyHost;
    int ProxyPort = 0;

    TState State_ = TState::Disconnected;
    bool Secure_ = false;
    bool Pipelining_ = false;
    bool CanPlain = false;
    bool CanOAuthBearer = false;
    TBearerMechanism Bearer = TBearerMechanism::XOAuth2; // of the running token login
    bool BearerResponseSent = false;
    TBearerError BearerRefusal; // the server's error challenge to the token
    bool OffersStls = false;
    bool CapaAsked = false;    // the CAPA went out before the greeting came
    bool StlsUnasked = false;  // STLS sent without a CAPA: the server is known to speak TLS
    bool MailboxAsked = false; // STAT and LIST went out with the login
    bool QuitConfirmed_ = false;
    bool CapaAnswered_ = false;
    bool OffersUidl_ = false;
    int64_t BytesReceived_ = 0;
    int64_t BytesInFlight = 0; // expected reply bytes of the sent commands
    int64_t TopReplyBytes = 0; // TOP replies read in this session and their bytes, for the
    int64_t TopReplies = 0;    // size expected of the next one
    std::string ApopStamp;
    std::string LastErrorText_;
    std::string SslErrorText;
    TPop3Failure LastFailure_ = TPop3Failure::None;
    bool SslNameOnly = false; // every certificate error of the handshake was a name mismatch
    void NoteFailure(TPop3Failure failure);
    static TPop3Failure SocketFailure(QAbstractSocket::SocketError error, bool nameOnly);
    int Count_ = 0;
    std::vector<int64_t> Sizes; // index = message number - 1

    std::deque<TCommand> Queue; // sent commands first, in order; their replies come in order
    size_t SentCount = 0;       // the sent commands at the front of Queue
    size_t SentSerialOnly = 0;  // of those, the ones that may not share the wire (not pipelinable)
    std::unordered_map<uint64_t, unsigned> PendingIndex; // kind and number → ticket under way
    uint64_t NextSerial = 1;
    uint64_t DeadlinePhase = 0; // the serial whose deadline runs (0: connect, handshake, close)
    bool DeadlineArmed = false;
    std::string Buffer;
    size_t BufferPos = 0;
    bool InBody = false; // reading the lines of a multi-line reply
    std::vector<std::string> Body;
    int64_t BodyBytes = 0;
    bool Reading = false;
    unsigned Generation = 0; // bumped on each tear-down so handlers notice a closed session
    unsigned NextTicket = 1;
    std::map<unsigned, TPop3Summary> Summaries;
    std::map<unsigned, TStringList> Messages;
    std::map<unsigned, std::vector<std::string>> UniqueIds;
};
