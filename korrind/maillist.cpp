#include "korrind/maillist.h"

#include <algorithm>
#include <map>
#include <set>
#include <unistd.h>
#include <unordered_map>

#include "common/alias.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/net/mimeheader.h"
#include "common/platform/files.h"
#include "common/text.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/engine/mailsession.h"
#include "korrind/engine/uidcache.h"

namespace {

constexpr size_t MaxBaseNameBytes = 200; // leaves room for the counter within a file name
constexpr int MaxNameCounter = 998;
constexpr char FileNameBreaks[] = " <>,?/\\:|_";

bool IsBreak(char c)
{
    return std::string_view(FileNameBreaks).find(c) != std::string_view::npos;
}

bool Pump()
{
    TUtils::ProcessMessages();
    return !TUtils::Terminating();
}

// Summary fields from one line of "LastMail.ini" (From, Subject, MessageId, To, Date, Size,
// Received).
TMailSummary SummaryFromCacheLine(const std::string &line)
{
    std::vector<std::string> fields = SplitText(TUtils::BarsToNewlines(line), '\n');
    fields.resize(7);
    TMailSummary summary;
    summary.From = fields[0];
    summary.Subject = fields[1];
    summary.MessageId = fields[2];
    summary.To = fields[3];
    summary.Date = fields[4];
    summary.Size = static_cast<int32_t>(StrToIntDef(fields[5], 0));
    summary.Received = fields[6];
    return summary;
}

// The message numbers under each unique id of the server's listing (index = number - 1).
using TIdHolders = std::unordered_map<std::string, std::vector<int>>;

TIdHolders HoldersOf(const std::vector<std::string> &ids)
{
    TIdHolders holders;
    for (size_t k = 0; k < ids.size(); ++k)
        holders[ids[k]].push_back(int(k) + 1);
    return holders;
}

// Where the row's message should be now: the message under its unique id, or its own number
// when it has no id or the server gives none. When several messages share the id (a server
// breaking the id rules), only its own number can be told apart from the others. 0: gone.
int CandidateNumber(const TMailListRow &row, const TIdHolders &holders, int count)
{
    if (row.UniqueId.empty() || holders.empty())
        return row.Number >= 1 && row.Number <= count ? row.Number : 0;
    auto found = holders.find(row.UniqueId);
    if (found == holders.end())
        return 0;
    const std::vector<int> &numbers = found->second;
    if (numbers.size() == 1)
        return numbers.front();
    return std::find(numbers.begin(), numbers.end(), row.Number) != numbers.end() ? row.Number : 0;
}

bool ShowsRow(const TMailSummary &summary, const TMailListRow &row)
{
    return Trim(summary.MessageId) == Trim(row.MessageId) && summary.Size == row.Size;
}

} // namespace

std::string TMailListRow::Text(int column) const
{
    switch (column) {
    case mlNumber:
        return std::to_string(Number);
    case mlFrom:
        return From;
    case mlSubject:
        return Subject;
    case mlDate:
        return Date;
    case mlSize:
        return std::to_string(Size);
    case mlTo:
        return To;
    case mlUser:
        return User;
    case mlReplyTo:
        return Received;
    case mlMailbox:
        return std::to_string(Mailbox);
    case mlRead:
        return Read ? maillisttext::Read : "";
    default:
        return "";
    }
}

std::string MakeFileName(const std::string &text, const std::string &separator)
{
    std::string name = Trim(text);
    size_t i = 0;
    while (i < name.size()) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 32 || c == 127)
            name[i] = '_';
        if (!IsBreak(name[i])) {
            ++i;
            continue;
        }
        bool nextBreaks = i + 1 < name.size() && IsBreak(name[i + 1]);
        if (nextBreaks && i + 1 != name.size() - 1) {
            name.erase(i, 1);
            continue;
        }
        if (i + 1 < name.size() && name[i + 1] >= 'a' && name[i + 1] <= 'z')
            name[i + 1] = static_cast<char>(name[i + 1] - 'a' + 'A');
        name.erase(i, 1);
        if (!separator.empty() && !(i > 0 && name.compare(i - 1, 1, separator) == 0)) {
            name.insert(i, separator);
            i += separator.size();
        }
    }
    return ReplaceAll(Trim(name), "\"", "");
}

// Saved copies are not flushed to disk one by one: saving never deletes, so a copy lost to a
// crash is still on the server, and a flush per message would cost more than its retrieval.
bool WriteNewMessageFile(const std::string &path, const TStringList &lines)
{
    if (platform::WriteNewFile(path, MessageFileBytes(lines)))
        return true;
    if (Utils)
        Utils->DebugLog("Can't save file:%s", path.c_str());
    return false;
}

// ---- opening and filling ---------------------------------------------------------------

void TMailList::Open(const std::string &mailboxName)
{
    MailboxName = mailboxName;
    AllListed = mailboxName.empty();
    Result = 0;
    Rows.clear();
}

std::string TMailList::Caption() const
{
    return AllListed ? maillisttext::CaptionAll
                     : Format(maillisttext::CaptionOne, MailboxName.c_str());
}

void TMailList::Status(const std::string &text)
{
    if (OnStatus)
        OnStatus(text);
}

bool TMailList::Hold()
{
    return !OnHoldSession || OnHoldSession(true);
}

void TMailList::Release()
{
    if (OnHoldSession)
        OnHoldSession(false);
}

bool TMailList::Listed(int mailboxRow) const
{
    const TListRow &mailbox = Mailboxes[size_t(mailboxRow)];
    return mailbox.Checked && (AllListed || mailbox.Caption == MailboxName);
}

std::string TMailList::InboxFolder(int mailboxRow) const
{
    if (mailboxRow < 0 || mailboxRow >= int(Mailboxes.size()))
        return std::string();
    return Mailboxes[size_t(mailboxRow)].Cell(mcInboxPath);
}

void TMailList::Fill()
{
    // The rows shown stay as they are until the new ones are complete: one reset of the view.
    Incoming.clear();
    if (Utils) {
        Utils->SortColumn = 0;
        Utils->SortDescending = false;
    }
    for (int row = 0; row < int(Mailboxes.size()); ++row) {
        if (TUtils::Terminating())
            break;
        if (Listed(row))
            FillMailbox(row);
    }
    Rows = std::move(Incoming);
    Incoming.clear();
    Sort();
    if (OnRowsReset)
        OnRowsReset(true);
    Status(Format(maillisttext::MessageCount, int(Rows.size())));
}

// The cache holds one line per message of the last check; it is used only when it holds as
// many lines as the server has messages and its last line is the server's newest message.
bool TMailList::ReadCache(int mailboxRow, int count, TStringList &cache)
{
    if (count <= 2)
        return false;
    const std::string path = TUtils::AddBackslash(InboxFolder(mailboxRow)) + names::LastMailFile;
    if (!cache.LoadFromFile(path)) {
        if (Utils)
            Utils->DebugLog(maillisttext::LastMailError, path.c_str());
        cache.Clear();
        return false;
    }
    return cache.Count() == count && Mail->GetSummary(count) &&
           SummaryLine(Mail->Summary) == cache[count - 1];
}

void TMailList::FillMailbox(int mailboxRow)
{
    if (!OpenSession(mailboxRow))
        return;
    const int count = Mail->MessageCount();
    std::vector<std::string> ids;
    if (count > 0 && !Mail->GetUniqueIds(ids))
        ids.clear();
    TStringList cache;
    if (ReadCache(mailboxRow, count, cache)) {
        // The server may have reordered its messages since the cache was written: a cached
        // row takes the id of the message it describes, not of the one at its number.
        const std::vector<std::string> cachedIds = IdsByContent(mailboxRow, cache, ids);
        for (int n = 1; n <= count && !TUtils::Terminating(); ++n)
            AddRow(n, mailboxRow, SummaryFromCacheLine(cache[n - 1]), cachedIds);
    } else if (count > 0) {
        std::vector<TMailSummary> summaries;
        Mail->GetSummaries(1, count, summaries); // what arrived is listed even after a failure
        for (size_t i = 0; i < summaries.size(); ++i)
            AddRow(int(i) + 1, mailboxRow, summaries[i], ids);
    }
    Mail->Disconnect();
    Release();
}

std::vector<std::string> TMailList::IdsByContent(int mailboxRow, const TStringList &lines,
                                                 const std::vector<std::string> &ids) const
{
    std::vector<std::string> found(size_t(lines.Count()));
    TUidCache known;
    if (ids.empty() ||
        !known.Load(TUtils::AddBackslash(InboxFolder(mailboxRow)) + names::UidCacheFile))
        return found;
    std::unordered_map<std::string, std::string> idOfLine; // "" for a line of several ids
    for (const std::string &id : ids) {
        if (const TUidCache::TEntry *entry = known.Find(id)) {
            auto [at, added] = idOfLine.emplace(entry->Line, id);
            if (!added)
                at->second.clear();
        }
    }
    for (int n = 0; n < lines.Count(); ++n) {
        auto at = idOfLine.find(lines[n]);
        if (at != idOfLine.end())
            found[size_t(n)] = at->second;
    }
    return found;
}

void TMailList::AddRow(int number, int mailboxRow, const TMailSummary &summary,
                       const std::vector<std::string> &ids)
{
    const TListRow &mailbox = Mailboxes[size_t(mailboxRow)];
    if (!AliasMatches(summary.To, &mailbox))
        return;
    TMailListRow row;
    row.Number = number;
    row.Mailbox = mailboxRow;
    row.From = summary.From;
    row.Subject = summary.Subject;
    row.Date = summary.Date;
    row.Size = summary.Size;
    row.To = summary.To;
    row.User = mailbox.Caption;
    row.Received = summary.Received;
    row.MessageId = summary.MessageId;
    if (number - 1 < int(ids.size()))
        row.UniqueId = ids[size_t(number - 1)];
    row.HeaderText = Trim(summary.HeaderLines.Text());
    row.Multipart = ContainsText(row.HeaderText, "multipart");
    Incoming.push_back(std::move(row));
}

// ---- sorting ---------------------------------------------------------------------------

void TMailList::SortByColumn(int column)
{
    if (Utils)
        Utils->SortListView(column);
    Sort();
    if (OnRowsReset)
        OnRowsReset(false);
}

// The larger value first unless descending: after a fill the newest message is on top.
void TMailList::Sort()
{
    const int column = Utils ? Utils->SortColumn : 0;
    const bool descending = Utils && Utils->SortDescending;
    const bool numeric = column == mlNumber || column == mlSize;
    auto before = [&](const TMailListRow &a, const TMailListRow &b) {
        if (numeric) {
            long long x = column == mlNumber ? a.Number : a.Size;
            long long y = column == mlNumber ? b.Number : b.Size;
            return descending ? x < y : x > y;
        }
        std::string x = UpperCase(a.Text(column)), y = UpperCase(b.Text(column));
        return descending ? x < y : x > y;
    };
    std::stable_sort(Rows.begin(), Rows.end(), before);
}

// ---- acting on rows --------------------------------------------------------------------

std::vector<int> TMailList::CurrentNumbers(const std::vector<size_t> &rows)
{
    const int count = Mail->MessageCount();
    std::vector<std::string> ids;
    if (!Mail->GetUniqueIds(ids) || int(ids.size()) != count)
        ids.clear();
    const TIdHolders holders = HoldersOf(ids);
    std::vector<int> numbers(rows.size(), 0);
    for (size_t i = 0; i < rows.size(); ++i)
        numbers[i] = CandidateNumber(Rows[rows[i]], holders, count);

    // Each message found must still show the row's Message-ID and size.
    std::vector<int> wanted;
    for (int number : numbers)
        if (number > 0)
            wanted.push_back(number);
    std::sort(wanted.begin(), wanted.end());
    wanted.erase(std::unique(wanted.begin(), wanted.end()), wanted.end());
    std::vector<TMailSummary> summaries;
    Mail->GetSummaryBatch(wanted, summaries); // a summary that did not come confirms nothing
    std::set<int> taken;
    for (size_t i = 0; i < rows.size(); ++i) {
        if (numbers[i] <= 0)
            continue;
        const size_t at =
            size_t(std::lower_bound(wanted.begin(), wanted.end(), numbers[i]) - wanted.begin());
        const bool same = at < summaries.size() && ShowsRow(summaries[at], Rows[rows[i]]);
        if (!same || !taken.insert(numbers[i]).second)
            numbers[i] = 0;
    }
    return numbers;
}

std::vector<std::pair<int, std::vector<size_t>>>
TMailList::ByMailbox(const std::vector<size_t> &rows) const
{
    std::vector<std::pair<int, std::vector<size_t>>> groups;
    for (size_t row : rows) {
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const auto &g) { return g.first == Rows[row].Mailbox; });
        if (group == groups.end())
            groups.push_back({Rows[row].Mailbox, {row}});
        else
            group->second.push_back(row);
    }
    return groups;
}

bool TMailList::OpenSession(int mailbox)
{
    if (!Hold())
        return false;
    if (OnConnectMailbox && OnConnectMailbox(mailbox) && Mail->IsConnected())
        return true;
    Release();
    return false;
}

int TMailList::ForEachMessage(const std::vector<size_t> &rows,
                              const std::function<bool(size_t row, TStringList &lines)> &write,
                              int &skipped)
{
    int written = 0;
    for (const auto &[mailbox, mine] : ByMailbox(rows)) {
        if (TUtils::Terminating())
            break;
        if (!OpenSession(mailbox))
            continue;
        std::vector<int> now = CurrentNumbers(mine);
        std::map<int, size_t> rowOf;
        std::vector<int> numbers;
        for (size_t i = 0; i < mine.size(); ++i) {
            if (now[i] <= 0) {
                ++skipped;
                continue;
            }
            rowOf[now[i]] = mine[i];
            numbers.push_back(now[i]);
        }
        Mail->RetrieveMessages(numbers, [&](int number, TStringList &lines) {
            if (write(rowOf[number], lines))
                ++written;
            return Pump();
        });
        Mail->Disconnect();
        Release();
    }
    return written;
}

std::string TMailList::DefaultSaveName(size_t index) const
{
    const TMailListRow &row = Rows[index];
    const std::string folder = TUtils::AddBackslash(InboxFolder(row.Mailbox));
    std::string base =
        CutUtf8(ReplaceAll(MakeFileName(row.From, "") + row.Date, "/", "_"), MaxBaseNameBytes);
    // Neither hidden nor nameless.
    if (base.empty() || base.front() == '.')
        base.insert(0, "_");
    if (!TUtils::FileExists(folder + base + ".eml"))
        return base + ".eml";
    for (int counter = 1; counter <= MaxNameCounter; ++counter) {
        std::string name = base + Format("-%.3d.eml", counter);
        if (!TUtils::FileExists(folder + name))
            return name;
    }
    return std::string();
}

int TMailList::SaveRows(const std::vector<size_t> &rows)
{
    int skipped = 0, failed = 0;
    int saved = ForEachMessage(
        rows,
        [&](size_t row, TStringList &lines) {
            // A name taken meanwhile (another program saving there) moves on to the next.
            for (int attempt = 0; attempt < 3; ++attempt) {
                std::string name = DefaultSaveName(row);
                if (name.empty())
                    break;
                Status(Format(maillisttext::Saving, name.c_str()));
                if (WriteNewMessageFile(TUtils::AddBackslash(InboxFolder(Rows[row].Mailbox)) + name,
                                        lines))
                    return true;
            }
            ++failed;
            return false;
        },
        skipped);
    if (skipped > 0)
        Status(Format(maillisttext::SavedSkipped, saved, skipped));
    else if (failed > 0)
        Status(maillisttext::SaveError);
    return saved;
}

bool TMailList::SaveRowAs(size_t row, const std::string &file)
{
    int skipped = 0;
    // The user chose the file and confirmed replacing it in the dialog.
    int saved = ForEachMessage(
        {row},
        [&](size_t, TStringList &lines) {
            return platform::WriteFileAtomic(file, MessageFileBytes(lines));
        },
        skipped);
    Status(saved == 1 ? maillisttext::SaveOk : maillisttext::SaveError);
    return saved == 1;
}

bool TMailList::OpenRow(size_t row, const std::string &program)
{
    const std::string path = TEMailTest::TempMessagePath();
    if (path.empty())
        return false;
    platform::MakeFolderPath(TUtils::ExtractParent(path, "/"));
    ::unlink(path.c_str());
    int skipped = 0;
    int saved = ForEachMessage(
        {row},
        [&](size_t, TStringList &lines) {
            return platform::WriteFileAtomic(path, MessageFileBytes(lines));
        },
        skipped);
    if (saved != 1) {
        Status(maillisttext::SaveError);
        return false;
    }
    // No mail program of that name: the desktop opens the message with its own choice.
    if (Globals && !Globals->RunMailProgram(program, path) && Utils)
        Utils->ShellOpen(path, "", false);
    Rows[row].Read = true;
    if (OnRowsChanged)
        OnRowsChanged();
    return true;
}

bool TMailList::AddSender(const TMailListRow &row, bool reject, bool master) const
{
    return Globals != nullptr && Globals->AddRuleFromMessage(row.From, row.Subject, reject, master,
                                                             InboxFolder(row.Mailbox));
}

int TMailList::FindRow(int mailboxRow, const std::string &uniqueId, const std::string &messageId,
                       int32_t size) const
{
    for (size_t k = 0; k < Rows.size(); ++k) {
        const TMailListRow &row = Rows[k];
        if (row.Mailbox == mailboxRow && Trim(row.MessageId) == Trim(messageId) &&
            row.Size == size &&
            (uniqueId.empty() || row.UniqueId.empty() || row.UniqueId == uniqueId))
            return int(k);
    }
    return -1;
}

int TMailList::RejectRows(const std::vector<size_t> &rows)
{
    const bool keepCopy = Globals != nullptr && Globals->Config.SaveRejected;
    int rejected = 0;
    for (const auto &[mailbox, mine] : ByMailbox(rows)) {
        if (TUtils::Terminating())
            break;
        auto log = [&](const char *text, size_t row) {
            const std::string line =
                Format(text, Mailboxes[size_t(mailbox)].Caption.c_str(), Rows[row].From.c_str());
            if (Utils)
                Utils->DebugLog("%s", line.c_str());
            Status(line);
        };
        if (!OpenSession(mailbox)) {
            for (size_t row : mine)
                log(maillisttext::RejectFailed, row);
            continue;
        }
        const std::vector<int> now = CurrentNumbers(mine);
        std::vector<int> numbers;
        for (size_t i = 0; i < mine.size(); ++i) {
            if (now[i] <= 0)
                log(maillisttext::RejectGone, mine[i]);
            else if (keepCopy &&
                     (EMailTest == nullptr || !EMailTest->SaveMessage(now[i], stRejected, "")))
                log(maillisttext::RejectFailed, mine[i]); // never removed without its copy
            else
                numbers.push_back(now[i]);
        }
        std::vector<int> accepted = Mail->DeleteMessages(numbers, TMailSession::TRemoval::Reject);
        const uint32_t session = Mail->Session();
        Mail->Disconnect();
        if (!accepted.empty() &&
            Mail->DeleteOutcome(session) == TMailSession::TDeleteOutcome::Committed) {
            rejected += int(accepted.size());
            Result = 2;
        } else if (!numbers.empty()) {
            for (size_t row : mine)
                log(maillisttext::RejectFailed, row);
        }
        Release();
    }
    return rejected;
}

int TMailList::DeleteRows(const std::vector<size_t> &rows, bool smartRejection)
{
    if (smartRejection && OnAddSender)
        for (size_t row : rows)
            if (!Rows[row].Read)
                OnAddSender(Rows[row], true, true);

    int deleted = 0, skipped = 0, failed = 0;
    for (const auto &[mailbox, mine] : ByMailbox(rows)) {
        if (TUtils::Terminating())
            break;
        if (!OpenSession(mailbox)) {
            failed += int(mine.size());
            for (size_t row : mine)
                Status(Format(maillisttext::DeleteError, Rows[row].Number));
            continue;
        }
        std::vector<int> numbers;
        for (int number : CurrentNumbers(mine)) {
            if (number > 0)
                numbers.push_back(number);
            else
                ++skipped;
        }
        std::vector<int> accepted = Mail->DeleteMessages(numbers);
        const uint32_t session = Mail->Session();
        Mail->Disconnect();
        // Only QUIT makes the server remove them; a session lost before it keeps them all.
        if (!accepted.empty() &&
            Mail->DeleteOutcome(session) == TMailSession::TDeleteOutcome::Committed) {
            deleted += int(accepted.size());
            Result = 2;
        } else {
            accepted.clear();
        }
        for (int number : numbers) {
            if (std::find(accepted.begin(), accepted.end(), number) != accepted.end())
                continue;
            ++failed;
            std::string text = Format(maillisttext::DeleteError, number);
            if (Utils)
                Utils->DebugLog("%s", text.c_str());
            Status(text);
        }
        Release();
    }
    if (Result == 2)
        Fill();
    if (skipped > 0)
        Status(Format(maillisttext::DeletedSkipped, deleted, skipped));
    return deleted;
}
