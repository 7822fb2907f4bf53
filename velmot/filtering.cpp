#include "velmot/filtering.h"

#include <algorithm>

#include "common/names.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

bool Contains(const std::string &text, const char *part)
{
    return text.find(part) != std::string::npos;
}

TListRow RowFromFields(const TRuleFields &fields)
{
    TListRow row;
    row.Caption = Trim(fields[rfAddress]);
    for (int field = 1; field < RuleFieldCount; ++field)
        row.SetCell(std::size_t(field - 1), Trim(fields[std::size_t(field)]));
    return row;
}

} // namespace

std::string TFilterList::TitleFor(const std::string &listFile)
{
    if (Contains(listFile, names::MasterPriorityFile))
        return "Master E-mail Priority List";
    if (Contains(listFile, names::PriorityFile))
        return "E-mail Priority List";
    if (Contains(listFile, names::MasterRejectFile))
        return "Master E-mail Rejection List";
    if (Contains(listFile, names::RejectFile))
        return "E-mail Rejection List";
    return {};
}

bool TFilterList::Load()
{
    Rows.clear();
    LastError.clear();
    const TListLoad load = LoadListFile(ListFile, Lines);
    if (load == TListLoad::Unreadable) {
        LastError = Format(CantReadMessage, ListFile.c_str());
        return false;
    }
    if (load == TListLoad::Missing && !TUtils::FileExists(ListFile)) {
        LastError = Format(CantCreateMessage, ListFile.c_str());
        return false;
    }
    for (const std::string &line : Lines) {
        TUtils::ProcessMessages();
        Rows.push_back(RowFromFields(SplitRule(line)));
    }
    Known = Lines;
    return true;
}

TRuleFields TFilterList::RowFields(int row) const
{
    const TListRow &shown = Rows.at(std::size_t(row));
    TRuleFields fields{Trim(shown.Caption)};
    for (int cell = 0; cell < RuleFieldCount - 1; ++cell)
        fields.push_back(Trim(shown.Cell(std::size_t(cell))));
    return fields;
}

void TFilterList::AddRow(const TRuleFields &fields)
{
    Rows.push_back(RowFromFields(fields));
}

void TFilterList::SetRow(int row, const TRuleFields &fields)
{
    Rows.at(std::size_t(row)) = RowFromFields(fields);
}

void TFilterList::RemoveRow(int row)
{
    Rows.erase(Rows.begin() + row);
}

TStringList TFilterList::SortedLines() const
{
    TStringList lines;
    for (int row = 0; row < int(Rows.size()); ++row) {
        // The monitor writes rules the same way, so each program sees the other's as equal.
        std::string line = JoinRule(RowFields(row));
        if (!IsBlankRule(line) && lines.IndexOf(line) < 0)
            lines.Add(line);
    }
    lines.Sort();
    return lines;
}

bool TFilterList::Apply()
{
    LastError.clear();
    TStringList onDisk;
    if (LoadListFile(ListFile, onDisk) == TListLoad::Unreadable) {
        LastError = Format(CantReadMessage, ListFile.c_str());
        return false;
    }
    TStringList lines = SortedLines();
    for (const std::string &line : onDisk)
        if (Known.IndexOf(line) < 0 && lines.IndexOf(line) < 0)
            lines.Add(line);
    lines.Sort();
    if (!lines.SaveToFile(ListFile)) {
        LastError = Format(CantCreateMessage, ListFile.c_str());
        return false;
    }
    Lines = lines;
    Known = lines;
    Rows.clear();
    for (const std::string &line : lines)
        Rows.push_back(RowFromFields(SplitRule(line)));
    return true;
}

int TFilterList::LongestCaption() const
{
    std::size_t longest = 0;
    for (const TListRow &row : Rows)
        longest = std::max(longest, row.Caption.size());
    return int(longest);
}

int TFilterList::LongestSubject() const
{
    std::size_t longest = 0;
    for (const TListRow &row : Rows)
        longest = std::max(longest, row.Cell(0).size());
    return int(longest);
}
