// What the main window's Summary and companion commands decide, without windows: which case a
// double click on the Summary list is, when reading the newest message asks first, and the
// files and addresses the companions are started with.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/listrows.h"

namespace commandtext {
inline constexpr char LargeMessageQuestion[] = "Message Size Is: %d.\nDo you want to continue?";
} // namespace commandtext

// Messages larger than this ask before they are read, when "Warn on Large E-mails" is on.
inline constexpr long long LargeMessageLimit = 50000;

// What a double click on the Summary list does.
enum class TSummaryClick {
    ListAll,   // no row: the server mail list of every mailbox
    OpenInbox, // no message on the server: the saved messages instead
    ReadLast,  // read the newest message
    ListOne    // the server mail list of the row's mailbox
};

// row is the selected Summary row, null when none is selected.
TSummaryClick SummaryClickCase(const TListRow *row, bool smartMailRead);

// The number of messages a Summary row shows (0 when it shows none or no number).
int MessagesOf(const TListRow &summaryRow);

// What a Summary row shows once messages of its mailbox were deleted from the server: no more
// messages than are left, and no message once the newest one or all of them are gone.
void ShowDeletion(TListRow &summaryRow, int left, bool newestGone);

// True when reading the row's newest message must be confirmed first; size gets its size.
bool AsksBeforeReading(const TListRow &summaryRow, bool warnLargeMail, long long &size);

// The address of a Mailboxes row, as it sends mail (MailboxSenderAddress).
std::string MailboxAddress(const TListRow &mailbox);

// The address the rejected mail is shown with: the first mailbox's, "" without mailboxes.
std::string RejectionBoxAddress(const TListRows &mailboxes);

// A master list file in the rules folder.
std::string MasterListFile(const std::string &rulesFolder, bool reject);

// The list files Sync All hands the rules synchronisation: both master lists, then the
// priority and rejection list of every mailbox, in list order.
std::vector<std::string> SyncAllFiles(const std::string &rulesFolder, const TListRows &mailboxes);
