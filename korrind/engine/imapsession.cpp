#include "korrind/engine/imapsession.h"

#include <QElapsedTimer>
#include <algorithm>
#include <climits>

#include "common/text.h"
#include "common/tlsservers.h"
#include "common/utils.h"

namespace {

constexpr int RetryPauseMs = 500; // after a failed connect attempt
// Whole messages asked at once stay within this many bytes, so a long list of large messages
// is never held in memory together.
constexpr int64_t RetrieveWindowBytes = 4 << 20;

// The last part of a folder's name ("INBOX.Junk", "INBOX/Spam" → "Junk", "Spam").
std::string LeafName(const std::string &name)
{
    const size_t cut = name.find_last_of("./");
    return cut == std::string::npos ? name : name.substr(cut + 1);
}

} // namespace

TImapSession::TImapSession(const uint16_t *debugLevel)
    : TMailSession(debugLevel),
      Client(std::make_unique<TImapClient>(static_cast<TImapListener *>(this)))
{
}

TImapSession::~TImapSession() = default;

bool TImapSession::IsConnected() const
{
    return ConnectRunning > 0 || Client->State() != TImapClient::TState::Disconnected;
}

void TImapSession::SetProxy(const std::string &host, uint16_t port)
{
    ProxyHost = host;
    ProxyPort = port;
    Client->SetProxy(host, port);
}

bool TImapSession::Connect()
{
    LastError = 0;
    UserStopped = false;
    SessionError.clear();
    if (Host.empty() || (Password.empty() && AccessToken.empty()) || User.empty())
        return false;
    Client->Host = Host;
    Client->User = User;
    Client->Password = Password;
    Client->AccessToken = AccessToken;
    Client->TimeOut = TimeoutStep;
    const TServerAddress address = ParseImapAddress(Host).Server;
    Client->SpokeTlsBefore = KnownTlsServer(TlsProtocolImap, address.Host, address.Port);
    if (Level() > 3 && Utils)
        Utils->DebugLog("Connect: %s %s", User.c_str(), Host.c_str());
    return ConnectLoop() && OpenFolder();
}

// Connect attempts with a time-out that grows by TimeoutStep after each failure, as for POP3.
bool TImapSession::ConnectLoop()
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
        const TConnectEnd end = AttemptConnect();
        if (end == TConnectEnd::Terminated)
            return false;
        if (end == TConnectEnd::Cancelled || end == TConnectEnd::Connected)
            break;
        // A refused login or token is not sent again: the same answer would come back.
        if (LoginGaveUp || Client->LastFailure() == TMailFailure::SignInExpired)
            break;
        if (Pop3FailureNeedsUser(Client->LastFailure())) {
            LastError = -1;
            break;
        }
        Client->TimeOut += TimeoutStep;
        const TWaitEnd pause = Pause(RetryPauseMs);
        if (pause == TWaitEnd::Terminated)
            return false;
        if (pause == TWaitEnd::Cancelled)
            break;
        if (static_cast<int64_t>(Tries) * TimeoutStep < Client->TimeOut) {
            LastError = -1;
            if (Utils)
                Utils->DebugLog(Client->LastFailure() == TMailFailure::ConnectionRefused
                                    ? "Connection refused: %s"
                                    : "Connect Timeout: %s",
                                UserText());
            break;
        }
    }
    return Client->Connected();
}

TImapSession::TConnectEnd TImapSession::AttemptConnect()
{
    LoginGaveUp = false;
    Client->Connect();
    AskFolder();
    while (Client->State() == TImapClient::TState::Connecting) {
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

// SELECT and the listing of UIDs and sizes go out together: one round trip after the login,
// or none when the client sends them with the login. The newest message's header comes in the
// same round trip: a check that finds nothing new, or only that message, needs no other.
void TImapSession::AskFolder()
{
    Opening.Select = Client->RequestSelect(Client->Folder(), false);
    Opening.Sizes = Opening.Select != 0 ? Client->RequestSizes(1) : 0;
    Opening.Newest = Opening.Select != 0 ? Client->RequestNewestHeader() : 0;
}

bool TImapSession::OpenFolder()
{
    Uids.clear();
    Sizes.clear();
    Removed.clear();
    FoldersKnown = false;
    Folders.clear();
    Newest = TImapMessage();
    if (Opening.Select == 0)
        AskFolder();
    const unsigned select = Opening.Select, sizes = Opening.Sizes, newest = Opening.Newest;
    Opening = TOpening();
    std::vector<TImapMessage> listed;
    if (!Await({select, sizes}) || !Client->TakeFolderState(select, Folder) ||
        !Client->TakeMessages(sizes, listed)) {
        SessionError = "the folder \"" + Client->Folder() + "\" could not be opened";
        if (!Client->LastErrorText().empty())
            SessionError += ": " + Client->LastErrorText();
        Log(0, "Error from: %s for: %s - %s", HostText(), UserText(), SessionError.c_str());
        Client->Abort();
        return false;
    }
    std::sort(listed.begin(), listed.end(),
              [](const TImapMessage &a, const TImapMessage &b) { return a.Uid < b.Uid; });
    for (const TImapMessage &message : listed) {
        // A message marked deleted (by a server without UIDPLUS, or another client) is gone
        // for every client that hides such messages; it is not acted on again.
        if (!Uids.empty() && Uids.back() == message.Uid) {
            if (message.Deleted) { // the same message twice: its flags were changing
                Uids.pop_back();
                Sizes.pop_back();
            }
            continue;
        }
        if (message.Deleted)
            continue;
        Uids.push_back(message.Uid);
        Sizes.push_back(message.Size);
    }
    Removed.assign(Uids.size(), 0);
    std::vector<TImapMessage> newestHeader;
    if (!Uids.empty() && Await({newest}) && Client->TakeMessages(newest, newestHeader) &&
        newestHeader.size() == 1 && newestHeader[0].Uid == Uids.back())
        Newest = std::move(newestHeader[0]);
    ++SessionNumber;
    SessionOpen = true;
    Log(3, "Connected to: %s for: %s - %s, %d messages", HostText(), UserText(),
        Client->Folder().c_str(), int(Uids.size()));
    return true;
}

bool TImapSession::Disconnect()
{
    LastError = 0;
    Cancelled(true);
    if (Client->State() == TImapClient::TState::Disconnected)
        return false;
    Client->Disconnect();
    if (Level() > 3 && Utils)
        Utils->DebugLog("Disconnect: %s", UserText());
    const TWaitEnd end =
        WaitUntil([this] { return Client->State() == TImapClient::TState::Disconnected; },
                  [this] { return WaitLimitMs(); });
    if (end != TWaitEnd::Done) {
        // Every removal was committed when the server confirmed it: dropping loses nothing.
        Client->Abort();
        if (end == TWaitEnd::TimedOut) {
            LastError = -1;
            if (Utils)
                Utils->DebugLog("Disconnect Timeout: %s", UserText());
        }
    }
    return Client->Connected();
}

void TImapSession::Abort()
{
    Client->Abort();
}

void TImapSession::ReleaseClosedSessions()
{
    Client->ReleaseClosedSockets();
}

int TImapSession::WaitLimitMs(int64_t expectedBytes) const
{
    const int64_t blocks =
        TImapClient::ReplyTimeOuts + 1 + expectedBytes / TImapClient::DeadlineBlock;
    return static_cast<int>(std::min<int64_t>(blocks * std::max(TimeoutStep, 1), INT_MAX));
}

// Waits until every request finished (the client fails those the server leaves unanswered).
bool TImapSession::Await(const std::vector<unsigned> &tickets)
{
    for (unsigned ticket : tickets)
        if (ticket == 0) {
            LastError = -1;
            return false;
        }
    auto allDone = [&] {
        return std::all_of(tickets.begin(), tickets.end(),
                           [this](unsigned t) { return Finished.count(t) > 0; });
    };
    // The client fails a request the server leaves unanswered; this wait also ends when
    // nothing arrived for a while, but not while a large answer is still coming in.
    bool progress = true;
    while (progress && !allDone()) {
        const size_t finished = Finished.size();
        const int64_t received = Client->BytesReceived();
        const TWaitEnd end = WaitUntil(
            [&] {
                return allDone() || Finished.size() != finished ||
                       Client->BytesReceived() != received;
            },
            [this] { return WaitLimitMs(); });
        if (end == TWaitEnd::Terminated || end == TWaitEnd::Cancelled)
            return false;
        progress = end == TWaitEnd::Done;
    }
    bool ok = allDone();
    for (unsigned ticket : tickets) {
        auto found = Finished.find(ticket);
        ok = ok && found != Finished.end() && found->second == 1;
        if (found != Finished.end())
            Finished.erase(found);
    }
    if (!ok)
        LastError = -1;
    return ok;
}

int32_t TImapSession::MessageCount() const
{
    return Client->Connected() && SessionOpen ? static_cast<int32_t>(Uids.size()) : -1;
}

uint32_t TImapSession::UidOf(int n) const
{
    return n >= 1 && size_t(n) <= Uids.size() ? Uids[size_t(n) - 1] : 0;
}

int64_t TImapSession::MessageSize(int n) const
{
    return n >= 1 && size_t(n) <= Sizes.size() ? Sizes[size_t(n) - 1] : 0;
}

std::string TImapSession::UniqueIdOf(size_t index) const
{
    return std::to_string(Folder.UidValidity) + "." + std::to_string(Uids[index]);
}

bool TImapSession::GetUniqueIds(std::vector<std::string> &ids)
{
    ids.clear();
    if (MessageCount() < 0)
        return false;
    for (size_t i = 0; i < Uids.size(); ++i)
        ids.push_back(UniqueIdOf(i));
    return true;
}

bool TImapSession::GetSummaryBatch(const std::vector<int> &numbers,
                                   std::vector<TMailSummary> &summaries,
                                   std::vector<std::string> *ids)
{
    summaries.clear();
    LastError = 0;
    if (ids != nullptr && !GetUniqueIds(*ids))
        return false;
    if (numbers.empty())
        return true;
    std::vector<uint32_t> wanted, asked;
    for (int n : numbers) {
        if (UidOf(n) == 0 || Removed[size_t(n) - 1]) {
            Log(1, "Error:Reading Message %d", n);
            return false;
        }
        wanted.push_back(UidOf(n));
        if (UidOf(n) != Newest.Uid)
            asked.push_back(UidOf(n));
    }
    std::vector<TImapMessage> fetched;
    if (!asked.empty()) {
        const unsigned ticket = Client->RequestHeaders(asked);
        if (!Await({ticket}) || !Client->TakeMessages(ticket, fetched))
            return false;
    }
    std::map<uint32_t, const TImapMessage *> byUid;
    for (const TImapMessage &message : fetched)
        byUid[message.Uid] = &message;
    if (Newest.Uid != 0)
        byUid[Newest.Uid] = &Newest;
    // A message another client removed since the listing has no summary: the batch ends
    // before it, as a POP3 batch ends at a failed TOP.
    for (size_t i = 0; i < numbers.size(); ++i) {
        auto found = byUid.find(wanted[i]);
        if (found == byUid.end()) {
            Log(1, "Error:Message %d is no longer on the server", numbers[i]);
            return false;
        }
        TPop3Summary fields = found->second->Summary;
        fields.Size = Sizes[size_t(numbers[i]) - 1];
        summaries.push_back(MakeSummary(fields, fields.HeaderLines.Items()));
    }
    Summary = summaries.back();
    SummaryOf = numbers.back();
    SummarySession = SessionNumber;
    return true;
}

bool TImapSession::GetSummary(int n)
{
    std::vector<TMailSummary> summaries;
    return GetSummaryBatch({n}, summaries);
}

bool TImapSession::GetSummaries(int first, int last, std::vector<TMailSummary> &summaries)
{
    std::vector<int> numbers;
    for (int n = first; n <= last; ++n)
        numbers.push_back(n);
    return GetSummaryBatch(numbers, summaries);
}

bool TImapSession::GetUniqueIdsAndSummaries(const std::vector<int> &idNumbers,
                                            std::vector<std::string> &ids,
                                            const std::vector<int> &summaryNumbers,
                                            std::vector<TMailSummary> &summaries)
{
    ids.clear();
    std::vector<std::string> all;
    if (!GetUniqueIds(all))
        return false;
    for (int n : idNumbers) {
        if (n < 1 || size_t(n) > all.size())
            return false;
        ids.push_back(all[size_t(n) - 1]);
    }
    return GetSummaryBatch(summaryNumbers, summaries);
}

int TImapSession::SummaryNumber() const
{
    return SessionOpen && SummarySession == SessionNumber ? SummaryOf : 0;
}

bool TImapSession::GetMessage(int n)
{
    LastError = 0;
    if (UidOf(n) == 0 || Removed[size_t(n) - 1])
        return false;
    const unsigned ticket = Client->RequestMessage(UidOf(n));
    TStringList lines;
    if (!Await({ticket}) || !Client->TakeMessage(ticket, lines)) {
        Log(1, "Error:Reading Message %d", n);
        return false;
    }
    SummaryOf = 0;
    RawLines = std::move(lines);
    TMailSummary fields = MakeSummary(SummarizeHeader(RawLines.Items()), RawLines.Items());
    // The message ID, header lines and size stay those of the last summary.
    Summary.To = fields.To;
    Summary.From = fields.From;
    Summary.Subject = fields.Subject;
    Summary.Date = fields.Date;
    Summary.Received = fields.Received;
    return true;
}

bool TImapSession::RetrieveMessages(const std::vector<int> &numbers, const TMessageSink &sink)
{
    LastError = 0;
    size_t next = 0;
    while (next < numbers.size()) {
        // A window of messages asked together, within RetrieveWindowBytes (at least one).
        std::vector<std::pair<int, unsigned>> window;
        int64_t bytes = 0;
        while (next < numbers.size() && (window.empty() || bytes < RetrieveWindowBytes)) {
            const int n = numbers[next++];
            if (UidOf(n) == 0 || Removed[size_t(n) - 1])
                return false;
            window.emplace_back(n, Client->RequestMessage(UidOf(n)));
            bytes += MessageSize(n);
        }
        for (auto &[n, ticket] : window) {
            TStringList lines;
            if (!Await({ticket}) || !Client->TakeMessage(ticket, lines)) {
                Log(1, "Error:Reading Message %d", n);
                return false;
            }
            if (!sink(n, lines))
                return false;
        }
    }
    return true;
}

bool TImapSession::FindFolders()
{
    if (FoldersKnown)
        return true;
    const unsigned ticket = Client->RequestFolders();
    if (!Await({ticket}) || !Client->TakeFolders(ticket, Folders))
        return false;
    FoldersKnown = true;
    return true;
}

// Where a removed message goes: the junk folder for a rejected one, the trash for any other;
// nullptr when it is to be deleted outright.
const TImapFolder *TImapSession::RemovalTarget(TRemoval why) const
{
    auto flagged = [this](const char *attribute) -> const TImapFolder * {
        for (const TImapFolder &folder : Folders)
            if (folder.Has(attribute) && !folder.Has("\\Noselect"))
                return &folder;
        return nullptr;
    };
    if (why == TRemoval::Reject) {
        if (const TImapFolder *junk = flagged("\\Junk"))
            return junk;
        for (const char *name : {"Junk", "Spam"})
            for (const TImapFolder &folder : Folders)
                if (SameText(LeafName(folder.Name), name) && !folder.Has("\\Noselect"))
                    return &folder;
    }
    return flagged("\\Trash");
}

bool TImapSession::DeleteMessage(int n, TRemoval why)
{
    return DeleteMessages({n}, why).size() == 1;
}

std::vector<int> TImapSession::DeleteMessages(const std::vector<int> &numbers, TRemoval why)
{
    std::vector<int> removed;
    LastError = 0;
    if (MessageCount() < 0 || !FindFolders())
        return removed;
    std::vector<uint32_t> uids;
    std::map<uint32_t, int> numberOf;
    for (int n : numbers)
        if (UidOf(n) != 0 && !Removed[size_t(n) - 1]) {
            uids.push_back(UidOf(n));
            numberOf[UidOf(n)] = n;
        }
    if (uids.empty())
        return removed;
    const TImapFolder *target = RemovalTarget(why);
    // The folder watched is its own trash: nothing to move to.
    if (target != nullptr && SameText(target->Name, Client->Folder()))
        target = nullptr;
    const unsigned ticket =
        target != nullptr ? Client->RequestMove(uids, target->Name) : Client->RequestDelete(uids);
    std::vector<uint32_t> gone;
    const bool answered = Await({ticket});
    Client->TakeUids(ticket, gone);
    for (uint32_t uid : gone) {
        auto found = numberOf.find(uid);
        if (found == numberOf.end())
            continue;
        Removed[size_t(found->second) - 1] = 1;
        removed.push_back(found->second);
        if (target != nullptr)
            Log(3, "Message %d moved to %s", found->second, target->Name.c_str());
        else
            Log(3, "Message %d deleted", found->second);
    }
    std::sort(removed.begin(), removed.end());
    if (!answered || removed.size() != uids.size())
        Log(1, "Error:Deleting %d of %d messages", int(uids.size() - removed.size()),
            int(uids.size()));
    return removed;
}

bool TImapSession::ListWithoutRemoved()
{
    if (MessageCount() < 0)
        return false;
    size_t kept = 0;
    for (size_t i = 0; i < Uids.size(); ++i) {
        if (Removed[i])
            continue;
        Uids[kept] = Uids[i];
        Sizes[kept] = Sizes[i];
        ++kept;
    }
    Uids.resize(kept);
    Sizes.resize(kept);
    Removed.assign(kept, 0);
    // The header read with the listing serves only while its message is still the newest.
    if (Uids.empty() || Newest.Uid != Uids.back())
        Newest = TImapMessage();
    ++SessionNumber;
    Log(3, "Listed again: %s for: %s - %s, %d messages", HostText(), UserText(),
        Client->Folder().c_str(), int(Uids.size()));
    return true;
}

TImapSession::TDeleteOutcome TImapSession::DeleteOutcome(uint32_t) const
{
    return TDeleteOutcome::Committed;
}

TMailFailure TImapSession::LastFailure() const
{
    const TMailFailure failure = Client->LastFailure();
    return failure == TMailFailure::None && !SessionError.empty() ? TMailFailure::Other : failure;
}

std::string TImapSession::FailureDetail() const
{
    return SessionError.empty() ? Client->LastErrorText() : SessionError;
}

std::string TImapSession::FailureText() const
{
    return DescribeFailure(LastFailure(), FailureDetail());
}

// ---- reports of the client

void TImapSession::OnAuthenticationFailed(bool &retry)
{
    Log(0, "Authentication Failed to: %s for: %s", HostText(), UserText());
    retry = false;
    LoginGaveUp = true;
}

void TImapSession::OnAuthenticationNeeded()
{
    Log(0, "Authentication Needed to: %s for: %s", HostText(), UserText());
}

void TImapSession::OnConnected()
{
    Log(4, "Logged in to: %s for: %s", HostText(), UserText());
}

void TImapSession::OnConnectionFailed()
{
    Log(0, "Connection Failed to: %s for: %s", HostText(), UserText());
}

void TImapSession::OnTlsOffered()
{
    if (Client->SpokeTlsBefore)
        return;
    Client->SpokeTlsBefore = true;
    RememberTlsServer(TlsProtocolImap, Client->Address().Host, Client->Address().Port);
}

void TImapSession::OnDisconnected()
{
    Log(3, "Disconnect from: %s for: %s", HostText(), UserText());
    SessionOpen = false;
}

void TImapSession::OnStatus(const std::string &text)
{
    Log(3, "Status from: %s for: %s - %s", HostText(), UserText(), text.c_str());
}

void TImapSession::OnError(const std::string &text)
{
    Log(0, "Error from: %s for: %s - %s", HostText(), UserText(), text.c_str());
}

void TImapSession::OnRequestFinished(unsigned ticket, bool ok)
{
    Finished[ticket] = ok ? 1 : 2;
}
