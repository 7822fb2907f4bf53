// TMailList: the logic of the server mail list window. It lists the messages waiting on the
// servers of one mailbox or of every active one, and deletes, saves, opens and rejects them. Rows
// are keyed by mailbox and message number; before a later session acts on a row, the row is
// found again on the server by its unique id (its number when it has none) and must still show
// its Message-ID and size there, so a message that moved is acted on at its new number and one
// that is gone or cannot be told apart is skipped, never another one.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "common/listrows.h"
#include "common/stringlist.h"

struct TMailSummary;

namespace maillisttext {
inline constexpr char CaptionAll[] = "Mail for: All Listed";
inline constexpr char CaptionOne[] = " Mail for: %s";
inline constexpr char MessageCount[] = "Message Count: %d";
inline constexpr char LastMailError[] = "Error loading LastMail:%s";
inline constexpr char DeleteOne[] =
    "\nYou are about to delete %d message.\n\nPress OK to continue?\n";
inline constexpr char DeleteMany[] =
    "\nYou are about to delete %d messages.\n\nPress OK to continue?\n";
inline constexpr char DeleteError[] = "Error Deleting Msg %d";
inline constexpr char DeletedSkipped[] = "Deleted %d - %d no longer on the server as listed";
inline constexpr char Saving[] = "Saving: %s";
inline constexpr char SaveOk[] = "Operation Successful";
inline constexpr char SaveError[] = "Error Saving File";
inline constexpr char SavedSkipped[] = "Saved %d - %d no longer on the server as listed";
inline constexpr char RejectGone[] =
    "%s: the message from %s is no longer on the server as listed; "
    "left alone";
inline constexpr char RejectFailed[] = "%s: the message from %s could not be rejected";
inline constexpr char Read[] = "Read";
// The Run Mail caption when no mail program is set: the desktop's default one opens the mail.
inline constexpr char DefaultMailProgram[] = "Default Mail Program";
inline constexpr char SaveTitle[] = "Save Mail";
inline constexpr char SaveFilter[] = "Email (*.eml);;Text(*.txt);;All Files (*)";
inline constexpr const char *Columns[] = {"No.",         "From",         "Subject", "Time/Date",
                                          "Size",        "Addressed To", "User ID", "Reply To",
                                          "Mailbox No.", "Read"};
} // namespace maillisttext

// Columns of the list, "No." first.
enum TMailListColumn : int {
    mlNumber = 0,
    mlFrom,
    mlSubject,
    mlDate,
    mlSize,
    mlTo,
    mlUser,
    mlReplyTo,
    mlMailbox,
    mlRead,
    MailListColumnCount
};

struct TMailListRow
{
    int Number = 0;  // on the server when listed, 1 = oldest
    int Mailbox = 0; // row of the Mailboxes list
    std::string From, Subject, Date, To, User, Received;
    int32_t Size = 0;
    bool Multipart = false; // the header mentions "multipart": the attachment mark
    bool Read = false;
    std::string UniqueId; // UIDL when the server offered it
    std::string MessageId;
    std::string HeaderText;

    std::string Text(int column) const;
};

// The sender made into a file name: control characters become "_", a run of break
// characters collapses and the letter after it is made upper case; with the empty separator
// "John Smith <jsmith>" becomes "JohnSmithJsmith".
std::string MakeFileName(const std::string &text, const std::string &separator);

// Writes the lines (CRLF after each) to a new file at path, which shows either nothing or the
// whole message; an existing file is never replaced (false then).
bool WriteNewMessageFile(const std::string &path, const TStringList &lines);

class TMailList
{
public:
    explicit TMailList(TListRows &mailboxes) : Mailboxes(mailboxes) {}

    TListRows &Mailboxes;
    std::string MailboxName; // "" lists every active mailbox
    bool AllListed = true;
    std::vector<TMailListRow> Rows;
    int16_t Result = 0; // 2 once a message was deleted on a server

    // Connects the POP3 session to the mailbox of a Mailboxes row; false when it could not (or
    // the session is held by a check pass).
    std::function<bool(int mailboxRow)> OnConnectMailbox;
    // Takes (true) and gives back (false) the POP3 session for one command; false when a
    // check pass holds it. Without it the session is always free.
    std::function<bool(bool hold)> OnHoldSession;
    std::function<void(const std::string &text)> OnStatus;
    // The rows were replaced: by a fill (refilled) or in a new order. Or changed in place.
    std::function<void(bool refilled)> OnRowsReset;
    std::function<void()> OnRowsChanged;
    // The message's sender and subject offered for a list (Smart Rejection on deletion).
    std::function<void(const TMailListRow &row, bool reject, bool master)> OnAddSender;

    void Open(const std::string &mailboxName);
    std::string Caption() const;
    void Fill();
    // The sender (and subject) of a row added to its mailbox's or the master priority or
    // rejection list, as the list's commands add it.
    bool AddSender(const TMailListRow &row, bool reject, bool master) const;
    // The row showing the message told by content (unique id when the row has one, Message-ID
    // and size) in a mailbox; −1 when none does.
    int FindRow(int mailboxRow, const std::string &uniqueId, const std::string &messageId,
                int32_t size) const;
    // Sorts by a column clicked (the shared sort state decides the direction).
    void SortByColumn(int column);
    void Sort();

    // The rows given (indices into Rows), deleted on their servers, each mailbox in one
    // session. Answers how many were deleted.
    int DeleteRows(const std::vector<size_t> &rows, bool smartRejection);
    // The rows given handled as rejected mail, each found on its server again first: a copy
    // in the rejected-mail folder when the settings keep one, then the message removed to
    // where the server keeps junk (deleted where it has none). A row no longer on the server
    // as listed is left alone and logged. Answers how many were removed.
    int RejectRows(const std::vector<size_t> &rows);
    // Saves rows to their mailboxes' inbox folders under their default names; answers how
    // many were saved.
    int SaveRows(const std::vector<size_t> &rows);
    // Saves one row to file.
    bool SaveRowAs(size_t row, const std::string &file);
    // Run Mail: the row's message into the scratch file, then the program on it.
    bool OpenRow(size_t row, const std::string &program);

    std::string InboxFolder(int mailboxRow) const;
    // "" when every candidate name exists already.
    std::string DefaultSaveName(size_t row) const;

private:
    bool Hold();
    void Release();
    bool Listed(int mailboxRow) const;
    void FillMailbox(int mailboxRow);
    std::vector<TMailListRow> Incoming; // rows of the fill under way
    bool ReadCache(int mailboxRow, int count, TStringList &cache);
    // The unique id of the message each summary line describes, found through the mailbox's
    // id cache ("" where it cannot be told); ids is the server's listing.
    std::vector<std::string> IdsByContent(int mailboxRow, const TStringList &lines,
                                          const std::vector<std::string> &ids) const;
    void AddRow(int number, int mailboxRow, const TMailSummary &summary,
                const std::vector<std::string> &ids);
    void Status(const std::string &text);
    // The rows grouped by mailbox, the mailboxes in the order of their first rows.
    std::vector<std::pair<int, std::vector<size_t>>>
    ByMailbox(const std::vector<size_t> &rows) const;
    // Takes the session and connects it to the mailbox; false (session given back) when not.
    bool OpenSession(int mailbox);
    // Finds the rows on the connected server: the message number each one has now, 0 when
    // it is gone, changed or not to be told apart from another.
    std::vector<int> CurrentNumbers(const std::vector<size_t> &rows);
    // Retrieves the rows of one mailbox (all in one session) and hands each to write.
    int ForEachMessage(const std::vector<size_t> &rows,
                       const std::function<bool(size_t row, TStringList &lines)> &write,
                       int &skipped);
};
