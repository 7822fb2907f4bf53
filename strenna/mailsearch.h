// The search of the saved message manager apart from any window: finds a text in the lines of
// message files and keeps every hit as a structure (file, line, position, the line's text and
// the message's date, sender and subject).
#pragma once

#include <string>
#include <vector>

#include "strenna/browser.h"

namespace searchtext {
inline constexpr char NotFound[] = "Text not found!";
inline constexpr char Caption[] = "Find Text";
inline constexpr char HitsShown[] = "%lld hits, the first %d shown";
inline constexpr char Hits[] = "%lld hits";
inline constexpr const char *WhereItems[] = {"Listed Messages", "Current Inbox", "All Inboxes"};
inline constexpr const char *Columns[] = {"Line", "Arrival Date", "From", "Subject", "File"};
} // namespace searchtext

enum class TSearchWhere { Listed = 0, CurrentInbox = 1, AllInboxes = 2 };

struct TSearchOptions
{
    std::string Text;
    bool CaseSensitive = false;
    bool WholeWord = false; // the text must stand between two blanks
    TSearchWhere Where = TSearchWhere::Listed;
};

struct TSearchHit
{
    std::string Path;
    int Line = 0;     // zero-based line index
    int Position = 0; // one-based character position of the first occurrence in the line
    std::string LineText;
    std::string Date, From, Subject;
};

struct TSearchResult
{
    std::vector<TSearchHit> Hits; // at most the row limit given to the search
    long long HitCount = 0;       // every hit, also those beyond the limit
    bool Stopped = false;         // Esc or quit ended the search early
};

// Most result rows kept: enough to read through, few enough to stay responsive.
inline constexpr size_t MaxResultRows = 10000;

// Searches the files in order; a line gives at most one hit. An empty text (without whole
// words) finds nothing.
TSearchResult SearchFiles(const std::vector<std::string> &paths, const TSearchOptions &options,
                          size_t maxRows = MaxResultRows, const TProgress &progress = nullptr);

// The files a search covers: the listed rows, the current folder, or every folder of the
// mailbox index.
std::vector<std::string> SearchTargets(const TMessageBrowser &browser, TSearchWhere where);
