#include "common/net/imapclient.h"

#include <QNetworkProxy>
#include <algorithm>
#include <climits>
#include <set>

#include "common/net/imapresponse.h"
#include "common/net/loginmemory.h"
#include "common/net/tlstrust.h"
#include "common/text.h"

namespace {

constexpr int DefaultSocksPort = 1080;
constexpr size_t MaxQuotedReply = 120; // bytes of a response line in a log line or error text
constexpr size_t MaxInFlight = 16;     // commands on the wire at once
constexpr int64_t StatusBytes = 64;    // expected bytes of a status response
constexpr int64_t HeaderBytes = 2048;  // expected bytes of one message header
constexpr int64_t SizeEntryBytes = 64; // expected bytes of one "* n FETCH (UID RFC822.SIZE FLAGS)"
constexpr int64_t ListBytes = 16 * 1024; // expected bytes of a folder list

// A response line in a log line or error text: printable ASCII only, cut short.
std::string Printable(const std::string &text)
{
    std::string out;
    for (char c : text.substr(0, MaxQuotedReply)) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7f) ? c : '?';
    }
    return out;
}

bool CodeIs(const TImapResponse &response, const char *name)
{
    return !response.Code.empty() && SameText(response.Code[0], name);
}

std::string Base64(const std::string &bytes)
{
    return QByteArray::fromStdString(bytes).toBase64().toStdString();
}

// The message's lines without their line ends (CRLF or a bare LF).
std::vector<std::string> SplitLines(const std::string &text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        size_t stop = end == std::string::npos ? text.size() : end;
        size_t length = stop - start;
        if (length > 0 && text[stop - 1] == '\r')
            --length;
        lines.emplace_back(text, start, length);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return lines;
}

std::vector<std::vector<uint32_t>> Chunks(std::vector<uint32_t> uids, size_t size)
{
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    uids.erase(std::remove(uids.begin(), uids.end(), 0u), uids.end());
    std::vector<std::vector<uint32_t>> chunks;
    for (size_t i = 0; i < uids.size(); i += size)
        chunks.emplace_back(uids.begin() + i, uids.begin() + std::min(uids.size(), i + size));
    return chunks;
}

bool Contains(const std::vector<uint32_t> &sorted, uint32_t uid)
{
    return std::binary_search(sorted.begin(), sorted.end(), uid);
}

} // namespace

bool IsImapAddress(const std::string &server)
{
    std::string text = Trim(server);
    return StartsText(text, ImapScheme) || StartsText(text, ImapsScheme) ||
           StartsText(text, ImapRequireTlsScheme);
}

TImapAddress ParseImapAddress(const std::string &server)
{
    TImapAddress address;
    std::string rest = Trim(server);
    bool implicitTls = false, requireTls = false;
    if (StartsText(rest, ImapsScheme)) {
        implicitTls = true;
        rest = rest.substr(sizeof(ImapsScheme) - 1);
    } else if (StartsText(rest, ImapRequireTlsScheme)) {
        requireTls = true;
        rest = rest.substr(sizeof(ImapRequireTlsScheme) - 1);
    } else if (StartsText(rest, ImapScheme)) {
        rest = rest.substr(sizeof(ImapScheme) - 1);
    }
    // The path after the host names the folder; a "]" ends an IPv6 address first.
    size_t hostEnd = rest.compare(0, 1, "[") == 0 ? rest.find(']') : 0;
    size_t slash = rest.find('/', hostEnd == std::string::npos ? 0 : hostEnd);
    if (slash != std::string::npos) {
        std::string folder = rest.substr(slash + 1);
        while (!folder.empty() && folder.back() == '/')
            folder.pop_back();
        if (!folder.empty())
            address.Folder = folder;
        rest = rest.substr(0, slash);
    }
    address.Server = ParseServerAddress(rest, implicitTls ? ImapsPort : ImapPort);
    address.Server.ImplicitTls = implicitTls || address.Server.Port == ImapsPort;
    address.Server.RequireTls = requireTls;
    return address;
}

bool TImapFolder::Has(const std::string &attribute) const
{
    return std::any_of(Attributes.begin(), Attributes.end(),
                       [&](const std::string &a) { return SameText(a, attribute); });
}

TImapClient::TImapClient(TImapListener *listener) : Listener(listener)
{
    Timer.setSingleShot(true);
    QObject::connect(&Timer, &QTimer::timeout, &Timer, [this] {
        OnTimeOut(Format("no answer from the server within %d ms", TimeOut));
    });
    DeadlineTimer.setSingleShot(true);
    QObject::connect(&DeadlineTimer, &QTimer::timeout, &DeadlineTimer, [this] {
        OnTimeOut(Format("the server's reply did not end within %d ms", DeadlineTimer.interval()));
    });
}

TImapClient::~TImapClient()
{
    TearDown();
}

void TImapClient::SetProxy(const std::string &host, int port)
{
    ProxyHost = host;
    ProxyPort = port;
}

bool TImapClient::Offers(const std::string &capability) const
{
    std::string name = UpperCase(capability);
    return std::find(Capabilities.begin(), Capabilities.end(), name) != Capabilities.end();
}

void TImapClient::ReleaseClosedSockets()
{
    Retired.clear();
}

void TImapClient::Log(const std::string &line)
{
    Listener->OnStatus(Printable(line));
}

void TImapClient::NoteFailure(TPop3Failure failure)
{
    if (LastFailure_ == TPop3Failure::None)
        LastFailure_ = failure;
}

void TImapClient::Connect()
{
    if (State_ != TState::Disconnected)
        return;
    Retired.clear();
    LastErrorText_.clear();
    SslErrorText.clear();
    SslNameOnly = false;
    LastFailure_ = TPop3Failure::None;
    Secure_ = LoggedIn = StartedTls = LoginSent = false;
    Capabilities.clear();
    BearerRefusal = TBearerError();
    KnownSizes.clear();
    Exists = 0;
    Reader = std::make_unique<TImapReader>(MaxLine, MaxLiteral, MaxResponse);

    Address_ = ParseImapAddress(Host);
    State_ = TState::Connecting;
    if (Address_.Server.Host.empty() || Address_.Server.Port <= 0) {
        FailConnect(TFailKind::InvalidHost, "no valid server name or port in \"" + Host + "\"");
        return;
    }
    Socket = std::make_unique<QSslSocket>();
    if (ProxyHost.empty()) {
        Socket->setProxy(QNetworkProxy::NoProxy);
    } else {
        TServerAddress proxy =
            ParseServerAddress(ProxyHost, ProxyPort > 0 ? ProxyPort : DefaultSocksPort);
        Socket->setProxy(QNetworkProxy(QNetworkProxy::Socks5Proxy,
                                       QString::fromStdString(proxy.Host), proxy.Port));
    }
    Socket->setSslConfiguration(TrustedTlsConfiguration());
    ResumeTlsSession(*Socket, LoginMemoryKey("imap", Address_.Server.Host, Address_.Server.Port));

    QSslSocket *socket = Socket.get();
    auto awaitGreeting = [this] {
        TCommand greeting = MakeCommand(TKind::Greeting, "");
        greeting.Sent = true; // the server speaks first
        Queue.push_back(std::move(greeting));
        ArmTimer();
    };
    Links = {
        QObject::connect(socket, &QAbstractSocket::connected, socket,
                         [this, awaitGreeting] {
                             Socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                             ArmTimer();
                             if (!Address_.Server.ImplicitTls)
                                 awaitGreeting();
                         }),
        QObject::connect(socket, &QSslSocket::encrypted, socket,
                         [this, awaitGreeting] {
                             Secure_ = true;
                             if (StartedTls) { // capabilities may differ once encrypted
                                 PushSimple(TKind::Capability, "CAPABILITY");
                                 SendQueued();
                             } else {
                                 awaitGreeting();
                             }
                         }),
        QObject::connect(socket, &QSslSocket::sslErrors, socket,
                         [this](const QList<QSslError> &errors) {
                             SslErrorText.clear();
                             SslNameOnly = !errors.isEmpty();
                             for (const QSslError &error : errors) {
                                 SslNameOnly =
                                     SslNameOnly && error.error() == QSslError::HostNameMismatch;
                                 SslErrorText += (SslErrorText.empty() ? "" : "; ") +
                                                 error.errorString().toStdString();
                             }
                         }),
        QObject::connect(socket, &QIODevice::readyRead, socket, [this] { OnReadyRead(); }),
        QObject::connect(socket, &QAbstractSocket::errorOccurred, socket,
                         [this](QAbstractSocket::SocketError) { OnSocketError(); }),
        QObject::connect(socket, &QAbstractSocket::disconnected, socket,
                         [this] { OnRemoteClosed(); }),
    };
    ArmTimer();
    QString host = QString::fromStdString(Address_.Server.Host);
    if (Address_.Server.ImplicitTls)
        Socket->connectToHostEncrypted(host, Address_.Server.Port);
    else
        Socket->connectToHost(host, Address_.Server.Port);
}

void TImapClient::Disconnect()
{
    if (State_ == TState::Ready) {
        State_ = TState::LoggingOut;
        PushSimple(TKind::Logout, "LOGOUT");
        SendQueued();
    } else if (State_ == TState::Connecting) {
        Abort();
    }
}

void TImapClient::Abort()
{
    if (State_ == TState::Disconnected)
        return;
    bool wasOpen = State_ != TState::Connecting;
    std::vector<unsigned> tickets = PendingTickets();
    TearDown();
    for (unsigned ticket : tickets)
        Listener->OnRequestFinished(ticket, false);
    if (wasOpen)
        Listener->OnDisconnected();
}

void TImapClient::TearDown()
{
    ++Generation;
    Timer.stop();
    DeadlineTimer.stop();
    DeadlineArmed = false;
    for (QMetaObject::Connection &link : Links)
        QObject::disconnect(link);
    Links.clear();
    if (Socket) {
        Socket->abort();
        Retired.push_back(std::move(Socket));
    }
    State_ = TState::Disconnected;
    Secure_ = LoggedIn = LoginSent = false;
    Queue.clear();
    Held.clear();
    Requests.clear();
    if (Reader)
        Reader->Clear();
}

std::vector<unsigned> TImapClient::PendingTickets() const
{
    std::vector<unsigned> tickets;
    for (const auto &[ticket, request] : Requests)
        tickets.push_back(ticket);
    return tickets;
}

// ---- sending

TImapClient::TCommand TImapClient::MakeCommand(TKind kind, const std::string &line)
{
    TCommand command;
    command.Kind = kind;
    command.Serial = NextSerial++;
    if (kind != TKind::Greeting) {
        command.Tag = Format("C%u", NextTag++);
        command.Parts = {command.Tag + " " + line};
        command.Log = command.Parts[0];
    }
    return command;
}

void TImapClient::Push(TCommand command)
{
    Queue.push_back(std::move(command));
}

TImapClient::TCommand *TImapClient::AwaitingContinuation()
{
    for (TCommand &command : Queue)
        if (command.Sent && command.NextPart < command.Parts.size())
            return &command;
    return nullptr;
}

TImapClient::TCommand *TImapClient::OldestSent()
{
    for (TCommand &command : Queue)
        if (command.Sent)
            return &command;
    return nullptr;
}

void TImapClient::SendPart(TCommand &command)
{
    const std::string &part = command.Parts[command.NextPart++];
    std::string out = part + "\r\n";
    Socket->write(out.data(), static_cast<qint64>(out.size()));
    if (command.Kind == TKind::Login && command.NextPart == command.Parts.size() && ShortLogin())
        LoginSent = true;
}

// Whether commands may go on the wire behind this sent one before its answer: not while it
// waits for a continuation, not behind LOGOUT, STARTTLS or a token login (whose error challenge
// wants an answer of its own), and before the login only behind the login itself.
bool TImapClient::ClearsTheWay(const TCommand &sent) const
{
    if (sent.NextPart < sent.Parts.size() || sent.Kind == TKind::Logout ||
        sent.Kind == TKind::AuthBearer || sent.Kind == TKind::StartTls || sent.Kind == TKind::Idle)
        return false;
    return LoggedIn || LoginSent;
}

// Everything queued goes out at once, as IMAP allows, except where ClearsTheWay says no. Until
// the login went out, one command at a time: each depends on the answer before it.
void TImapClient::SendQueued()
{
    if (!Socket || State_ == TState::Disconnected)
        return;
    bool wrote = false;
    size_t inFlight = 0;
    for (TCommand &command : Queue) {
        if (command.Sent) {
            if (!ClearsTheWay(command))
                break;
            ++inFlight;
            continue;
        }
        if ((inFlight > 0 && command.Kind == TKind::Idle) || inFlight >= MaxInFlight)
            break;
        command.Sent = true;
        command.Expected = ExpectedBytes(command);
        Log(command.Log);
        SendPart(command);
        wrote = true;
        ++inFlight;
        if (!ClearsTheWay(command))
            break;
    }
    ArmTimer(wrote);
}

int64_t TImapClient::ExpectedBytes(const TCommand &command) const
{
    switch (command.Kind) {
    case TKind::Message: {
        auto size = command.Uids.empty() ? KnownSizes.end() : KnownSizes.find(command.Uids[0]);
        return StatusBytes + (size == KnownSizes.end() ? 0 : size->second);
    }
    case TKind::Headers:
        return StatusBytes + static_cast<int64_t>(command.Uids.size()) * HeaderBytes;
    case TKind::Sizes:
        return StatusBytes + static_cast<int64_t>(Exists) * SizeEntryBytes;
    case TKind::List:
        return ListBytes;
    default:
        return StatusBytes;
    }
}

void TImapClient::ArmTimer(bool restart)
{
    TCommand *head = OldestSent();
    // An accepted IDLE awaits nothing: the server may stay silent until the DONE.
    if (head && head->Kind == TKind::Idle && head->Idling && !head->DoneSent)
        head = nullptr;
    bool waiting = State_ == TState::Connecting || State_ == TState::LoggingOut || head;
    if (!waiting) {
        Timer.stop();
        DeadlineTimer.stop();
        DeadlineArmed = false;
        return;
    }
    if (restart || !Timer.isActive())
        Timer.start(std::max(TimeOut, 1));
    // The deadline runs from the moment a reply is awaited, whatever trickles in.
    uint64_t phase = head ? head->Serial : 0;
    if (!DeadlineArmed || phase != DeadlinePhase) {
        DeadlinePhase = phase;
        DeadlineArmed = true;
        int64_t expected = head ? head->Expected : 0;
        int64_t ms = std::max<int64_t>(TimeOut, 1) * (ReplyTimeOuts + expected / DeadlineBlock);
        DeadlineTimer.start(static_cast<int>(std::min<int64_t>(ms, INT_MAX)));
    }
}

// ---- reading

void TImapClient::OnReadyRead()
{
    if (Reading || !Socket)
        return;
    Reading = true;
    unsigned generation = Generation;
    QByteArray data = Socket->readAll();
    BytesReceived_ += data.size();
    Reader->Append(data.constData(), static_cast<size_t>(data.size()));
    ArmTimer();
    std::string raw;
    while (generation == Generation) {
        TImapReader::TResult result = Reader->Next(raw);
        if (result == TImapReader::TResult::NeedMore)
            break;
        if (result == TImapReader::TResult::Fault) {
            ProtocolError(Reader->Fault());
            break;
        }
        HandleResponse(raw);
    }
    Reading = false;
    if (generation == Generation && Socket && Socket->bytesAvailable() > 0)
        OnReadyRead();
}

void TImapClient::HandleResponse(const std::string &raw)
{
    TImapResponse response;
    std::string why;
    if (!ParseImapResponse(raw, response, why)) {
        ProtocolError("the server answered garbage (" + why + "): \"" + Printable(raw) + "\"");
        return;
    }
    if (response.Tag == "+")
        HandleContinuation(response);
    else if (response.Tag == "*")
        HandleUntagged(response);
    else
        HandleTagged(response);
}

void TImapClient::HandleContinuation(const TImapResponse &response)
{
    if (TCommand *command = AwaitingContinuation()) {
        SendPart(*command);
        if (command->NextPart >= command->Parts.size())
            SendQueued();
        return;
    }
    if (TCommand *idle = IdleCommand(); idle && idle->Sent && !idle->Idling) {
        idle->Idling = true;
        Log("+ " + response.Text);
        if (idle->DoneWanted)
            SendDone(*idle);
        ArmTimer(false);
        return;
    }
    // After the token went out, a continuation is the server's error challenge: answered
    // so that the server ends the exchange with its refusal.
    TCommand *bearer = SentOf(TKind::AuthBearer);
    if (bearer && !bearer->Answered) {
        bearer->Answered = true;
        BearerRefusal = ParseBearerError(response.Text);
        Log("+ " + BearerRefusal.Describe());
        std::string out = std::string(BearerErrorAnswer(Bearer)) + "\r\n";
        Socket->write(out.data(), static_cast<qint64>(out.size()));
        return;
    }
    ProtocolError("the server asked to go on with no command waiting: \"" +
                  Printable(response.FirstLine) + "\"");
}

TImapClient::TCommand *TImapClient::SentOf(TKind kind)
{
    for (TCommand &command : Queue)
        if (command.Sent && command.Kind == kind)
            return &command;
    return nullptr;
}

TImapClient::TRequest *TImapClient::RequestOf(const TCommand *command)
{
    if (!command || command->Ticket == 0)
        return nullptr;
    auto found = Requests.find(command->Ticket);
    return found == Requests.end() ? nullptr : &found->second;
}

void TImapClient::HandleUntagged(const TImapResponse &response)
{
    if (!Queue.empty() && Queue.front().Kind == TKind::Greeting) {
        Queue.pop_front();
        AfterGreeting(response);
        return;
    }
    if (response.Status == "BYE") {
        Log(response.FirstLine);
        if (State_ == TState::LoggingOut)
            return; // the tagged OK to LOGOUT follows, or the close
        std::string why = "the server ended the session: \"" + Printable(response.Text) + "\"";
        if (State_ == TState::Connecting)
            FailConnect(TFailKind::Connection, why);
        else
            LoseConnection(why);
        return;
    }
    if (!response.Status.empty()) {
        if (response.Status != "OK" || response.Code.empty())
            Log(response.FirstLine);
        HandleStatusCode(response, nullptr);
        return;
    }
    const std::vector<TImapValue> &values = response.Values;
    if (values.empty())
        return;
    if (values[0].IsAtom("CAPABILITY")) {
        std::vector<std::string> words;
        for (const TImapValue &value : values)
            words.push_back(value.Text);
        SetCapabilities(words, 1);
    } else if (values[0].IsAtom("LIST")) {
        TImapListEntry entry;
        TRequest *request = RequestOf(SentOf(TKind::List));
        if (request && ParseImapList(response, entry))
            request->Folders.push_back(TImapFolder{entry.Name, entry.Attributes});
    } else if (values.size() >= 2 && values[0].IsNumber() && values[1].IsAtom("EXISTS")) {
        Exists = static_cast<uint32_t>(std::min<uint64_t>(values[0].Number(), UINT32_MAX));
        if (TRequest *request = RequestOf(SentOf(TKind::Select)))
            request->FolderState.Exists = Exists;
        Listener->OnExists(Exists);
    } else if (values.size() >= 2 && values[0].IsNumber() && values[1].IsAtom("EXPUNGE")) {
        uint32_t sequence =
            static_cast<uint32_t>(std::min<uint64_t>(values[0].Number(), UINT32_MAX));
        if (Exists > 0)
            --Exists;
        Listener->OnExpunge(sequence);
    } else if (values.size() >= 2 && values[1].IsAtom("FETCH")) {
        HandleFetch(response);
    }
}

// Response codes of an untagged OK (command null) or of a tagged reply to command.
void TImapClient::HandleStatusCode(const TImapResponse &response, TCommand *command)
{
    if (response.Code.empty())
        return;
    if (CodeIs(response, "CAPABILITY")) {
        SetCapabilities(response.Code, 1);
    } else if (CodeIs(response, "UIDVALIDITY") || CodeIs(response, "UIDNEXT")) {
        TRequest *request = RequestOf(command ? command : SentOf(TKind::Select));
        if (request && response.Code.size() >= 2) {
            uint32_t value = static_cast<uint32_t>(
                std::min<long long>(StrToIntDef(response.Code[1], 0), UINT32_MAX));
            (CodeIs(response, "UIDVALIDITY") ? request->FolderState.UidValidity
                                             : request->FolderState.UidNext) = value;
        }
    } else if (CodeIs(response, "COPYUID") && response.Code.size() >= 4) {
        TCommand *copy = command;
        if (!copy)
            copy = SentOf(TKind::Move);
        if (copy) {
            copy->CopyUidSeen = true;
            std::vector<uint32_t> source = ParseImapSet(response.Code[2], MaxUidsPerCommand);
            copy->CopyUids.insert(copy->CopyUids.end(), source.begin(), source.end());
        }
    }
}

// A FETCH belongs to the sent command that asked for its UID and items; one without them is
// news about flags, ignored. A UID below the first asked of "n:*" is the highest message
// that the server returns even though it lies below n.
void TImapClient::HandleFetch(const TImapResponse &response)
{
    TImapFetch fetch;
    std::string why;
    if (!ParseImapFetch(response, fetch, why)) {
        ProtocolError("the server sent a malformed FETCH (" + why + "): \"" +
                      Printable(response.FirstLine) + "\"");
        return;
    }
    if (fetch.Uid == 0)
        return;
    if (fetch.HasSize)
        KnownSizes[fetch.Uid] = fetch.Size;
    for (TCommand &command : Queue) {
        if (!command.Sent)
            break;
        TRequest *request = RequestOf(&command);
        if (!request)
            continue;
        // A server may answer pipelined FETCHes together: a header's FETCH carries a size too,
        // but it is no entry of the listing.
        if (command.Kind == TKind::Sizes && fetch.HasSize && !fetch.HasHeader && !fetch.HasBody &&
            fetch.Uid >= command.FirstUid) {
            request->Messages.push_back(TImapMessage{fetch.Uid, fetch.Size, fetch.Deleted, {}});
            return;
        }
        if (command.Kind == TKind::Headers && fetch.HasHeader &&
            (command.Newest || Contains(command.Uids, fetch.Uid))) {
            TImapMessage message{fetch.Uid, fetch.Size, false,
                                 SummarizeHeader(SplitLines(fetch.Header))};
            message.Summary.Size = fetch.Size;
            request->Messages.push_back(std::move(message));
            return;
        }
        if (command.Kind == TKind::Message && fetch.HasBody && Contains(command.Uids, fetch.Uid)) {
            request->GotBody = true;
            request->Lines.Assign(SplitLines(fetch.Body));
            return;
        }
    }
}

void TImapClient::HandleTagged(const TImapResponse &response)
{
    auto found = std::find_if(Queue.begin(), Queue.end(), [&](const TCommand &command) {
        return command.Sent && command.Tag == response.Tag;
    });
    if (found == Queue.end()) {
        ProtocolError("the server answered a command never sent: \"" +
                      Printable(response.FirstLine) + "\"");
        return;
    }
    Log(response.FirstLine);
    TCommand command = std::move(*found);
    Queue.erase(found);
    bool ok = response.Status == "OK";
    HandleStatusCode(response, &command);
    unsigned generation = Generation;
    Dispatch(command, ok, response);
    if (generation == Generation) {
        SendQueued();
        ArmTimer();
    }
}

void TImapClient::Dispatch(TCommand &command, bool ok, const TImapResponse &response)
{
    std::string status = response.Tag + " " + response.Status + " " + response.Text;
    switch (command.Kind) {
    case TKind::Greeting:
        return;
    case TKind::Capability:
        AfterCapability();
        return;
    case TKind::StartTls:
        if (!ok) { // never go on in clear text once encryption was asked for
            NoteFailure(TPop3Failure::TlsRefused);
            FailConnect(TFailKind::Connection,
                        "the server refused STARTTLS: \"" + Printable(status) + "\"");
            return;
        }
        // Bytes behind the reply came in clear text and could be forged responses.
        if (!Reader->Empty()) {
            FailConnect(TFailKind::Connection, "the server sent clear text after STARTTLS");
            return;
        }
        StartedTls = true;
        Socket->startClientEncryption();
        return;
    case TKind::Login:
        if (ok)
            LoginDone(response);
        else
            LoginRefused(status);
        return;
    case TKind::AuthBearer:
        if (ok)
            LoginDone(response);
        else
            BearerRefused(status);
        return;
    case TKind::Logout:
        if (Socket)
            Socket->disconnectFromHost();
        return;
    default:
        if (ok && command.Kind == TKind::Select && CodeIs(response, "READ-ONLY"))
            if (TRequest *request = RequestOf(&command))
                request->FolderState.ReadOnly = true;
        CommandDone(command, ok, status);
        return;
    }
}

// ---- session set-up

void TImapClient::AfterGreeting(const TImapResponse &response)
{
    if (response.Status != "OK" && response.Status != "PREAUTH") {
        FailConnect(TFailKind::Connection,
                    "the server refused the session: \"" + Printable(response.FirstLine) + "\"");
        return;
    }
    Log(response.FirstLine);
    LoggedIn = response.Status == "PREAUTH";
    HandleStatusCode(response, nullptr);
    if (CodeIs(response, "CAPABILITY"))
        AfterCapability();
    else
        PushSimple(TKind::Capability, "CAPABILITY");
    SendQueued();
}

void TImapClient::SetCapabilities(const std::vector<std::string> &words, size_t first)
{
    Capabilities.clear();
    for (size_t i = first; i < words.size(); ++i)
        Capabilities.push_back(UpperCase(words[i]));
}

void TImapClient::AfterCapability()
{
    if (LoggedIn) {
        if (!Secure_ && (Address_.Server.RequireTls || SpokeTlsBefore)) {
            NoteFailure(TPop3Failure::TlsNotOffered);
            FailConnect(TFailKind::Connection,
                        "the server opened the session without TLS, which it must use");
            return;
        }
        BecomeReady();
        return;
    }
    if (!Secure_ && Offers("STARTTLS")) {
        unsigned generation = Generation;
        Listener->OnTlsOffered();
        if (generation == Generation)
            PushSimple(TKind::StartTls, "STARTTLS");
        return;
    }
    StartLogin();
}

void TImapClient::StartLogin()
{
    if (!AccessToken.empty()) {
        StartBearerLogin();
        return;
    }
    if (!Secure_ && (Address_.Server.RequireTls || SpokeTlsBefore)) {
        NoteFailure(TPop3Failure::TlsNotOffered);
        FailConnect(TFailKind::Connection,
                    Address_.Server.RequireTls
                        ? "the server did not offer STARTTLS, and its address asks for TLS: the "
                          "password is not sent in clear text"
                        : "the server did not offer STARTTLS, although it did before: the "
                          "password is not sent in clear text");
        return;
    }
    if (User.empty() || Password.empty()) {
        Listener->OnAuthenticationNeeded();
        FailConnect(TFailKind::Silent, "no user ID or password to log in with");
        return;
    }
    if (Offers("AUTH=PLAIN")) {
        std::string response = Base64(std::string(1, '\0') + User + '\0' + Password);
        TCommand command;
        if (Offers("SASL-IR")) {
            command = MakeCommand(TKind::Login, "AUTHENTICATE PLAIN " + response);
        } else {
            command = MakeCommand(TKind::Login, "AUTHENTICATE PLAIN");
            command.Parts.push_back(response);
        }
        command.Log = command.Tag + " AUTHENTICATE PLAIN ****";
        Push(std::move(command));
        ReleaseHeld();
        return;
    }
    if (Offers("LOGINDISABLED")) {
        NoteFailure(TPop3Failure::LoginRefused);
        FailConnect(TFailKind::Connection,
                    "the server allows no login here (LOGINDISABLED, no AUTHENTICATE PLAIN)");
        return;
    }
    TCommand command = MakeCommand(TKind::Login, "LOGIN ");
    bool literalPlus = Offers("LITERAL+");
    AppendImapString(command.Parts, User, literalPlus);
    command.Parts.back() += " ";
    AppendImapString(command.Parts, Password, literalPlus);
    command.Log = command.Tag + " LOGIN " + Quote(User) + " ****";
    Push(std::move(command));
    ReleaseHeld();
}

std::string TImapClient::Quote(const std::string &value) const
{
    std::vector<std::string> parts;
    AppendImapString(parts, value, true);
    return parts.size() == 1 && parts[0].find('\n') == std::string::npos ? parts[0] : "{literal}";
}

// Signs in with the access token, which goes out only encrypted and only inside the SASL
// response that no log line repeats.
void TImapClient::StartBearerLogin()
{
    if (!Secure_) {
        NoteFailure(TPop3Failure::TlsNotOffered);
        FailConnect(TFailKind::Connection, "the server did not offer STARTTLS: the access token "
                                           "is not sent in clear text");
        return;
    }
    if (User.empty()) {
        Listener->OnAuthenticationNeeded();
        FailConnect(TFailKind::Silent, "no user ID to sign in with");
        return;
    }
    Bearer = Offers("AUTH=OAUTHBEARER") ? TBearerMechanism::OAuthBearer : TBearerMechanism::XOAuth2;
    BearerRefusal = TBearerError();
    std::string mechanism = BearerMechanismName(Bearer);
    std::string response =
        BearerResponse(Bearer, User, AccessToken, Address_.Server.Host, Address_.Server.Port);
    TCommand command;
    if (Offers("SASL-IR")) {
        command = MakeCommand(TKind::AuthBearer, "AUTHENTICATE " + mechanism + " " + response);
    } else {
        command = MakeCommand(TKind::AuthBearer, "AUTHENTICATE " + mechanism);
        command.Parts.push_back(response);
    }
    command.Log = command.Tag + " AUTHENTICATE " + mechanism + " ****";
    Push(std::move(command));
}

void TImapClient::LoginDone(const TImapResponse &response)
{
    LoggedIn = true;
    if (CodeIs(response, "CAPABILITY"))
        BecomeReady();
    else
        PushSimple(TKind::Capability, "CAPABILITY");
}

void TImapClient::BecomeReady()
{
    State_ = TState::Ready;
    ReleaseHeld();
    Listener->OnConnected();
}

// The requests made while connecting join the queue behind the login: a refused login ends the
// connection, so they never run unauthenticated for long (their answers are refusals).
void TImapClient::ReleaseHeld()
{
    for (TCommand &command : Held)
        Push(std::move(command));
    Held.clear();
}

void TImapClient::LoginRefused(const std::string &status)
{
    bool retry = false;
    unsigned generation = Generation;
    Listener->OnAuthenticationFailed(retry);
    if (generation != Generation)
        return;
    if (retry) {
        StartLogin();
        return;
    }
    NoteFailure(TPop3Failure::LoginRefused);
    FailConnect(TFailKind::Silent, "the server refused the login: \"" + Printable(status) + "\"");
}

void TImapClient::BearerRefused(const std::string &status)
{
    bool retry = false; // the same token would only be refused again
    unsigned generation = Generation;
    Listener->OnAuthenticationFailed(retry);
    if (generation != Generation)
        return;
    NoteFailure(BearerRefusal.Expired() ? TPop3Failure::SignInExpired
                                        : TPop3Failure::SignInRefused);
    FailConnect(TFailKind::Silent, std::string("the server refused the access token (") +
                                       BearerRefusal.Describe() + "): \"" + Printable(status) +
                                       "\"");
}

// ---- requests

unsigned TImapClient::StartRequest(TKind kind, std::vector<TCommand> commands, bool sequential)
{
    const bool hold = State_ == TState::Connecting && ShortLogin();
    if (State_ != TState::Ready && !hold)
        return 0;
    if (kind != TKind::Idle)
        RequestDone(); // the server takes no other command during an IDLE
    unsigned ticket = NextTicket++;
    if (ticket == 0)
        ticket = NextTicket++;
    TRequest &request = Requests[ticket];
    request.Kind = kind;
    for (TCommand &command : commands)
        command.Ticket = ticket;
    if (commands.empty()) { // nothing to ask: done at once, from the event loop
        QTimer::singleShot(0, &Timer, [this, ticket, generation = Generation] {
            if (generation == Generation)
                FinishRequest(ticket);
        });
        return ticket;
    }
    for (size_t i = 0; i < commands.size(); ++i) {
        if (sequential && i > 0) {
            request.Steps.push_back(std::move(commands[i]));
        } else {
            ++request.Outstanding;
            if (hold)
                Held.push_back(std::move(commands[i]));
            else
                Push(std::move(commands[i]));
        }
    }
    SendQueued();
    return ticket;
}

void TImapClient::CommandDone(TCommand &command, bool ok, const std::string &status)
{
    TRequest *request = RequestOf(&command);
    if (!request)
        return;
    --request->Outstanding;
    if (!ok) {
        request->Ok = false;
        request->Failure =
            "the server refused \"" + Printable(command.Log) + "\": \"" + Printable(status) + "\"";
        request->Steps.clear();
    } else if (command.Kind == TKind::Move) {
        const std::vector<uint32_t> &gone = command.CopyUidSeen ? command.CopyUids : command.Uids;
        for (uint32_t uid : gone)
            if (Contains(command.Uids, uid))
                request->Gone.push_back(uid);
    } else if (command.Kind == TKind::Expunge ||
               (command.Kind == TKind::Store && !Offers("UIDPLUS"))) {
        // Without UIDPLUS nothing expunges exactly these messages: marked \Deleted they are
        // gone for every client that hides such messages, and the listings skip them.
        request->Gone.insert(request->Gone.end(), command.Uids.begin(), command.Uids.end());
    } else if (command.Kind == TKind::Message && !request->GotBody) {
        request->Ok = false;
        request->Failure = Format("the server no longer has message %u", command.Uids[0]);
    }
    if (request->Ok && !request->Steps.empty() && request->Outstanding == 0) {
        if (State_ != TState::Ready) {
            request->Ok = false;
            request->Failure = "the session ended before every step was sent";
            request->Steps.clear();
        } else {
            TCommand next = std::move(request->Steps.front());
            request->Steps.pop_front();
            ++request->Outstanding;
            Push(std::move(next));
        }
    }
    if (request->Outstanding == 0)
        FinishRequest(command.Ticket);
}

void TImapClient::FinishRequest(unsigned ticket)
{
    auto found = Requests.find(ticket);
    if (found == Requests.end())
        return;
    TRequest request = std::move(found->second);
    Requests.erase(found);
    if (!request.Ok) {
        LastErrorText_ = request.Failure;
        Listener->OnError(request.Failure);
    }
    switch (request.Kind) {
    case TKind::Select:
        if (request.Ok)
            FolderStates[ticket] = request.FolderState;
        break;
    case TKind::Sizes:
        std::sort(request.Messages.begin(), request.Messages.end(),
                  [](const TImapMessage &a, const TImapMessage &b) { return a.Uid < b.Uid; });
        [[fallthrough]];
    case TKind::Headers:
        if (request.Ok)
            MessageLists[ticket] = std::move(request.Messages);
        break;
    case TKind::Message:
        if (request.Ok)
            MessageLines[ticket] = std::move(request.Lines);
        break;
    case TKind::List:
        if (request.Ok)
            FolderLists[ticket] = std::move(request.Folders);
        break;
    case TKind::Move:
    case TKind::Store:
        std::sort(request.Gone.begin(), request.Gone.end());
        request.Gone.erase(std::unique(request.Gone.begin(), request.Gone.end()),
                           request.Gone.end());
        UidLists[ticket] = std::move(request.Gone);
        if (request.Ok && !Offers("UIDPLUS") && !Offers("MOVE")) {
            LastErrorText_ = "the server offers no UIDPLUS: the messages are only marked "
                             "\\Deleted and stay in the folder";
            Listener->OnError(LastErrorText_);
        }
        break;
    default:
        break;
    }
    Listener->OnRequestFinished(ticket, request.Ok);
}

unsigned TImapClient::RequestSelect(const std::string &folder, bool readOnly)
{
    TCommand command = MakeCommand(TKind::Select, readOnly ? "EXAMINE " : "SELECT ");
    AppendImapString(command.Parts, EncodeImapUtf7(folder), Offers("LITERAL+"));
    command.Log =
        command.Tag + (readOnly ? " EXAMINE " : " SELECT ") + Quote(EncodeImapUtf7(folder));
    KnownSizes.clear();
    return StartRequest(TKind::Select, {std::move(command)}, false);
}

unsigned TImapClient::RequestSizes(uint32_t firstUid)
{
    firstUid = std::max<uint32_t>(firstUid, 1);
    TCommand command =
        MakeCommand(TKind::Sizes, Format("UID FETCH %u:* (UID RFC822.SIZE FLAGS)", firstUid));
    command.FirstUid = firstUid;
    return StartRequest(TKind::Sizes, {std::move(command)}, false);
}

unsigned TImapClient::RequestHeaders(const std::vector<uint32_t> &uids)
{
    std::vector<TCommand> commands;
    for (std::vector<uint32_t> &chunk : Chunks(uids, MaxUidsPerCommand)) {
        commands.push_back(MakeCommand(TKind::Headers, "UID FETCH " + FormatImapSet(chunk) +
                                                           " (UID RFC822.SIZE BODY.PEEK[HEADER])"));
        commands.back().Uids = std::move(chunk);
    }
    return StartRequest(TKind::Headers, std::move(commands), false);
}

unsigned TImapClient::RequestNewestHeader()
{
    TCommand command = MakeCommand(TKind::Headers, "FETCH * (UID RFC822.SIZE BODY.PEEK[HEADER])");
    command.Newest = true;
    return StartRequest(TKind::Headers, {std::move(command)}, false);
}

unsigned TImapClient::RequestMessage(uint32_t uid)
{
    if (uid == 0)
        return 0;
    TCommand command = MakeCommand(TKind::Message, Format("UID FETCH %u (UID BODY.PEEK[])", uid));
    command.Uids = {uid};
    return StartRequest(TKind::Message, {std::move(command)}, false);
}

unsigned TImapClient::RequestFolders()
{
    std::string line =
        Offers("SPECIAL-USE") ? "LIST \"\" \"*\" RETURN (SPECIAL-USE)" : "LIST \"\" \"*\"";
    return StartRequest(TKind::List, {MakeCommand(TKind::List, line)}, false);
}

unsigned TImapClient::RequestMove(const std::vector<uint32_t> &uids, const std::string &folder)
{
    std::string target = Quote(EncodeImapUtf7(folder));
    bool literal = target == "{literal}";
    std::vector<TCommand> commands;
    for (std::vector<uint32_t> &chunk : Chunks(uids, MaxUidsPerCommand)) {
        std::string set = FormatImapSet(chunk);
        auto withTarget = [&](TKind kind, const std::string &verb) {
            TCommand command = MakeCommand(kind, "UID " + verb + " " + set + " ");
            if (literal)
                AppendImapString(command.Parts, EncodeImapUtf7(folder), Offers("LITERAL+"));
            else
                command.Parts[0] += target;
            command.Log = command.Tag + " UID " + verb + " " + set + " " + target;
            command.Uids = chunk;
            commands.push_back(std::move(command));
        };
        if (Offers("MOVE")) {
            withTarget(TKind::Move, "MOVE");
            continue;
        }
        withTarget(TKind::Copy, "COPY");
        commands.push_back(
            MakeCommand(TKind::Store, "UID STORE " + set + " +FLAGS.SILENT (\\Deleted)"));
        commands.back().Uids = chunk;
        if (Offers("UIDPLUS")) {
            commands.push_back(MakeCommand(TKind::Expunge, "UID EXPUNGE " + set));
            commands.back().Uids = chunk;
        }
    }
    return StartRequest(TKind::Move, std::move(commands), true);
}

unsigned TImapClient::RequestDelete(const std::vector<uint32_t> &uids)
{
    std::vector<TCommand> commands;
    for (std::vector<uint32_t> &chunk : Chunks(uids, MaxUidsPerCommand)) {
        std::string set = FormatImapSet(chunk);
        commands.push_back(
            MakeCommand(TKind::Store, "UID STORE " + set + " +FLAGS.SILENT (\\Deleted)"));
        commands.back().Uids = chunk;
        if (Offers("UIDPLUS")) {
            commands.push_back(MakeCommand(TKind::Expunge, "UID EXPUNGE " + set));
            commands.back().Uids = chunk;
        }
    }
    return StartRequest(TKind::Store, std::move(commands), true);
}

unsigned TImapClient::RequestNoop()
{
    return StartRequest(TKind::Noop, {MakeCommand(TKind::Noop, "NOOP")}, false);
}

unsigned TImapClient::RequestIdle()
{
    if (!Offers("IDLE") || IdleCommand())
        return 0;
    return StartRequest(TKind::Idle, {MakeCommand(TKind::Idle, "IDLE")}, false);
}

bool TImapClient::RequestDone()
{
    TCommand *idle = IdleCommand();
    if (!idle || idle->DoneSent || idle->DoneWanted)
        return false;
    if (idle->Idling)
        SendDone(*idle);
    else
        idle->DoneWanted = true;
    return true;
}

bool TImapClient::Idling() const
{
    for (const TCommand &command : Queue)
        if (command.Kind == TKind::Idle && command.Idling && !command.DoneSent)
            return true;
    return false;
}

TImapClient::TCommand *TImapClient::IdleCommand()
{
    for (TCommand &command : Queue)
        if (command.Kind == TKind::Idle)
            return &command;
    return nullptr;
}

void TImapClient::SendDone(TCommand &idle)
{
    if (!Socket)
        return;
    idle.DoneSent = true;
    Log("DONE");
    static const char done[] = "DONE\r\n";
    Socket->write(done, qint64(sizeof(done) - 1));
    // The answer to DONE is awaited afresh: the deadline runs from now.
    idle.Serial = NextSerial++;
    ArmTimer(true);
}

template <typename T> static bool TakeFrom(std::map<unsigned, T> &results, unsigned ticket, T &out)
{
    auto found = results.find(ticket);
    if (found == results.end())
        return false;
    out = std::move(found->second);
    results.erase(found);
    return true;
}

bool TImapClient::TakeFolderState(unsigned ticket, TImapFolderState &state)
{
    return TakeFrom(FolderStates, ticket, state);
}

bool TImapClient::TakeMessages(unsigned ticket, std::vector<TImapMessage> &messages)
{
    return TakeFrom(MessageLists, ticket, messages);
}

bool TImapClient::TakeMessage(unsigned ticket, TStringList &lines)
{
    return TakeFrom(MessageLines, ticket, lines);
}

bool TImapClient::TakeFolders(unsigned ticket, std::vector<TImapFolder> &folders)
{
    return TakeFrom(FolderLists, ticket, folders);
}

bool TImapClient::TakeUids(unsigned ticket, std::vector<uint32_t> &uids)
{
    return TakeFrom(UidLists, ticket, uids);
}

// ---- failures

void TImapClient::ProtocolError(const std::string &why)
{
    if (State_ == TState::Connecting)
        FailConnect(TFailKind::Connection, why);
    else
        LoseConnection(why);
}

void TImapClient::FailConnect(TFailKind kind, const std::string &why)
{
    NoteFailure(kind == TFailKind::InvalidHost ? TPop3Failure::NameNotFound : TPop3Failure::Other);
    LastErrorText_ = why;
    TearDown();
    Listener->OnError(why);
    if (kind != TFailKind::Silent)
        Listener->OnConnectionFailed();
}

void TImapClient::LoseConnection(const std::string &why)
{
    if (State_ == TState::Connecting) {
        FailConnect(TFailKind::Connection, why);
        return;
    }
    NoteFailure(TPop3Failure::Other);
    LastErrorText_ = why;
    std::vector<unsigned> tickets = PendingTickets();
    TearDown();
    Listener->OnError(why);
    for (unsigned ticket : tickets)
        Listener->OnRequestFinished(ticket, false);
    Listener->OnDisconnected();
}

void TImapClient::OnRemoteClosed()
{
    if (State_ == TState::Disconnected)
        return;
    if (State_ == TState::LoggingOut && !SentOf(TKind::Logout) && Requests.empty()) {
        TearDown(); // LOGOUT answered: the normal end
        Listener->OnDisconnected();
        return;
    }
    if (State_ == TState::LoggingOut && Requests.empty()) {
        TearDown(); // closed after BYE without the tagged OK: as good an end
        Listener->OnDisconnected();
        return;
    }
    LoseConnection("the server closed the connection");
}

void TImapClient::OnSocketError()
{
    if (!Socket || State_ == TState::Disconnected)
        return;
    QAbstractSocket::SocketError error = Socket->error();
    if (error == QAbstractSocket::RemoteHostClosedError) {
        if (Socket->bytesAvailable() > 0)
            OnReadyRead();
        OnRemoteClosed();
        return;
    }
    std::string text = Socket->errorString().toStdString();
    switch (error) {
    case QAbstractSocket::SslHandshakeFailedError:
        NoteFailure(SslNameOnly && !SslErrorText.empty() ? TPop3Failure::CertificateName
                                                         : TPop3Failure::CertificateUntrusted);
        if (!SslErrorText.empty())
            text = "the server's certificate does not verify: " + SslErrorText;
        break;
    case QAbstractSocket::ConnectionRefusedError:
        NoteFailure(TPop3Failure::ConnectionRefused);
        break;
    case QAbstractSocket::HostNotFoundError:
        NoteFailure(TPop3Failure::NameNotFound);
        break;
    case QAbstractSocket::SocketTimeoutError:
        NoteFailure(TPop3Failure::TimedOut);
        break;
    default:
        break;
    }
    if (error == QAbstractSocket::HostNotFoundError && State_ == TState::Connecting)
        FailConnect(TFailKind::InvalidHost, text);
    else
        LoseConnection(text);
}

void TImapClient::OnTimeOut(const std::string &why)
{
    if (State_ == TState::Disconnected)
        return;
    NoteFailure(TPop3Failure::TimedOut);
    LoseConnection(why);
}
