// The mailbox editor's logic: what the editor shows for a mailbox record, which entries can be
// stored, how the record is written back, and how the main window's Add and Edit commands take
// a record out of the Mailboxes list and put the edited one back. No window code here; the
// window (TMailBoxEditFrm) reads and writes its controls through TMailboxFields.
#pragma once

#include <string>

#include "common/listrows.h"
#include "common/records.h"
#include "korrind/signinchoice.h"

class TDataStore;

// Fixed texts of the mailbox editor.
namespace mailboxtext {
inline constexpr char Caption[] = "Mailbox Properties";
inline constexpr char InboxFolderTitle[] = "Set Path to Inbox";
inline constexpr char AudioFileTitle[] = "Open Audio File";
inline constexpr char AudioFileFilter[] = "*.wav (*.wav);;All Files (*)";
inline constexpr char AudioFileExt[] = "wav";
inline constexpr char NoSound[] = "-none-";
inline constexpr char TooLong[] = "%s is too long: it may have at most %d bytes.";
inline constexpr char InboxTooLong[] =
    "The saved messages folder and the user ID together are too long: at most %d bytes.";
inline constexpr char UserIdMissing[] = "Please enter the user ID.";
inline constexpr char UserIdInvalid[] = "\"%s\" can't be a user ID: it names a folder.";
inline constexpr char Duplicate[] = "The mailbox %s is already in the list.";
inline constexpr char MailServerPlaceholder[] = "host[:port], pop3s://host or imaps://host/folder";
inline constexpr char MailServerTip[] =
    "The mail server of the mailbox, written as:\n"
    "host or host:port - POP3, TLS when the server offers it\n"
    "pop3s://host[:port] - POP3, TLS from the start (also port 995)\n"
    "pop3+tls://host[:port] - POP3, TLS required, started with STLS\n"
    "imap://host[:port] - IMAP, TLS when the server offers it\n"
    "imaps://host[:port] - IMAP, TLS from the start (also port 993)\n"
    "imap+tls://host[:port] - IMAP, TLS required, started with STARTTLS\n"
    "An IMAP address may end in the folder to watch (imaps://host/Lists/Work); INBOX without one.";
inline constexpr char UnknownServerForm[] =
    "\"%s\" is not a mail server this program can reach: write host or host:port, or begin with "
    "pop3s://, pop3+tls://, imap://, imaps:// or imap+tls://.";
inline constexpr char ServerHostMissing[] = "The mail server \"%s\" names no host.";
} // namespace mailboxtext

// Longest entries, in bytes: each fits its record field with the terminating zero. A user ID
// is typed with at most 32 bytes, though its field holds more.
inline constexpr int UserIdLimit = 32;
static_assert(UserIdLimit < int(sizeof(TMailBoxRecord::UserId)));
inline constexpr int MailServerLimit = int(sizeof(TMailBoxRecord::MailServer)) - 1;
inline constexpr int MailPasswordLimit = 32;
inline constexpr int InboxPathLimit = int(sizeof(TMailBoxRecord::InboxPath)) - 1;
static_assert(MailPasswordLimit < int(sizeof(TMailBoxRecord::Password)));

// The entries whose length is limited, their limits and the refusal of a longer text.
enum TMailboxEntry { meUserId, mePassword, meMailServer };
int EntryLimit(TMailboxEntry entry);
std::string TooLongText(TMailboxEntry entry, int limit);
inline std::string TooLongText(TMailboxEntry entry)
{
    return TooLongText(entry, EntryLimit(entry));
}

// The user ID limit of a record being edited: a longer ID it already holds (the mailbox import
// fills the whole field) stays as it is and can be shortened, never lengthened.
int UserIdLimitFor(const std::string &storedUserId);

// The editor's working copy of a record: the controls' values and the protection state.
struct TMailboxFields
{
    std::string UserId;
    std::string Password;
    std::string MailServer;
    std::string Storage; // the folder that holds the mailbox's own inbox folder
    bool LeaveOnServer = false;
    bool RejectActive = false;
    bool PriorityActive = false;
    bool AliasActive = false;
    std::string ArrivalAlert;
    std::string PriorityAlert;
    bool BoxProtected = false;
    std::string BoxPassword;
    TSignInChoice SignIn; // with OAuth2 the record keeps no password
};

// The folder shown for an inbox folder: its parent when the last path component is the user
// ID (so "/home/john/mail/john" shows "/home/john/mail"), otherwise the whole path.
std::string StorageFolderOf(const std::string &inboxPath, const std::string &userId);

// The inbox folder of a storage folder and a user ID; an empty storage is the data root.
std::string InboxFolderFor(const std::string &storage, const std::string &userId,
                           const std::string &dataRoot);

// The editor's values for a record.
TMailboxFields FieldsOf(const TMailBoxRecord &record);

// Why the fields cannot be stored ("" when they can): an entry longer than its limit (the
// user ID's is userIdLimit), an inbox folder (InboxFolderOf) that would not fit its field, a
// missing user ID or one that names a folder ("/" in it, "." or ".."), or a mail server
// (CheckMailServer) in a form no session takes.
std::string CheckFields(const TMailboxFields &fields, const std::string &inboxFolder,
                        int userIdLimit = UserIdLimit);

// Why server cannot be a mailbox's mail server ("" when it can): a scheme other than those of
// POP3 (pop3://, pop3s://, pop3+tls://) and IMAP (imap://, imaps://, imap+tls://), in any case,
// or no host after the scheme. An empty server is left to the check itself.
std::string CheckMailServer(const std::string &server);

// Why the mailbox cannot join the list ("" when it can): another row (not exceptRow) has the
// same user ID on the same server.
std::string CheckDuplicate(const TListRows &mailboxes, int exceptRow, const std::string &userId,
                           const std::string &mailServer);

// The inbox folder the record gets for the fields: built from the storage folder and the user
// ID only when either of them differs from what the record showed, so a record whose folder
// does not end in its user ID keeps its inbox (and the mail already handled there) when only
// other fields change.
std::string InboxFolderOf(const TMailboxFields &fields, const TMailBoxRecord &record,
                          const std::string &dataRoot);

// Writes accepted fields into the record, the inbox folder as InboxFolderOf says; that folder
// is created (one level) when missing.
void StoreFields(const TMailboxFields &fields, const std::string &dataRoot, TMailBoxRecord &record);

// Writes the sign-in choice of accepted fields for the record as the editor opened it: its
// entry follows a changed user ID or server, and goes when the password is chosen. False (and
// logged) when the sign-in store could not be written.
bool StoreSignIn(const TMailboxFields &fields, const TMailBoxRecord &record,
                 const std::string &dataRoot);

// Whether the mailbox signs in with OAuth2 but never did: an imported one waits so, inactive,
// and is checked once the user signed in.
bool AwaitsFirstSignIn(const std::string &dataRoot, const std::string &userId,
                       const std::string &server);

// ---- the main window's commands on the Mailboxes list

// Add: a blank record in the data root, mail left on the server, the first mailbox's server.
TMailBoxRecord NewMailboxRecord(const TListRows &mailboxes, const std::string &dataRoot);

// Edit: the record of a row with its stored password. A missing inbox folder is replaced by
// the data root's folder of the user, and changed is set (the editor then starts changed).
TMailBoxRecord RecordOfRow(const TDataStore &store, int row, const std::string &dataRoot,
                           bool &changed);

// Puts an accepted record into the list: a new row at the end (row −1, active) or the row
// replaced (its check box kept), with its password, inbox and shown password cell.
void PutRecord(TDataStore &store, int row, const TMailBoxRecord &record, bool displayPasswords);

// Remove: the row goes; its sign-in entry goes when the change is saved (PruneChoices).
void RemoveMailbox(TDataStore &store, int row);

// Whether the active (checked) mailboxes are no longer the ones the Summary lists: Apply then
// rebuilds the Summary and checks at once. Compares the sets, not only their sizes.
bool ActiveMailboxesChanged(const TListRows &mailboxes, const TListRows &summary);
