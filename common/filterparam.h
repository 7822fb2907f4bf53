// Priority and rejection rules: the rule line of the list files, the list files themselves,
// the scoring of a sender and subject against a list, and the logic of the filter criteria
// editor (the window only shows this state).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/stringlist.h"

// A rule line has nine fields joined by "|"; fewer fields read as if the rest were empty.
using TRuleFields = std::vector<std::string>;
inline constexpr int RuleFieldCount = 9;

// Field positions (0-based) of a rule line.
enum TRuleField : int {
    rfAddress = 0,     // address pattern, empty = no address test
    rfSubject = 1,     // subject pattern, empty = no subject test
    rfAlert = 2,       // audio alert name
    rfAddressMode = 3, // TMatchMode as "%d"
    rfSubjectMode = 4, // TMatchMode as "%d"
    rfForwarding = 5,  // "%d%d%3.3d": forward, to a mobile phone, maximum size
    rfForwardTo = 6,   // forward destination address
    rfSaveOptions = 7, // "%d%d%d": save to inbox, delete from server, save to alternate folder
    rfAltFolder = 8    // alternate save folder
};

enum TMatchMode : int { mmContains = 0, mmExact = 1 };

inline constexpr int DefaultMaxSize = 120; // maximum forwarded size when none is given
inline constexpr int MinMaxSize = 1;
inline constexpr int MaxMaxSize = 200;

// What a matched rule asks for.
struct TRuleActions
{
    bool Forward = false;
    bool ToMobile = false;
    uint16_t MaxSize = DefaultMaxSize;
    std::string ForwardTo;
    bool Delete = false;
    bool SaveToInbox = false;
    bool SaveRejected = false; // set by the caller, never by a rule
    bool SaveToAltFolder = false;
    std::string AltFolder;
};

// Splits a rule line at "|" and pads it with empty fields to nine.
TRuleFields SplitRule(const std::string &line);
// Joins the fields (padded to nine) with "|".
std::string JoinRule(TRuleFields fields);
// The actions asked for by a rule's fields 6 to 9.
TRuleActions ActionsFromRule(const TRuleFields &fields);
// Field 4 or 5 as a number, 0 when it is not one.
int MatchModeOf(const std::string &field);

// Scores pattern against text (both case folded): 10 for equal texts, 7 for the pattern as a
// whole word, otherwise the number of ";"-ended keywords found as words ("?" at the end of a
// keyword: the word plus exactly one character; "*": any word beginning with it).
int Score(const std::string &pattern, const std::string &text);

// Index of the best rule for this sender and subject, -1 when none; actions are reset and,
// for a matched rule with all nine fields, filled from it. Earlier rules win ties.
int MatchRules(const std::string &from, const std::string &subject, TRuleActions &actions,
               const TStringList &rules);

// The list files.
enum class TListKind { Priority, Reject };
// The master list in the rules folder or the mailbox's own list in its inbox folder.
std::string ListFilePath(const std::string &folder, TListKind kind, bool master);

// A line of nothing but blanks and "|" holds no rule: it is neither read nor written.
bool IsBlankRule(const std::string &line);

enum class TListLoad { Loaded, Missing, Unreadable };
// Reads a list file without its blank lines (IsBlankRule). A missing file is created empty (nothing
// is written over a file that exists but cannot be read).
TListLoad LoadListFile(const std::string &path, TStringList &lines);
// Appends each line of extra that lines does not hold yet (ignoring case), in order.
void MergeRules(TStringList &lines, const TStringList &extra);
// Appends line to the file unless it is blank or the file already holds it (ignoring case);
// true when added.
// A file that exists but cannot be read is left alone (false).
bool AppendRule(const std::string &path, const std::string &line);

// The editor entry: fields are read unless blank and replaced by the edited rule when the
// answer is true. The program that shows the editor installs it; without one nothing is
// edited (false).
using TRuleEditor =
    std::function<bool(const std::string &caption, bool blank, TRuleFields &fields)>;
void SetRuleEditor(TRuleEditor editor);
bool EditRule(bool blank, TRuleFields &fields, const std::string &caption = std::string());

// Opens the editor on a new rule prefilled with address and subject and appends the accepted
// rule to the master list (rulesPath) or the mailbox's list (inboxFolder). True when a line
// was added.
bool AddRuleFromMessage(const std::string &address, const std::string &subject, bool reject,
                        bool master, const std::string &inboxFolder, const std::string &rulesPath);

// Fixed texts of the editor.
inline constexpr char RuleEditorTitle[] = "Filter Editor";
inline constexpr char RejectionCaption[] = "E-mail Rejection";
inline constexpr char PriorityCaption[] = "E-mail Priority";
inline constexpr char EmptyRuleMessage[] = "You can't apply when address and subject are empty";
inline constexpr char NoQuickEdit[] = "-None-";
inline constexpr const char *AddressQuickEdits[] = {"-None-",      "Restore",   "Clear",
                                                    "Mailer Name", "Mailer ID", "Mailer ISP"};
inline constexpr const char *SubjectQuickEdits[] = {"-None-", "Restore", "Clear"};

// The piece of text after the first opening delimiter (or from the start when there is none)
// up to the first closing one after it (or 255 characters); empty when neither is present.
std::string DelimitedPiece(const std::string &text, char opening, char closing);
std::string MailerName(const std::string &address); // between the first two double quotes
std::string MailerId(const std::string &address);   // between "<" and "@"
std::string MailerIsp(const std::string &address);  // between "@" and ">"

// Drop-down entries offered for the address and subject boxes.
std::vector<std::string> AddressChoices(const std::string &address);
std::vector<std::string> SubjectChoices(const std::string &subject);

// A history list of the editor ("AddressBook.ini", "AltPath.ini"): one entry per line.
class THistoryList
{
public:
    explicit THistoryList(std::string path = std::string()) : Path(std::move(path)) {}
    std::string Path;
    TStringList Entries;

    void Load();                           // a missing file gives an empty list
    bool Save(const std::string &current); // adds current when new and not empty, writes
    bool CanDelete(const std::string &text) const;
    bool Delete(const std::string &text); // removes the entry and writes the file
};

// The state of the filter criteria editor, apart from any window.
class TRuleEditState
{
public:
    enum TMatchBy { mbBoth = 0, mbAddress = 1, mbSubject = 2 };
    enum TAddressQuickEdit { aqNone, aqRestore, aqClear, aqMailerName, aqMailerId, aqMailerIsp };
    enum TSubjectQuickEdit { sqNone, sqRestore, sqClear };

    bool Blank = true;
    std::string RememberedAddress, RememberedSubject;
    std::string AddressText, SubjectText;
    std::vector<std::string> AddressList, SubjectList;
    int AddressMode = mmContains, SubjectMode = mmContains;
    TMatchBy MatchBy = mbBoth;
    bool AddressEnabled = true, SubjectEnabled = true;
    std::string AlertName;
    std::string ForwardTo, AltFolder;
    bool Forward = false, ToMobile = false;
    int MaxSize = DefaultMaxSize;
    bool SaveToInbox = false, DeleteFromServer = false, SaveToAltFolder = false;
    bool AltFolderEnabled = false; // "Browse for Folder" and the folder box
    bool ApplyEnabled = false;

    // Fills the state as the editor opens (fields are ignored when blank).
    void Open(bool blank, const TRuleFields &fields);
    // The edited rule as nine fields.
    TRuleFields Fields() const;
    // Window width in pixels for the remembered texts.
    int WindowWidth() const;

    void SetMatchBy(TMatchBy matchBy);
    void SetSaveToAltFolder(bool on);
    // Quick edits change nothing while their box is disabled.
    void AddressQuickEdit(TAddressQuickEdit edit);
    void SubjectQuickEdit(TSubjectQuickEdit edit);
    // Any other change enables Apply.
    void Changed() { ApplyEnabled = true; }
    // Apply is refused while both texts are empty.
    bool CanApply() const;
};
