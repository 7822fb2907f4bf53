// Rows of the report-style lists as plain data: the Mailboxes list (one row per mailbox
// record) and the Summary list (one row per active mailbox). Engines read and write these
// containers; windows show them through an item model.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct TListRow
{
    std::string Caption;
    std::vector<std::string> Cells; // sub-items, numbered from 0
    bool Checked = false;
    int ImageIndex = 0;

    // The text of cell index, "" when the row has no such cell.
    const std::string &Cell(std::size_t index) const;
    // Sets cell index, adding empty cells before it when needed.
    void SetCell(std::size_t index, const std::string &text);
};

using TListRows = std::vector<TListRow>;

// Index of the first row whose caption equals caption exactly, -1 when none.
int FindRow(const TListRows &rows, const std::string &caption);

// Cells of a Mailboxes row; the caption is the user ID and the check box is `Active`.
enum TMailboxCell : std::size_t {
    mcMailServer = 0,
    mcPassword = 1, // what the list shows, see PasswordCellText
    mcDel = 2,      // "No" when mail is left on the server, else "Yes"
    mcInboxPath = 3,
    mcArrivalAlert = 4,
    mcPriorityAlert = 5,
    mcRejectActive = 6, // hidden cells 6 to 10
    mcPriorityActive = 7,
    mcAliasActive = 8,
    mcBoxProtected = 9,
    mcBoxPassword = 10,
    MailboxCellCount = 11
};

// Cells of a Summary row; the caption is the user ID, the image its state.
enum TSummaryCell : std::size_t {
    scMsgs = 0,
    scFrom = 1,
    scSubject = 2,
    scDate = 3,
    scSize = 4,
    scReplyTo = 5,
    SummaryCellCount = 6
};

// Images of a Summary row.
enum TSummaryImage : int { siOrdinary = 0, siTimedOut = 1, siNewMail = 2, siPriorityMail = 3 };

// Column captions, the caption column first.
inline constexpr const char *MailboxColumns[] = {
    "User ID", "Mail Server", "Password", "Del", "Inbox Path", "Arrival Alert", "Priority Alert"};
inline constexpr const char *SummaryColumns[] = {"Mailbox ID", "Msgs", "From",    "Subject",
                                                 "Date",       "Size", "Reply To"};

// Texts of the mailbox cells.
inline constexpr char PasswordNotGiven[] = "Add PW";
inline constexpr char PasswordMask[] = "********";
inline constexpr char DelYes[] = "Yes";
inline constexpr char DelNo[] = "No";
inline constexpr char FlagOn[] = "1";
inline constexpr char FlagOff[] = "0";

// What the "Password" cell shows: the password itself when passwords are displayed, otherwise
// a mask for a given password and "Add PW" for none.
std::string PasswordCellText(const std::string &password, bool displayPasswords);
// A password the user gave: neither empty nor the "Add PW" placeholder, which is never sent.
bool PasswordGiven(const std::string &password);

// A hidden flag cell counts as set when it is a non-zero number.
bool FlagCellSet(const std::string &cell);
