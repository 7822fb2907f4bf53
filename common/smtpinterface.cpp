#include "common/smtpinterface.h"

#include <QUuid>
#include <algorithm>
#include <cstdarg>

#include "common/accesswait.h"
#include "common/globals.h"
#include "common/net/mimeheader.h"
#include "common/net/pop3client.h"
#include "common/oauth2/access.h"
#include "common/text.h"
#include "common/tlsservers.h"
#include "common/utils.h"

TSMTPFunc *SMTPFunc = nullptr;

namespace {

// How long the previous session may take to close before a send gives up.
constexpr unsigned DisconnectWaitMs = 1000;
// How long QUIT may take after a send.
constexpr unsigned QuitWaitMs = 5000;
// A connection needs at most this many server replies (greeting, EHLO, STARTTLS, EHLO, AUTH
// steps); a send at most this many plus one per recipient.
constexpr unsigned ConnectReplies = 8;
constexpr unsigned SendReplies = 4;

// Sets a flag for the lifetime of a scope.
class TFlagGuard
{
public:
    explicit TFlagGuard(bool &flag) : flag(flag) { flag = true; }
    ~TFlagGuard() { flag = false; }

private:
    bool &flag;
};

bool IsEmptyLine(const std::string &line)
{
    return line.empty() || line == "\r";
}

bool IsAsciiText(const std::vector<std::string> &lines)
{
    return std::all_of(lines.begin(), lines.end(), [](const std::string &line) {
        return std::all_of(line.begin(), line.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    });
}

// The Content-* fields of a header (each with its continuation lines), as they stand.
std::vector<std::string> ContentFields(const std::vector<std::string> &header)
{
    std::vector<std::string> fields;
    bool inContentField = false;
    for (const std::string &line : header) {
        bool continuation = !line.empty() && (line[0] == ' ' || line[0] == '\t');
        if (!continuation)
            inContentField = StartsText(line, "Content-");
        if (inContentField)
            fields.push_back(line);
    }
    return fields;
}

// Media type ("multipart/mixed") of a Content-Type value, lower case.
std::string MediaType(const std::string &contentType)
{
    return LowerCase(Trim(contentType.substr(0, contentType.find(';'))));
}

} // namespace

TForwardBody ForwardBody(const std::vector<std::string> &message,
                         const std::vector<std::string> &notes)
{
    TForwardBody result;
    const auto headerEnd = std::find_if(message.begin(), message.end(), IsEmptyLine);
    const std::vector<std::string> header(message.begin(), headerEnd);
    const std::vector<std::string> unfolded = UnfoldHeaderLines(header);
    std::string type = MediaType(HeaderField(unfolded, "Content-Type"));
    const std::string encoding = LowerCase(HeaderField(unfolded, "Content-Transfer-Encoding"));
    if (type.empty() && encoding.empty()) {
        // No MIME body: the text goes out as plain text under the notes.
        result.Lines = notes;
        result.Lines.insert(result.Lines.end(), message.begin() + StoredHeaderLineCount(message),
                            message.end());
        return result;
    }
    if (type.empty())
        type = "text/plain";
    const std::vector<std::string> content = ContentFields(header);
    const std::vector<std::string> body(headerEnd == message.end() ? headerEnd : headerEnd + 1,
                                        message.end());
    const bool plainText = type == "text/plain" && (encoding.empty() || encoding == "7bit" ||
                                                    encoding == "8bit" || encoding == "binary");
    if (notes.empty() || (plainText && IsAsciiText(notes))) {
        // The body keeps its own description; notes stand above a plain text.
        result.ContentHeader = content;
        result.Lines = notes;
        if (!notes.empty())
            result.Lines.push_back("");
        result.Lines.insert(result.Lines.end(), body.begin(), body.end());
        return result;
    }
    // An encoded or multipart body cannot take lines above it: the notes become a text part
    // and the original body, with its own description, the part after it.
    const std::string boundary =
        "corvex-" + QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
    result.ContentHeader = {"Content-Type: multipart/mixed; boundary=\"" + boundary + "\""};
    std::vector<std::string> &lines = result.Lines;
    lines.push_back("--" + boundary);
    const std::vector<std::string> notePart = PlainTextPart(notes);
    lines.insert(lines.end(), notePart.begin(), notePart.end());
    lines.push_back("--" + boundary);
    lines.insert(lines.end(), content.begin(), content.end());
    lines.push_back("");
    lines.insert(lines.end(), body.begin(), body.end());
    lines.push_back("--" + boundary + "--");
    return result;
}

int StoredHeaderLineCount(const std::vector<std::string> &lines, TStringList *header)
{
    if (header)
        header->Clear();
    int expectedBlanks = 1;
    int blanks = 0;
    int passed = 0;
    for (const std::string &line : lines) {
        if (ContainsText(line, "boundary"))
            expectedBlanks = 2;
        if (IsEmptyLine(line))
            ++blanks;
        if (blanks >= expectedBlanks || blanks > 3)
            break;
        if (header)
            header->Add(line);
        ++passed;
    }
    return passed;
}

TSMTPFunc::TSMTPFunc(QObject *owner, const uint16_t *debugLevel)
    : DebugLevelRef(debugLevel ? debugLevel : &ownLevel), client(std::make_unique<TSmtpClient>())
{
    client->Port = 25;
    client->OnReport = [this](TSmtpReport report, int code, const std::string &text) {
        OnReport(report, code, text);
    };
}

TSMTPFunc::~TSMTPFunc()
{
    client->OnReport = nullptr;
    client->Abort();
}

void TSMTPFunc::Log(int level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    LogText = WriteSessionLogV(level, *DebugLevelRef, StatusBar, StatusLabel, format, args);
    va_end(args);
}

void TSMTPFunc::OnReport(TSmtpReport report, int code, const std::string &text)
{
    switch (report) {
    case TSmtpReport::HostResolved:
        Log(4, "Host Resolved");
        break;
    case TSmtpReport::Connected:
        Log(4, "Connected");
        break;
    case TSmtpReport::ConnectionFailed:
        Log(1, "Connection Failed");
        LastResult = smtpresult::ConnectionFailed;
        break;
    case TSmtpReport::InvalidHost:
        Log(1, "Invalid Host");
        LastResult = smtpresult::InvalidHost;
        break;
    case TSmtpReport::AuthenticationFailed:
        Log(1, "Authentication Failed");
        LastResult = smtpresult::AuthenticationFailed;
        tokenExpired = code == AuthTokenExpired;
        break;
    case TSmtpReport::ConnectionRequired:
        Log(4, "Connection Required");
        break;
    case TSmtpReport::Disconnected:
        Log(4, "Disconnect");
        break;
    case TSmtpReport::HeaderIncomplete:
        Log(1, "Header Incomplete: %d", code);
        LastResult = smtpresult::HeaderIncomplete;
        LastProblem =
            code == HeaderNoSender ? "The message has no sender" : "The message has no recipient";
        break;
    case TSmtpReport::RecipientNotFound:
        Log(2, "Recipient Not Found: %s", text.c_str());
        break;
    case TSmtpReport::SendStart:
        Log(4, "SendStart");
        break;
    case TSmtpReport::PacketSent:
        Log(4, "Packet Sent");
        break;
    case TSmtpReport::TlsOffered:
        if (!client->SpokeTlsBefore)
            RememberTlsServer(TlsProtocolSmtp, client->Host, client->Port);
        break;
    case TSmtpReport::Status:
        Log(3, "Statue: %s", text.c_str());
        break;
    case TSmtpReport::Problem:
        LastProblem = text;
        Log(1, "%s", text.c_str());
        break;
    case TSmtpReport::Success:
        Log(4, "Success");
        LastResult = smtpresult::Ok;
        LastProblem.clear();
        sendSucceeded = true;
        break;
    case TSmtpReport::Failure:
        Log(1, "SMTP Failure");
        LastResult = smtpresult::Failure;
        break;
    }
}

bool TSMTPFunc::Cancelled(bool reset)
{
    if (CancelCheck)
        return CancelCheck(reset);
    return Globals && Globals->EscapePressed(reset);
}

// Pumps events while busy() holds. Esc, quitting or the time limit drop the connection and
// fail the running operation.
bool TSMTPFunc::WaitWhile(const std::function<bool()> &busy, unsigned ms)
{
    if (!busy())
        return true;
    bool cancelled = false;
    bool done = false;
    if (Utils) {
        Cancelled(true);
        done = Utils->WaitFor(
            [&] {
                if (!busy())
                    return true;
                cancelled = Cancelled(false);
                return cancelled;
            },
            ms);
        done = done && !cancelled && !busy();
    }
    if (done)
        return true;
    const char *why = cancelled               ? "Sending cancelled"
                      : TUtils::Terminating() ? "Sending stopped: the program is ending"
                                              : "The server took too long";
    client->Abort();
    LastProblem = why;
    Log(1, "%s", why);
    LastResult = smtpresult::Failure;
    return false;
}

bool TSMTPFunc::Prelude(const TConfigRecord &settings)
{
    if (client->IsConnected()) {
        client->Disconnect();
        if (!Utils ||
            !Utils->WaitFor([this] { return !client->IsConnected(); }, DisconnectWaitMs)) {
            // Give up this send, but leave no half-closed session for the next one.
            client->Abort();
            return false;
        }
    }
    sendSucceeded = false;
    TSmtpServerAddress server = ParseSmtpServer(GetText(settings.SmtpServer), uint16_t(Port));
    if (!server.Valid) {
        OnReport(TSmtpReport::Problem, 0,
                 "The outgoing server \"" + GetText(settings.SmtpServer) + "\" is not usable");
        OnReport(TSmtpReport::InvalidHost, 0, std::string());
        return false;
    }
    client->Host = server.Host;
    client->Port = server.Port;
    client->ImplicitTls = server.ImplicitTls;
    client->RequireTls = server.RequireTls;
    client->SpokeTlsBefore = KnownTlsServer(TlsProtocolSmtp, server.Host, server.Port);
    client->UserId = GetText(settings.SmtpUserId);
    client->Password = GetText(settings.SmtpPassword);
    client->AccessToken.clear();
    serverAsWritten = GetText(settings.SmtpServer);
    senderName = GetText(settings.SmtpUserName);
    const bool oauth2 =
        Globals && oauth2::SignsInWithOAuth2(Globals->DataRoot, oauth2::TPurpose::Outgoing,
                                             client->UserId, serverAsWritten);
    if (!oauth2)
        return Connect(false);
    client->Password.clear();
    if (!TakeAccessToken(false))
        return false;
    if (Connect(false))
        return true;
    // A token the server calls expired before its time is renewed once.
    return LastResult == smtpresult::AuthenticationFailed && tokenExpired &&
           !TUtils::Terminating() && TakeAccessToken(true) && Connect(true);
}

bool TSMTPFunc::Connect(bool again)
{
    if (again)
        Log(2, "The server refused the access token; signing in again with a renewed one");
    tokenExpired = false;
    client->Connect();
    WaitWhile([this] { return client->IsBusy(); }, ConnectReplies * unsigned(client->TimeoutMs));
    return client->IsReady();
}

bool TSMTPFunc::TakeAccessToken(bool forceRefresh)
{
    const oauth2::TTokenResult result =
        AwaitAccessToken(Globals->DataRoot, oauth2::TPurpose::Outgoing, client->UserId,
                         serverAsWritten, forceRefresh);
    client->AccessToken = result.Tokens.AccessToken;
    if (result.Ok())
        return true;
    const bool unreachable = result.Failure == oauth2::TTokenFailure::Unreachable;
    OnReport(TSmtpReport::Problem, 0,
             (unreachable ? "The outgoing server's sign-in provider was not reached: "
                          : "The outgoing server's sign-in must be renewed: ") +
                 result.ErrorText);
    LastResult = unreachable ? smtpresult::ConnectionFailed : smtpresult::AuthenticationFailed;
    return false;
}

bool TSMTPFunc::SendAndDisconnect()
{
    TSmtpMessage message;
    message.Sender = Outgoing.Sender;
    message.SenderName = senderName;
    message.Date = Outgoing.Date;
    message.Subject = Outgoing.Subject;
    message.Recipients = Outgoing.Recipients.Items();
    message.Lines = Outgoing.Text.Items();
    message.ContentHeader = contentHeader;
    sendSucceeded = false;
    client->Send(message);
    unsigned replies = SendReplies + unsigned(message.Recipients.size());
    bool finished =
        WaitWhile([this] { return client->IsBusy(); }, replies * unsigned(client->TimeoutMs));
    if (client->IsConnected()) {
        client->Disconnect();
        Cancelled(true);
        if (Utils)
            Utils->WaitFor([this] { return !client->IsConnected() || Cancelled(false); },
                           QuitWaitMs);
        client->Abort();
    }
    return finished && sendSucceeded && LastResult == smtpresult::Ok;
}

// A send asked for while another one waits (a timer or command running inside its wait) is
// refused instead of breaking the running session.
bool TSMTPFunc::Busy()
{
    if (!sending)
        return false;
    LastProblem = "Another message is being sent";
    Log(1, "%s", LastProblem.c_str());
    return true;
}

bool TSMTPFunc::SendPlain(const TConfigRecord &settings)
{
    if (Busy())
        return false;
    TFlagGuard guard(sending);
    if (!Prelude(settings))
        return false;
    return SendAndDisconnect();
}

bool TSMTPFunc::Forward(const TConfigRecord &settings, const std::vector<std::string> *noteLines)
{
    if (Busy())
        return false;
    TFlagGuard guard(sending);
    if (!Prelude(settings))
        return false;
    StoredHeaderLineCount(Outgoing.Text.Items(), &HeaderLines);
    TForwardBody body =
        ForwardBody(Outgoing.Text.Items(), noteLines ? *noteLines : std::vector<std::string>());
    Outgoing.Text.Assign(body.Lines);
    contentHeader = body.ContentHeader;
    bool sent = SendAndDisconnect();
    contentHeader.clear();
    return sent;
}

std::string MailboxSenderAddress(const std::string &userId, const std::string &mailServer)
{
    const std::string user = Trim(userId);
    if (user.find('@') != std::string::npos)
        return user;
    return user + "@" + ParseServerAddress(mailServer, 0).Host;
}

std::string TSMTPFunc::PhoneText(const std::vector<std::string> &lines)
{
    std::string joined;
    for (std::size_t i = std::size_t(StoredHeaderLineCount(lines)); i < lines.size(); ++i)
        joined += lines[i];
    return joined;
}
