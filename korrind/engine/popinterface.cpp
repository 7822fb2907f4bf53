#include "korrind/engine/popinterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cstdarg>
#include <deque>

#include "common/net/mimeheader.h"
#include "common/tlsservers.h"
#include "common/utils.h"

namespace {

constexpr int RetryPauseMs = 500; // after a failed attempt
constexpr int ReconnectPauseMs = 200;
constexpr int SummaryWaitMs = 1000;
constexpr int MessageWaitMs = 5000;
constexpr int MsPerByte = 100;        // retrieval wait per byte of a message of known size
constexpr int BatchPumpEntries = 256; // events are processed every this many summaries

} // namespace

TPop3::TPop3(const uint16_t *debugLevel)
    : TMailSession(debugLevel),
      Client(std::make_unique<TPop3Client>(static_cast<TPop3Listener *>(this)))
{
}

// The client closes its connection without reports: the program's other objects (log,
// debug level, status bar) may already be gone when the session is freed.
TPop3::~TPop3() = default;

const char *TPop3::HostText() const
{
    return Client ? Client->Host.c_str() : "";
}

const char *TPop3::UserText() const
{
    return Client ? Client->User.c_str() : "";
}

bool TPop3::IsConnected() const
{
    return ConnectRunning > 0 || (Client && Client->State() != TPop3Client::TState::Disconnected);
}

void TPop3::SetProxy(const std::string &host, uint16_t port)
{
    if (Client)
        Client->SetProxy(host, port);
}

int32_t TPop3::MessageCount() const
{
    return Client ? Client->MessageCount() : -1;
}

void TPop3::Abort()
{
    if (Client)
        Client->Abort();
}

bool TPop3::Connect()
{
    LastError = 0;
    UserStopped = false;
    if (Port == 0 || Host.empty() || (Password.empty() && AccessToken.empty()) || User.empty())
        return false;
    if (WorkFolder.empty()) {
        std::string system = Utils ? Utils->GetWindowsFolder() : QDir::tempPath().toStdString();
        WorkFolder = TUtils::AddBackslash(system) + "temp/";
    }
    if (!Client)
        return false;
    Client->Port = Port;
    Client->TimeOut = TimeoutStep;
    Client->Host = Host;
    Client->User = User;
    Client->Password = Password;
    Client->AccessToken = AccessToken;
    Client->AttachmentPath = WorkFolder;
    const TServerAddress address = ParseServerAddress(Host, Port);
    Client->SpokeTlsBefore = KnownTlsServer(TlsProtocolPop3, address.Host, address.Port);
    if (Level() > 3 && Utils)
        Utils->DebugLog("Connect: %s %s", User.c_str(), Host.c_str());
    return ConnectLoop();
}

bool TPop3::Reconnect(int factor)
{
    LastError = 0;
    if (!Client)
        return false;
    if (Client->State() != TPop3Client::TState::Disconnected) {
        Disconnect();
        Pause(ReconnectPauseMs);
    }
    Client->TimeOut = TimeoutStep * std::max(factor, 1);
    if (Level() > 3 && Utils)
        Utils->DebugLog("Connect: %s %s", UserText(), HostText());
    return ConnectLoop();
}

// Connect attempts with a time-out that grows by TimeoutStep after each failure, until the
// time-out would pass Tries × TimeoutStep.
bool TPop3::ConnectLoop()
{
    struct Busy
    {
        int &depth;
        explicit Busy(int &d) : depth(d) { ++depth; }
        ~Busy() { --depth; }
    } busy(ConnectRunning);

    Cancelled(true);
    while (!Client->Connected()) {
        TUtils::ProcessMessages();
        if (TUtils::Terminating())
            return false;
        if (Cancelled(false))
            break;
        TConnectEnd end = AttemptConnect();
        if (end == TConnectEnd::Terminated)
            return false;
        if (end == TConnectEnd::Cancelled)
            break;
        if (end == TConnectEnd::Connected)
            continue;
        // Retrying a refused login only repeats the refusal (and may lock the account); a
        // refused token is renewed by the check cycle, not sent again.
        if (LoginGaveUp || Client->LastFailure() == TPop3Failure::SignInExpired)
            break;
        // So does a certificate that does not verify: give up at once.
        if (Pop3FailureNeedsUser(Client->LastFailure())) {
            LastError = -1;
            break;
        }
        Client->TimeOut += TimeoutStep;
        if (Level() > 2 && Utils)
            Utils->DebugLog("Connect Timeout: %s Cnt: %d", UserText(), Client->TimeOut / 1000);
        TWaitEnd pause = Pause(RetryPauseMs);
        if (pause == TWaitEnd::Terminated)
            return false;
        if (pause == TWaitEnd::Cancelled)
            break;
        if (static_cast<int64_t>(Tries) * TimeoutStep < Client->TimeOut) {
            LastError = -1;
            if (Utils)
                Utils->DebugLog(Client->LastFailure() == TPop3Failure::ConnectionRefused
                                    ? "Connection refused: %s"
                                    : "Connect Timeout: %s",
                                UserText());
            break;
        }
    }
    return Client->Connected();
}

TPop3::TConnectEnd TPop3::AttemptConnect()
{
    LoginGaveUp = false;
    Client->Connect();
    while (Client->State() == TPop3Client::TState::Connecting) {
        PumpEvents(PumpSliceMs);
        if (TUtils::Terminating()) {
            Client->Abort();
            return TConnectEnd::Terminated;
        }
        if (Cancelled(false)) {
            Client->Abort();
            return TConnectEnd::Cancelled;
        }
    }
    return Client->Connected() ? TConnectEnd::Connected : TConnectEnd::Failed;
}

int64_t TPop3::WaitLimitMs() const
{
    return static_cast<int64_t>(TPop3Client::ReplyTimeOuts + 1) * std::max(TimeoutStep, 1);
}

bool TPop3::Disconnect()
{
    LastError = 0;
    if (!Client)
        return false;
    Cancelled(true);
    QElapsedTimer clock;
    clock.start();
    while (Client->State() != TPop3Client::TState::Disconnected) {
        TUtils::ProcessMessages();
        // Leaving early drops the connection: the server keeps every message it was asked
        // to delete, which is the safe side.
        if (TUtils::Terminating() || Cancelled(false)) {
            Client->Abort();
            return false;
        }
        Client->Disconnect();
        if (Level() > 3 && Utils)
            Utils->DebugLog("Disconnect: %s", UserText());
        while (Client->State() != TPop3Client::TState::Disconnected) {
            PumpEvents(PumpSliceMs);
            if (TUtils::Terminating() || Cancelled(false)) {
                Client->Abort();
                return false;
            }
            // A server that neither ends its replies nor closes is left behind.
            if (clock.elapsed() >= WaitLimitMs()) {
                Client->Abort();
                LastError = -1;
                if (Utils)
                    Utils->DebugLog("Disconnect Timeout: %s", UserText());
                return false;
            }
        }
    }
    return Client->Connected();
}

void TPop3::TakeSummary(unsigned ticket)
{
    TPop3Summary fields;
    Client->TakeSummary(ticket, fields);
    Summary = MakeSummary(fields, fields.HeaderLines.Items());
}

void TPop3::NoteSummaryOf(int n)
{
    SummaryOf = n;
    SummarySession = SessionNumber;
}

int TPop3::SummaryNumber() const
{
    return SessionOpen && SummarySession == SessionNumber ? SummaryOf : 0;
}

void TPop3::TakeMessage(unsigned ticket)
{
    NoteSummaryOf(0);
    RawLines.Clear();
    Client->TakeMessage(ticket, RawLines);
    TMailSummary fields = MakeSummary(SummarizeHeader(RawLines.Items()), RawLines.Items());
    // The message ID, header lines and size stay those of the last summary.
    Summary.To = fields.To;
    Summary.From = fields.From;
    Summary.Subject = fields.Subject;
    Summary.Date = fields.Date;
    Summary.Received = fields.Received;
}

bool TPop3::GetSummary(int n)
{
    // The summary read last in this session is not asked again: the Summary row and the
    // filter engine both want the newest message's.
    if (n > 0 && SummaryNumber() == n) {
        LastError = 0;
        return true;
    }
    return Retrieve(TKind::Summary, n);
}

bool TPop3::GetMessage(int n)
{
    return Retrieve(TKind::Message, n);
}

bool TPop3::Retrieve(TKind kind, int n)
{
    LastError = 0;
    if (!Client)
        return false;
    for (int attempt = 1; attempt <= Tries; ++attempt) {
        TUtils::ProcessMessages();
        if (TUtils::Terminating())
            return false;
        RetrieveDone = false;
        RequestFailed = false;
        if (kind == TKind::Summary) {
            CurrentTicket = Client->RequestSummary(n);
            WaitMs = SummaryWaitMs;
        } else {
            Receiving = false;
            CurrentTicket = Client->RequestMessage(n);
            WaitMs = MessageWaitMs;
        }

        bool failed = CurrentTicket == 0;
        if (!failed) {
            // WaitMs is read live: the start of a message of known size lengthens it.
            TWaitEnd end = WaitUntil([this] { return RetrieveDone || RequestFailed; },
                                     [this] { return WaitMs; });
            if (end == TWaitEnd::Cancelled || end == TWaitEnd::Terminated)
                return false;
            if (RetrieveDone) {
                if (kind == TKind::Summary) {
                    TakeSummary(CurrentTicket);
                    NoteSummaryOf(n);
                } else {
                    TakeMessage(CurrentTicket);
                }
                return true;
            }
            failed = RequestFailed;
        }
        if (failed) {
            TWaitEnd pause = Pause(RetryPauseMs);
            if (pause == TWaitEnd::Cancelled || pause == TWaitEnd::Terminated)
                return false;
            if (attempt == Tries) {
                LastError = -1;
                return false;
            }
            if (ConnectionRequired) {
                if (!Reconnect(attempt)) {
                    LastError = -1;
                    return false;
                }
                ConnectionRequired = false;
            }
        }
        // A plain time-out goes on with the next attempt, which waits for the same request.
    }
    return false;
}

bool TPop3::GetSummaries(int first, int last, std::vector<TMailSummary> &summaries)
{
    std::vector<int> numbers;
    for (int n = first; n <= last; ++n)
        numbers.push_back(n);
    return GetSummaryBatch(numbers, summaries);
}

bool TPop3::GetSummaryBatch(const std::vector<int> &numbers, std::vector<TMailSummary> &summaries,
                            std::vector<std::string> *ids)
{
    summaries.clear();
    if (ids != nullptr)
        ids->clear();
    LastError = 0;
    if (!Client)
        return false;
    if (numbers.empty() && ids == nullptr)
        return true;
    // The summary this session read last is taken as it is, not asked again.
    const int kept = SummaryNumber();
    const TMailSummary keptSummary = kept > 0 ? Summary : TMailSummary();
    std::vector<int> asked;
    for (int n : numbers)
        if (n != kept)
            asked.push_back(n);
    if (Client->Connected()) {
        // The listing of unique ids rides in the same pipeline as the summaries.
        const unsigned idsTicket = ids != nullptr ? Client->RequestUniqueIds() : 0;
        std::vector<unsigned> tickets = Client->RequestSummaries(asked);
        const size_t summaryCount = tickets.size();
        if (idsTicket != 0)
            tickets.push_back(idsTicket);
        if (!AwaitBatch(tickets))
            return false;
        if (idsTicket != 0 && BatchState.back() == 1)
            Client->TakeUniqueIds(idsTicket, *ids);
        size_t next = 0;
        for (size_t i = 0; i < numbers.size(); ++i) {
            if (i % BatchPumpEntries == BatchPumpEntries - 1) {
                TUtils::ProcessMessages();
                if (TUtils::Terminating() || Cancelled(false))
                    return false;
            }
            if (numbers[i] == kept) {
                summaries.push_back(keptSummary);
                continue;
            }
            if (next >= summaryCount || BatchState[next] != 1)
                break;
            TPop3Summary fields;
            Client->TakeSummary(tickets[next++], fields);
            summaries.push_back(MakeSummary(fields, fields.HeaderLines.Items()));
        }
    }
    // Whatever the batch did not deliver is fetched one by one, with retries.
    for (size_t i = summaries.size(); i < numbers.size(); ++i) {
        if (numbers[i] == kept) {
            summaries.push_back(keptSummary);
            continue;
        }
        if (!GetSummary(numbers[i]))
            return false;
        summaries.push_back(Summary);
    }
    if (!summaries.empty()) {
        Summary = summaries.back();
        NoteSummaryOf(numbers.back());
    }
    return true;
}

// Waits until every request of the batch finished; BatchState then tells which succeeded.
bool TPop3::AwaitBatch(const std::vector<unsigned> &tickets)
{
    BatchIndex.clear();
    BatchState.assign(tickets.size(), 0);
    for (size_t i = 0; i < tickets.size(); ++i)
        BatchIndex[tickets[i]] = i;
    BatchOpen = BatchIndex.size();
    // The client fails a reply that is silent or too slow; this wait also ends when no
    // request of the batch finished for a while.
    const int64_t stallMs = WaitLimitMs();
    TWaitEnd end;
    do {
        BatchProgress = false;
        end =
            WaitUntil([this] { return BatchOpen == 0 || BatchProgress; },
                      [stallMs] { return static_cast<int>(std::min<int64_t>(stallMs, INT_MAX)); });
    } while (end == TWaitEnd::Done && BatchOpen > 0);
    BatchIndex.clear();
    if (end == TWaitEnd::TimedOut)
        LastError = -1;
    return end == TWaitEnd::Done;
}

bool TPop3::GetUniqueIdsAndSummaries(const std::vector<int> &idNumbers,
                                     std::vector<std::string> &ids,
                                     const std::vector<int> &summaryNumbers,
                                     std::vector<TMailSummary> &summaries)
{
    ids.clear();
    summaries.clear();
    LastError = 0;
    if (!Client || !Client->Connected())
        return false;
    const int kept = SummaryNumber();
    std::vector<int> asked;
    for (int n : summaryNumbers)
        if (n != kept)
            asked.push_back(n);
    std::vector<unsigned> tickets = Client->RequestUniqueIdsOf(idNumbers);
    std::vector<unsigned> tops = Client->RequestSummaries(asked);
    if (tickets.size() != idNumbers.size() || tops.size() != asked.size())
        return false;
    tickets.insert(tickets.end(), tops.begin(), tops.end());
    if (!AwaitBatch(tickets) ||
        std::find(BatchState.begin(), BatchState.end(), 2) != BatchState.end())
        return false;
    for (size_t i = 0; i < idNumbers.size(); ++i) {
        std::vector<std::string> one;
        if (!Client->TakeUniqueIds(tickets[i], one) || one.size() != 1)
            return false;
        ids.push_back(one[0]);
    }
    size_t next = 0;
    for (int n : summaryNumbers) {
        if (n == kept) {
            summaries.push_back(Summary);
            continue;
        }
        TPop3Summary fields;
        Client->TakeSummary(tops[next++], fields);
        summaries.push_back(MakeSummary(fields, fields.HeaderLines.Items()));
    }
    if (!summaries.empty()) {
        Summary = summaries.back();
        NoteSummaryOf(summaryNumbers.back());
    }
    return true;
}

bool TPop3::DeleteMessage(int n, TRemoval)
{
    if (!Client)
        return false;
    LastOpOk = false;
    CurrentTicket = Client->RequestDelete(n);
    if (CurrentTicket == 0) {
        Log(1, "Error:Deleting Message %d", n);
        return false;
    }
    RetrieveDone = false;
    RequestFailed = false;
    const int limit = static_cast<int>(std::min<int64_t>(WaitLimitMs(), INT_MAX));
    TWaitEnd end =
        WaitUntil([this] { return RetrieveDone || RequestFailed; }, [limit] { return limit; });
    if (end != TWaitEnd::Done) {
        // Without an answer the outcome is unknown; dropping the connection makes the
        // server keep the message, so "not deleted" is true.
        Client->Abort();
        if (end == TWaitEnd::TimedOut)
            LastError = -1;
        Log(1, "Error:Deleting Message %d", n);
        return false;
    }
    if (!RetrieveDone) {
        Log(2, "Error Deleteing Message %d deleted", n);
        return false;
    }
    PendingDeletes.push_back(n);
    if (n == SummaryOf)
        NoteSummaryOf(0);
    Log(3, "Message %d marked for deletion", n);
    return true;
}

bool TPop3::GetUniqueIds(std::vector<std::string> &ids)
{
    ids.clear();
    if (!Client)
        return false;
    CurrentTicket = Client->RequestUniqueIds();
    if (CurrentTicket == 0)
        return false;
    RetrieveDone = false;
    RequestFailed = false;
    // The client's own time-out bounds the wait: a silent server fails the request.
    TWaitEnd end =
        WaitUntil([this] { return RetrieveDone || RequestFailed; }, [] { return INT_MAX; });
    return end == TWaitEnd::Done && RetrieveDone && Client->TakeUniqueIds(CurrentTicket, ids);
}

// The client's own deadlines bound the wait: a silent or lost server fails the request.
bool TPop3::WaitStreamed(unsigned ticket)
{
    if (StreamState[ticket] != 0) // already here: a wait would sleep until the next event
        return StreamState[ticket] == 1;
    TWaitEnd end =
        WaitUntil([this, ticket] { return StreamState[ticket] != 0; }, [] { return INT_MAX; });
    return end == TWaitEnd::Done && StreamState[ticket] == 1;
}

// Messages asked for ahead of the one the sink takes next; the client sends them as its byte
// window allows, so memory stays bounded by this count and that window.
constexpr size_t StreamedMessagesQueued = 64;

bool TPop3::RetrieveMessages(const std::vector<int> &numbers, const TMessageSink &sink)
{
    LastError = 0;
    StreamState.clear();
    if (!Client || !Client->Connected())
        return numbers.empty();
    std::deque<std::pair<int, unsigned>> inFlight;
    size_t next = 0;
    bool ok = true;
    while (ok && (next < numbers.size() || !inFlight.empty())) {
        while (next < numbers.size() && inFlight.size() < StreamedMessagesQueued) {
            unsigned ticket = Client->RequestMessage(numbers[next]);
            if (ticket == 0) {
                ok = false;
                break;
            }
            StreamState.emplace(ticket, 0);
            inFlight.emplace_back(numbers[next++], ticket);
        }
        if (!ok || inFlight.empty())
            break;
        auto [number, ticket] = inFlight.front();
        inFlight.pop_front();
        if (!WaitStreamed(ticket)) {
            ok = false;
            break;
        }
        StreamState.erase(ticket);
        RawLines.Clear();
        Client->TakeMessage(ticket, RawLines);
        ok = sink(number, RawLines);
        RawLines.Clear();
    }
    // Messages still under way are taken and dropped so the client frees them.
    for (auto &[number, ticket] : inFlight) {
        if (WaitStreamed(ticket)) {
            TStringList dropped;
            Client->TakeMessage(ticket, dropped);
        }
    }
    StreamState.clear();
    return ok;
}

std::vector<int> TPop3::DeleteMessages(const std::vector<int> &numbers, TRemoval)
{
    std::vector<int> accepted;
    StreamState.clear();
    if (!Client || !Client->Connected())
        return accepted;
    std::vector<std::pair<int, unsigned>> tickets;
    for (int number : numbers) {
        unsigned ticket = Client->RequestDelete(number);
        if (ticket == 0)
            break;
        StreamState.emplace(ticket, 0);
        tickets.emplace_back(number, ticket);
    }
    for (auto &[number, ticket] : tickets) {
        if (!WaitStreamed(ticket)) {
            Log(1, "Error:Deleting Message %d", number);
            continue;
        }
        PendingDeletes.push_back(number);
        accepted.push_back(number);
        if (number == SummaryOf)
            NoteSummaryOf(0);
    }
    StreamState.clear();
    return accepted;
}

// ---- reports of the client

void TPop3::OnAuthenticationFailed(bool &retry)
{
    Log(0, "Authentication Failed to: %s for: %s", HostText(), UserText());
    ++AuthFailures;
    // Trying the same password again only repeats the refusal, and a provider counting the
    // attempts locks the account; a refused token is renewed by the check cycle.
    retry = false;
    LoginGaveUp = true;
}

void TPop3::OnAuthenticationNeeded()
{
    Log(0, "Authentication Needed to: %s for: %s", HostText(), UserText());
}

void TPop3::OnConnected()
{
    Log(3, "Connected to: %s for: %s", HostText(), UserText());
    ConnectionRequired = false;
    Receiving = false;
    PendingDeletes.clear();
    ++SessionNumber;
    SessionOpen = true;
}

void TPop3::OnConnectionFailed()
{
    Log(0, "Connection Failed to: %s for: %s", HostText(), UserText());
}

void TPop3::OnTlsOffered()
{
    if (Client->SpokeTlsBefore)
        return;
    Client->SpokeTlsBefore = true;
    RememberTlsServer(TlsProtocolPop3, Client->ServerHost(), Client->ServerPort());
}

void TPop3::OnConnectionRequired()
{
    Log(0, "Connection Required to: %s for: %s", HostText(), UserText());
    ConnectionRequired = true;
}

void TPop3::OnDisconnected()
{
    Log(3, "Disconnect from: %s for: %s", HostText(), UserText());
    Receiving = false;
    AuthFailures = 0;
    if (SessionOpen && !PendingDeletes.empty()) {
        if (Client->QuitConfirmed()) {
            for (int n : PendingDeletes)
                Log(3, "Message %d deleted", n);
        } else {
            Log(0, "Deletions not confirmed by: %s for: %s - %d messages stay on the server",
                HostText(), UserText(), int(PendingDeletes.size()));
            LostDeleteSessions.insert(SessionNumber);
        }
    }
    PendingDeletes.clear();
    SessionOpen = false;
}

TPop3::TDeleteOutcome TPop3::DeleteOutcome(uint32_t session) const
{
    if (SessionOpen && session == SessionNumber)
        return TDeleteOutcome::Pending;
    return LostDeleteSessions.count(session) > 0 ? TDeleteOutcome::Lost : TDeleteOutcome::Committed;
}

void TPop3::OnFailure()
{
    Log(0, "General Failure to: %s for: %s", HostText(), UserText());
    LastOpOk = false;
    LastOpFailed = true;
}

void TPop3::OnHostResolved()
{
    Log(4, "Host Resolved to: %s for: %s", HostText(), UserText());
    LastOpOk = false;
    LastOpFailed = false;
    AuthFailures = 0;
}

void TPop3::OnInvalidHost()
{
    Log(0, "Invalid Host: %s for: %s", HostText(), UserText());
}

void TPop3::OnListEntry(int number, int64_t size)
{
    Log(4, "List Message: %d Size: %lld", number, static_cast<long long>(size));
}

void TPop3::OnPacketReceived(int64_t received, int64_t total)
{
    std::string text = Format("Received %lld of %lld", static_cast<long long>(received),
                              static_cast<long long>(total));
    if (StatusBar)
        StatusBar(text);
    if (StatusLabel)
        StatusLabel(text);
}

void TPop3::OnRetrieveStart(int64_t total)
{
    Log(4, "Retrievel Start from: %s for: %s", HostText(), UserText());
    LastOpOk = false;
    LastOpFailed = false;
    if (total > 0) {
        Receiving = true;
        WaitMs = static_cast<int32_t>(std::min<int64_t>(total * MsPerByte, INT32_MAX));
    }
}

void TPop3::OnRetrieveEnd()
{
    Log(4, "Retrievel End from: %s for: %s", HostText(), UserText());
}

void TPop3::OnStatus(const std::string &text)
{
    Log(3, "Status from: %s for: %s - %s", HostText(), UserText(), text.c_str());
}

void TPop3::OnSuccess()
{
    Log(4, "Success: %s for: %s", HostText(), UserText());
    LastOpOk = true;
}

void TPop3::OnError(const std::string &text)
{
    Log(0, "Error from: %s for: %s - %s", HostText(), UserText(), text.c_str());
}

void TPop3::OnRequestFinished(unsigned ticket, bool ok)
{
    if (ticket == CurrentTicket) {
        RetrieveDone = RetrieveDone || ok;
        RequestFailed = RequestFailed || !ok;
    }
    auto entry = BatchIndex.find(ticket);
    if (entry != BatchIndex.end() && BatchState[entry->second] == 0) {
        BatchState[entry->second] = ok ? 1 : 2;
        --BatchOpen;
        BatchProgress = true;
    }
    auto streamed = StreamState.find(ticket);
    if (streamed != StreamState.end() && streamed->second == 0)
        streamed->second = ok ? 1 : 2;
}

TPop3Failure TPop3::LastFailure() const
{
    return Client ? Client->LastFailure() : TPop3Failure::None;
}

std::string TPop3::FailureText() const
{
    return DescribeFailure(LastFailure(), FailureDetail());
}

std::string TPop3::FailureDetail() const
{
    return Client ? Client->LastErrorText() : std::string();
}

int64_t TPop3::MessageSize(int n) const
{
    return Client ? Client->MessageSize(n) : 0;
}

void TPop3::ReleaseClosedSessions()
{
    if (Client)
        Client->ReleaseClosedSockets();
}
