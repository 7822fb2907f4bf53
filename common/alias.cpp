#include "common/alias.h"

#include "common/globals.h"
#include "common/names.h"
#include "common/platform/files.h"
#include "common/text.h"
#include "common/utils.h"

std::string AliasFilePath(const std::string &inboxFolder)
{
    return TUtils::AddBackslash(inboxFolder) + names::AliasFile;
}

std::string AliasLine(const std::string &alias, bool active)
{
    return Format("%s=%d", alias.c_str(), active ? 1 : 0);
}

bool AliasLineActive(const TStringList &aliases, int index)
{
    return aliases.ValueFromIndex(index) == "1";
}

std::vector<TAliasEntry> AliasEntries(const TStringList &aliases)
{
    std::vector<TAliasEntry> entries;
    for (int i = 0; i < aliases.Count(); ++i)
        entries.push_back({aliases.Names(i), AliasLineActive(aliases, i)});
    return entries;
}

TStringList AliasListLines(const std::vector<TAliasEntry> &entries)
{
    TStringList lines;
    for (const TAliasEntry &entry : entries)
        lines.Add(AliasLine(entry.Alias, entry.Active));
    return lines;
}

std::string AliasTextProblem(const std::string &text)
{
    if (Trim(text).empty())
        return "An alias can't be empty.";
    if (text.find('=') != std::string::npos)
        return "An alias can't contain \"=\".";
    return std::string();
}

bool AliasListMatches(const std::string &toHeader, const TStringList &aliases)
{
    for (int i = 0; i < aliases.Count(); ++i) {
        const std::string alias = aliases.Names(i);
        // An empty name would occur in every text and accept everything.
        if (AliasLineActive(aliases, i) && !alias.empty() && ContainsText(toHeader, alias))
            return true;
    }
    return false;
}

TAliasListLoad LoadAliasList(const std::string &path, TStringList &aliases)
{
    aliases.Clear();
    if (aliases.LoadFromFile(path))
        return TAliasListLoad::Loaded;
    aliases.Clear();
    return platform::MissingFromItsFolder(path) ? TAliasListLoad::Missing
                                                : TAliasListLoad::Unreadable;
}

TAliasTest::TAliasTest(const TListRow *mailbox)
{
    if (mailbox == nullptr || !FlagCellSet(mailbox->Cell(mcAliasActive)))
        return;
    const std::string path = AliasFilePath(mailbox->Cell(mcInboxPath));
    switch (LoadAliasList(path, Aliases)) {
    case TAliasListLoad::Loaded:
        Mode = TMode::ByList;
        break;
    case TAliasListLoad::Missing:
        Mode = TMode::PassNone;
        if (Utils != nullptr)
            Utils->DebugLog("Can't load alias list");
        break;
    case TAliasListLoad::Unreadable:
        if (Utils != nullptr)
            Utils->DebugLog("Can't read alias list %s: alias test skipped", path.c_str());
        break;
    }
}

bool TAliasTest::Matches(const std::string &toHeader) const
{
    switch (Mode) {
    case TMode::PassAll:
        return true;
    case TMode::PassNone:
        return false;
    case TMode::ByList:
        break;
    }
    return AliasListMatches(toHeader, Aliases);
}

bool AliasMatches(const std::string &toHeader, const TListRow *mailbox)
{
    return TAliasTest(mailbox).Matches(toHeader);
}

bool TGlobals::AliasMatches(const std::string &toHeader, const TListRow *mailbox)
{
    return ::AliasMatches(toHeader, mailbox);
}
