#include "korrind/engine/uidcache.h"

#include <cinttypes>
#include <cstdio>
#include <string_view>
#include <unordered_set>

#include "common/platform/files.h"
#include "common/text.h"

namespace {

// First line: a tag and the layout's version. Last line: "end", the number of entries and a
// checksum of everything before it, so a file cut short or overwritten is never trusted, and
// entries can be added without reading those before them. Version 1 had the number in the
// first line instead; it is still read.
const char HeaderTag[] = "CorvexUidCache";
const int Version = 2;
const int FirstVersion = 1;
const char EndTag[] = "end";
// The end of the file read first for its last entry; more when that entry is longer.
const size_t TailReadBytes = 64 * 1024;
const size_t MaxTailReadBytes = 64 * 1024 * 1024;

std::string EndLine(size_t count, uint64_t checksum)
{
    return Format("%s %zu %016" PRIx64 "\n", EndTag, count, checksum);
}

// A To value may hold any byte; the cache keeps it on one line and apart from the tabs.
std::string Escape(const std::string &text)
{
    if (text.find_first_of("%\t\r\n") == std::string::npos)
        return text;
    std::string out;
    for (char c : text) {
        if (c == '%' || c == '\t' || c == '\r' || c == '\n')
            out += Format("%%%02X", static_cast<unsigned char>(c));
        else
            out += c;
    }
    return out;
}

bool Unescape(const std::string &text, std::string &out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return false;
        int value = 0;
        if (std::sscanf(text.c_str() + i + 1, "%2x", &value) != 1)
            return false;
        out += static_cast<char>(value);
        i += 2;
    }
    return true;
}

} // namespace

uint64_t TUidCache::Checksum(std::string_view bytes, uint64_t hash)
{
    for (char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

bool TUidCache::UsableIds(const std::vector<std::string> &ids, size_t messageCount)
{
    if (ids.size() != messageCount)
        return false;
    std::unordered_set<std::string_view> seen;
    seen.reserve(ids.size());
    for (const std::string &id : ids) {
        if (id.empty() || !seen.insert(id).second)
            return false;
        for (char c : id) {
            if (c < 0x21 || c > 0x7e)
                return false;
        }
    }
    return true;
}

namespace {

// The entries' lines, each "id<TAB>to<TAB>line".
std::string EntryBytes(const std::vector<std::string> &ids, const std::vector<std::string> &tos,
                       const std::vector<std::string> &lines)
{
    size_t size = 0;
    for (size_t k = 0; k < ids.size(); ++k)
        size += ids[k].size() + tos[k].size() + lines[k].size() + 3;
    std::string bytes;
    bytes.reserve(size);
    for (size_t k = 0; k < ids.size(); ++k) {
        bytes += ids[k];
        bytes += '\t';
        bytes += Escape(tos[k]);
        bytes += '\t';
        bytes += lines[k];
        bytes += '\n';
    }
    return bytes;
}

bool ParseEntry(const std::string &text, std::string &id, TUidCache::TEntry &entry)
{
    const size_t firstTab = text.find('\t');
    const size_t secondTab =
        firstTab == std::string::npos ? firstTab : text.find('\t', firstTab + 1);
    if (secondTab == std::string::npos || firstTab == 0 ||
        !Unescape(text.substr(firstTab + 1, secondTab - firstTab - 1), entry.To))
        return false;
    entry.Line = text.substr(secondTab + 1);
    id = text.substr(0, firstTab);
    return true;
}

// Where the end line starts, the number of entries and the checksum it gives, with the last
// entry (or nothing when there is none), read from the end of the file.
struct TFileEnd
{
    uint64_t EndOffset = 0;
    uint64_t Sum = 0;
    TUidCache::TTail Tail;
};

bool ReadEnd(const std::string &path, TFileEnd &end)
{
    const std::string header = Format("%s %d\n", HeaderTag, Version);
    for (size_t length = TailReadBytes; length <= MaxTailReadBytes; length *= 4) {
        std::string bytes;
        uint64_t size = 0;
        if (!platform::ReadFileTail(path, length, bytes, size) || bytes.size() < 2 ||
            bytes.back() != '\n')
            return false;
        const size_t endStart = bytes.rfind('\n', bytes.size() - 2);
        const size_t lastStart = endStart == std::string::npos || endStart == 0
                                     ? std::string::npos
                                     : bytes.rfind('\n', endStart - 1);
        const bool whole = bytes.size() == size;
        if (lastStart == std::string::npos && !whole)
            continue; // the last entry is longer than what was read
        if (endStart == std::string::npos)
            return false;
        const size_t from = lastStart == std::string::npos ? 0 : lastStart + 1;
        size_t count = 0;
        unsigned long long sum = 0;
        if (std::sscanf(bytes.c_str() + endStart + 1, "end %zu %llx", &count, &sum) != 2 ||
            bytes.compare(endStart + 1, std::string::npos, EndLine(count, sum)) != 0)
            return false;
        end.EndOffset = size - (bytes.size() - endStart - 1);
        end.Sum = sum;
        end.Tail = TUidCache::TTail();
        end.Tail.Count = count;
        const std::string last = bytes.substr(from, endStart + 1 - from);
        if (count == 0)
            return from == 0 && whole && last == header;
        return ParseEntry(last.substr(0, last.size() - 1), end.Tail.Id, end.Tail.Last);
    }
    return false;
}

} // namespace

bool TUidCache::Save(const std::string &path, const std::vector<std::string> &ids,
                     const std::vector<std::string> &tos, const std::vector<std::string> &lines)
{
    if (ids.size() != lines.size() || ids.size() != tos.size())
        return false;
    std::string bytes = Format("%s %d\n", HeaderTag, Version) + EntryBytes(ids, tos, lines);
    bytes += EndLine(ids.size(), Checksum(bytes));
    return platform::WriteFileAtomic(path, bytes);
}

bool TUidCache::Append(const std::string &path, const std::vector<std::string> &ids,
                       const std::vector<std::string> &tos, const std::vector<std::string> &lines)
{
    TFileEnd end;
    if (ids.size() != lines.size() || ids.size() != tos.size() ||
        !platform::RecoverFileTail(path) || !ReadEnd(path, end))
        return false;
    std::string bytes = EntryBytes(ids, tos, lines);
    bytes += EndLine(end.Tail.Count + ids.size(), Checksum(bytes, end.Sum));
    return platform::ReplaceFileTail(path, end.EndOffset, bytes);
}

bool TUidCache::ReadTail(const std::string &path, TTail &tail)
{
    TFileEnd end;
    if (!platform::RecoverFileTail(path) || !ReadEnd(path, end))
        return false;
    tail = std::move(end.Tail);
    return true;
}

bool TUidCache::Load(const std::string &path)
{
    Entries.clear();
    Ids.clear();
    std::string bytes;
    if (!platform::RecoverFileTail(path) || !platform::ReadWholeFile(path, bytes) ||
        bytes.empty() || bytes.back() != '\n')
        return false;
    size_t lastStart = bytes.rfind('\n', bytes.size() - 2);
    lastStart = lastStart == std::string::npos ? 0 : lastStart + 1;
    const size_t headerEnd = bytes.find('\n');
    const uint64_t sum = Checksum(std::string_view(bytes).substr(0, lastStart));
    const std::string firstHeader = Format("%s %d ", HeaderTag, FirstVersion);
    size_t count = 0;
    if (bytes.compare(0, headerEnd + 1, Format("%s %d\n", HeaderTag, Version)) == 0) {
        if (std::sscanf(bytes.c_str() + lastStart, "end %zu", &count) != 1 ||
            bytes.compare(lastStart, std::string::npos, EndLine(count, sum)) != 0)
            return false;
    } else if (bytes.compare(0, firstHeader.size(), firstHeader) == 0) {
        if (std::sscanf(bytes.c_str() + firstHeader.size(), "%zu", &count) != 1 ||
            bytes.compare(0, headerEnd, firstHeader + std::to_string(count)) != 0 ||
            bytes.compare(lastStart, std::string::npos,
                          Format("%s %016" PRIx64 "\n", EndTag, sum)) != 0)
            return false;
    } else {
        return false;
    }
    if (lastStart <= headerEnd)
        return false;
    std::vector<std::string> lines =
        SplitText(bytes.substr(headerEnd + 1, lastStart - headerEnd - 1), '\n');
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    if (lines.size() != count)
        return false;
    for (const std::string &text : lines) {
        std::string id;
        TEntry entry;
        if (!ParseEntry(text, id, entry)) {
            Entries.clear();
            Ids.clear();
            return false;
        }
        Ids.push_back(id);
        Entries[Ids.back()] = std::move(entry);
    }
    return true;
}

const TUidCache::TEntry *TUidCache::Find(const std::string &id) const
{
    auto found = Entries.find(id);
    return found == Entries.end() ? nullptr : &found->second;
}
