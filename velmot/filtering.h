// The rules manager's list: one priority or rejection list file shown as rows (the address in
// the caption, the other eight fields in cells 0 to 7), edited in memory and written back
// sorted, without duplicates, when the user applies.
#pragma once

#include <string>

#include "common/filterparam.h"
#include "common/listrows.h"
#include "common/names.h"
#include "common/stringlist.h"

// Column captions of the list, the caption column first.
inline constexpr const char *FilterColumns[] = {
    "From",      "Subject",         "Audio Alert",  "Add Flag",       "Sbj Flag",
    "Fwd Flags", "Forward Address", "Option Flags", "Alternet Folder"};
inline constexpr int FilterColumnCount = 9;

// The program's application title, and the window's caption for a file that is none of the
// four lists.
inline constexpr char RulesManagerTitle[] = "Corvex Rules Manager";
inline constexpr char CantCreateMessage[] = "Can't Create:\n%s";
inline constexpr const char *CantReadMessage = names::CantReadFile;

class TFilterList
{
public:
    std::string ListFile;
    TStringList Lines; // the file's lines as read (without empty lines)
    TListRows Rows;
    std::string LastError; // the message of the last failed load or apply

    // The window's caption for a list file name; "" when it is none of the four lists.
    static std::string TitleFor(const std::string &listFile);

    // Reads ListFile into Lines and Rows. A missing file is created empty; a file that can be
    // neither read nor created fails (LastError holds the message to show).
    bool Load();

    TRuleFields RowFields(int row) const;
    void AddRow(const TRuleFields &fields);
    void SetRow(int row, const TRuleFields &fields);
    void RemoveRow(int row);

    // The rows as rule lines, sorted ignoring case, each line once (ignoring case); a blank row
    // is no rule and left out.
    TStringList SortedLines() const;

    // Writes the rows to ListFile. Lines another program (the monitor) added to the file since
    // it was loaded are kept. The rows then show what the file holds: its rules in its order,
    // one row for rules that differ only in case. A file that can no longer be read is left as
    // it is (false).
    bool Apply();

    // Widths in characters of the longest caption and subject.
    int LongestCaption() const;
    int LongestSubject() const;

private:
    // Lines that were in the file when it was read or last written: a line missing from the
    // rows but present here was removed by the user.
    TStringList Known;
};
