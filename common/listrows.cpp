#include "common/listrows.h"

#include "common/text.h"

const std::string &TListRow::Cell(std::size_t index) const
{
    static const std::string empty;
    return index < Cells.size() ? Cells[index] : empty;
}

void TListRow::SetCell(std::size_t index, const std::string &text)
{
    if (index >= Cells.size())
        Cells.resize(index + 1);
    Cells[index] = text;
}

int FindRow(const TListRows &rows, const std::string &caption)
{
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i].Caption == caption)
            return static_cast<int>(i);
    return -1;
}

std::string PasswordCellText(const std::string &password, bool displayPasswords)
{
    if (displayPasswords)
        return password;
    return password != PasswordNotGiven ? PasswordMask : PasswordNotGiven;
}

bool PasswordGiven(const std::string &password)
{
    return !password.empty() && password != PasswordNotGiven;
}

bool FlagCellSet(const std::string &cell)
{
    return StrToIntDef(cell, 0) != 0;
}
