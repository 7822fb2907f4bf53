#include "korrind/engine/checkmail.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <exception>
#include <string_view>
#include <sys/stat.h>
#include <unordered_set>
#include <vector>

#include "common/alerts.h"
#include "common/alias.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/net/mimeheader.h"
#include "common/password.h"
#include "common/platform/files.h"
#include "common/smtpinterface.h"
#include "common/text.h"
#include "common/utils.h"
#include "korrind/engine/mailsession.h"
#include "korrind/engine/uidcache.h"

TEMailTest *EMailTest = nullptr;

namespace {

const char NoAlert[] = "~NONE~";
const size_t MaxBaseNameLength = 200; // leaves room for the counter within a file name
const int SummaryToField = 3;         // the To field of a summary line
const int SummarySizeField = 5;       // its Size field
const size_t SummaryFieldCount = 7;
const long MaxMessageFileCounter = 99999; // the last counter tried for a free file name
const int SummaryPumpLines = 256;         // events are processed every this many summaries
// A bit beside the TSaveTarget bits in the record of what was done for a message: the
// forward went out.
const unsigned ForwardDone = 0x100;

// A summary field as one piece of a summary line.
std::string SummaryField(const std::string &text)
{
    std::string field = Trim(text);
    for (char &c : field) {
        if (c == '|' || c == '\r' || c == '\n')
            c = ' ';
    }
    return field;
}

// For a mailbox that grew from known to count messages: the unique ids of messages known..count
// (the last one known first, to see that it is still where it was) and the summaries of the new
// ones, in one request. False unless the session answered for every one.
bool FetchGrownTail(int known, int count, std::vector<std::string> &tailIds,
                    std::vector<TMailSummary> &fetched)
{
    std::vector<int> idNumbers, newNumbers;
    for (int n = known; n <= count; ++n)
        idNumbers.push_back(n);
    for (int n = known + 1; n <= count; ++n)
        newNumbers.push_back(n);
    return Mail->GetUniqueIdsAndSummaries(idNumbers, tailIds, newNumbers, fetched) &&
           tailIds.size() == idNumbers.size() && fetched.size() == newNumbers.size();
}

bool HasLine(const TStringList &lines, const std::string &line)
{
    for (const std::string &item : lines) {
        if (item == line)
            return true;
    }
    return false;
}

std::string LinesAsMessage(const TStringList &lines)
{
    std::string bytes;
    for (const std::string &line : lines)
        bytes += line + "\r\n";
    return bytes;
}

} // namespace

std::string SummaryLine(const TMailSummary &summary)
{
    return JoinText({SummaryField(summary.From), SummaryField(summary.Subject),
                     SummaryField(summary.MessageId), SummaryField(summary.To),
                     SummaryField(summary.Date), Format("%d", summary.Size),
                     SummaryField(summary.Received)},
                    "|");
}

std::string MessageFileBytes(const TStringList &lines)
{
    return LinesAsMessage(lines);
}

std::string SavedMessageBaseName(const std::string &from, const std::string &date)
{
    std::string name = from + date;
    size_t open = name.find('<');
    if (open != std::string::npos)
        name.erase(0, open + 1);
    size_t close = name.find('>');
    if (close != std::string::npos)
        name.erase(close, 1);
    // The name must stay one file inside its folder.
    for (char &c : name) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (c == '/' || c == '\\' || byte < 0x20 || byte == 0x7f)
            c = '_';
    }
    if (!name.empty() && name.front() == '.')
        name.front() = '_';
    if (name.size() > MaxBaseNameLength) {
        size_t cut = MaxBaseNameLength;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut; // not inside a UTF-8 character
        name.resize(cut);
    }
    return name;
}

std::string FreeMessageFileName(const std::string &folder, const std::string &baseName)
{
    const std::string prefix = TUtils::AddBackslash(folder) + baseName;
    for (long counter = 0; counter <= MaxMessageFileCounter; ++counter) {
        std::string path = prefix + Format("_%.3ld.eml", counter);
        struct stat info;
        if (lstat(path.c_str(), &info) == 0)
            continue; // taken
        // Only a name that does not exist is free; any other answer (no access, a link
        // loop, a name too long, a file where the folder should be) means no name can be
        // had in this folder.
        return errno == ENOENT ? path : std::string();
    }
    return std::string();
}

TEMailTest::TEMailTest(TListRows *mailboxes) : Mailboxes(mailboxes) {}

std::string TEMailTest::TempMessagePath()
{
    if (Globals == nullptr || Globals->DataRoot.empty())
        return std::string();
    return TUtils::AddBackslash(Globals->DataRoot) + names::TempMessageFile;
}

std::string TEMailTest::RulesFolder() const
{
    if (Globals == nullptr)
        return std::string();
    std::string folder = GetText(Globals->Config.RulesPath);
    return folder.empty() ? Globals->DataRoot : folder;
}

// The mailbox's address: user ID and server (without scheme or port).
std::string TEMailTest::MailboxAddress() const
{
    if (Mailbox == nullptr)
        return std::string();
    std::string server = Mailbox->Cell(mcMailServer);
    size_t scheme = server.find("://");
    if (scheme != std::string::npos)
        server.erase(0, scheme + 3);
    size_t port = server.find(':');
    if (port != std::string::npos)
        server.erase(port);
    return Format("%s@%s", Mailbox->Caption.c_str(), server.c_str());
}

TStringList &TEMailTest::List(TListWhich which)
{
    switch (which) {
    case TListWhich::PriorityRules:
        return PriorityRules;
    case TListWhich::RejectRules:
        return RejectRules;
    case TListWhich::StoredLines:
        return StoredLines;
    case TListWhich::CurrentLines:
        return CurrentLines;
    case TListWhich::Scratch:
        break;
    }
    return Scratch;
}

bool TEMailTest::ListFile(bool load, TListWhich which, const std::string &path)
{
    if (path.empty())
        return false;
    TStringList &list = List(which);
    if (load) {
        if (LoadListFile(path, list) == TListLoad::Loaded)
            return true;
        if (Utils)
            Utils->DebugLog("List file does not exist:%s", path.c_str());
        return false;
    }
    if (list.SaveToFile(path))
        return true;
    if (Utils)
        Utils->DebugLog("Can't save file:%s", path.c_str());
    return false;
}

void TEMailTest::LoadRules(int kind)
{
    bool priority = kind == tkPriority || kind == tkPriorityMember;
    TListKind listKind = priority ? TListKind::Priority : TListKind::Reject;
    TListWhich which = priority ? TListWhich::PriorityRules : TListWhich::RejectRules;
    List(which).Clear();
    Scratch.Clear();
    ListFile(true, which, ListFilePath(RulesFolder(), listKind, true));
    ListFile(true, TListWhich::Scratch, ListFilePath(InboxPath, listKind, false));
    // Master rules come first and so win ties.
    MergeRules(List(which), Scratch);
    Scratch.Clear();
}

void TEMailTest::ClearLists()
{
    StoredLines.Clear();
    CurrentLines.Clear();
    MessageIds.clear();
    Base = 0;
    ToLines.Clear();
    PriorityRules.Clear();
    RejectRules.Clear();
    Scratch.Clear();
}

bool TEMailTest::StartTest(int index)
{
    Mailbox = nullptr;
    if (Mailboxes == nullptr || index < 0 || index >= static_cast<int>(Mailboxes->size()))
        return false;
    // Commands that run during the waits of a test may rebuild the Mailboxes list; the test
    // works on its own copy of the row.
    MailboxRow = (*Mailboxes)[index];
    Mailbox = &MailboxRow;
    InboxPath = Mailbox->Cell(mcInboxPath);
    PriorityAlertName = Mailbox->Cell(mcPriorityAlert);
    ArrivalAlertName = Mailbox->Cell(mcArrivalAlert);
    bool global = Globals != nullptr && Globals->Config.MasterPriorityGlobal;
    PriorityOn = FlagCellSet(Mailbox->Cell(mcPriorityActive)) || global;
    bool notify = Globals != nullptr && Globals->Config.NewMailNotification;
    return PriorityOn || notify;
}

// The newest message on the server against the newest stored line; a failed fetch counts as
// unchanged (and as a failed read).
bool TEMailTest::MailboxUnchanged()
{
    if (StoredLines.Count() != MessageCount)
        return false;
    if (Mail == nullptr)
        return true;
    if (!Mail->GetSummary(MessageCount)) {
        ReadFailed = true;
        return true;
    }
    return SummaryLine(Mail->Summary) == StoredLines[MessageCount - 1];
}

// Summaries of messages 1 to MessageCount, oldest first; fewer when a fetch failed or the
// program is quitting. When ids is empty and the server may have unique ids, they are asked in
// the same pipeline.
void TEMailTest::FetchSummaries(std::vector<TMailSummary> &summaries, std::vector<std::string> &ids)
{
    summaries.clear();
    if (Mail == nullptr)
        return;
    if (SummaryFetch == TSummaryFetch::UniqueIds) {
        std::vector<int> numbers(static_cast<size_t>(MessageCount));
        for (int n = 1; n <= MessageCount; ++n)
            numbers[static_cast<size_t>(n - 1)] = n;
        const bool askIds = ids.empty() && Mail->MayOfferUniqueIds();
        Mail->GetSummaryBatch(numbers, summaries, askIds ? &ids : nullptr);
        return;
    }
    if (SummaryFetch == TSummaryFetch::Batch) {
        Mail->GetSummaries(1, MessageCount, summaries);
        return;
    }
    for (int n = 1; n <= MessageCount && !TUtils::Terminating(); ++n) {
        if (!Mail->GetSummary(n))
            return;
        if (Utils)
            Utils->Delay(SummaryPauseMs);
        summaries.push_back(Mail->Summary);
    }
}

std::string TEMailTest::UidCachePath() const
{
    return InboxPath.empty() ? std::string()
                             : TUtils::AddBackslash(InboxPath) + names::UidCacheFile;
}

void TEMailTest::AddCurrentLine(const std::string &line, const std::string &to)
{
    CurrentLines.Add(line);
    ToLines.Add(to);
}

// The lines of all messages, those the id cache knows taken from it and the others fetched in
// one pipelined batch. False when the full batch must run instead: no cache, no usable ids, a
// cached line whose size is not the server's, or a failed fetch. ids gets the server's ids
// when it gave them (or, after the shortcut, the ids it assumes); cacheStale is set when the
// cache does not list what the lines now say.
bool TEMailTest::FetchLinesByUniqueIds(std::vector<std::string> &ids, bool mayAssumeOrder,
                                       bool &cacheStale)
{
    ids.clear();
    CurrentLines.Clear();
    ToLines.Clear();
    AssumedCount = 0;
    if (SummaryFetch != TSummaryFetch::UniqueIds || Mail == nullptr || !Mail->MayOfferUniqueIds())
        return false;
    TUidCache cache;
    if (!cache.Load(UidCachePath()))
        return false;
    if (mayAssumeOrder && FetchAppendedLines(cache, ids, cacheStale)) {
        cacheStale = PreferFreshSummary() || cacheStale;
        return true;
    }
    ids.clear();
    CurrentLines.Clear();
    ToLines.Clear();
    AssumedCount = 0;
    if (!Mail->GetUniqueIds(ids) || !TUidCache::UsableIds(ids, static_cast<size_t>(MessageCount))) {
        ids.clear();
        return false;
    }
    std::vector<const TUidCache::TEntry *> known(ids.size(), nullptr);
    std::vector<int> unknown;
    for (int n = 1; n <= MessageCount; ++n) {
        const TUidCache::TEntry *entry = cache.Find(ids[static_cast<size_t>(n - 1)]);
        if (entry == nullptr) {
            unknown.push_back(n);
            continue;
        }
        if (!CachedLineFits(entry->Line, n))
            return false;
        known[static_cast<size_t>(n - 1)] = entry;
    }
    std::vector<TMailSummary> fetched;
    if (!Mail->GetSummaryBatch(unknown, fetched) || fetched.size() != unknown.size())
        return false;
    size_t next = 0;
    for (size_t k = 0; k < known.size(); ++k) {
        if (known[k] != nullptr) {
            AddCurrentLine(known[k]->Line, known[k]->To);
        } else {
            AddCurrentLine(SummaryLine(fetched[next]), Trim(fetched[next].To));
            ++next;
        }
    }
    // The file is rewritten only when the mailbox holds other messages than it lists, or
    // holds them in another order.
    cacheStale = PreferFreshSummary() || !unknown.empty() || cache.Order() != ids;
    return true;
}

// A cached line that does not give the server's size for message n is not that message's.
bool TEMailTest::CachedLineFits(const std::string &line, int n) const
{
    const int64_t size = std::min<int64_t>(Mail->MessageSize(n), INT32_MAX);
    std::vector<std::string> fields = SplitText(line, '|');
    return fields.size() == SummaryFieldCount &&
           fields[SummarySizeField] == Format("%lld", static_cast<long long>(size));
}

// Messages join a mailbox at its end. So when the last message the cache lists still has its
// number, the messages before it are taken to be those the cache lists before it, and only
// the ids and summaries of the messages after it are asked, together with its own id, in one
// round trip. False when that does not hold (a message went, or the mailbox was reordered) or
// a size disagrees; the whole id listing decides then. A server may still have reordered the
// messages before it: AssumedCount tells how many numbers were taken on trust.
bool TEMailTest::FetchAppendedLines(const TUidCache &cache, std::vector<std::string> &ids,
                                    bool &cacheStale)
{
    const std::vector<std::string> &order = cache.Order();
    const int known = static_cast<int>(order.size());
    if (known == 0 || known > MessageCount)
        return false;
    std::vector<std::string> tailIds;
    std::vector<TMailSummary> fetched;
    if (!FetchGrownTail(known, MessageCount, tailIds, fetched) || tailIds.front() != order.back())
        return false;
    ids.assign(order.begin(), order.end() - 1);
    ids.insert(ids.end(), tailIds.begin(), tailIds.end());
    if (!TUidCache::UsableIds(ids, static_cast<size_t>(MessageCount)))
        return false;
    for (int n = 1; n <= known; ++n) {
        const TUidCache::TEntry *entry = cache.Find(order[static_cast<size_t>(n - 1)]);
        if (entry == nullptr || !CachedLineFits(entry->Line, n))
            return false;
        AddCurrentLine(entry->Line, entry->To);
    }
    for (const TMailSummary &summary : fetched)
        AddCurrentLine(SummaryLine(summary), Trim(summary.To));
    AssumedCount = known - 1;
    cacheStale = !fetched.empty();
    return true;
}

// A summary read in this session outranks the cached line of its message: a server that gave
// a new message an old message's id would otherwise hide the new message for good. Answers
// whether a cached line was replaced.
bool TEMailTest::PreferFreshSummary()
{
    const int k = FreshNumber - Base - 1;
    if (k < 0 || k >= CurrentLines.Count() || CurrentLines[k] == FreshLine)
        return false;
    CurrentLines[k] = FreshLine;
    ToLines[k] = FreshTo;
    return true;
}

// The numbers the shortcut took on trust must hold before a rule acts on one of those
// messages (retrieves or deletes it): the ids of all such messages are asked in one round
// trip. False when one of them is not the message the cache put there, or no answer came.
bool TEMailTest::AssumedNumbersHold(const std::vector<std::string> &ids)
{
    MarkNewLines();
    std::vector<int> numbers;
    for (int k = FirstNew; k < AssumedCount; ++k) {
        if (!Known[static_cast<size_t>(k)])
            numbers.push_back(k + 1);
    }
    if (numbers.empty())
        return true;
    std::vector<std::string> found;
    std::vector<TMailSummary> none;
    if (!Mail->GetUniqueIdsAndSummaries(numbers, found, {}, none))
        return false;
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (found[i] != ids[static_cast<size_t>(numbers[i] - 1)]) {
            Mail->Log(2, "Message order changed on the server for: %s", MailboxAddress().c_str());
            return false;
        }
    }
    return true;
}

// Keeps the id cache in line with the lines just built; a server that gave no ids leaves no
// cache to trust.
void TEMailTest::KeepUniqueIds(const std::vector<std::string> &ids, bool cacheCurrent)
{
    const std::string path = UidCachePath();
    if (path.empty() || TUtils::Terminating() || CurrentLines.Count() != MessageCount)
        return;
    if (!TUidCache::UsableIds(ids, static_cast<size_t>(MessageCount))) {
        std::remove(path.c_str());
        return;
    }
    // Each step takes a while on a mailbox of many thousand messages.
    TUtils::ProcessMessages();
    if (TUtils::Terminating() || (Mail && Mail->CancelRequested()))
        return;
    CacheInLine =
        !cacheCurrent || TUidCache::Save(path, ids, ToLines.Items(), CurrentLines.Items());
    if (!CacheInLine && Utils)
        Utils->DebugLog("Can't save file:%s", path.c_str());
}

bool TEMailTest::FetchCurrentLines(bool again)
{
    // The summary read already in this session (the newest message's, as a rule), before the
    // fetches below replace it.
    FreshNumber = Mail != nullptr ? Mail->SummaryNumber() : 0;
    FreshLine = FreshNumber > 0 ? SummaryLine(Mail->Summary) : std::string();
    FreshTo = FreshNumber > 0 ? Trim(Mail->Summary.To) : std::string();
    std::vector<std::string> ids;
    bool cacheStale = false;
    bool listed = FetchLinesByUniqueIds(ids, true, cacheStale);
    // Only the whole listing tells which message is which after a reorder.
    if (listed && !AssumedNumbersHold(ids))
        listed = FetchLinesByUniqueIds(ids, false, cacheStale);
    if (!listed) {
        CurrentLines.Clear();
        ToLines.Clear();
        std::vector<TMailSummary> summaries;
        FetchSummaries(summaries, ids);
        for (const TMailSummary &summary : summaries) {
            if (CurrentLines.Count() % SummaryPumpLines == SummaryPumpLines - 1) {
                TUtils::ProcessMessages();
                if (TUtils::Terminating() || (Mail && Mail->CancelRequested()))
                    return false;
            }
            AddCurrentLine(SummaryLine(summary), Trim(summary.To));
        }
        cacheStale = true;
    }
    if (SummaryFetch == TSummaryFetch::UniqueIds)
        KeepUniqueIds(ids, cacheStale);
    if (TUidCache::UsableIds(ids, static_cast<size_t>(MessageCount)))
        MessageIds = std::move(ids);
    MarkNewLines();
    return CurrentLines.Count() >= MessageCount || again;
}

// A message is new when its line was not stored at the last test. With the server's order
// (oldest first) the first new message starts the part to test.
void TEMailTest::MarkNewLines()
{
    TUtils::ProcessMessages();
    std::unordered_set<std::string_view> stored(StoredLines.begin(), StoredLines.end());
    Known.clear();
    FirstNew = CurrentLines.Count();
    for (int k = 0; k < CurrentLines.Count(); ++k) {
        Known.push_back(stored.count(CurrentLines[k]) > 0);
        if (!Known.back() && FirstNew == CurrentLines.Count())
            FirstNew = k;
    }
}

void TEMailTest::QueueSound(const std::string &alertName)
{
    std::string file = AlertFile(RulesFolder(), alertName);
    if (!file.empty() && SoundQueue.IndexOf(file) < 0)
        SoundQueue.Add(file);
}

void TEMailTest::QueuePriorityAlert(int ruleIndex)
{
    std::string name = PriorityAlertName;
    // Text after the ninth field of the matched rule names the alert; the fields themselves
    // (an alternate folder, a pattern) never do.
    std::vector<std::string> fields = SplitText(PriorityRules[ruleIndex], '|');
    if (fields.size() > RuleFieldCount && !Trim(fields.back()).empty())
        name = Trim(fields.back());
    if (!name.empty() && SoundQueue.IndexOf(name) < 0)
        QueueSound(name);
}

bool TEMailTest::TestLine(const std::string &line, int n, int kind)
{
    TStringList *rules = nullptr;
    if (kind == tkPriority || kind == tkPriorityMember)
        rules = &PriorityRules;
    else if (kind == tkReject || kind == tkRejectMember)
        rules = &RejectRules;
    if (rules == nullptr || rules->Empty())
        return false;
    TUtils::ProcessMessages();
    if (TUtils::Terminating())
        return false;
    std::vector<std::string> fields = SplitText(line, '|');
    ++TestCount;
    CurrentFrom = fields[0];
    CurrentSubject = fields.size() > 1 ? fields[1] : std::string();

    TRuleActions actions;
    int best = -1;
    try {
        best = MatchRules(CurrentFrom, CurrentSubject, actions, *rules);
    } catch (const std::exception &) {
        if (Utils)
            Utils->DebugLog("Exception scanning for text");
        return false;
    }
    if (kind == tkPriorityMember || kind == tkRejectMember)
        return best >= 0;
    if (best < 0)
        return false;
    if (kind == tkPriority) {
        // A message tried again raised its alert when it came.
        if (!IsRetry(line)) {
            QueuePriorityAlert(best);
            PriorityFound = true;
        }
        actions.SaveRejected = false;
        // A repeat test after a deletion does not carry out the same actions twice.
        if (HasLine(ActedLines, line))
            return true;
    } else {
        if (Utils)
            Utils->DebugLog("Rejecting Msg from: %s-%s", CurrentFrom.c_str(),
                            CurrentSubject.c_str());
        actions.Delete = true;
        actions.SaveRejected = Globals != nullptr && Globals->Config.SaveRejected;
    }
    ActingLine = line;
    bool ok = DoActions(n, actions,
                        kind == tkReject ? TMailSession::TRemoval::Reject
                                         : TMailSession::TRemoval::Delete);
    ActingLine.clear();
    if (ok) {
        ActedLines.Add(line);
        // A repeat test did what an earlier one could not: the message is done with.
        for (int i = FailedLines.Count() - 1; i >= 0; --i)
            if (FailedLines[i] == line)
                FailedLines.Delete(i);
    } else {
        FailedLines.Add(line);
    }
    return ok;
}

bool TEMailTest::ForwardMessage(int n, const TRuleActions &actions)
{
    if (SMTPFunc == nullptr || Globals == nullptr || Mail == nullptr || Mailbox == nullptr)
        return false;
    TOutgoingMessage &outgoing = SMTPFunc->Outgoing;
    outgoing = TOutgoingMessage();
    outgoing.Recipients.Add(actions.ForwardTo);
    outgoing.Date = TUtils::TimeStamp();
    outgoing.Sender = MailboxSenderAddress(Mailbox->Caption, Mailbox->Cell(mcMailServer));
    outgoing.Subject = Mail->Summary.Subject;
    if (actions.ToMobile) {
        std::string text = Trim(Mail->Summary.Subject + " " + TSMTPFunc::PhoneText(Mail->RawLines));
        // Cut on a character boundary: half a character would garble the whole short text.
        outgoing.Text.Add(CutUtf8(text, actions.MaxSize));
        return SMTPFunc->SendPlain(Globals->Config);
    }
    outgoing.Text = Mail->RawLines;
    return SMTPFunc->Forward(Globals->Config, nullptr);
}

std::string TEMailTest::LineKey(const std::string &line) const
{
    return MailboxAddress() + "\n" + line;
}

std::string TEMailTest::ActionKey(int n) const
{
    if (ActingLine.empty())
        return std::string();
    const int k = n - Base;
    const std::string message =
        k >= 0 && size_t(k) < MessageIds.size() ? MessageIds[size_t(k)] : Format("#%d", n + 1);
    return MailboxAddress() + "\n" + message + "\n" + ActingLine;
}

// Whether the fields read from the server are those of the line the rule acts on: a server
// may reorder its messages or hand their ids to others between sessions, and a listing by
// size cannot tell two messages of one size apart.
bool TEMailTest::ShowsActingLine(const TPop3Summary &fields, int64_t size) const
{
    const std::vector<std::string> line = SplitText(ActingLine, '|');
    return line.size() == SummaryFieldCount && line[0] == SummaryField(fields.From) &&
           line[1] == SummaryField(fields.Subject) && line[2] == SummaryField(fields.MessageId) &&
           line[SummarySizeField] ==
               Format("%lld", static_cast<long long>(std::min<int64_t>(size, INT32_MAX)));
}

// Nothing is done to a message that is not the one its line describes; the mailbox is listed
// afresh (without the id cache that led to it) by the repeat test, once per check.
void TEMailTest::ActingMessageMismatch(int n)
{
    if (Utils)
        Utils->DebugLog("Message %d on the server is not the one listed for: %s - listing again", n,
                        MailboxAddress().c_str());
    const std::string cache = UidCachePath();
    if (!cache.empty())
        std::remove(cache.c_str());
    if (!Relisted)
        ListingStale = true;
}

// Retrieves message n for the actions of the acting line; false when it could not be had or
// is another message.
bool TEMailTest::RetrieveActingMessage(int n)
{
    if (Mail == nullptr || !Mail->GetMessage(n))
        return false;
    const int64_t size = Mail->MessageSize(n);
    if (ShowsActingLine(SummarizeHeader(Mail->RawLines.Items()), size))
        return true;
    ActingMessageMismatch(n);
    return false;
}

// Reads the header of message n before it is deleted unread: false when it could not be read
// or is another message.
bool TEMailTest::ConfirmActingMessage(int n)
{
    if (Mail == nullptr || !Mail->GetSummary(n))
        return false;
    TPop3Summary fields;
    fields.From = Mail->Summary.From;
    fields.Subject = Mail->Summary.Subject;
    fields.MessageId = Mail->Summary.MessageId;
    if (ShowsActingLine(fields, Mail->Summary.Size))
        return true;
    ActingMessageMismatch(n);
    return false;
}

bool TEMailTest::IsRetry(const std::string &line) const
{
    return KeptForRetry.count(LineKey(line)) > 0;
}

std::string TEMailTest::UniqueIdOf(int k) const
{
    return k >= 0 && size_t(k) < MessageIds.size() ? MessageIds[size_t(k)] : std::string();
}

bool TEMailTest::Announces(int k) const
{
    return k >= 0 && k < CurrentLines.Count() && size_t(k) < Known.size() && !Known[k] &&
           !IsRetry(CurrentLines[k]) && (k >= ToLines.Count() || Aliases.Matches(ToLines[k]));
}

// Whether the mailbox changed only by messages an earlier check kept on the server for another
// try of their actions.
bool TEMailTest::OnlyRetriesChanged() const
{
    int retries = 0;
    for (int k = 0; k < CurrentLines.Count(); ++k) {
        if (Known[k])
            continue;
        if (!IsRetry(CurrentLines[k]))
            return false;
        ++retries;
    }
    return retries > 0 && CurrentLines.Count() - retries == StoredLines.Count();
}

// The mailbox's messages whose actions failed in this test were announced in it; the next
// tries announce them no more.
void TEMailTest::RememberRetries()
{
    const std::string prefix = LineKey("");
    for (auto key = KeptForRetry.lower_bound(prefix);
         key != KeptForRetry.end() && key->compare(0, prefix.size(), prefix) == 0;)
        key = KeptForRetry.erase(key);
    for (const std::string &line : FailedLines)
        KeptForRetry.insert(LineKey(line));
}

bool TEMailTest::DoActions(int n, TRuleActions &actions, TMailSession::TRemoval why)
{
    if (!actions.Forward && !actions.Delete && !actions.SaveToInbox && !actions.SaveToAltFolder)
        return true;
    const std::string key = ActionKey(n);
    auto known = DoneActions.find(key);
    unsigned done = known != DoneActions.end() ? known->second : 0;
    const bool retrieves =
        actions.Forward || actions.SaveToInbox || actions.SaveToAltFolder || actions.SaveRejected;
    bool ok = true;
    bool confirmed = false; // message n was retrieved and is the line's
    try {
        if (retrieves) {
            unsigned targets = 0;
            if (actions.SaveRejected)
                targets |= stRejected;
            if (actions.SaveToInbox)
                targets |= stInbox;
            if (actions.SaveToAltFolder)
                targets |= stAltFolder;
            const unsigned missing = targets & ~done;
            const bool forward = actions.Forward && (done & ForwardDone) == 0;
            // What an earlier try did is not done again: only the missing copies are
            // written, a forward that went out is not sent twice.
            if (missing != 0 || forward) {
                unsigned written = 0;
                ok = confirmed = RetrieveActingMessage(n + 1);
                if (ok)
                    ok = SaveRetrievedMessage(missing, actions.AltFolder, &written);
                done |= written;
                if (ok && forward) {
                    ok = ForwardMessage(n, actions);
                    if (ok)
                        done |= ForwardDone;
                }
            }
        }
    } catch (const std::exception &) {
        if (Utils)
            Utils->DebugLog("Exception processing actions");
        ok = false;
    }
    // A message leaves the server only once everything its rule asked for succeeded. A
    // retrieved message goes too when the mailbox does not keep mail on the server.
    const bool remove =
        actions.Delete || (retrieves && Mail != nullptr && Mail->DeleteAfterRetrieve);
    bool deleted = false;
    if (ok && remove && Mail != nullptr) {
        ok = confirmed || ConfirmActingMessage(n + 1);
        deleted = ok && Mail->DeleteMessage(n + 1, why);
        ok = deleted;
    }
    if (deleted) {
        Deleted = true;
        if (!key.empty())
            AwaitingCommit.push_back({key, MailboxAddress(), ActingLine, Mail->Session()});
    }
    // The record is kept while something is left to do or a deletion is not yet committed.
    if (!key.empty()) {
        if (ok && !deleted)
            DoneActions.erase(key);
        else if (done != 0)
            DoneActions[key] = done;
    }
    return ok;
}

// Deletions of earlier sessions that QUIT confirmed are done with; those it did not confirm
// stay to do, and their lines stay out of "LastMail.ini" so the next check deletes them.
void TEMailTest::SettleDeletions()
{
    if (Mail == nullptr)
        return;
    const std::string mailbox = MailboxAddress();
    std::vector<TAwaitingDelete> pending;
    for (TAwaitingDelete &entry : AwaitingCommit) {
        switch (Mail->DeleteOutcome(entry.Session)) {
        case TMailSession::TDeleteOutcome::Pending:
            pending.push_back(std::move(entry));
            break;
        case TMailSession::TDeleteOutcome::Committed:
            DoneActions.erase(entry.Key);
            break;
        case TMailSession::TDeleteOutcome::Lost:
            if (entry.Mailbox == mailbox)
                FailedLines.Add(entry.Line);
            break;
        }
    }
    AwaitingCommit = std::move(pending);
}

bool TEMailTest::WriteMessageFile(const std::string &path, const std::string &bytes)
{
    if (path.empty() || !platform::WriteFileAtomic(path, bytes)) {
        if (Utils)
            Utils->DebugLog("Can't save file:%s", path.c_str());
        return false;
    }
    return true;
}

bool TEMailTest::SaveMessage(int n, unsigned targets, const std::string &altFolder,
                             unsigned *written)
{
    if (written != nullptr)
        *written = 0;
    if (Mail == nullptr || !Mail->GetMessage(n))
        return false;
    return SaveRetrievedMessage(targets, altFolder, written);
}

bool TEMailTest::SaveRetrievedMessage(unsigned targets, const std::string &altFolder,
                                      unsigned *written)
{
    if (written != nullptr)
        *written = 0;
    const std::string base = SavedMessageBaseName(Mail->Summary.From, Mail->Summary.Date);
    const std::string bytes = LinesAsMessage(Mail->RawLines);
    bool ok = true;
    for (unsigned target : {stRejected, stTempFile, stInbox, stAltFolder}) {
        if ((targets & target) == 0)
            continue;
        std::string folder;
        if (target == stRejected) {
            folder = Globals != nullptr ? Globals->RejectedPath : std::string();
            // It lies in the rules folder, which the user may have moved since the start.
            if (!folder.empty())
                platform::MakeFolder(TUtils::RemoveTrailingBackslash(folder));
        } else if (target == stInbox)
            folder = InboxPath;
        else if (target == stAltFolder)
            folder = altFolder;
        std::string path;
        if (target == stTempFile)
            path = TempMessagePath();
        else if (!folder.empty())
            path = FreeMessageFileName(folder, base);
        if (path.empty() && target != stTempFile) {
            // No folder or no free name in it: nothing is written, the log names the file.
            path =
                (folder.empty() ? std::string() : TUtils::AddBackslash(folder)) + base + "_000.eml";
            if (Utils)
                Utils->DebugLog("Can't save file:%s", path.c_str());
            ok = false;
            continue;
        }
        if (!WriteMessageFile(path, bytes))
            ok = false;
        else if (written != nullptr)
            *written |= target;
    }
    return ok;
}

void TEMailTest::TestNewMessages(bool testRejections)
{
    LoadRules(tkReject);
    LoadRules(tkPriority);
    for (int k = CurrentLines.Count() - 1; k >= FirstNew; --k) {
        // Once a message was not the one its line described, no other number is trusted.
        if (TUtils::Terminating() || ListingStale)
            return;
        if (Known[k] || !Aliases.Matches(ToLines[k]))
            continue;
        if (TestLine(CurrentLines[k], Base + k, tkPriority) || ListingStale)
            continue;
        if (testRejections && TestLine(CurrentLines[k], Base + k, tkReject))
            Deleted = true;
    }
}

void TEMailTest::FillSummaryRow(bool newMail)
{
    if (SummaryRow == nullptr || Mailbox == nullptr)
        return;
    if (newMail && SummaryRow->ImageIndex < siPriorityMail)
        SummaryRow->ImageIndex = siNewMail;
    if (PriorityFound)
        SummaryRow->ImageIndex = siPriorityMail;
    if (FlagCellSet(Mailbox->Cell(mcAliasActive)))
        ShowTestedMail();
}

// The Summary row of an alias-tested mailbox shows the count of its own messages and the
// last one's sender and subject, as far as password protection lets it.
void TEMailTest::ShowTestedMail()
{
    SummaryRow->SetCell(scMsgs, Format("%d", TestCount));
    const TShownMail shown = MaskedMail({CurrentFrom, CurrentSubject, {}, {}, {}}, *Mailbox);
    SummaryRow->SetCell(scFrom, shown.From);
    SummaryRow->SetCell(scSubject, shown.Subject);
}

void TEMailTest::RefreshRowFromStoredLines()
{
    if (SummaryRow == nullptr || Mailbox == nullptr || !FlagCellSet(Mailbox->Cell(mcAliasActive)))
        return;
    TestCount = 0;
    for (const std::string &line : StoredLines) {
        TRuleFields fields = SplitRule(line);
        if (!Aliases.Matches(fields[SummaryToField]))
            continue;
        ++TestCount;
        CurrentFrom = fields[0];
        CurrentSubject = fields[1];
    }
    ShowTestedMail();
}

bool TEMailTest::TestMail(int index, int count, bool again)
{
    Deleted = false;
    ReadFailed = false;
    // The repeat test after a message did not match its line tests the rejections as well.
    const bool relist = again && ListingStale;
    ListingStale = false;
    if (!again) {
        ActedLines.Clear();
        FailedLines.Clear();
        Relisted = false;
    }
    Relisted = Relisted || relist;
    if (count <= 0 || !StartTest(index)) {
        ClearLists();
        return false;
    }
    // The repeat tests after a deletion keep the alias list the check read.
    if (!again)
        Aliases = TAliasTest(Mailbox);
    SettleDeletions();
    ClearLists();
    TestCount = 0;
    MessageCount = count;
    CacheInLine = false;
    StoredRejectHit = false;
    const std::string lastMail =
        InboxPath.empty() ? std::string() : TUtils::AddBackslash(InboxPath) + names::LastMailFile;
    if (!lastMail.empty())
        platform::RecoverFileTail(lastMail);
    LoadRules(tkReject);
    const TAppended appended = again ? TAppended::No : FetchAppendedOnly(lastMail);
    if (appended == TAppended::Unchanged) {
        ClearLists();
        return false;
    }
    bool fetched = true;
    if (appended == TAppended::No) {
        ListFile(true, TListWhich::StoredLines, lastMail);
        // A rejection rule added since the last check makes every message count as new. Mail
        // for other addresses is never tested, so it does not count.
        for (int i = 0; i < StoredLines.Count(); ++i) {
            if (Aliases.Matches(SplitRule(StoredLines[i])[SummaryToField]) &&
                TestLine(StoredLines[i], i, tkRejectMember)) {
                StoredLines.Clear();
                StoredRejectHit = true;
                break;
            }
        }
        if (MailboxUnchanged()) {
            RefreshRowFromStoredLines();
            ClearLists();
            return false;
        }
        fetched = FetchCurrentLines(again);
    }
    // Messages kept on the server for another try of their actions announced themselves when
    // they came; trying them again is no news.
    const bool news = !fetched || !OnlyRetriesChanged();
    if (news && !ArrivalAlertName.empty() && !SameText(ArrivalAlertName, NoAlert) &&
        SoundQueue.IndexOf(ArrivalAlertName) < 0)
        QueueSound(ArrivalAlertName);
    if (!fetched) {
        ReadFailed = true;
        ClearLists();
        return false;
    }
    TestNewMessages(!again || relist);

    if (!Deleted && !ListingStale && !TUtils::Terminating()) {
        const bool newMail = news && !CurrentLines.Empty();
        if (newMail)
            NewMailFound = true;
        FillSummaryRow(newMail);
        if (OnNewMailTested)
            OnNewMailTested(*this);
        RememberRetries();
        // A message whose actions failed stays out of the list, so the next check tries it
        // again.
        for (const std::string &line : FailedLines) {
            for (int i = CurrentLines.Count() - 1; i >= 0; --i) {
                if (CurrentLines[i] == line)
                    CurrentLines.Delete(i);
            }
        }
        KeepCheckState(lastMail, SaveCurrentLines(lastMail));
    }
    ClearLists();
    return Deleted || ListingStale;
}

// ---- a check of a mailbox that only grew

std::string TEMailTest::CheckStatePath() const
{
    return InboxPath.empty() ? std::string()
                             : TUtils::AddBackslash(InboxPath) + names::CheckStateFile;
}

namespace {

const char CheckStateTag[] = "CorvexCheckState 1";

std::string StampText(const platform::TFileStamp &stamp)
{
    return Format("%llu %lld %llu", static_cast<unsigned long long>(stamp.Size),
                  static_cast<long long>(stamp.ChangedNs),
                  static_cast<unsigned long long>(stamp.Inode));
}

// One line: the tag, the fingerprint of the rules, the stamps of "LastMail.ini" and the cache.
std::string CheckStateText(uint64_t fingerprint, const platform::TFileStamp &lastMail,
                           const platform::TFileStamp &cache)
{
    return Format("%s %016llx %s %s\n", CheckStateTag, static_cast<unsigned long long>(fingerprint),
                  StampText(lastMail).c_str(), StampText(cache).c_str());
}

} // namespace

// What decides whether a stored line counts as tested: the rejection rules.
uint64_t TEMailTest::StoredLinesFingerprint() const
{
    return TUidCache::Checksum(RejectRules.Text());
}

// Whether the stored line would make every message count as new at the next check.
bool TEMailTest::RejectsStoredLine(const std::string &line)
{
    std::vector<std::string> fields = SplitText(line, '|');
    if (fields.size() <= size_t(SummaryToField) || !Aliases.Matches(fields[SummaryToField]))
        return false;
    TRuleActions actions;
    try {
        return MatchRules(fields[0], fields[1], actions, RejectRules) >= 0;
    } catch (const std::exception &) {
        if (Utils)
            Utils->DebugLog("Exception scanning for text");
        return true;
    }
}

// "LastMail.ini" lists the messages before Base as they are: the lines of the messages after
// them are added at its end.
bool TEMailTest::SaveCurrentLines(const std::string &lastMail)
{
    if (Base == 0)
        return ListFile(false, TListWhich::CurrentLines, lastMail);
    platform::TFileStamp stamp;
    if (platform::FileStamp(lastMail, stamp) &&
        platform::ReplaceFileTail(lastMail, stamp.Size, CurrentLines.Text()))
        return true;
    if (Utils)
        Utils->DebugLog("Can't save file:%s", lastMail.c_str());
    return false;
}

// Records that "LastMail.ini" now lists exactly what the id cache lists, none of it a line the
// rejection rules match, so that the next check of a mailbox that only grew needs neither file
// whole. Without that, the record goes. It is not flushed: a record lost in a crash costs one
// full check, and one that outlives the files it describes does not match their stamps.
void TEMailTest::KeepCheckState(const std::string &lastMail, bool saved)
{
    const std::string path = CheckStatePath();
    if (path.empty())
        return;
    bool holds = saved && CacheInLine && SummaryFetch == TSummaryFetch::UniqueIds &&
                 !StoredRejectHit && !FlagCellSet(Mailbox->Cell(mcAliasActive)) &&
                 Base + CurrentLines.Count() == MessageCount &&
                 MessageIds.size() == size_t(CurrentLines.Count());
    for (int k = FirstNew; holds && k < CurrentLines.Count(); ++k)
        holds =
            (size_t(k) < Known.size() && Known[size_t(k)]) || !RejectsStoredLine(CurrentLines[k]);
    platform::TFileStamp lastMailStamp, cacheStamp;
    holds = holds && platform::FileStamp(lastMail, lastMailStamp) &&
            platform::FileStamp(UidCachePath(), cacheStamp) &&
            platform::WriteFileUnflushed(
                path, CheckStateText(StoredLinesFingerprint(), lastMailStamp, cacheStamp));
    if (!holds)
        std::remove(path.c_str());
}

// Whether the record of the last check still holds: both files as it left them, the same
// rejection rules; tail gets the cache's last entry.
bool TEMailTest::CheckStateHolds(const std::string &lastMail, TUidCache::TTail &tail)
{
    std::string recorded;
    platform::TFileStamp lastMailStamp, cacheStamp;
    const std::string cache = UidCachePath();
    return !lastMail.empty() && platform::ReadWholeFile(CheckStatePath(), recorded) &&
           TUidCache::ReadTail(cache, tail) && platform::FileStamp(lastMail, lastMailStamp) &&
           platform::FileStamp(cache, cacheStamp) &&
           recorded == CheckStateText(StoredLinesFingerprint(), lastMailStamp, cacheStamp);
}

// A check whose time and memory grow with the new messages alone, for a mailbox that only grew
// since a check that recorded its state: the stored lines are those the cache lists, so
// neither file is read whole. The id of the last known message and the summaries of the new
// ones come in one round trip; CurrentLines then holds the new messages' lines only (Base
// tells their numbers), and the id cache gets their entries at its end. No when that does not
// apply, and the full check runs.
TEMailTest::TAppended TEMailTest::FetchAppendedOnly(const std::string &lastMail)
{
    TUidCache::TTail tail;
    if (SummaryFetch != TSummaryFetch::UniqueIds || Mail == nullptr || !Mail->MayOfferUniqueIds() ||
        FlagCellSet(Mailbox->Cell(mcAliasActive)) || !CheckStateHolds(lastMail, tail))
        return TAppended::No;
    const int known = int(std::min<size_t>(tail.Count, INT_MAX));
    if (known == 0 || known > MessageCount)
        return TAppended::No;
    if (known == MessageCount) {
        // A failed read counts as unchanged, as for the full check.
        if (!Mail->GetSummary(MessageCount)) {
            ReadFailed = true;
            return TAppended::Unchanged;
        }
        return SummaryLine(Mail->Summary) == tail.Last.Line ? TAppended::Unchanged : TAppended::No;
    }
    FreshNumber = Mail->SummaryNumber();
    FreshLine = FreshNumber > 0 ? SummaryLine(Mail->Summary) : std::string();
    FreshTo = FreshNumber > 0 ? Trim(Mail->Summary.To) : std::string();
    std::vector<std::string> tailIds;
    std::vector<TMailSummary> fetched;
    if (!FetchGrownTail(known, MessageCount, tailIds, fetched) || tailIds.front() != tail.Id ||
        !CachedLineFits(tail.Last.Line, known))
        return TAppended::No;
    std::vector<std::string> ids(tailIds.begin() + 1, tailIds.end());
    if (!TUidCache::UsableIds(ids, ids.size()) ||
        std::find(ids.begin(), ids.end(), tail.Id) != ids.end())
        return TAppended::No;
    Base = known;
    for (const TMailSummary &summary : fetched)
        AddCurrentLine(SummaryLine(summary), Trim(summary.To));
    PreferFreshSummary();
    MessageIds = std::move(ids);
    const std::string cache = UidCachePath();
    CacheInLine = !TUtils::Terminating() &&
                  TUidCache::Append(cache, MessageIds, ToLines.Items(), CurrentLines.Items());
    if (!CacheInLine && Utils)
        Utils->DebugLog("Can't save file:%s", cache.c_str());
    Known.assign(size_t(CurrentLines.Count()), false);
    FirstNew = 0;
    return TAppended::Fetched;
}
