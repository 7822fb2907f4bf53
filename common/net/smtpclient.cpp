#include "common/net/smtpclient.h"

#include <QByteArray>
#include <QDateTime>
#include <QHostInfo>
#include <QSslSocket>
#include <QStringDecoder>
#include <QUuid>
#include <algorithm>
#include <cctype>

#include "common/net/tlstrust.h"
#include "common/text.h"

namespace {

const char *const Crlf = "\r\n";
// Longest reply line accepted (RFC 5321 allows 512; some servers send longer texts).
constexpr std::size_t MaxReplyLine = 2048;
// Most lines one reply may have (a long EHLO list has a few dozen).
constexpr std::size_t MaxReplyLines = 200;
// Longest line SMTP may carry without CRLF.
constexpr std::size_t MaxTextLine = 998;
// Quoted-printable lines are kept to this length, the soft break "=" included.
constexpr std::size_t MaxEncodedLine = 76;
// Bytes of a server reply quoted in a log line.
constexpr std::size_t MaxQuotedReply = 200;
// The longest command line (RFC 5321); a token response that would make the AUTH line
// longer goes on a line of its own after the server's go-ahead.
constexpr std::size_t MaxCommandLine = 512;
// How long QUIT may take before the connection is simply dropped.
constexpr int QuitTimeoutMs = 5000;

// Header values never carry line breaks of their own (no header injection).
std::string OneLine(const std::string &text)
{
    std::string out = text;
    std::replace(out.begin(), out.end(), '\r', ' ');
    std::replace(out.begin(), out.end(), '\n', ' ');
    return Trim(out);
}

// A server text as it may be logged: printable ASCII only, cut short.
std::string Printable(const std::string &text)
{
    std::string out;
    for (char c : text.substr(0, MaxQuotedReply)) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7F) ? c : '?';
    }
    return out;
}

bool IsAscii(const std::string &text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

bool IsUtf8(const std::string &text)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(QByteArrayView(text.data(), qsizetype(text.size())));
    return !decoder.hasError();
}

std::string Base64(const std::string &bytes)
{
    return QByteArray(bytes.data(), qsizetype(bytes.size())).toBase64().toStdString();
}

std::string CharsetOf(const std::string &text)
{
    if (IsAscii(text))
        return "us-ascii";
    return IsUtf8(text) ? "utf-8" : "iso-8859-1";
}

// Length of the longest UTF-8 safe prefix of at most max bytes.
std::size_t Utf8Cut(const std::string &text, std::size_t from, std::size_t max)
{
    std::size_t end = std::min(text.size(), from + max);
    while (end > from && end < text.size() &&
           (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return end == from ? std::min(text.size(), from + max) - from : end - from;
}

// Encoded words (base64) for a header text with 8-bit bytes or without room to stand as is.
std::string EncodeWords(const std::string &text)
{
    const std::string charset = CharsetOf(text);
    const bool utf8 = charset == "utf-8";
    std::string out;
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t len =
            utf8 ? Utf8Cut(text, pos, 45) : std::min<std::size_t>(45, text.size() - pos);
        if (!out.empty())
            out += "\r\n ";
        out += "=?" + charset + "?B?" + Base64(text.substr(pos, len)) + "?=";
        pos += len;
    }
    return out;
}

std::string HeaderText(const std::string &text)
{
    std::string clean = OneLine(text);
    if (IsAscii(clean) && clean.size() <= 900 && clean.find("=?") == std::string::npos)
        return clean;
    return EncodeWords(clean);
}

std::string DisplayName(const std::string &name)
{
    std::string clean = OneLine(name);
    if (!IsAscii(clean))
        return EncodeWords(clean);
    std::string quoted = "\"";
    for (char c : clean) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + "\"";
}

std::string FromHeader(const TSmtpMessage &message)
{
    std::string sender = OneLine(message.Sender);
    if (sender.find('<') != std::string::npos || Trim(message.SenderName).empty())
        return sender;
    return DisplayName(message.SenderName) + " <" + sender + ">";
}

// Recipients joined with ", ", folded so no header line grows too long.
std::string ToHeader(const std::vector<std::string> &recipients)
{
    std::string out;
    std::size_t lineLength = 4;
    for (const std::string &recipient : recipients) {
        std::string clean = OneLine(recipient);
        if (clean.empty())
            continue;
        if (!out.empty()) {
            out += ",";
            if (lineLength + clean.size() > 76) {
                out += "\r\n";
                lineLength = 0;
            }
            out += " ";
            ++lineLength;
        }
        out += clean;
        lineLength += clean.size() + 1;
    }
    return out;
}

std::string MailDate(const std::string &given)
{
    QString text = QString::fromStdString(OneLine(given));
    if (!text.isEmpty() && QDateTime::fromString(text, Qt::RFC2822Date).isValid())
        return text.toStdString();
    return QDateTime::currentDateTime().toString(Qt::RFC2822Date).toStdString();
}

std::string MessageIdDomain(const std::string &sender)
{
    std::string address = MailboxAddress(sender);
    std::size_t at = address.rfind('@');
    std::string domain = at == std::string::npos ? std::string() : address.substr(at + 1);
    bool usable = !domain.empty() && std::all_of(domain.begin(), domain.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
    });
    return usable ? domain : "localhost";
}

// The text lines with every kind of line break made one line each.
std::vector<std::string> BodyLines(const std::vector<std::string> &lines)
{
    std::vector<std::string> out;
    for (std::string line : lines) {
        if (!line.empty() && line.back() == '\n')
            line.pop_back();
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        std::string piece;
        for (std::size_t i = 0; i < line.size(); ++i) {
            char c = line[i];
            if (c == '\r' || c == '\n') {
                out.push_back(piece);
                piece.clear();
                if (c == '\r' && i + 1 < line.size() && line[i + 1] == '\n')
                    ++i;
            } else {
                piece += c;
            }
        }
        out.push_back(piece);
    }
    return out;
}

bool NeedsEncoding(const std::vector<std::string> &lines)
{
    for (const std::string &line : lines) {
        if (line.size() > MaxTextLine)
            return true;
        for (char c : line) {
            unsigned char u = static_cast<unsigned char>(c);
            if (u >= 0x80 || (u < 0x20 && c != '\t') || u == 0x7F)
                return true;
        }
    }
    return false;
}

std::string QuotedPrintableLine(const std::string &line)
{
    static const char *hex = "0123456789ABCDEF";
    std::string out;
    std::size_t length = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        bool last = i + 1 == line.size();
        std::string token;
        if ((c >= 33 && c <= 126 && c != '=') || ((c == ' ' || c == '\t') && !last))
            token = std::string(1, char(c));
        else
            token = {'=', hex[c >> 4], hex[c & 15]};
        if (length + token.size() > MaxEncodedLine - 1) {
            out += "=\r\n";
            length = 0;
        }
        out += token;
        length += token.size();
    }
    return out;
}

bool IsValidHelloName(const std::string &name)
{
    return !name.empty() && name.size() < 200 && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-';
    });
}

} // namespace

TSmtpServerAddress ParseSmtpServer(const std::string &server, uint16_t defaultPort)
{
    TSmtpServerAddress result;
    std::string text = Trim(server);
    const std::string scheme = "smtps://";
    if (UpperCase(text.substr(0, scheme.size())) == UpperCase(scheme)) {
        result.ImplicitTls = true;
        text = text.substr(scheme.size());
        defaultPort = 465;
    } else if (StartsText(text, SmtpRequireTlsScheme)) {
        result.RequireTls = true;
        text = text.substr(sizeof(SmtpRequireTlsScheme) - 1);
    } else if (UpperCase(text.substr(0, 7)) == "SMTP://") {
        text = text.substr(7);
    }
    if (!text.empty() && text.back() == '/')
        text.pop_back();
    std::string host = text;
    std::string port;
    if (!text.empty() && text[0] == '[') {
        std::size_t close = text.find(']');
        if (close == std::string::npos)
            return result;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':')
                return result;
            port = text.substr(close + 2);
        }
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        std::size_t colon = text.find(':');
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    result.Port = defaultPort;
    if (!port.empty()) {
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), ::isdigit))
            return result;
        int number = std::stoi(port);
        if (number < 1 || number > 65535)
            return result;
        result.Port = static_cast<uint16_t>(number);
    }
    if (result.Port == 465)
        result.ImplicitTls = true;
    result.Host = host;
    result.Valid = !host.empty() && std::none_of(host.begin(), host.end(), [](char c) {
        return static_cast<unsigned char>(c) <= ' ' || c == '/' || c == '@';
    });
    return result;
}

std::string MailboxAddress(const std::string &text)
{
    std::string address = Trim(text);
    std::size_t open = address.find('<');
    if (open != std::string::npos) {
        std::size_t close = address.find('>', open);
        if (close == std::string::npos)
            return std::string();
        address = Trim(address.substr(open + 1, close - open - 1));
    }
    bool usable = !address.empty() && std::none_of(address.begin(), address.end(), [](char c) {
        unsigned char u = static_cast<unsigned char>(c);
        return u <= ' ' || u == 0x7F || c == '<' || c == '>' || c == ',' || c == ';';
    });
    return usable ? address : std::string();
}

std::vector<std::string> PlainTextPart(const std::vector<std::string> &lines)
{
    std::vector<std::string> text = BodyLines(lines);
    bool encode = NeedsEncoding(text);
    std::string allText;
    for (const std::string &line : text)
        allText += line;
    std::vector<std::string> part = {
        "Content-Type: text/plain; charset=\"" + CharsetOf(allText) + "\"",
        std::string("Content-Transfer-Encoding: ") + (encode ? "quoted-printable" : "7bit"), ""};
    for (const std::string &line : text)
        part.push_back(encode ? QuotedPrintableLine(line) : line);
    return part;
}

std::string ComposeMessage(const TSmtpMessage &message)
{
    std::vector<std::string> contentHeader;
    for (const std::string &line : BodyLines(message.ContentHeader)) {
        if (!Trim(line).empty()) // an empty line would end the header early
            contentHeader.push_back(line);
    }
    std::vector<std::string> lines =
        contentHeader.empty() ? PlainTextPart(message.Lines) : BodyLines(message.Lines);
    if (contentHeader.empty()) {
        auto blank = std::find(lines.begin(), lines.end(), std::string());
        contentHeader.assign(lines.begin(), blank);
        lines.erase(lines.begin(), blank + 1);
    }
    std::string body;
    for (const std::string &line : lines)
        body += line + Crlf;

    std::string header;
    header += "From: " + FromHeader(message) + Crlf;
    header += "To: " + ToHeader(message.Recipients) + Crlf;
    header += "Subject: " + HeaderText(message.Subject) + Crlf;
    header += "Date: " + MailDate(message.Date) + Crlf;
    header += "Message-ID: <" + QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString() +
              "@" + MessageIdDomain(message.Sender) + ">" + Crlf;
    header += std::string("MIME-Version: 1.0") + Crlf;
    for (const std::string &line : contentHeader)
        header += line + Crlf;
    return header + Crlf + body;
}

std::string DotStuff(const std::string &crlfText)
{
    std::string out;
    out.reserve(crlfText.size() + crlfText.size() / 50 + 8);
    bool lineStart = true;
    for (std::size_t i = 0; i < crlfText.size(); ++i) {
        char c = crlfText[i];
        if (lineStart && c == '.')
            out += '.';
        out += c;
        lineStart = c == '\n';
    }
    if (!out.empty() && out.compare(out.size() >= 2 ? out.size() - 2 : 0, 2, Crlf) != 0)
        out += Crlf;
    return out + "." + Crlf;
}

// ---------------------------------------------------------------------------------------------

TSmtpClient::TSmtpClient(QObject *parent) : QObject(parent)
{
    replyTimer.setSingleShot(true);
    connect(&replyTimer, &QTimer::timeout, this, [this] { OnTimeout(); });
}

TSmtpClient::~TSmtpClient()
{
    OnReport = nullptr;
    if (socket) {
        socket->disconnect(this);
        socket->abort();
    }
}

bool TSmtpClient::IsConnected() const
{
    return socket && step != TStep::Idle;
}

bool TSmtpClient::IsBusy() const
{
    return step != TStep::Idle && step != TStep::Ready;
}

bool TSmtpClient::IsEncrypted() const
{
    return tlsActive;
}

bool TSmtpClient::InSendStep() const
{
    return step == TStep::MailFrom || step == TStep::RcptTo || step == TStep::Data ||
           step == TStep::DataEnd || step == TStep::Reset;
}

void TSmtpClient::Report(TSmtpReport report, int code, const std::string &text)
{
    if (OnReport)
        OnReport(report, code, text);
}

void TSmtpClient::Connect()
{
    if (step != TStep::Idle)
        return;
    if (Host.empty() || Port == 0) {
        Problem("No outgoing server is set");
        Report(TSmtpReport::InvalidHost);
        return;
    }
    inBuffer.clear();
    replyLines.clear();
    capabilities.clear();
    tlsActive = false;
    tlsProblem.clear();
    OpenSocket();
}

void TSmtpClient::OpenSocket()
{
    socket = std::make_unique<QSslSocket>();
    socket->setSslConfiguration(TrustedTlsConfiguration());
    QSslSocket *s = socket.get();
    connect(s, &QAbstractSocket::hostFound, this, [this] { Report(TSmtpReport::HostResolved); });
    connect(s, &QAbstractSocket::connected, this, [this] {
        if (!ImplicitTls)
            Expect(TStep::Greeting);
    });
    connect(s, &QSslSocket::encrypted, this, [this] { OnEncrypted(); });
    connect(s, &QIODevice::readyRead, this, [this] { OnReadyRead(); });
    connect(s, &QAbstractSocket::errorOccurred, this, [this] { OnSocketError(); });
    connect(s, &QAbstractSocket::disconnected, this, [this] { OnSocketClosed(); });
    connect(s, &QIODevice::bytesWritten, this, [this](qint64) {
        if (step == TStep::DataEnd) {
            Report(TSmtpReport::PacketSent);
            replyTimer.start(TimeoutMs);
        }
    });
    connect(s, &QSslSocket::sslErrors, this, [this](const QList<QSslError> &errors) {
        tlsProblem = "Certificate not accepted:";
        for (const QSslError &error : errors)
            tlsProblem += " " + error.errorString().toStdString();
    });
    step = TStep::Connecting;
    replyTimer.start(TimeoutMs);
    if (ImplicitTls)
        socket->connectToHostEncrypted(QString::fromStdString(Host), Port);
    else
        socket->connectToHost(QString::fromStdString(Host), Port);
}

void TSmtpClient::CloseSocket()
{
    replyTimer.stop();
    bool wasOpen = step != TStep::Idle;
    step = TStep::Idle;
    tlsActive = false;
    if (socket) {
        QSslSocket *old = socket.release();
        old->disconnect(this);
        old->abort();
        old->deleteLater();
    }
    if (wasOpen)
        Report(TSmtpReport::Disconnected);
}

void TSmtpClient::Abort()
{
    CloseSocket();
}

void TSmtpClient::Command(const std::string &line, TStep next)
{
    if (!socket)
        return;
    socket->write((line + Crlf).c_str());
    Expect(next);
}

void TSmtpClient::Expect(TStep next)
{
    step = next;
    replyTimer.start(next == TStep::Quit ? std::min(TimeoutMs, QuitTimeoutMs) : TimeoutMs);
}

void TSmtpClient::OnReadyRead()
{
    if (!socket)
        return;
    QByteArray bytes = socket->readAll();
    inBuffer.append(bytes.constData(), std::size_t(bytes.size()));
    while (socket && step != TStep::Idle) {
        std::size_t end = inBuffer.find('\n');
        if (end == std::string::npos) {
            if (inBuffer.size() > MaxReplyLine)
                FailSession("Over-long reply from the server");
            return;
        }
        std::string line = inBuffer.substr(0, end);
        inBuffer.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        bool wellFormed = line.size() >= 3 && line.size() <= MaxReplyLine && line[0] >= '2' &&
                          line[0] <= '5' && std::isdigit(static_cast<unsigned char>(line[1])) &&
                          std::isdigit(static_cast<unsigned char>(line[2])) &&
                          (line.size() == 3 || line[3] == ' ' || line[3] == '-');
        if (wellFormed && !replyLines.empty() && line.compare(0, 3, replyLines.front(), 0, 3) != 0)
            wellFormed = false;
        if (!wellFormed) {
            FailSession("Unreadable reply from the server: " + Printable(line));
            return;
        }
        replyLines.push_back(line);
        if (line.size() > 3 && line[3] == '-') {
            if (replyLines.size() > MaxReplyLines) {
                FailSession("Over-long reply from the server");
                return;
            }
            continue;
        }
        int code = std::stoi(line.substr(0, 3));
        std::vector<std::string> texts;
        for (const std::string &raw : replyLines)
            texts.push_back(raw.size() > 4 ? raw.substr(4) : std::string());
        replyLines.clear();
        OnReply(code, texts);
    }
}

void TSmtpClient::OnReply(int code, const std::vector<std::string> &lines)
{
    replyTimer.stop();
    Status(std::to_string(code) + " " + Printable(lines.front()));
    if (step == TStep::Quit) {
        CloseSocket();
        return;
    }
    if (code == 421) {
        FailSession("The server is closing the connection");
        return;
    }
    if (InSendStep())
        OnSendReply(code, lines);
    else if (step == TStep::Ready || step == TStep::Connecting || step == TStep::TlsHandshake)
        FailSession("Unexpected reply from the server");
    else
        OnConnectReply(code, lines);
}

void TSmtpClient::OnConnectReply(int code, const std::vector<std::string> &lines)
{
    switch (step) {
    case TStep::Greeting:
        if (code == 220)
            SayHello();
        else
            FailConnect(TSmtpReport::ConnectionFailed, "The server refused the connection");
        break;
    case TStep::Ehlo:
        if (code == 250)
            AfterHello(lines);
        else if (code >= 500 && code <= 504)
            Command("HELO " + helloName, TStep::Helo);
        else
            FailConnect(TSmtpReport::ConnectionFailed, "The server refused the greeting");
        break;
    case TStep::Helo:
        if (code == 250)
            AfterHello({});
        else
            FailConnect(TSmtpReport::ConnectionFailed, "The server refused the greeting");
        break;
    case TStep::StartTls:
        if (code == 220 && !inBuffer.empty()) {
            // Clear text sent after the go-ahead would pass as encrypted replies.
            FailConnect(TSmtpReport::ConnectionFailed, "Unexpected data before encryption");
        } else if (code == 220) {
            step = TStep::TlsHandshake;
            replyTimer.start(TimeoutMs);
            socket->startClientEncryption();
        } else {
            // Never carry on in clear text once encryption was offered and failed.
            FailConnect(TSmtpReport::ConnectionFailed, "The server refused STARTTLS");
        }
        break;
    case TStep::AuthBearer:
    case TStep::AuthBearerAnswer:
        OnBearerReply(code, lines);
        break;
    case TStep::AuthPlain:
    case TStep::AuthLoginPassword:
        if (code == 235) {
            SessionReady();
            break;
        }
        [[fallthrough]];
    case TStep::AuthLogin:
    case TStep::AuthLoginUser:
        if (code == 334 && step == TStep::AuthLogin) {
            Command(Base64(UserId), TStep::AuthLoginUser);
        } else if (code == 334 && step == TStep::AuthLoginUser) {
            Command(Base64(Password), TStep::AuthLoginPassword);
        } else {
            Problem(code == 530 || code == 538 ? "The server requires encryption for logging in"
                                               : "The server refused the user ID or password");
            Report(TSmtpReport::AuthenticationFailed);
            Command("QUIT", TStep::Quit);
        }
        break;
    default:
        FailSession("Unexpected reply from the server");
        break;
    }
}

void TSmtpClient::SayHello()
{
    if (helloName.empty()) {
        std::string local = QHostInfo::localHostName().toStdString();
        helloName = IsValidHelloName(local)
                        ? local
                        : "[" + socket->localAddress().toString().toStdString() + "]";
    }
    capabilities.clear();
    Command("EHLO " + helloName, TStep::Ehlo);
}

void TSmtpClient::AfterHello(const std::vector<std::string> &lines)
{
    capabilities.clear();
    for (std::size_t i = 1; i < lines.size(); ++i)
        capabilities.push_back(UpperCase(Trim(lines[i])));
    bool offersTls =
        std::find(capabilities.begin(), capabilities.end(), "STARTTLS") != capabilities.end();
    if (!tlsActive && offersTls) {
        Report(TSmtpReport::TlsOffered);
        if (step == TStep::Ehlo)
            Command("STARTTLS", TStep::StartTls);
    } else if (!tlsActive && (RequireTls || SpokeTlsBefore)) {
        FailConnect(TSmtpReport::ConnectionFailed,
                    RequireTls ? "The server did not offer STARTTLS, and its address asks for "
                                 "TLS: nothing is sent in clear text"
                               : "The server did not offer STARTTLS, although it did before: "
                                 "nothing is sent in clear text");
    } else if (!UserId.empty())
        Authenticate();
    else
        SessionReady();
}

void TSmtpClient::Authenticate()
{
    bool offered = false;
    bool plain = false;
    bool login = false;
    bool oauthBearer = false;
    for (const std::string &line : capabilities) {
        if (line.rfind("AUTH", 0) != 0 || line.size() < 5 || (line[4] != ' ' && line[4] != '='))
            continue;
        offered = true;
        std::string mechanisms = " " + line.substr(5) + " ";
        plain = plain || mechanisms.find(" PLAIN ") != std::string::npos;
        login = login || mechanisms.find(" LOGIN ") != std::string::npos;
        oauthBearer = oauthBearer || mechanisms.find(" OAUTHBEARER ") != std::string::npos;
    }
    if (offered && !AccessToken.empty()) {
        AuthenticateWithToken(oauthBearer);
    } else if (plain) {
        Command("AUTH PLAIN " + Base64(std::string(1, '\0') + UserId + '\0' + Password),
                TStep::AuthPlain);
    } else if (login) {
        Command("AUTH LOGIN", TStep::AuthLogin);
    } else if (!offered) {
        // A server that asks for no login (a relay trusting its network) gets none; should it
        // want one after all, it refuses the sender and that is reported as a failed login.
        Status("The server asks for no login; sending without");
        SessionReady();
    } else {
        Problem("The server offers no PLAIN or LOGIN authentication");
        Report(TSmtpReport::AuthenticationFailed);
        Command("QUIT", TStep::Quit);
    }
}

// The token is a bearer secret: it goes out only encrypted and only inside the SASL
// response, which no report repeats.
void TSmtpClient::AuthenticateWithToken(bool offersOAuthBearer)
{
    if (!tlsActive) {
        FailConnect(TSmtpReport::ConnectionFailed,
                    "The server did not offer STARTTLS: the access token is not sent in clear "
                    "text");
        return;
    }
    if (AccessToken.find_first_of("\r\n") != std::string::npos ||
        UserId.find_first_of("\r\n") != std::string::npos) {
        FailConnect(TSmtpReport::AuthenticationFailed,
                    "The user ID or access token contains a line break");
        return;
    }
    bearer = offersOAuthBearer ? TBearerMechanism::OAuthBearer : TBearerMechanism::XOAuth2;
    bearerRefusal = TBearerError();
    const std::string command = std::string("AUTH ") + BearerMechanismName(bearer);
    const std::string withResponse =
        command + " " + BearerResponse(bearer, UserId, AccessToken, Host, Port);
    bearerResponseSent = withResponse.size() + 2 <= MaxCommandLine;
    Command(bearerResponseSent ? withResponse : command, TStep::AuthBearer);
}

// A 334 before the response went out asks for it; one after it is the server's error
// challenge, answered so that the server ends the exchange with its refusal.
void TSmtpClient::OnBearerReply(int code, const std::vector<std::string> &lines)
{
    if (code == 235 && step == TStep::AuthBearer) {
        SessionReady();
    } else if (code == 334 && step == TStep::AuthBearer && !bearerResponseSent) {
        bearerResponseSent = true;
        Command(BearerResponse(bearer, UserId, AccessToken, Host, Port), TStep::AuthBearer);
    } else if (code == 334 && step == TStep::AuthBearer) {
        bearerRefusal = ParseBearerError(lines.front());
        Command(BearerErrorAnswer(bearer), TStep::AuthBearerAnswer);
    } else {
        const std::string why = bearerRefusal.Describe();
        Problem(code == 530 || code == 538 ? "The server requires encryption for logging in"
                                           : "The server refused the access token (" + why + ")");
        Report(TSmtpReport::AuthenticationFailed,
               bearerRefusal.Expired() ? AuthTokenExpired : AuthTokenRefused, why);
        Command("QUIT", TStep::Quit);
    }
}

void TSmtpClient::SessionReady()
{
    step = TStep::Ready;
    replyTimer.stop();
    Report(TSmtpReport::Connected);
}

void TSmtpClient::OnEncrypted()
{
    tlsActive = true;
    if (step == TStep::Connecting && ImplicitTls)
        Expect(TStep::Greeting);
    else if (step == TStep::TlsHandshake)
        SayHello();
}

void TSmtpClient::Send(const TSmtpMessage &message)
{
    if (step != TStep::Ready) {
        Report(TSmtpReport::ConnectionRequired);
        return;
    }
    mailFrom = MailboxAddress(message.Sender);
    if (mailFrom.empty()) {
        Report(TSmtpReport::HeaderIncomplete, HeaderNoSender);
        return;
    }
    rcptTo.clear();
    bool anyGiven = false;
    for (const std::string &recipient : message.Recipients) {
        if (Trim(recipient).empty())
            continue;
        anyGiven = true;
        std::string address = MailboxAddress(recipient);
        if (address.empty())
            Report(TSmtpReport::RecipientNotFound, 0, OneLine(recipient));
        else
            rcptTo.push_back(address);
    }
    if (!anyGiven) {
        Report(TSmtpReport::HeaderIncomplete, HeaderNoRecipient);
        return;
    }
    if (rcptTo.empty()) {
        Problem("No usable recipient address");
        Report(TSmtpReport::Failure);
        return;
    }
    dataText = DotStuff(ComposeMessage(message));
    nextRcpt = 0;
    acceptedRcpt = 0;
    Report(TSmtpReport::SendStart);
    Command("MAIL FROM:<" + mailFrom + ">", TStep::MailFrom);
}

void TSmtpClient::OnSendReply(int code, const std::vector<std::string> &lines)
{
    switch (step) {
    case TStep::MailFrom:
        if (code == 250) {
            SendNextRecipient();
        } else if (code == 530) {
            Problem("The server requires a login before sending");
            Report(TSmtpReport::AuthenticationFailed);
            dataText.clear();
            Command("RSET", TStep::Reset);
        } else {
            FailSend("The server refused the sender " + mailFrom);
        }
        break;
    case TStep::RcptTo:
        if (code == 250 || code == 251)
            ++acceptedRcpt;
        else
            // The server's own answer goes with the address: it says why (no such user, …).
            Report(TSmtpReport::RecipientNotFound, code,
                   rcptTo[nextRcpt - 1] + " (" + std::to_string(code) + " " +
                       Printable(lines.front()) + ")");
        SendNextRecipient();
        break;
    case TStep::Data:
        if (code == 354)
            WriteData();
        else
            FailSend("The server refused the message text");
        break;
    case TStep::DataEnd:
        if (code == 250) {
            step = TStep::Ready;
            dataText.clear();
            Report(TSmtpReport::Success);
        } else {
            FailSend("The server refused the message");
        }
        break;
    case TStep::Reset:
        if (code == 250)
            step = TStep::Ready;
        else
            FailSession("The server refused RSET");
        break;
    default:
        break;
    }
}

void TSmtpClient::SendNextRecipient()
{
    if (nextRcpt < rcptTo.size()) {
        const std::string &address = rcptTo[nextRcpt++];
        Command("RCPT TO:<" + address + ">", TStep::RcptTo);
    } else if (acceptedRcpt == 0) {
        FailSend("No recipient was accepted");
    } else {
        Command("DATA", TStep::Data);
    }
}

void TSmtpClient::WriteData()
{
    Expect(TStep::DataEnd);
    socket->write(dataText.data(), qint64(dataText.size()));
}

// A refused transaction: the session stays open for the next message.
void TSmtpClient::FailSend(const std::string &why)
{
    dataText.clear();
    Problem(why);
    Report(TSmtpReport::Failure);
    Command("RSET", TStep::Reset);
}

void TSmtpClient::Disconnect()
{
    if (!socket || step == TStep::Idle)
        return;
    if (step == TStep::Ready) {
        Command("QUIT", TStep::Quit);
    } else if (step != TStep::Quit) {
        CloseSocket();
    }
}

void TSmtpClient::FailConnect(TSmtpReport report, const std::string &why)
{
    Problem(why);
    Report(report);
    CloseSocket();
}

// A fault that ends the session: the running operation fails with its own report.
void TSmtpClient::FailSession(const std::string &why)
{
    if (step == TStep::Quit) {
        CloseSocket();
        return;
    }
    if (InSendStep()) {
        Problem(why);
        Report(TSmtpReport::Failure);
        CloseSocket();
    } else if (step == TStep::Ready) {
        Problem(why);
        CloseSocket();
    } else {
        FailConnect(TSmtpReport::ConnectionFailed, why);
    }
}

void TSmtpClient::OnSocketError()
{
    if (!socket)
        return;
    QAbstractSocket::SocketError error = socket->error();
    if (error == QAbstractSocket::HostNotFoundError) {
        FailConnect(TSmtpReport::InvalidHost, "Host not found: " + Host);
        return;
    }
    if (error == QAbstractSocket::RemoteHostClosedError) {
        OnSocketClosed();
        return;
    }
    if (error == QAbstractSocket::SslHandshakeFailedError && !tlsProblem.empty())
        FailSession(tlsProblem);
    else
        FailSession(socket->errorString().toStdString());
}

void TSmtpClient::OnSocketClosed()
{
    if (step == TStep::Quit || step == TStep::Idle)
        CloseSocket();
    else
        FailSession("The server closed the connection");
}

void TSmtpClient::OnTimeout()
{
    if (step == TStep::Quit) {
        CloseSocket();
        return;
    }
    FailSession("No answer from the server within " + std::to_string(TimeoutMs / 1000) +
                " seconds");
}
