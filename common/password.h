// Password protection: the master password with its security level, which guards the monitor's
// commands by action number (1 to 7), and each mailbox's own password. Every prompt goes through
// one password dialog (TPasswordf, installed by the program); the logic here decides what the
// user's entry means. Passwords are compared exactly, as plain text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "common/listrows.h"
#include "common/records.h"

// Dialog modes.
enum TPasswordMode { pmVerify = 0, pmNewPassword = 1, pmVerifyNew = 2 };

// Action numbers the guarded commands present to the gate.
enum TSecurityAction {
    saMailboxWork = 1,   // server mail list, mailbox editor, Remove, Inbox, Sync All, Load, ...
    saOpenMailbox = 2,   // double click on a mailbox; while restricted the summary hides senders
    saMasterLists = 3,   // master list management; while restricted the summary hides subjects
    saSettingsPages = 4, // entering the Mailboxes, Operation and Preferences pages
    saShowWindow = 5,    // showing the main window and leaving the Summary page
    saExit = 6,
    saCheckNow = 7, // Check Now and the temporary check interval
};

// Longest passwords the fixed record fields hold (one byte stays for the terminating zero).
inline constexpr std::size_t MasterPasswordMax = sizeof(TConfigRecord::MasterPassword) - 1;
inline constexpr std::size_t BoxPasswordMax = sizeof(TMailBoxRecord::BoxPassword) - 1;

// Fixed texts.
inline constexpr char AccessDeniedText[] = "Invalid Password!\nAccess Denied";
inline constexpr char PasswordCaption[] = "Password";
inline constexpr char PromptVerify[] = "  Password Protected:";
inline constexpr char PromptNew[] = "  New Password:";
inline constexpr char PromptVerifyNew[] = "  Verify New Password:";
inline constexpr char ActivateCaption[] = "Activate Password Protection";
// What a mailbox with its own password shows instead of a message's subject and reply-to.
inline constexpr char PasswordRequiredText[] = "***Password Required***";
inline constexpr char HiddenReplyToText[] = "????????????";

// What the user did in the dialog: Continue (Accepted) or Cancel, the entry, the check box.
struct TPasswordEntry
{
    bool Accepted = false;
    std::string Text;
    bool Activate = false;
};

// Shows the dialog modally in a mode; active is the check box's initial state and maxLength
// the longest entry a new password may have.
using TPasswordPrompt =
    std::function<TPasswordEntry(TPasswordMode mode, bool active, std::size_t maxLength)>;

// The dialog in use; an empty prompt (the default) refuses every request.
void SetPasswordPrompt(TPasswordPrompt prompt);
bool HasPasswordPrompt();

// Runs the dialog: mode 0 and 2 accept only an entry equal to password; mode 1 with the box
// checked sets password (a non-empty entry of at most maxLength characters, else refused) and
// active, unchecked it switches protection off and empties password (accepted).
bool RunPasswordDialog(TPasswordMode mode, bool &active, std::string &password,
                       std::size_t maxLength = BoxPasswordMax);

// True when the user types exactly expected and continues; an empty expected is refused at once.
bool VerifyPassword(const std::string &expected);

// Asks for a new password and its verification. True when a new password was set or protection
// was switched off; otherwise active and password are left as they were.
bool ChangePassword(bool &active, std::string &password, std::size_t maxLength = BoxPasswordMax);

// The same for the master password, written into its fixed field.
bool ChangeMasterPassword(uint8_t &active, char (&field)[sizeof(TConfigRecord::MasterPassword)]);

// The main window's "Password" command on the settings record: the current master password
// first when protection is on, then the change. True when the settings changed (Apply is then
// enabled); false means the window shows AccessDeniedText.
bool RunMasterPasswordCommand(TConfigRecord &config);

// Whether an action needs the master password under Globals->Config.
bool IsRestricted(int action);
// True when the action may run: not restricted, or the master password was given.
bool CheckAccess(int action);

// Index of the Mailboxes row whose caption is userId, after its own password when the mailbox
// is protected; -1 when there is no such row or the password was not given.
int FindCheckedMailbox(const TListRows &rows, const std::string &userId);

// What the monitor shows of one message: in its Summary list and in its notifications.
struct TShownMail
{
    std::string From, Subject, Date, Size, ReplyTo;
};

// The message as it may be shown for a mailbox (a Mailboxes row) under Globals->Config: the
// sender blank while action 2 is restricted; subject, date, size and reply-to blank while
// action 3 is; a mailbox with its own password shows PasswordRequiredText as the subject and
// HiddenReplyToText as the reply-to, with the date and size.
TShownMail MaskedMail(const TShownMail &mail, const TListRow &mailbox);
