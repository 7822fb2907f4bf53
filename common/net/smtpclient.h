// Event-driven SMTP client on QSslSocket: never blocks the event loop. One session is
// Connect (greeting, EHLO or HELO, STARTTLS when offered or implicit TLS, AUTH PLAIN or LOGIN
// when a user ID is set, or OAUTHBEARER or XOAUTH2 with an OAuth2 access token over TLS), any
// number of Send (MAIL FROM, RCPT TO, DATA with dot-stuffing) and Disconnect (QUIT). Every outcome
// is told through OnReport; the owner waits by pumping events until IsBusy() turns false. Nothing
// after EHLO goes out in clear text to a server that must be reached over TLS.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/net/saslxoauth.h"

class QSslSocket;

enum class TSmtpReport {
    HostResolved,
    Connected, // the session is ready for sending
    ConnectionFailed,
    InvalidHost,
    AuthenticationFailed,
    ConnectionRequired, // a send was asked for without a session
    Disconnected,
    HeaderIncomplete, // code: 1 no sender, 2 no recipient
    RecipientNotFound,
    SendStart,
    PacketSent,
    TlsOffered, // EHLO on the clear-text connection listed STARTTLS
    Status,     // a server reply
    Problem,    // why the next failure report comes, in words
    Success,
    Failure
};

// Codes of the HeaderIncomplete report.
constexpr int HeaderNoSender = 1;
constexpr int HeaderNoRecipient = 2;

// Codes of the AuthenticationFailed report after a refused access token (its text says why,
// without the token): the server called the token invalid or expired, so a fresh access token
// may mend it; or it refused the token otherwise. Password logins report code 0.
constexpr int AuthTokenExpired = 401;
constexpr int AuthTokenRefused = 403;

struct TSmtpMessage
{
    std::string Sender;     // address, or "Name <address>"
    std::string SenderName; // display name put before a bare sender address
    std::string Date;       // used when it is a valid mail date; otherwise the current time is
    std::string Subject;
    std::vector<std::string> Recipients;
    std::vector<std::string> Lines; // the text, one entry per line
    // Content header lines (Content-Type, Content-Transfer-Encoding ...) of a text that is
    // already a MIME body; it is then sent as it stands. Empty: the text is plain and is
    // labelled (and encoded when needed) here.
    std::vector<std::string> ContentHeader;
};

struct TSmtpServerAddress
{
    std::string Host;
    uint16_t Port = 25;
    bool ImplicitTls = false;
    bool RequireTls = false; // written with SmtpRequireTlsScheme
    bool Valid = false;
};

// The form of a server that must be reached over TLS: the connection is upgraded with
// STARTTLS, and without it nothing is sent.
inline constexpr char SmtpRequireTlsScheme[] = "smtp+tls://";

// Reads "host", "host:port", "[v6]:port", "smtps://host[:port]" and "smtp+tls://host[:port]".
// Port 465 or the smtps scheme mean TLS from the first byte.
TSmtpServerAddress ParseSmtpServer(const std::string &server, uint16_t defaultPort);

// The address inside "Name <address>", or the trimmed text; "" when it is not usable in a
// MAIL FROM or RCPT TO command (blank, control characters, brackets).
std::string MailboxAddress(const std::string &text);

// A text/plain body part: its content header lines, an empty line and the text, encoded
// quoted-printable when it holds 8-bit bytes or over-long lines.
std::vector<std::string> PlainTextPart(const std::vector<std::string> &lines);

// The whole message (header and text) with CRLF line ends, before dot-stuffing.
std::string ComposeMessage(const TSmtpMessage &message);
// Doubles a leading dot on every line and appends the end-of-data line.
std::string DotStuff(const std::string &crlfText);

class TSmtpClient : public QObject
{
public:
    using TReportHandler = std::function<void(TSmtpReport report, int code, const std::string &)>;

    explicit TSmtpClient(QObject *parent = nullptr);
    ~TSmtpClient() override;

    std::string Host;
    uint16_t Port = 25;
    bool ImplicitTls = false;
    bool RequireTls = false;     // the server's address asks for TLS
    bool SpokeTlsBefore = false; // the server offered STARTTLS before: it must now too
    std::string UserId;          // authentication login; no authentication when empty
    std::string Password;
    // An OAuth2 access token: when set (with UserId), the login is AUTH OAUTHBEARER (when
    // EHLO lists it) or XOAUTH2 instead of the password, and only over TLS. Never logged.
    std::string AccessToken;
    int TimeoutMs = 60000; // longest wait for one server reply
    TReportHandler OnReport;

    void Connect();
    void Send(const TSmtpMessage &message);
    void Disconnect();
    void Abort(); // drops the connection at once, without QUIT

    bool IsConnected() const; // a session is open (connected and not yet closed)
    bool IsReady() const { return step == TStep::Ready; }
    bool IsBusy() const; // a connect, send or disconnect is under way
    bool IsEncrypted() const;

private:
    enum class TStep {
        Idle,
        Connecting,
        Greeting,
        Ehlo,
        Helo,
        StartTls,
        TlsHandshake,
        AuthPlain,
        AuthLogin,
        AuthLoginUser,
        AuthLoginPassword,
        AuthBearer,       // AUTH with the token's mechanism, with or without the response
        AuthBearerAnswer, // the answer to the server's error challenge
        Ready,
        MailFrom,
        RcptTo,
        Data,
        DataEnd,
        Reset,
        Quit
    };

    void Report(TSmtpReport report, int code = 0, const std::string &text = std::string());
    void Status(const std::string &text) { Report(TSmtpReport::Status, 0, text); }
    void Problem(const std::string &text) { Report(TSmtpReport::Problem, 0, text); }
    void OpenSocket();
    void CloseSocket();
    void Command(const std::string &line, TStep next);
    void Expect(TStep next);
    void OnReadyRead();
    void OnReply(int code, const std::vector<std::string> &lines);
    void OnConnectReply(int code, const std::vector<std::string> &lines);
    void OnSendReply(int code, const std::vector<std::string> &lines);
    void OnSocketError();
    void OnSocketClosed();
    void OnTimeout();
    void OnEncrypted();
    void SayHello();
    void AfterHello(const std::vector<std::string> &lines);
    void Authenticate();
    void AuthenticateWithToken(bool offersOAuthBearer);
    void OnBearerReply(int code, const std::vector<std::string> &lines);
    void SessionReady();
    void SendNextRecipient();
    void WriteData();
    void FailSend(const std::string &why);
    void FailConnect(TSmtpReport report, const std::string &why);
    void FailSession(const std::string &why);
    bool InSendStep() const;

    TStep step = TStep::Idle;
    std::unique_ptr<QSslSocket> socket;
    QTimer replyTimer;
    std::string inBuffer;
    std::vector<std::string> replyLines;
    bool tlsActive = false;
    std::string tlsProblem;                // the certificate errors of the running handshake
    std::vector<std::string> capabilities; // EHLO lines after the greeting line, upper-cased
    std::string helloName;
    TBearerMechanism bearer = TBearerMechanism::XOAuth2; // of the running token login
    bool bearerResponseSent = false;
    TBearerError bearerRefusal; // the server's error challenge to the token

    // The message being sent.
    std::string mailFrom;
    std::vector<std::string> rcptTo;
    std::size_t nextRcpt = 0;
    int acceptedRcpt = 0;
    std::string dataText;
};
