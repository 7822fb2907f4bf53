#include "strenna/browser.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <numeric>
#include <sys/stat.h>
#include <unistd.h>

#include "common/net/mimeheader.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

constexpr size_t MaxHeaderValue = 512;
constexpr size_t MaxSubjectValue = 255;
constexpr int ProgressEvery = 64; // files between two progress reports

bool IsMessageFileName(const std::string &name)
{
    const std::string ext = browsertext::MessageExt;
    return name.size() > ext.size() && name.compare(name.size() - ext.size(), ext.size(), ext) == 0;
}

// The end of the header block: the position of its last line's end, and where the body starts.
void SplitHeader(std::string_view raw, std::string_view &header, std::string_view &body)
{
    size_t pos = 0;
    while (pos < raw.size()) {
        size_t end = raw.find('\n', pos);
        if (end == std::string_view::npos)
            end = raw.size();
        std::string_view line = raw.substr(pos, end - pos);
        if (line.empty() || line == "\r") {
            header = raw.substr(0, pos);
            body = raw.substr(std::min(end + 1, raw.size()));
            return;
        }
        pos = end + 1;
    }
    header = raw;
    body = std::string_view();
}

std::vector<std::string> HeaderLines(std::string_view header)
{
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < header.size()) {
        size_t end = header.find('\n', pos);
        if (end == std::string_view::npos)
            end = header.size();
        std::string_view line = header.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        lines.emplace_back(line);
        pos = end + 1;
    }
    return lines;
}

// A header field decoded and cut for display; "NA" when the message has none.
std::string ShownField(const std::vector<std::string> &unfolded, const char *name)
{
    for (const std::string &line : unfolded) {
        size_t colon = line.find(':');
        if (colon == std::string::npos || !SameText(Trim(line.substr(0, colon)), name))
            continue;
        return Trim(CutUtf8(DecodeHeaderWords(Trim(line.substr(colon + 1))), MaxHeaderValue));
    }
    return browsertext::NotFound;
}

// A parameter of a structured header value ("boundary", "filename"), without its quotes.
std::string Parameter(const std::string &value, const std::string &name)
{
    size_t pos = 0;
    while ((pos = FindText(value, name + "=", pos)) != std::string::npos) {
        const bool startsWord =
            pos == 0 || value[pos - 1] == ';' || value[pos - 1] == ' ' || value[pos - 1] == '\t';
        pos += name.size() + 1;
        if (!startsWord)
            continue;
        if (pos < value.size() && value[pos] == '"') {
            size_t close = value.find('"', pos + 1);
            return value.substr(pos + 1,
                                close == std::string::npos ? std::string::npos : close - pos - 1);
        }
        size_t end = value.find_first_of("; \t", pos);
        return value.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    }
    return std::string();
}

std::string FieldValue(const std::vector<std::string> &unfolded, const char *name)
{
    return HeaderField(unfolded, name);
}

// Walks the MIME parts of the body: every line "--boundary" of a known boundary starts a part
// whose header may name a file or a further boundary.
void FindAttachments(std::string_view body, std::vector<std::string> boundaries,
                     std::vector<std::string> &names)
{
    size_t pos = 0;
    while (pos < body.size()) {
        size_t dashes = body.find("--", pos);
        if (dashes == std::string_view::npos)
            return;
        pos = dashes + 2;
        if (dashes != 0 && body[dashes - 1] != '\n')
            continue;
        std::string_view rest = body.substr(pos);
        bool known = std::any_of(boundaries.begin(), boundaries.end(), [&](const std::string &b) {
            return rest.size() >= b.size() && rest.compare(0, b.size(), b) == 0 &&
                   rest.compare(b.size(), 2, "--") != 0;
        });
        if (!known)
            continue;
        size_t lineEnd = body.find('\n', pos);
        if (lineEnd == std::string_view::npos)
            return;
        std::string_view header, partBody;
        SplitHeader(body.substr(lineEnd + 1), header, partBody);
        const std::vector<std::string> unfolded = UnfoldHeaderLines(HeaderLines(header));
        std::string file = Parameter(FieldValue(unfolded, "Content-Disposition"), "filename");
        if (file.empty())
            file = Parameter(FieldValue(unfolded, "Content-Type"), "name");
        if (!file.empty())
            names.push_back(DecodeHeaderWords(file));
        std::string nested = Parameter(FieldValue(unfolded, "Content-Type"), "boundary");
        if (!nested.empty() &&
            std::find(boundaries.begin(), boundaries.end(), nested) == boundaries.end())
            boundaries.push_back(nested);
        pos = lineEnd + 1 + header.size();
    }
}

} // namespace

std::vector<TMessageFile> ListMessageFiles(const std::string &folder)
{
    std::vector<TMessageFile> files;
    const std::string path = TUtils::RemoveTrailingBackslash(folder);
    DIR *dir = ::opendir(path.empty() ? "/" : path.c_str());
    if (!dir)
        return files;
    const int dirFd = ::dirfd(dir);
    while (dirent *item = ::readdir(dir)) {
        std::string name = item->d_name;
        if (!IsMessageFileName(name))
            continue;
        struct stat info = {};
        if (::fstatat(dirFd, item->d_name, &info, 0) != 0 || !S_ISREG(info.st_mode) ||
            info.st_size == 0)
            continue;
        files.push_back({std::move(name), int64_t(info.st_size)});
    }
    ::closedir(dir);
    std::sort(files.begin(), files.end(),
              [](const TMessageFile &a, const TMessageFile &b) { return a.Name < b.Name; });
    return files;
}

bool ReadFileInto(const std::string &path, TFileBuffer &buffer)
{
    buffer.Size = 0;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info = {};
    const size_t expected = ::fstat(fd, &info) == 0 ? size_t(info.st_size) : 0;
    if (buffer.Bytes.size() < expected + 1)
        buffer.Bytes.resize(expected + 1);
    bool ok = true;
    for (;;) {
        if (buffer.Size == buffer.Bytes.size())
            buffer.Bytes.resize(buffer.Bytes.size() * 2 + 4096); // the file grew
        ssize_t got =
            ::read(fd, buffer.Bytes.data() + buffer.Size, buffer.Bytes.size() - buffer.Size);
        if (got < 0) {
            ok = false;
            break;
        }
        buffer.Size += size_t(got);
        // A short read of exactly the listed size is the end; no extra call to see it.
        if (got == 0 || (buffer.Size == expected && expected > 0))
            break;
    }
    ::close(fd);
    return ok;
}

TMessageFacts ReadMessageFacts(std::string_view raw, bool withAttachments)
{
    TMessageFacts facts;
    std::string_view header, body;
    SplitHeader(raw, header, body);
    const std::vector<std::string> unfolded = UnfoldHeaderLines(HeaderLines(header));
    facts.From = ShownField(unfolded, "From");
    facts.Subject = ShownField(unfolded, "Subject");
    facts.RawDate = ShownField(unfolded, "Date");
    facts.ContentType = ShownField(unfolded, "Content-Type");
    if (withAttachments && facts.ContentType != browsertext::NotFound) {
        std::string boundary = Parameter(FieldValue(unfolded, "Content-Type"), "boundary");
        if (!boundary.empty())
            FindAttachments(body, {boundary}, facts.Attachments);
    }
    return facts;
}

std::string DateSortKey(const std::string &date)
{
    if (date.size() < 10)
        return date;
    return date.substr(6, 4) + date.substr(0, 2) + date.substr(3, 2) +
           (date.size() > 11 ? date.substr(11, 8) : std::string());
}

std::string MailboxNameOf(const std::string &folder)
{
    std::string name = TUtils::RemoveTrailingBackslash(folder);
    size_t slash = name.rfind('/');
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    size_t dot = name.rfind('.');
    if (dot != std::string::npos)
        name.erase(dot);
    return name;
}

bool TTextLess::operator()(const std::string &a, const std::string &b) const
{
    return UpperCase(a) < UpperCase(b);
}

void TMessageBrowser::SetLaunchValues(const TStringList &parameters)
{
    LaunchFolder = parameters.Count() > 0 ? Trim(parameters[0]) : std::string();
    LaunchAccount = parameters.Count() > 1 ? Trim(parameters[1]) : std::string();
}

bool TMessageBrowser::ReadLaunchValues(const std::string &parameterFile)
{
    // The launcher replaces the file whole, so each write is a file of its own: another inode or
    // another modification time.
    struct stat info = {};
    if (::stat(parameterFile.c_str(), &info) != 0)
        return false;
    const std::string stamp = Format("%llu %lld.%09ld", (unsigned long long)info.st_ino,
                                     (long long)info.st_mtim.tv_sec, info.st_mtim.tv_nsec);
    TStringList parameters;
    if (!parameters.LoadFromFile(parameterFile) || parameters.Empty() ||
        Trim(parameters[0]).empty())
        return false;
    const std::string folder = LaunchFolder, account = LaunchAccount;
    const bool anew = stamp != LaunchStamp;
    LaunchStamp = stamp;
    SetLaunchValues(parameters);
    return anew || LaunchFolder != folder || LaunchAccount != account;
}

void TMessageBrowser::ResetToLaunch(const std::string &iconMailboxFile)
{
    FromValues.clear();
    SubjectValues.clear();
    DateValues.clear();
    MailboxFolder = LaunchFolder;
    MailboxAccount = LaunchAccount;
    MailboxName = MailboxNameOf(LaunchFolder);
    if (!MailboxIndex.LoadFromFile(iconMailboxFile))
        MailboxIndex.Clear();
    // Started without a folder (from the desktop's menu): the first mailbox's saved messages.
    if (LaunchFolder.empty() && !MailboxIndex.Empty()) {
        const std::vector<std::string> names = MailboxMenuNames();
        if (!names.empty())
            SelectMailbox(names.front(), std::string());
    }
}

int TMessageBrowser::LoadMessageList(TFilterType filter, const std::string &filterText,
                                     const TProgress &progress)
{
    const std::string folder = TUtils::AddBackslash(MailboxFolder);
    const std::vector<TMessageFile> files = ListMessageFiles(folder);
    TListRows rows;
    rows.reserve(files.size());
    TFileBuffer buffer;
    for (size_t i = 0; i < files.size(); ++i) {
        if (progress && i % ProgressEvery == 0 && progress(int(i), int(files.size())))
            break;
        const std::string path = folder + files[i].Name;
        if (!ReadFileInto(path, buffer) || buffer.Size == 0)
            continue;
        TMessageFacts facts = ReadMessageFacts(buffer.View());
        const std::string date = TUtils::NormalizeMailDate(facts.RawDate);
        const std::string *tested = filter == TFilterType::From      ? &facts.From
                                    : filter == TFilterType::Subject ? &facts.Subject
                                                                     : &date;
        if (filter != TFilterType::None &&
            (filterText.empty() || tested->find(filterText) == std::string::npos))
            continue;
        TListRow row;
        row.Caption = std::move(facts.From);
        row.Cells = {std::move(facts.Subject),
                     date,
                     std::to_string(files[i].Size),
                     JoinText(facts.Attachments, ", "),
                     std::move(facts.ContentType),
                     files[i].Name,
                     DateSortKey(date),
                     path};
        if (filter == TFilterType::None)
            AddValues(row);
        rows.push_back(std::move(row));
    }
    Rows = std::move(rows);
    FilesFound = int(files.size());
    return FilesFound;
}

void TMessageBrowser::AddValues(const TListRow &row)
{
    if (!row.Caption.empty())
        FromValues.insert(row.Caption);
    const std::string &subject = row.Cells[mcSubject];
    if (!subject.empty()) {
        size_t colon = subject.find(':');
        SubjectValues.insert(
            colon == std::string::npos ? subject : subject.substr(colon + 1, MaxSubjectValue));
    }
    const std::string &date = row.Cells[mcArrivalDate];
    if (!date.empty())
        DateValues.insert(Trim(date.substr(0, date.find(' '))));
}

std::vector<std::string> TMessageBrowser::MailboxMenuNames() const
{
    std::vector<std::string> names;
    for (const std::string &line : MailboxIndex) {
        if (line.empty())
            continue;
        std::string name = line.substr(0, line.find('='));
        if (std::find(names.begin(), names.end(), name) == names.end())
            names.push_back(name);
    }
    return names;
}

void TMessageBrowser::SelectMailbox(const std::string &name, const std::string &dataRoot)
{
    MailboxName = name;
    const int index = MailboxIndex.IndexOfName(name);
    MailboxFolder =
        index >= 0 ? MailboxIndex.ValueFromIndex(index) : TUtils::AddBackslash(dataRoot) + name;
}

void TMessageBrowser::SelectRejected(const std::string &rejectedPath)
{
    MailboxFolder = TUtils::AddBackslash(rejectedPath);
    MailboxName = browsertext::RejectedName;
}

void TMessageBrowser::Sort(int column, bool descending)
{
    // "Arrival Date" starts newest first: its first click sorts descending.
    if (column == ArrivalDateColumn)
        descending = !descending;
    std::vector<std::string> keys(Rows.size());
    std::vector<long long> sizes(Rows.size());
    for (size_t i = 0; i < Rows.size(); ++i) {
        const TListRow &row = Rows[i];
        if (column == SizeColumn)
            sizes[i] = StrToIntDef(row.Cell(mcSize), 0);
        else if (column == ArrivalDateColumn)
            keys[i] = row.Cell(mcDateKey);
        else
            keys[i] = UpperCase(column == 0 ? row.Caption : row.Cell(size_t(column - 1)));
    }
    std::vector<size_t> order(Rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        if (descending)
            std::swap(a, b);
        return column == SizeColumn ? sizes[a] < sizes[b] : keys[a] < keys[b];
    });
    TListRows sorted;
    sorted.reserve(Rows.size());
    for (size_t from : order)
        sorted.push_back(std::move(Rows[from]));
    Rows = std::move(sorted);
}

std::vector<std::string> TMessageBrowser::PathsOf(const std::vector<int> &rows) const
{
    std::vector<std::string> paths;
    for (int row : rows)
        if (row >= 0 && row < int(Rows.size()))
            paths.push_back(Rows[size_t(row)].Cell(mcFullPath));
    return paths;
}

std::vector<std::string> TMessageBrowser::DeleteFiles(const std::vector<std::string> &paths)
{
    std::vector<std::string> names;
    for (const std::string &path : paths) {
        // A file already gone counts as deleted: the reload shows the real state.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
            if (Utils)
                Utils->DebugLog("Could not delete %s: %s", path.c_str(), std::strerror(errno));
            continue;
        }
        names.push_back(path.substr(path.rfind('/') + 1));
    }
    return names;
}
