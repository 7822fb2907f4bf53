#include "common/net/pop3client.h"

#include <QCryptographicHash>
#include <QNetworkProxy>
#include <algorithm>
#include <climits>
#include <unordered_set>

#include "common/net/loginmemory.h"
#include "common/net/mimeheader.h"
#include "common/net/tlstrust.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

constexpr int DefaultPop3sPort = 995;
constexpr int DefaultSocksPort = 1080;
constexpr size_t MaxSummaryField = 4096;     // bytes of a decoded From, To or Subject
constexpr size_t MaxRawSummaryField = 16384; // bytes of the raw value that are decoded
constexpr size_t MaxQuotedReply = 80;        // bytes of a bad reply quoted in an error text
constexpr int64_t ListEntryBytes = 16;       // expected bytes of one LIST line
// The longest AUTH command line with its initial response (RFC 5034); a longer response
// goes on a line of its own after the server's go-ahead.
constexpr size_t MaxAuthLine = 255;

// A reply line quoted in an error text: printable ASCII only, cut short.
std::string Printable(const std::string &text)
{
    std::string out;
    for (char c : text.substr(0, MaxQuotedReply)) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7f) ? c : '?';
    }
    return out;
}

bool HasLineBreak(const std::string &text)
{
    return text.find_first_of("\r\n") != std::string::npos;
}

// A SASL continuation ("+ ..." or a bare "+"), which "+OK" is not.
bool IsContinuation(const std::string &line)
{
    return line.compare(0, 1, "+") == 0 && line.compare(0, 3, "+OK") != 0;
}

// The summary form of a header field: unfolded, decoded, without double quotes, trimmed.
std::string SummaryField(const std::vector<std::string> &unfolded, const char *name)
{
    std::string value =
        DecodeHeaderWords(HeaderField(unfolded, name).substr(0, MaxRawSummaryField));
    return CutUtf8(Trim(TUtils::StripQuotes(value)), MaxSummaryField);
}

bool ParsePort(const std::string &text, int &port)
{
    long long value = StrToIntDef(text, -1);
    if (value < 1 || value > 65535)
        return false;
    port = static_cast<int>(value);
    return true;
}

} // namespace

TPop3Summary SummarizeHeader(const std::vector<std::string> &lines)
{
    TPop3Summary summary;
    for (const std::string &line : lines) {
        if (line.empty())
            break;
        summary.HeaderLines.Add(line);
    }
    std::vector<std::string> unfolded = UnfoldHeaderLines(summary.HeaderLines.Items());
    summary.From = SummaryField(unfolded, "From");
    summary.To = SummaryField(unfolded, "To");
    summary.Subject = SummaryField(unfolded, "Subject");
    summary.MessageId = CutUtf8(HeaderField(unfolded, "Message-ID"), MaxSummaryField);
    return summary;
}

TServerAddress ParseServerAddress(const std::string &server, int defaultPort)
{
    TServerAddress address;
    std::string rest = Trim(server);
    bool schemeTls = false;
    if (StartsText(rest, "pop3s://")) {
        schemeTls = true;
        rest = rest.substr(8);
    } else if (StartsText(rest, Pop3RequireTlsScheme)) {
        address.RequireTls = true;
        rest = rest.substr(sizeof(Pop3RequireTlsScheme) - 1);
    } else if (const size_t scheme = rest.find("://"); scheme != std::string::npos) {
        rest = rest.substr(scheme + 3); // pop3:// or another protocol's form: host and port
    }
    // What follows the host and port names a folder (an IMAP server's form).
    if (const size_t path = rest.find('/'); path != std::string::npos)
        rest.erase(path);

    int port = 0;
    bool portGiven = false;
    if (!rest.empty() && rest[0] == '[') { // [IPv6]:port
        size_t close = rest.find(']');
        if (close == std::string::npos) {
            address.Host = rest;
        } else {
            address.Host = rest.substr(1, close - 1);
            if (close + 1 < rest.size() && rest[close + 1] == ':')
                portGiven = ParsePort(rest.substr(close + 2), port);
        }
    } else if (std::count(rest.begin(), rest.end(), ':') == 1) {
        size_t colon = rest.find(':');
        address.Host = rest.substr(0, colon);
        portGiven = ParsePort(rest.substr(colon + 1), port);
    } else {
        address.Host = rest; // a name, or a bare IPv6 address
    }

    if (portGiven)
        address.Port = port;
    else if (schemeTls && (defaultPort == 110 || defaultPort <= 0))
        address.Port = DefaultPop3sPort;
    else
        address.Port = defaultPort;
    address.ImplicitTls = schemeTls || address.Port == DefaultPop3sPort;
    return address;
}

TPop3Client::TPop3Client(TPop3Listener *listener) : Listener(listener)
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

TPop3Client::~TPop3Client()
{
    TearDown();
}

void TPop3Client::SetProxy(const std::string &host, int port)
{
    ProxyHost = host;
    ProxyPort = port;
}

int64_t TPop3Client::MessageSize(int number) const
{
    if (number < 1 || number > static_cast<int>(Sizes.size()))
        return 0;
    return Sizes[number - 1];
}

void TPop3Client::Connect()
{
    if (State_ != TState::Disconnected)
        return;
    Retired.clear(); // sockets of earlier sessions, never deleted inside their own signals
    Summaries.clear();
    Messages.clear();
    LastErrorText_.clear();
    SslErrorText.clear();
    LastFailure_ = TPop3Failure::None;
    SslNameOnly = false;
    QuitConfirmed_ = false;
    Secure_ = Pipelining_ = CanPlain = CanOAuthBearer = OffersStls = false;
    CapaAsked = StlsUnasked = MailboxAsked = false;
    BearerResponseSent = false;
    BearerRefusal = TBearerError();
    ApopStamp.clear();
    Count_ = 0;
    Sizes.clear();

    Address_ = ParseServerAddress(Host, Port);
    State_ = TState::Connecting;
    if (Address_.Host.empty() || Address_.Port <= 0) {
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
    ResumeTlsSession(*Socket, LoginMemoryKey("pop3", Address_.Host, Address_.Port));

    QSslSocket *socket = Socket.get();
    Links = {
        QObject::connect(socket, &QAbstractSocket::hostFound, socket,
                         [this] { Listener->OnHostResolved(); }),
        QObject::connect(socket, &QAbstractSocket::connected, socket,
                         [this] {
                             // Commands are small and each waits for its reply: no Nagle.
                             Socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
                             ArmTimer();
                             if (!Address_.ImplicitTls)
                                 StartSession();
                         }),
        QObject::connect(socket, &QSslSocket::encrypted, socket,
                         [this] {
                             bool afterStls = Secure_ == false && !Address_.ImplicitTls;
                             Secure_ = true;
                             if (afterStls) { // capabilities may differ once encrypted
                                 Push(TKind::Capa, "CAPA");
                                 SendQueued();
                             } else {
                                 StartSession();
                                 AskCapaEarly();
                             }
                         }),
        QObject::connect(socket, &QSslSocket::sslErrors, socket,
                         [this](const QList<QSslError> &errors) {
                             SslErrorText.clear();
                             SslNameOnly = !errors.isEmpty();
                             for (const QSslError &error : errors)
                                 SslNameOnly =
                                     SslNameOnly && error.error() == QSslError::HostNameMismatch;
                             for (const QSslError &error : errors)
                                 SslErrorText += (SslErrorText.empty() ? "" : "; ") +
                                                 error.errorString().toStdString();
                         }),
        QObject::connect(socket, &QIODevice::readyRead, socket, [this] { OnReadyRead(); }),
        QObject::connect(socket, &QAbstractSocket::errorOccurred, socket,
                         [this](QAbstractSocket::SocketError) { OnSocketError(); }),
        QObject::connect(socket, &QAbstractSocket::disconnected, socket,
                         [this] { OnRemoteClosed(); }),
    };

    ArmTimer();
    QString host = QString::fromStdString(Address_.Host);
    if (Address_.ImplicitTls)
        Socket->connectToHostEncrypted(host, Address_.Port);
    else
        Socket->connectToHost(host, Address_.Port);
}

void TPop3Client::StartSession()
{
    TCommand greeting{TKind::Greeting, ""};
    greeting.Sent = true; // the server speaks first
    greeting.Serial = NextSerial++;
    Queue.push_back(greeting);
    ++SentCount;
    ++SentSerialOnly;
    ArmTimer();
}

// Over implicit TLS the server's greeting carries nothing the login needs, so the CAPA goes
// out with the end of the handshake instead of a round trip later; the replies still come in
// order, the greeting first.
void TPop3Client::AskCapaEarly()
{
    if (!ShortLogin())
        return;
    Queue.back().Joins = true;
    --SentSerialOnly;
    Push(TKind::Capa, "CAPA");
    Queue.back().Joins = true;
    CapaAsked = true;
    SendQueued();
}

void TPop3Client::Disconnect()
{
    if (State_ == TState::Ready) {
        std::vector<unsigned> dropped = DropUnsent();
        Push(TKind::Quit, "QUIT");
        State_ = TState::Quitting;
        SendQueued();
        unsigned generation = Generation;
        for (unsigned ticket : dropped)
            if (generation == Generation)
                Listener->OnRequestFinished(ticket, false);
    } else if (State_ == TState::Connecting) {
        Abort();
    }
}

void TPop3Client::Abort()
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

// Requests not yet on the wire are taken out of the queue; answers their tickets.
std::vector<unsigned> TPop3Client::DropUnsent()
{
    std::vector<unsigned> tickets;
    std::unordered_set<unsigned> seen;
    while (Queue.size() > SentCount) {
        const TCommand &command = Queue.back();
        if (command.Ticket != 0) {
            PendingIndex.erase(PendingKey(command.Kind, command.Number));
            if (seen.insert(command.Ticket).second)
                tickets.push_back(command.Ticket);
        }
        Queue.pop_back();
    }
    std::reverse(tickets.begin(), tickets.end());
    return tickets;
}

void TPop3Client::TearDown()
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
    Secure_ = false;
    Queue.clear();
    SentCount = SentSerialOnly = 0;
    BytesInFlight = TopReplyBytes = TopReplies = 0;
    PendingIndex.clear();
    Buffer.clear();
    BufferPos = 0;
    InBody = false;
    Body.clear();
    BodyBytes = 0;
}

std::vector<unsigned> TPop3Client::PendingTickets() const
{
    std::vector<unsigned> tickets;
    std::unordered_set<unsigned> seen;
    for (const TCommand &command : Queue)
        if (command.Ticket != 0 && seen.insert(command.Ticket).second)
            tickets.push_back(command.Ticket);
    return tickets;
}

void TPop3Client::Push(TKind kind, const std::string &line, int number, unsigned ticket)
{
    TCommand command{kind, line};
    command.Number = number;
    command.Ticket = ticket;
    command.Serial = NextSerial++;
    if (ticket != 0)
        PendingIndex[PendingKey(kind, number)] = ticket;
    Queue.push_back(std::move(command));
}

// Takes the answered command off the front of the queue.
void TPop3Client::Pop()
{
    const TCommand &command = Queue.front();
    if (command.Sent) {
        --SentCount;
        BytesInFlight -= command.Expected;
        if (!Pipelinable(command))
            --SentSerialOnly;
    }
    if (command.Ticket != 0) {
        auto entry = PendingIndex.find(PendingKey(command.Kind, command.Number));
        if (entry != PendingIndex.end() && entry->second == command.Ticket)
            PendingIndex.erase(entry);
    }
    Queue.pop_front();
}

bool TPop3Client::Pipelinable(const TCommand &command) const
{
    TKind kind = command.Kind;
    return command.Joins || kind == TKind::Top || kind == TKind::Retr || kind == TKind::Dele ||
           kind == TKind::Uidl || kind == TKind::UidlOne;
}

// The reply a request is expected to bring: a message's size from LIST, a summary as large as
// the summaries read so far, a listing a line per message.
int64_t TPop3Client::ExpectedReplyBytes(const TCommand &command) const
{
    constexpr int64_t StatusBytes = 32;
    constexpr int64_t FirstTopBytes = 2048;
    constexpr int64_t UidlEntryBytes = 32;
    switch (command.Kind) {
    case TKind::Retr:
        return StatusBytes + MessageSize(command.Number);
    case TKind::Top: {
        int64_t seen = TopReplies > 0 ? TopReplyBytes / TopReplies : FirstTopBytes;
        int64_t size = MessageSize(command.Number);
        return StatusBytes + (size > 0 ? std::min(seen, size) : seen);
    }
    case TKind::Uidl:
        return StatusBytes + static_cast<int64_t>(Count_) * UidlEntryBytes;
    default:
        return StatusBytes;
    }
}

void TPop3Client::SendQueued()
{
    if (!Socket || State_ == TState::Disconnected)
        return;
    // Only the commands behind the sent ones are looked at, so a long queue costs nothing
    // per reply.
    size_t inFlight = SentCount;
    bool allPipelinable = SentSerialOnly == 0;
    std::string out;
    for (size_t i = SentCount; i < Queue.size(); ++i) {
        TCommand &command = Queue[i];
        bool pipelinable = Pipelinable(command);
        command.Expected = ExpectedReplyBytes(command);
        bool mayJoin = (Pipelining_ || command.Joins) && allPipelinable && pipelinable &&
                       BytesInFlight + command.Expected <= PipelineBytes &&
                       inFlight < MaxRequestsInFlight;
        if (inFlight > 0 && !mayJoin)
            break;
        out += command.Line + "\r\n";
        command.Sent = true;
        BytesInFlight += command.Expected;
        ++SentCount;
        if (!pipelinable)
            ++SentSerialOnly;
        ++inFlight;
        allPipelinable = allPipelinable && pipelinable;
    }
    if (!out.empty())
        Socket->write(out.data(), static_cast<qint64>(out.size()));
    // Only traffic restarts the silence timer; asking again for a request under way does not.
    ArmTimer(!out.empty());
}

void TPop3Client::ArmTimer(bool restart)
{
    bool head = !Queue.empty() && Queue.front().Sent;
    bool waiting = State_ == TState::Connecting || State_ == TState::Quitting || head;
    if (!waiting) {
        Timer.stop();
        DeadlineTimer.stop();
        DeadlineArmed = false;
        return;
    }
    if (restart || !Timer.isActive())
        Timer.start(std::max(TimeOut, 1));
    // The deadline runs from the moment a reply is awaited, whatever trickles in.
    uint64_t phase = head ? Queue.front().Serial : 0;
    if (!DeadlineArmed || phase != DeadlinePhase) {
        DeadlinePhase = phase;
        DeadlineArmed = true;
        DeadlineTimer.start(ReplyDeadlineMs());
    }
}

int TPop3Client::ReplyDeadlineMs() const
{
    int64_t expected = 0;
    if (!Queue.empty() && Queue.front().Sent) {
        const TCommand &command = Queue.front();
        if (command.Kind == TKind::Retr)
            expected = MessageSize(command.Number);
        else if (command.Kind == TKind::List)
            expected = static_cast<int64_t>(Count_) * ListEntryBytes;
    }
    int64_t timeOut = std::max(TimeOut, 1);
    int64_t ms = timeOut * (ReplyTimeOuts + expected / DeadlineBlock);
    return static_cast<int>(std::min<int64_t>(ms, INT_MAX));
}

void TPop3Client::OnReadyRead()
{
    if (Reading || !Socket)
        return;
    Reading = true;
    unsigned generation = Generation;
    QByteArray data = Socket->readAll();
    BytesReceived_ += data.size();
    Buffer.append(data.constData(), static_cast<size_t>(data.size()));
    ArmTimer();

    std::string line;
    while (generation == Generation && BufferPos < Buffer.size()) {
        if (Queue.empty() || !Queue.front().Sent) {
            ProtocolError("the server sent data nobody asked for: \"" +
                          Printable(Buffer.substr(BufferPos)) + "\"");
            break;
        }
        const TCommand &head = Queue.front();
        bool messageLines = InBody && (head.Kind == TKind::Top || head.Kind == TKind::Retr);
        if (!ReadLine(line, messageLines ? MaxMessageLine : MaxReplyLine))
            break;
        if (InBody)
            HandleBodyLine(std::move(line));
        else
            HandleStatus(line);
    }
    if (generation == Generation) {
        if (InBody && Queue.front().Kind == TKind::Retr)
            Listener->OnPacketReceived(BodyBytes, MessageSize(Queue.front().Number));
        if (BufferPos > 0) {
            Buffer.erase(0, BufferPos);
            BufferPos = 0;
        }
    }
    Reading = false;
    // Data that arrived while a report ran is read now rather than waiting for more.
    if (generation == Generation && Socket && Socket->bytesAvailable() > 0)
        OnReadyRead();
}

bool TPop3Client::ReadLine(std::string &line, size_t limit)
{
    size_t end = Buffer.find('\n', BufferPos);
    size_t length = (end == std::string::npos ? Buffer.size() : end) - BufferPos;
    if (length > limit) {
        ProtocolError(Format("the server sent a line longer than %zu bytes", limit));
        return false;
    }
    if (end == std::string::npos)
        return false;
    line.assign(Buffer, BufferPos, length);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    BufferPos = end + 1;
    return true;
}

void TPop3Client::HandleStatus(const std::string &line)
{
    TKind kind = Queue.front().Kind;
    bool ok;
    if (line.compare(0, 3, "+OK") == 0) {
        ok = true;
    } else if (line.compare(0, 4, "-ERR") == 0) {
        ok = false;
    } else if ((kind == TKind::AuthPlain || kind == TKind::AuthBearer ||
                kind == TKind::AuthBearerData) &&
               line.compare(0, 1, "+") == 0) {
        ok = true; // SASL continuation: the server waits for the credentials or an answer
    } else {
        ProtocolError("the server answered garbage: \"" + Printable(line) + "\"");
        return;
    }

    bool multiLine = kind == TKind::Capa || kind == TKind::List || kind == TKind::Top ||
                     kind == TKind::Retr || kind == TKind::Uidl;
    if (ok && multiLine) {
        InBody = true;
        Body.clear();
        BodyBytes = 0;
        if (kind == TKind::Retr)
            Listener->OnRetrieveStart(MessageSize(Queue.front().Number));
        else if (kind == TKind::Top)
            Listener->OnRetrieveStart(0);
        return;
    }
    FinishCommand(ok, line);
}

void TPop3Client::HandleBodyLine(std::string &&line)
{
    if (line == ".") {
        FinishCommand(true, "");
        return;
    }
    if (!line.empty() && line[0] == '.')
        line.erase(0, 1); // dot-unstuffing
    BodyBytes += static_cast<int64_t>(line.size()) + 2;
    if (BodyBytes > MaxReplyBytes) {
        ProtocolError(Format("the server's reply is larger than %lld bytes",
                             static_cast<long long>(MaxReplyBytes)));
        return;
    }
    Body.push_back(std::move(line));
}

void TPop3Client::FinishCommand(bool ok, const std::string &status)
{
    TCommand command = Queue.front();
    Pop();
    InBody = false;
    unsigned generation = Generation;
    Dispatch(command, ok, status);
    Body.clear();
    if (generation == Generation) {
        SendQueued();
        ArmTimer();
    }
}

void TPop3Client::Dispatch(const TCommand &command, bool ok, const std::string &status)
{
    if (command.Discard)
        return;
    switch (command.Kind) {
    case TKind::Greeting:
        if (!ok) {
            FailConnect(TFailKind::Connection,
                        "the server refused the session: \"" + Printable(status) + "\"");
            return;
        }
        Listener->OnStatus(status);
        AfterGreeting(status);
        return;
    case TKind::Capa:
        AfterCapa(ok);
        return;
    case TKind::Stls:
        if (!ok && StlsUnasked) { // perhaps no longer offered: CAPA tells, as without the shortcut
            StlsUnasked = false;
            Push(TKind::Capa, "CAPA");
            return;
        }
        if (!ok) { // never go on in clear text once encryption was asked for
            NoteFailure(TPop3Failure::TlsRefused);
            FailConnect(TFailKind::Connection,
                        "the server refused STLS: \"" + Printable(status) + "\"");
            return;
        }
        // Bytes already behind the STLS reply came in clear text and could be forged
        // replies for after the handshake.
        if (BufferPos < Buffer.size()) {
            FailConnect(TFailKind::Connection, "the server sent clear text after STLS");
            return;
        }
        if (StlsUnasked) { // the offer of TLS stands: known as it would be from CAPA
            unsigned generation = Generation;
            Listener->OnTlsOffered();
            if (generation != Generation)
                return;
        }
        Socket->startClientEncryption();
        return;
    case TKind::User:
        if (ok)
            PushLogin(TKind::Pass, "PASS " + Password);
        else
            LoginRefused(status);
        return;
    case TKind::AuthBearer:
    case TKind::AuthBearerData:
    case TKind::AuthBearerAnswer:
        BearerReply(ok, status);
        return;
    case TKind::AuthPlain:
        if (ok && status.compare(0, 3, "+OK") != 0) {
            PushLogin(TKind::AuthData, PlainResponse());
            return;
        }
        [[fallthrough]];
    case TKind::Pass:
    case TKind::Apop:
    case TKind::AuthData:
        if (ok)
            LoginDone();
        else
            LoginRefused(status);
        return;
    case TKind::Stat: {
        std::vector<std::string> words = SplitText(status, ' ');
        long long count = words.size() >= 2 ? StrToIntDef(words[1], -1) : -1;
        if (!ok || count < 0 || count > 10000000) {
            FailConnect(TFailKind::Connection,
                        "the server gave no message count: \"" + Printable(status) + "\"");
            return;
        }
        Listener->OnStatus(status);
        Count_ = static_cast<int>(count);
        Sizes.assign(Count_, 0);
        if (!MailboxAsked)
            Push(TKind::List, "LIST");
        return;
    }
    case TKind::List:
        if (ok)
            for (const std::string &entry : Body) {
                std::vector<std::string> words = SplitText(Trim(entry), ' ');
                long long number = words.size() >= 2 ? StrToIntDef(words[0], 0) : 0;
                long long size = words.size() >= 2 ? StrToIntDef(words[1], 0) : 0;
                if (number >= 1 && number <= Count_ && size >= 0) {
                    Sizes[number - 1] = size;
                    Listener->OnListEntry(static_cast<int>(number), size);
                }
            }
        State_ = TState::Ready;
        Listener->OnConnected();
        return;
    case TKind::Top:
    case TKind::Retr:
    case TKind::Dele:
        RequestDone(command, ok, status);
        return;
    case TKind::Quit:
        QuitConfirmed_ = ok;
        Listener->OnStatus(status);
        if (ok)
            Listener->OnSuccess();
        Socket->disconnectFromHost();
        return;
    case TKind::Uidl:
        UniqueIdsDone(command, ok, status);
        return;
    case TKind::UidlOne:
        UniqueIdDone(command, ok, status);
        return;
    }
}

void TPop3Client::AfterGreeting(const std::string &status)
{
    // An APOP time stamp is the "<...>" part of the greeting.
    size_t open = status.find('<');
    size_t close = open == std::string::npos ? open : status.find('>', open);
    if (close != std::string::npos)
        ApopStamp = status.substr(open, close - open + 1);
    if (CapaAsked)
        return; // on its way already
    // A server that must speak TLS gets STLS at once: what a CAPA in clear text says cannot
    // change that, and the capabilities that count are read again over TLS.
    if (ShortLogin() && !Secure_ && (Address_.RequireTls || SpokeTlsBefore)) {
        StlsUnasked = true;
        Push(TKind::Stls, "STLS");
        return;
    }
    Push(TKind::Capa, "CAPA");
}

void TPop3Client::AfterCapa(bool ok)
{
    // A server without CAPA simply has none of the extensions.
    Pipelining_ = CanPlain = CanOAuthBearer = OffersStls = OffersUidl_ = false;
    CapaAnswered_ = ok;
    if (ok)
        for (const std::string &entry : Body) {
            std::vector<std::string> words = SplitText(Trim(entry), ' ');
            std::string name = UpperCase(words[0]);
            if (name == "UIDL")
                OffersUidl_ = true;
            else if (name == "STLS")
                OffersStls = !Secure_;
            else if (name == "PIPELINING")
                Pipelining_ = true;
            else if (name == "SASL")
                for (size_t i = 1; i < words.size(); ++i) {
                    CanPlain = CanPlain || SameText(words[i], "PLAIN");
                    CanOAuthBearer =
                        CanOAuthBearer ||
                        SameText(words[i], BearerMechanismName(TBearerMechanism::OAuthBearer));
                }
        }
    if (OffersStls) {
        unsigned generation = Generation;
        Listener->OnTlsOffered();
        if (generation == Generation)
            Push(TKind::Stls, "STLS");
    } else {
        StartLogin();
    }
}

void TPop3Client::StartLogin()
{
    if (!AccessToken.empty()) {
        StartBearerLogin();
        return;
    }
    if (!Secure_ && (Address_.RequireTls || SpokeTlsBefore)) {
        NoteFailure(TPop3Failure::TlsNotOffered);
        FailConnect(TFailKind::Connection,
                    Address_.RequireTls
                        ? "the server did not offer STLS, and its address asks for TLS: the "
                          "password is not sent in clear text"
                        : "the server did not offer STLS, although it did before: the password "
                          "is not sent in clear text");
        return;
    }
    if (User.empty() || Password.empty()) {
        Listener->OnAuthenticationNeeded();
        FailConnect(TFailKind::Silent, "no user ID or password to log in with");
        return;
    }
    if (HasLineBreak(User) || HasLineBreak(Password)) {
        FailConnect(TFailKind::Silent, "the user ID or password contains a line break");
        return;
    }
    TAuthMethod method = AuthMethod;
    if (method == TAuthMethod::Auto) {
        // In clear text APOP keeps the password off the wire; over TLS PLAIN is as good.
        if (!Secure_ && !ApopStamp.empty())
            method = TAuthMethod::Apop;
        else
            method = CanPlain ? TAuthMethod::Plain : TAuthMethod::UserPass;
    }
    switch (method) {
    case TAuthMethod::Apop: {
        if (ApopStamp.empty()) {
            FailConnect(TFailKind::Connection, "the server does not offer APOP");
            return;
        }
        QByteArray digest = QCryptographicHash::hash(
            QByteArray::fromStdString(ApopStamp + Password), QCryptographicHash::Md5);
        PushLogin(TKind::Apop, "APOP " + User + " " + digest.toHex().toStdString());
        return;
    }
    case TAuthMethod::Plain: {
        // The initial response saves a round trip when the line stays within the limit.
        std::string withResponse = "AUTH PLAIN " + PlainResponse();
        if (ShortLogin() && withResponse.size() + 2 <= MaxAuthLine)
            PushLogin(TKind::AuthPlain, withResponse);
        else
            Push(TKind::AuthPlain, "AUTH PLAIN");
        return;
    }
    default:
        Push(TKind::User, "USER " + User);
        return;
    }
}

// The command that ends the login; with PIPELINING, STAT and LIST go out behind it, as the
// mailbox is opened next whatever the login's answer (a refused login drops their replies).
void TPop3Client::PushLogin(TKind kind, const std::string &line)
{
    Push(kind, line);
    if (!ShortLogin() || !Pipelining_ || MailboxAsked)
        return;
    Queue.back().Joins = true;
    Push(TKind::Stat, "STAT");
    Queue.back().Joins = true;
    Push(TKind::List, "LIST");
    Queue.back().Joins = true;
    MailboxAsked = true;
}

void TPop3Client::DiscardMailboxReplies()
{
    if (!MailboxAsked)
        return;
    MailboxAsked = false;
    for (TCommand &command : Queue)
        if (command.Kind == TKind::Stat || command.Kind == TKind::List)
            command.Discard = true;
}

std::string TPop3Client::PlainResponse() const
{
    std::string credentials = std::string(1, '\0') + User + '\0' + Password;
    return QByteArray::fromStdString(credentials).toBase64().toStdString();
}

void TPop3Client::LoginRefused(const std::string &status)
{
    DiscardMailboxReplies();
    Listener->OnStatus(status);
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

// Signs in with the access token. The token is a bearer secret: it goes out only encrypted
// and only inside the SASL response, which no report repeats.
void TPop3Client::StartBearerLogin()
{
    if (!Secure_) {
        NoteFailure(TPop3Failure::TlsNotOffered);
        FailConnect(TFailKind::Connection, "the server did not offer STLS: the access token is "
                                           "not sent in clear text");
        return;
    }
    if (User.empty()) {
        Listener->OnAuthenticationNeeded();
        FailConnect(TFailKind::Silent, "no user ID to sign in with");
        return;
    }
    if (HasLineBreak(User) || HasLineBreak(AccessToken)) {
        FailConnect(TFailKind::Silent, "the user ID or access token contains a line break");
        return;
    }
    Bearer = CanOAuthBearer ? TBearerMechanism::OAuthBearer : TBearerMechanism::XOAuth2;
    BearerRefusal = TBearerError();
    std::string command = std::string("AUTH ") + BearerMechanismName(Bearer);
    std::string withResponse =
        command + " " + BearerResponse(Bearer, User, AccessToken, Address_.Host, Address_.Port);
    BearerResponseSent = withResponse.size() + 2 <= MaxAuthLine;
    Push(TKind::AuthBearer, BearerResponseSent ? withResponse : command);
}

// A continuation before the response went out asks for it; one after it is the server's
// error challenge, answered so that the server ends the exchange with its refusal.
void TPop3Client::BearerReply(bool ok, const std::string &status)
{
    if (ok && IsContinuation(status)) {
        if (!BearerResponseSent) {
            BearerResponseSent = true;
            Push(TKind::AuthBearerData,
                 BearerResponse(Bearer, User, AccessToken, Address_.Host, Address_.Port));
        } else {
            BearerRefusal = ParseBearerError(status.substr(1));
            Listener->OnStatus("+ " + BearerRefusal.Describe());
            Push(TKind::AuthBearerAnswer, BearerErrorAnswer(Bearer));
        }
    } else if (ok) {
        LoginDone();
    } else {
        BearerRefused(status);
    }
}

void TPop3Client::BearerRefused(const std::string &status)
{
    Listener->OnStatus(status);
    bool retry = false; // the same token would only be refused again
    unsigned generation = Generation;
    Listener->OnAuthenticationFailed(retry);
    if (generation != Generation)
        return;
    bool expired = BearerRefusal.Expired();
    NoteFailure(expired ? TPop3Failure::SignInExpired : TPop3Failure::SignInRefused);
    FailConnect(TFailKind::Silent, std::string("the server refused the access token (") +
                                       BearerRefusal.Describe() + "): \"" + Printable(status) +
                                       "\"");
}

void TPop3Client::LoginDone()
{
    Listener->OnSuccess();
    if (!MailboxAsked)
        Push(TKind::Stat, "STAT");
}

void TPop3Client::RequestDone(const TCommand &command, bool ok, const std::string &status)
{
    if (!ok) {
        Listener->OnStatus(status);
        Listener->OnFailure();
    } else if (command.Kind == TKind::Top) {
        TopReplyBytes += BodyBytes;
        ++TopReplies;
        TPop3Summary summary = SummarizeHeader(Body);
        summary.Size = MessageSize(command.Number);
        if (command.Ticket)
            Summaries[command.Ticket] = std::move(summary);
        Listener->OnRetrieveEnd();
        Listener->OnSuccess();
    } else if (command.Kind == TKind::Retr) {
        Listener->OnPacketReceived(BodyBytes, MessageSize(command.Number));
        if (command.Ticket)
            Messages[command.Ticket].Assign(std::move(Body));
        Listener->OnRetrieveEnd();
        Listener->OnSuccess();
    } else {
        Listener->OnStatus(status);
        Listener->OnSuccess();
    }
    if (command.Ticket)
        Listener->OnRequestFinished(command.Ticket, ok);
}

void TPop3Client::ProtocolError(const std::string &why)
{
    Listener->OnFailure();
    if (State_ == TState::Connecting)
        FailConnect(TFailKind::Connection, why);
    else
        LoseConnection(why);
}

void TPop3Client::FailConnect(TFailKind kind, const std::string &why)
{
    NoteFailure(kind == TFailKind::InvalidHost ? TPop3Failure::NameNotFound : TPop3Failure::Other);
    LastErrorText_ = why;
    TearDown();
    Listener->OnError(why);
    if (kind == TFailKind::InvalidHost)
        Listener->OnInvalidHost();
    else if (kind == TFailKind::Connection)
        Listener->OnConnectionFailed();
}

void TPop3Client::LoseConnection(const std::string &why)
{
    if (State_ == TState::Connecting) {
        FailConnect(TFailKind::Connection, why);
        return;
    }
    NoteFailure(TPop3Failure::Other);
    LastErrorText_ = why;
    bool quitting = State_ == TState::Quitting;
    std::vector<unsigned> tickets = PendingTickets();
    TearDown();
    Listener->OnError(why);
    if (!quitting)
        Listener->OnConnectionRequired();
    for (unsigned ticket : tickets)
        Listener->OnRequestFinished(ticket, false);
    Listener->OnDisconnected();
}

void TPop3Client::OnRemoteClosed()
{
    if (State_ == TState::Disconnected)
        return;
    if (State_ == TState::Quitting && Queue.empty()) { // QUIT answered: the normal end
        TearDown();
        Listener->OnDisconnected();
        return;
    }
    LoseConnection("the server closed the connection");
}

void TPop3Client::OnSocketError()
{
    if (!Socket || State_ == TState::Disconnected)
        return;
    QAbstractSocket::SocketError error = Socket->error();
    if (error == QAbstractSocket::RemoteHostClosedError) {
        // Replies still in the socket are read before the close is handled.
        if (Socket->bytesAvailable() > 0)
            OnReadyRead();
        OnRemoteClosed();
        return;
    }
    std::string text = Socket->errorString().toStdString();
    NoteFailure(SocketFailure(error, SslNameOnly && !SslErrorText.empty()));
    if (error == QAbstractSocket::SslHandshakeFailedError && !SslErrorText.empty())
        text = "the server's certificate does not verify: " + SslErrorText;
    if (error == QAbstractSocket::HostNotFoundError && State_ == TState::Connecting)
        FailConnect(TFailKind::InvalidHost, text);
    else
        LoseConnection(text);
}

void TPop3Client::OnTimeOut(const std::string &why)
{
    if (State_ != TState::Disconnected)
        NoteFailure(TPop3Failure::TimedOut);
    if (State_ == TState::Quitting) {
        LastErrorText_ = why;
        TearDown();
        Listener->OnError(why);
        Listener->OnDisconnected();
    } else if (State_ != TState::Disconnected) {
        LoseConnection(why);
    }
}

unsigned TPop3Client::PendingTicket(TKind kind, int number) const
{
    auto entry = PendingIndex.find(PendingKey(kind, number));
    return entry == PendingIndex.end() ? 0 : entry->second;
}

unsigned TPop3Client::Enqueue(TKind kind, const std::string &line, int number)
{
    if (State_ != TState::Ready) {
        Listener->OnConnectionRequired();
        return 0;
    }
    if (unsigned pending = PendingTicket(kind, number))
        return pending;
    unsigned ticket = NextTicket++;
    if (ticket == 0)
        ticket = NextTicket++;
    Push(kind, line, number, ticket);
    return ticket;
}

unsigned TPop3Client::RequestSummary(int number)
{
    unsigned ticket = Enqueue(TKind::Top, Format("TOP %d 0", number), number);
    SendQueued();
    return ticket;
}

unsigned TPop3Client::RequestMessage(int number)
{
    unsigned ticket = Enqueue(TKind::Retr, Format("RETR %d", number), number);
    SendQueued();
    return ticket;
}

unsigned TPop3Client::RequestDelete(int number)
{
    unsigned ticket = Enqueue(TKind::Dele, Format("DELE %d", number), number);
    SendQueued();
    return ticket;
}

std::vector<unsigned> TPop3Client::RequestSummaries(int first, int last)
{
    std::vector<int> numbers;
    for (int number = first; number <= last; ++number)
        numbers.push_back(number);
    return RequestSummaries(numbers);
}

std::vector<unsigned> TPop3Client::RequestSummaries(const std::vector<int> &numbers)
{
    return RequestEach(TKind::Top, "TOP %d 0", numbers);
}

// One request of the kind for each message number, sent together.
std::vector<unsigned> TPop3Client::RequestEach(TKind kind, const char *format,
                                               const std::vector<int> &numbers)
{
    std::vector<unsigned> tickets;
    for (int number : numbers) {
        unsigned ticket = Enqueue(kind, Format(format, number), number);
        if (ticket == 0)
            break;
        tickets.push_back(ticket);
    }
    SendQueued();
    return tickets;
}

bool TPop3Client::TakeSummary(unsigned ticket, TPop3Summary &summary)
{
    auto found = Summaries.find(ticket);
    if (found == Summaries.end())
        return false;
    summary = std::move(found->second);
    Summaries.erase(found);
    return true;
}

bool TPop3Client::TakeMessage(unsigned ticket, TStringList &lines)
{
    auto found = Messages.find(ticket);
    if (found == Messages.end())
        return false;
    lines = std::move(found->second);
    Messages.erase(found);
    return true;
}

unsigned TPop3Client::RequestUniqueIds()
{
    unsigned ticket = Enqueue(TKind::Uidl, "UIDL", 0);
    SendQueued();
    return ticket;
}

// Each line of the listing is "<number> <id>"; lines naming no message of the mailbox are
// ignored.
void TPop3Client::UniqueIdsDone(const TCommand &command, bool ok, const std::string &status)
{
    if (!ok) {
        Listener->OnStatus(status);
    } else if (command.Ticket) {
        std::vector<std::string> ids(static_cast<size_t>(std::max(Count_, 0)));
        for (const std::string &line : Body) {
            std::vector<std::string> words = SplitText(Trim(line), ' ');
            long long number = words.size() == 2 ? StrToIntDef(words[0], 0) : 0;
            if (number >= 1 && number <= static_cast<long long>(ids.size()))
                ids[static_cast<size_t>(number - 1)] = words[1];
        }
        UniqueIds[command.Ticket] = std::move(ids);
    }
    if (command.Ticket)
        Listener->OnRequestFinished(command.Ticket, ok);
}

std::vector<unsigned> TPop3Client::RequestUniqueIdsOf(const std::vector<int> &numbers)
{
    return RequestEach(TKind::UidlOne, "UIDL %d", numbers);
}

// The reply is "+OK <number> <id>"; one naming another message fails the request.
void TPop3Client::UniqueIdDone(const TCommand &command, bool ok, const std::string &status)
{
    std::vector<std::string> words = SplitText(Trim(status), ' ');
    ok = ok && words.size() == 3 && StrToIntDef(words[1], 0) == command.Number;
    if (!ok)
        Listener->OnStatus(status);
    else if (command.Ticket)
        UniqueIds[command.Ticket] = {words[2]};
    if (command.Ticket)
        Listener->OnRequestFinished(command.Ticket, ok);
}

bool TPop3Client::TakeUniqueIds(unsigned ticket, std::vector<std::string> &ids)
{
    auto found = UniqueIds.find(ticket);
    if (found == UniqueIds.end())
        return false;
    ids = std::move(found->second);
    UniqueIds.erase(found);
    return true;
}

// ---- failure classes

const char *Pop3FailureText(TPop3Failure failure)
{
    switch (failure) {
    case TPop3Failure::None:
        return "";
    case TPop3Failure::CertificateUntrusted:
        return "server certificate not trusted";
    case TPop3Failure::CertificateName:
        return "server certificate names another server";
    case TPop3Failure::LoginRefused:
        return "login refused";
    case TPop3Failure::ConnectionRefused:
        return "connection refused";
    case TPop3Failure::NameNotFound:
        return "server name not found";
    case TPop3Failure::TimedOut:
        return "timed out";
    case TPop3Failure::TlsNotOffered:
        return "TLS required but not offered";
    case TPop3Failure::TlsRefused:
        return "TLS refused by the server";
    case TPop3Failure::SignInExpired:
        return "sign-in expired";
    case TPop3Failure::SignInRefused:
        return "sign-in refused";
    case TPop3Failure::Other:
        break;
    }
    return "connection failed";
}

bool Pop3FailureNeedsUser(TPop3Failure failure)
{
    return failure == TPop3Failure::CertificateUntrusted ||
           failure == TPop3Failure::CertificateName || failure == TPop3Failure::LoginRefused ||
           failure == TPop3Failure::TlsNotOffered || failure == TPop3Failure::TlsRefused ||
           failure == TPop3Failure::SignInRefused;
}

// The first cause seen wins: the reports that follow it (the connection torn down, the
// session lost) describe its consequences.
void TPop3Client::NoteFailure(TPop3Failure failure)
{
    if (LastFailure_ == TPop3Failure::None)
        LastFailure_ = failure;
}

TPop3Failure TPop3Client::SocketFailure(QAbstractSocket::SocketError error, bool nameOnly)
{
    switch (error) {
    case QAbstractSocket::SslHandshakeFailedError:
        return nameOnly ? TPop3Failure::CertificateName : TPop3Failure::CertificateUntrusted;
    case QAbstractSocket::ConnectionRefusedError:
        return TPop3Failure::ConnectionRefused;
    case QAbstractSocket::HostNotFoundError:
        return TPop3Failure::NameNotFound;
    case QAbstractSocket::SocketTimeoutError:
        return TPop3Failure::TimedOut;
    default:
        return TPop3Failure::Other;
    }
}
