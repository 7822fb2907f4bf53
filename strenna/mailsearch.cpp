#include "strenna/mailsearch.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "common/text.h"
#include "common/utils.h"

namespace {

constexpr size_t MaxLineText = 512;
constexpr int ProgressEvery = 64;

std::string HeaderShown(const std::string &value)
{
    return value == browsertext::NotFound ? std::string() : value;
}

unsigned char Folded(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte >= 'A' && byte <= 'Z' ? byte + ('a' - 'A') : byte;
}

// Sixteen bytes handled at once (GCC and Clang vector extensions: SSE2, NEON or plain code).
using TBytes16 = unsigned char __attribute__((vector_size(16)));

TBytes16 Splat(unsigned char byte)
{
    TBytes16 bytes;
    for (size_t i = 0; i < sizeof(bytes); ++i)
        bytes[i] = byte;
    return bytes;
}

TBytes16 Load16(const char *at)
{
    TBytes16 bytes;
    std::memcpy(&bytes, at, sizeof(bytes));
    return bytes;
}

// The number of line ends from from to to, sixteen bytes at a time: each lane counts its own
// (at most 255 rounds before they are added up), so no byte is tested on its own.
size_t CountLineEnds(const char *from, const char *to)
{
    const TBytes16 lineEnd = Splat('\n');
    size_t count = 0;
    while (to - from >= 16) {
        TBytes16 lanes = {};
        for (int round = 0; round < 255 && to - from >= 16; ++round, from += 16)
            lanes -= (Load16(from) == lineEnd); // a match is -1 in its lane
        for (size_t i = 0; i < sizeof(lanes); ++i)
            count += lanes[i];
    }
    return count + size_t(std::count(from, to, '\n'));
}

// Finds a text ignoring the case of ASCII letters without folding a copy of what it searches:
// sixteen places at a time are tested for the text's first and last byte (a letter in either
// case: setting bit 0x20 turns only its capital into it), and only where both stand is the whole
// text compared.
class TFoldedFinder
{
public:
    explicit TFoldedFinder(const std::string &needle)
    {
        for (char c : needle)
            Needle.push_back(char(Folded(c)));
        const auto first = static_cast<unsigned char>(Needle.front());
        const auto last = static_cast<unsigned char>(Needle.back());
        First = Splat(first);
        Last = Splat(last);
        FirstCase = Splat(first >= 'a' && first <= 'z' ? 0x20 : 0);
        LastCase = Splat(last >= 'a' && last <= 'z' ? 0x20 : 0);
    }

    // The offset of the first occurrence at or after from; npos when there is none.
    size_t operator()(std::string_view text, size_t from) const
    {
        const size_t length = Needle.size();
        if (text.size() < length)
            return std::string_view::npos;
        const size_t ends = text.size() - length + 1; // places where the text can start
        const char *data = text.data();
        size_t pos = from;
        for (; pos + sizeof(TBytes16) <= ends; pos += sizeof(TBytes16)) {
            const auto both = ((Load16(data + pos) | FirstCase) == First) &
                              ((Load16(data + pos + length - 1) | LastCase) == Last);
            uint64_t halves[2];
            std::memcpy(halves, &both, sizeof(halves));
            if ((halves[0] | halves[1]) == 0)
                continue;
            for (size_t i = 0; i < sizeof(TBytes16); ++i)
                if (both[i] && SameFolded(data + pos + i))
                    return pos + i;
        }
        for (; pos < ends; ++pos)
            if (SameFolded(data + pos))
                return pos;
        return std::string_view::npos;
    }

private:
    bool SameFolded(const char *text) const
    {
        for (size_t i = 0; i < Needle.size(); ++i)
            if (Folded(text[i]) != static_cast<unsigned char>(Needle[i]))
                return false;
        return true;
    }

    std::string Needle; // folded
    TBytes16 First, Last, FirstCase, LastCase;
};

// Finds a text exactly.
struct TExactFinder
{
    const std::string &Needle;
    size_t operator()(std::string_view text, size_t from) const
    {
        const void *hit =
            ::memmem(text.data() + from, text.size() - from, Needle.data(), Needle.size());
        return hit ? size_t(static_cast<const char *>(hit) - text.data()) : std::string_view::npos;
    }
};

// Scans one file's bytes; calls found with the line index, the line's start and end and the
// hit's offset for each line in which find finds the text.
template <typename TFind, typename TFound>
void ScanLines(std::string_view bytes, const TFind &find, TFound found)
{
    const char *data = bytes.data();
    const size_t size = bytes.size();
    size_t pos = 0, counted = 0;
    int line = 0;
    while (pos < size) {
        const size_t at = find(bytes, pos);
        if (at == std::string_view::npos)
            return;
        line += int(CountLineEnds(data + counted, data + at));
        const void *before = at == 0 ? nullptr : ::memrchr(data, '\n', at);
        const size_t lineStart = before ? size_t(static_cast<const char *>(before) - data) + 1 : 0;
        const void *after = std::memchr(data + at, '\n', size - at);
        const size_t lineEnd = after ? size_t(static_cast<const char *>(after) - data) : size;
        found(line, lineStart, lineEnd, at);
        pos = counted = lineEnd;
    }
}

template <typename TFind>
TSearchResult SearchWith(const std::vector<std::string> &paths, const TFind &find, size_t maxRows,
                         const TProgress &progress)
{
    TSearchResult result;
    TFileBuffer buffer;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (progress && i % ProgressEvery == 0 && progress(int(i), int(paths.size()))) {
            result.Stopped = true;
            break;
        }
        if (!ReadFileInto(paths[i], buffer))
            continue;
        const std::string_view bytes = buffer.View();
        bool factsRead = false;
        TMessageFacts facts;
        ScanLines(bytes, find, [&](int line, size_t start, size_t end, size_t at) {
            ++result.HitCount;
            if (result.Hits.size() >= maxRows)
                return;
            if (!factsRead) {
                facts = ReadMessageFacts(bytes, false);
                factsRead = true;
            }
            TSearchHit hit;
            hit.Path = paths[i];
            hit.Line = line;
            hit.Position = int(at - start) + 1;
            size_t length = end - start;
            if (length > 0 && bytes[end - 1] == '\r')
                --length;
            hit.LineText = std::string(bytes.substr(start, std::min(length, MaxLineText)));
            hit.Date = HeaderShown(facts.RawDate);
            hit.From = HeaderShown(facts.From);
            hit.Subject = HeaderShown(facts.Subject);
            result.Hits.push_back(std::move(hit));
        });
    }
    return result;
}

} // namespace

TSearchResult SearchFiles(const std::vector<std::string> &paths, const TSearchOptions &options,
                          size_t maxRows, const TProgress &progress)
{
    const std::string needle = options.WholeWord ? " " + options.Text + " " : options.Text;
    if (needle.empty())
        return TSearchResult();
    if (options.CaseSensitive)
        return SearchWith(paths, TExactFinder{needle}, maxRows, progress);
    return SearchWith(paths, TFoldedFinder(needle), maxRows, progress);
}

std::vector<std::string> SearchTargets(const TMessageBrowser &browser, TSearchWhere where)
{
    std::vector<std::string> paths;
    auto addFolder = [&paths](const std::string &folder) {
        const std::string prefix = TUtils::AddBackslash(folder);
        for (const TMessageFile &file : ListMessageFiles(prefix))
            paths.push_back(prefix + file.Name);
    };
    switch (where) {
    case TSearchWhere::Listed:
        for (const TListRow &row : browser.Rows)
            paths.push_back(row.Cell(mcFullPath));
        break;
    case TSearchWhere::CurrentInbox:
        addFolder(browser.MailboxFolder);
        break;
    case TSearchWhere::AllInboxes:
        for (int i = 0; i < browser.MailboxIndex.Count(); ++i)
            if (!browser.MailboxIndex[i].empty())
                addFolder(browser.MailboxIndex.ValueFromIndex(i));
        break;
    }
    return paths;
}
