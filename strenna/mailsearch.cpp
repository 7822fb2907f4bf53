#include "strenna/mailsearch.h"

#include <algorithm>
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

void LowerInPlace(std::string &text)
{
    for (char &c : text)
        if (c >= 'A' && c <= 'Z')
            c = char(c - 'A' + 'a');
}

// Scans one file's bytes (already lower-cased when the search ignores case); calls found with
// the line index, the line's start and end and the hit's offset for each line that matches.
template <typename TFound>
void ScanLines(std::string_view bytes, const std::string &needle, TFound found)
{
    const char *data = bytes.data();
    const size_t size = bytes.size();
    size_t pos = 0, counted = 0;
    int line = 0;
    while (pos < size) {
        const void *hit = ::memmem(data + pos, size - pos, needle.data(), needle.size());
        if (!hit)
            return;
        const size_t at = size_t(static_cast<const char *>(hit) - data);
        line += int(std::count(data + counted, data + at, '\n'));
        const void *before = at == 0 ? nullptr : ::memrchr(data, '\n', at);
        const size_t lineStart = before ? size_t(static_cast<const char *>(before) - data) + 1 : 0;
        const void *after = std::memchr(data + at, '\n', size - at);
        const size_t lineEnd = after ? size_t(static_cast<const char *>(after) - data) : size;
        found(line, lineStart, lineEnd, at);
        pos = counted = lineEnd;
    }
}

} // namespace

TSearchResult SearchFiles(const std::vector<std::string> &paths, const TSearchOptions &options,
                          size_t maxRows, const TProgress &progress)
{
    TSearchResult result;
    std::string needle = options.WholeWord ? " " + options.Text + " " : options.Text;
    if (needle.empty())
        return result;
    if (!options.CaseSensitive)
        LowerInPlace(needle);
    TFileBuffer buffer;
    std::string lowered;
    for (size_t i = 0; i < paths.size(); ++i) {
        if (progress && i % ProgressEvery == 0 && progress(int(i), int(paths.size()))) {
            result.Stopped = true;
            break;
        }
        if (!ReadFileInto(paths[i], buffer))
            continue;
        const std::string_view bytes = buffer.View();
        std::string_view scanned = bytes;
        if (!options.CaseSensitive) {
            lowered.assign(bytes);
            LowerInPlace(lowered);
            scanned = lowered;
        }
        bool factsRead = false;
        TMessageFacts facts;
        ScanLines(scanned, needle, [&](int line, size_t start, size_t end, size_t at) {
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
