#include "korrind/engine/uidcache.h"

#include <cinttypes>
#include <cstdio>
#include <string_view>
#include <unordered_set>

#include "common/platform/files.h"
#include "common/text.h"

namespace {

// First line: a tag, the layout's version and the number of entries. Last line: "end" and a
// checksum of everything before it, so a file cut short or overwritten is never trusted.
const char HeaderTag[] = "CorvexUidCache";
const int Version = 1;
const char EndTag[] = "end";

uint64_t Checksum(const std::string &bytes, size_t length)
{
    uint64_t hash = 14695981039346656037ULL; // FNV-1a
    for (size_t i = 0; i < length; ++i) {
        hash ^= static_cast<unsigned char>(bytes[i]);
        hash *= 1099511628211ULL;
    }
    return hash;
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

bool TUidCache::Save(const std::string &path, const std::vector<std::string> &ids,
                     const std::vector<std::string> &tos, const std::vector<std::string> &lines)
{
    if (ids.size() != lines.size() || ids.size() != tos.size())
        return false;
    std::string bytes = Format("%s %d %zu\n", HeaderTag, Version, ids.size());
    size_t size = bytes.size();
    for (size_t k = 0; k < ids.size(); ++k)
        size += ids[k].size() + tos[k].size() + lines[k].size() + 3;
    bytes.reserve(size + 64);
    for (size_t k = 0; k < ids.size(); ++k) {
        bytes += ids[k];
        bytes += '\t';
        bytes += Escape(tos[k]);
        bytes += '\t';
        bytes += lines[k];
        bytes += '\n';
    }
    bytes += Format("%s %016" PRIx64 "\n", EndTag, Checksum(bytes, bytes.size()));
    return platform::WriteFileAtomic(path, bytes);
}

bool TUidCache::Load(const std::string &path)
{
    Entries.clear();
    Ids.clear();
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes) || bytes.empty() || bytes.back() != '\n')
        return false;
    size_t lastStart = bytes.rfind('\n', bytes.size() - 2);
    lastStart = lastStart == std::string::npos ? 0 : lastStart + 1;
    const std::string expectedEnd =
        Format("%s %016" PRIx64 "\n", EndTag, Checksum(bytes, lastStart));
    if (bytes.compare(lastStart, std::string::npos, expectedEnd) != 0)
        return false;

    std::vector<std::string> lines = SplitText(bytes.substr(0, lastStart), '\n');
    if (!lines.empty() && lines.back().empty())
        lines.pop_back();
    if (lines.empty() || lines[0] != Format("%s %d %zu", HeaderTag, Version, lines.size() - 1))
        return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        size_t firstTab = lines[i].find('\t');
        size_t secondTab =
            firstTab == std::string::npos ? firstTab : lines[i].find('\t', firstTab + 1);
        TEntry entry;
        if (secondTab == std::string::npos || firstTab == 0 ||
            !Unescape(lines[i].substr(firstTab + 1, secondTab - firstTab - 1), entry.To)) {
            Entries.clear();
            Ids.clear();
            return false;
        }
        entry.Line = lines[i].substr(secondTab + 1);
        Ids.push_back(lines[i].substr(0, firstTab));
        Entries[Ids.back()] = std::move(entry);
    }
    return true;
}

const TUidCache::TEntry *TUidCache::Find(const std::string &id) const
{
    auto found = Entries.find(id);
    return found == Entries.end() ? nullptr : &found->second;
}
