// The alias list "Alias.ini" of a mailbox (lines "alias=1" for an active alias, "alias=0" for
// an inactive one) and the monitor's test whether a message's "To" names an active alias.
#pragma once

#include <string>
#include <vector>

#include "common/listrows.h"
#include "common/stringlist.h"

// Path of "Alias.ini" in the inbox folder.
std::string AliasFilePath(const std::string &inboxFolder);
// One line of the list.
std::string AliasLine(const std::string &alias, bool active);
// Whether a line of the list is an active alias (its value is exactly "1").
bool AliasLineActive(const TStringList &aliases, int index);

// One entry of the alias manager's check list.
struct TAliasEntry
{
    std::string Alias;
    bool Active = false;
};

// The entries of the list's lines, in their order.
std::vector<TAliasEntry> AliasEntries(const TStringList &aliases);
// The lines that store the entries.
TStringList AliasListLines(const std::vector<TAliasEntry> &entries);
// Why text cannot be an alias ("" when it can): an empty alias would name every message, and
// a "=" would split its line at the wrong place.
std::string AliasTextProblem(const std::string &text);

// Whether some active alias occurs, ignoring case, inside the "To" text.
bool AliasListMatches(const std::string &toHeader, const TStringList &aliases);

// How an alias list file was found.
enum class TAliasListLoad { Loaded, Missing, Unreadable };
// Reads an alias list file. Missing: nothing stands at path and its folder exists (the list is
// not set up yet); Unreadable: something is there that cannot be read (no permission, a folder,
// a link loop) or the folder cannot be reached. aliases is empty unless Loaded.
TAliasListLoad LoadAliasList(const std::string &path, TStringList &aliases);

// The monitor's alias test for one mailbox, its list read once for one test of the mailbox.
// Every message passes without a mailbox row or when the row's alias flag (cell 8) is off;
// otherwise the "To" text must name an active alias of the inbox folder's "Alias.ini". Without
// a list no message passes ("Can't load alias list" in the debug log). A list that is there but
// cannot be read is never taken for an empty one: the test is skipped (every message passes)
// and the debug log says so.
class TAliasTest
{
public:
    explicit TAliasTest(const TListRow *mailbox = nullptr);
    bool Matches(const std::string &toHeader) const;

private:
    enum class TMode { PassAll, PassNone, ByList };
    TMode Mode = TMode::PassAll;
    TStringList Aliases;
};

// The same test for one message, its list read for it.
bool AliasMatches(const std::string &toHeader, const TListRow *mailbox);
