#include "common/filterparam.h"

#include <algorithm>
#include <cstring>

#include "common/globals.h"
#include "common/names.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

const char RuleSeparator = '|';
const char KeywordEnd = ';';
const size_t PieceLimit = 255; // longest piece a quick edit takes when no closing delimiter
const size_t SubjectWordLimit = 100;
const int BaseWindowWidth = 318;
const int PixelsPerCharacter = 8;
const int WindowMargin = 32;

bool IsDelimiter(char c)
{
    return c != 0 && std::strchr("<>@\".,!", c) != nullptr;
}

// Blanks a delimiter at either end of piece and trims it.
std::string BlankEndDelimiters(std::string piece)
{
    if (!piece.empty() && IsDelimiter(piece.front()))
        piece.front() = ' ';
    if (!piece.empty() && IsDelimiter(piece.back()))
        piece.back() = ' ';
    return Trim(piece);
}

// The text around a word found at p and ending at wordEnd: one character before it when
// there is one, and up to extra characters after it (fewer at the text's end).
std::string Surrounding(const std::string &text, size_t p, size_t wordEnd, int extra)
{
    size_t start = PreviousCharStart(text, p);
    size_t end = std::min(wordEnd, text.size());
    for (int i = 0; i < extra; ++i)
        end = NextCharStart(text, end);
    return BlankEndDelimiters(text.substr(start, end - start));
}

// Whether pattern occurs in text as a whole word (step 2 of the score).
bool StandsAsWord(const std::string &pattern, const std::string &text)
{
    if (pattern.empty())
        return false;
    for (size_t p = text.find(pattern); p != std::string::npos; p = text.find(pattern, p + 1)) {
        if (Surrounding(text, p, p + pattern.size(), 1) == pattern)
            return true;
    }
    return false;
}

// Whether one keyword (with its wildcard still attached) is found in text as a word. Blanks
// around a keyword ("win; cash;") are not part of it: a word never contains them.
bool KeywordFound(std::string keyword, const std::string &text)
{
    keyword = Trim(keyword);
    char wildcard = 0;
    if (!keyword.empty() && (keyword.back() == '?' || keyword.back() == '*')) {
        wildcard = keyword.back();
        keyword = Trim(keyword.substr(0, keyword.size() - 1));
    }
    if (keyword.empty())
        return false;
    for (size_t p = text.find(keyword); p != std::string::npos; p = text.find(keyword, p + 1)) {
        // One character past the word is enough to decide ("*" compares only the word's
        // length, so the rest of the text cannot change the answer).
        std::string piece = Surrounding(text, p, p + keyword.size(), wildcard == '?' ? 2 : 1);
        size_t compared = piece.size();
        if (wildcard == '?')
            compared = PreviousCharStart(piece, piece.size());
        else if (wildcard == '*')
            compared = keyword.size();
        if (piece.substr(0, compared) == keyword)
            return true;
    }
    return false;
}

// Every ASCII character but a-z and 0-9 turned into a blank; letters of other scripts stay.
std::string AlphanumericOnly(std::string text)
{
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x80 &&
            !((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            c = ' ';
    }
    return text;
}

// Whether a pattern hits a text in the given mode. A "Contains" hit must beat best (the best
// score of earlier rules of the same kind); an exact hit counts as the top score 10.
bool PatternHits(const std::string &pattern, const std::string &text, const std::string &altText,
                 int mode, int &best)
{
    if (mode == mmContains) {
        int score = std::max(Score(pattern, text), Score(pattern, altText));
        if (score <= best)
            return false;
        best = score;
        return true;
    }
    if (mode == mmExact && Trim(pattern) == Trim(text)) {
        best = std::max(best, 10);
        return true;
    }
    return false;
}

bool FlagAt(const std::string &field, size_t index)
{
    return field.size() > index && field[index] == '1';
}

const char *Digit(bool on)
{
    return on ? "1" : "0";
}

std::vector<std::string> Words(const std::string &text)
{
    std::vector<std::string> words;
    for (const std::string &word : SplitText(text, ' ')) {
        if (!word.empty())
            words.push_back(word);
    }
    return words;
}

// Appends, for every entry i from the second on and every later entry j, entries i to j
// joined by separator.
void AddJoinedRuns(std::vector<std::string> &list, const std::string &separator)
{
    size_t n = list.size();
    for (size_t i = 1; i < n; ++i) {
        std::string joined = list[i];
        for (size_t j = i + 1; j < n; ++j) {
            joined += separator + list[j];
            list.push_back(joined);
        }
    }
}

TRuleEditor &InstalledEditor()
{
    static TRuleEditor editor;
    return editor;
}

} // namespace

TRuleFields SplitRule(const std::string &line)
{
    TRuleFields fields = SplitText(line, RuleSeparator);
    if (fields.size() < RuleFieldCount)
        fields.resize(RuleFieldCount);
    return fields;
}

std::string JoinRule(TRuleFields fields)
{
    fields.resize(std::max<size_t>(fields.size(), RuleFieldCount));
    // A separator or line break inside a field would shift the fields of the stored line.
    for (std::string &field : fields) {
        std::erase_if(field, [](char c) { return c == RuleSeparator || c == '\r' || c == '\n'; });
    }
    return JoinText(fields, std::string(1, RuleSeparator));
}

int MatchModeOf(const std::string &field)
{
    return static_cast<int>(StrToIntDef(field, 0));
}

TRuleActions ActionsFromRule(const TRuleFields &source)
{
    TRuleFields fields = source;
    fields.resize(std::max<size_t>(fields.size(), RuleFieldCount));
    TRuleActions actions;
    const std::string &forwarding = fields[rfForwarding];
    actions.Forward = FlagAt(forwarding, 0);
    actions.ToMobile = FlagAt(forwarding, 1);
    long long size = forwarding.size() > 2 ? StrToIntDef(forwarding.substr(2, 3), DefaultMaxSize)
                                           : DefaultMaxSize;
    actions.MaxSize = static_cast<uint16_t>(std::clamp<long long>(size, 0, UINT16_MAX));
    actions.ForwardTo = fields[rfForwardTo];
    const std::string &save = fields[rfSaveOptions];
    actions.SaveToInbox = FlagAt(save, 0);
    actions.Delete = FlagAt(save, 1);
    actions.SaveToAltFolder = FlagAt(save, 2);
    actions.AltFolder = fields[rfAltFolder];
    return actions;
}

int Score(const std::string &pattern, const std::string &text)
{
    if (Trim(pattern) == Trim(text))
        return 10;
    if (StandsAsWord(pattern, text))
        return 7;
    int count = 0;
    size_t from = 0;
    for (size_t end = pattern.find(KeywordEnd); end != std::string::npos;
         end = pattern.find(KeywordEnd, from)) {
        if (KeywordFound(pattern.substr(from, end - from), text))
            ++count;
        from = end + 1;
    }
    return count;
}

int MatchRules(const std::string &from, const std::string &subject, TRuleActions &actions,
               const TStringList &rules)
{
    actions = TRuleActions();
    if ((from.empty() && subject.empty()) || rules.Empty())
        return -1;
    const std::string f = FoldCase(from);
    const std::string s = FoldCase(subject);
    const std::string sAlnum = AlphanumericOnly(s);
    int bestAddr = 0, bestSubj = 0, bestAll = 0, best = -1;
    for (int i = 0; i < rules.Count(); ++i) {
        const TRuleFields fields = SplitRule(rules[i]);
        const std::string a = Trim(FoldCase(fields[rfAddress]));
        const std::string b = Trim(FoldCase(fields[rfSubject]));
        if (a.empty() && b.empty())
            continue;
        bool addrHit =
            !a.empty() && PatternHits(a, f, f, MatchModeOf(fields[rfAddressMode]), bestAddr);
        bool subjHit =
            !b.empty() && PatternHits(b, s, sAlnum, MatchModeOf(fields[rfSubjectMode]), bestSubj);
        if (!a.empty() && !b.empty()) {
            if (addrHit && subjHit && (bestAddr + bestSubj) / 2 > bestAll) {
                bestAll = (bestAddr + bestSubj) / 2;
                best = i;
            }
        } else if (!a.empty()) {
            if (addrHit && bestAddr > bestAll) {
                bestAll = bestAddr;
                best = i;
            }
        } else if (subjHit) {
            bestAll = std::max(bestAll, bestSubj);
            best = i;
        }
    }
    if (best >= 0 && SplitText(rules[best], RuleSeparator).size() > RuleFieldCount - 1)
        actions = ActionsFromRule(SplitRule(rules[best]));
    return best;
}

std::string ListFilePath(const std::string &folder, TListKind kind, bool master)
{
    if (folder.empty())
        return std::string();
    const char *name = nullptr;
    if (kind == TListKind::Priority)
        name = master ? names::MasterPriorityFile : names::PriorityFile;
    else
        name = master ? names::MasterRejectFile : names::RejectFile;
    return TUtils::AddBackslash(folder) + name;
}

bool IsBlankRule(const std::string &line)
{
    return std::all_of(line.begin(), line.end(), [](char c) {
        return c == RuleSeparator || static_cast<unsigned char>(c) <= ' ';
    });
}

TListLoad LoadListFile(const std::string &path, TStringList &lines)
{
    lines.Clear();
    if (!TUtils::FileExists(path)) {
        lines.SaveToFile(path);
        return TListLoad::Missing;
    }
    if (!lines.LoadFromFile(path))
        return TListLoad::Unreadable;
    for (int i = lines.Count() - 1; i >= 0; --i) {
        if (IsBlankRule(lines[i]))
            lines.Delete(i);
    }
    return TListLoad::Loaded;
}

void MergeRules(TStringList &lines, const TStringList &extra)
{
    for (const std::string &line : extra) {
        if (!IsBlankRule(line) && lines.IndexOf(line) < 0)
            lines.Add(line);
    }
}

bool AppendRule(const std::string &path, const std::string &line)
{
    TStringList lines;
    if (path.empty() || IsBlankRule(line) || LoadListFile(path, lines) == TListLoad::Unreadable)
        return false;
    if (lines.IndexOf(line) >= 0)
        return false;
    lines.Add(line);
    return lines.SaveToFile(path);
}

void SetRuleEditor(TRuleEditor editor)
{
    InstalledEditor() = std::move(editor);
}

bool EditRule(bool blank, TRuleFields &fields, const std::string &caption)
{
    if (!InstalledEditor())
        return false;
    return InstalledEditor()(caption, blank, fields);
}

bool AddRuleFromMessage(const std::string &address, const std::string &subject, bool reject,
                        bool master, const std::string &inboxFolder, const std::string &rulesPath)
{
    TListKind kind = reject ? TListKind::Reject : TListKind::Priority;
    std::string path = ListFilePath(master ? rulesPath : inboxFolder, kind, master);
    TRuleFields fields(RuleFieldCount);
    fields[rfAddress] = address;
    fields[rfSubject] = subject;
    if (!EditRule(false, fields, reject ? RejectionCaption : PriorityCaption))
        return false;
    return AppendRule(path, JoinRule(fields));
}

std::string DelimitedPiece(const std::string &text, char opening, char closing)
{
    size_t open = text.find(opening);
    size_t start = open == std::string::npos ? 0 : open + 1;
    size_t close = text.find(closing, start);
    if (open == std::string::npos && close == std::string::npos)
        return std::string();
    size_t length = close == std::string::npos ? PieceLimit : close - start;
    return Trim(text.substr(std::min(start, text.size()), length));
}

std::string MailerName(const std::string &address)
{
    return DelimitedPiece(address, '"', '"');
}

std::string MailerId(const std::string &address)
{
    return DelimitedPiece(address, '<', '@');
}

std::string MailerIsp(const std::string &address)
{
    return DelimitedPiece(address, '@', '>');
}

std::vector<std::string> AddressChoices(const std::string &address)
{
    std::vector<std::string> list;
    std::string trimmed = Trim(address);
    if (trimmed.empty())
        return list;
    list.push_back(trimmed);
    for (const std::string &piece : {MailerName(address), MailerId(address), MailerIsp(address)}) {
        if (!piece.empty())
            list.push_back(piece);
    }
    AddJoinedRuns(list, ";");
    return list;
}

std::vector<std::string> SubjectChoices(const std::string &subject)
{
    std::vector<std::string> list;
    std::string trimmed = Trim(subject);
    if (trimmed.empty())
        return list;
    list.push_back(trimmed);
    std::vector<std::string> words = Words(trimmed);
    if (words.size() > 1) {
        for (const std::string &word : words) {
            if (list.size() > SubjectWordLimit)
                break;
            list.push_back(word);
        }
    }
    AddJoinedRuns(list, " ");
    return list;
}

void THistoryList::Load()
{
    Entries.Clear();
    if (Path.empty() || !TUtils::FileExists(Path) || !Entries.LoadFromFile(Path))
        Entries.Clear();
    for (int i = Entries.Count() - 1; i >= 0; --i) {
        if (Entries[i].empty())
            Entries.Delete(i);
    }
}

bool THistoryList::Save(const std::string &current)
{
    if (!current.empty() && Entries.IndexOf(current) < 0)
        Entries.Add(current);
    return !Path.empty() && Entries.SaveToFile(Path);
}

bool THistoryList::CanDelete(const std::string &text) const
{
    return !text.empty() && Entries.IndexOf(text) >= 0;
}

bool THistoryList::Delete(const std::string &text)
{
    int index = text.empty() ? -1 : Entries.IndexOf(text);
    if (index < 0)
        return false;
    Entries.Delete(index);
    return !Path.empty() && Entries.SaveToFile(Path);
}

void TRuleEditState::Open(bool blank, const TRuleFields &source)
{
    *this = TRuleEditState();
    Blank = blank;
    if (!blank) {
        TRuleFields fields = source;
        fields.resize(std::max<size_t>(fields.size(), RuleFieldCount));
        RememberedAddress = fields[rfAddress];
        RememberedSubject = fields[rfSubject];
        AddressMode = MatchModeOf(fields[rfAddressMode]) == mmExact ? mmExact : mmContains;
        SubjectMode = MatchModeOf(fields[rfSubjectMode]) == mmExact ? mmExact : mmContains;
        TRuleActions actions = ActionsFromRule(fields);
        ForwardTo = actions.ForwardTo;
        Forward = actions.Forward;
        ToMobile = actions.ToMobile;
        MaxSize = std::clamp<int>(actions.MaxSize, MinMaxSize, MaxMaxSize);
        SaveToInbox = actions.SaveToInbox;
        DeleteFromServer = actions.Delete;
        SaveToAltFolder = actions.SaveToAltFolder;
        AltFolder = actions.AltFolder;
        AltFolderEnabled = SaveToAltFolder;
        AlertName = fields[rfAlert];
    }
    AddressList = AddressChoices(RememberedAddress);
    SubjectList = SubjectChoices(RememberedSubject);
    AddressText = AddressList.empty() ? std::string() : AddressList.front();
    SubjectText = SubjectList.empty() ? std::string() : SubjectList.front();
    MatchBy = mbBoth;
    AddressEnabled = SubjectEnabled = true;
    if (!blank) {
        if (RememberedAddress.empty()) {
            AddressEnabled = false;
            MatchBy = mbSubject;
        }
        if (RememberedSubject.empty()) {
            SubjectEnabled = false;
            MatchBy = mbAddress;
        }
    }
    ApplyEnabled = !blank;
}

TRuleFields TRuleEditState::Fields() const
{
    return {AddressText,
            SubjectText,
            AlertName,
            Format("%d", AddressMode),
            Format("%d", SubjectMode),
            Format("%s%s%3.3d", Digit(Forward), Digit(ToMobile), MaxSize),
            ForwardTo,
            Format("%s%s%s", Digit(SaveToInbox), Digit(DeleteFromServer), Digit(SaveToAltFolder)),
            AltFolder};
}

int TRuleEditState::WindowWidth() const
{
    size_t longest = std::max(RememberedAddress.size(), RememberedSubject.size());
    return std::max(BaseWindowWidth, static_cast<int>(longest) * PixelsPerCharacter + WindowMargin);
}

void TRuleEditState::SetMatchBy(TMatchBy matchBy)
{
    MatchBy = matchBy;
    AddressEnabled = matchBy != mbSubject;
    SubjectEnabled = matchBy != mbAddress;
    if (!AddressEnabled)
        AddressText.clear();
    else if (AddressText.empty())
        AddressText = RememberedAddress;
    if (!SubjectEnabled)
        SubjectText.clear();
    else if (SubjectText.empty())
        SubjectText = RememberedSubject;
    Changed();
}

void TRuleEditState::SetSaveToAltFolder(bool on)
{
    SaveToAltFolder = on;
    AltFolderEnabled = on;
    Changed();
}

void TRuleEditState::AddressQuickEdit(TAddressQuickEdit edit)
{
    // A disabled box stays empty: the rule does not test what "Match By" left out.
    if (!AddressEnabled)
        return;
    switch (edit) {
    case aqNone:
        return;
    case aqRestore:
        AddressText = RememberedAddress;
        break;
    case aqClear:
        AddressText.clear();
        break;
    case aqMailerName:
        AddressText = MailerName(RememberedAddress);
        break;
    case aqMailerId:
        AddressText = MailerId(RememberedAddress);
        break;
    case aqMailerIsp:
        AddressText = MailerIsp(RememberedAddress);
        break;
    }
    Changed();
}

void TRuleEditState::SubjectQuickEdit(TSubjectQuickEdit edit)
{
    if (!SubjectEnabled)
        return;
    switch (edit) {
    case sqNone:
        return;
    case sqRestore:
        SubjectText = RememberedSubject;
        break;
    case sqClear:
        SubjectText.clear();
        break;
    }
    Changed();
}

bool TRuleEditState::CanApply() const
{
    return !Trim(AddressText).empty() || !Trim(SubjectText).empty();
}

bool TGlobals::AddRuleFromMessage(const std::string &address, const std::string &subject,
                                  bool reject, bool master, const std::string &inboxFolder)
{
    std::string rulesPath = GetText(Config.RulesPath);
    return ::AddRuleFromMessage(address, subject, reject, master, inboxFolder,
                                rulesPath.empty() ? DataRoot : rulesPath);
}

bool TGlobals::AppendRule(const std::string &file, const std::string &line)
{
    return ::AppendRule(file, line);
}
