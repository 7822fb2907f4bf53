#include "korrind/maincommandlogic.h"

#include <algorithm>

#include "common/names.h"
#include "common/smtpinterface.h"
#include "common/text.h"
#include "common/utils.h"

TSummaryClick SummaryClickCase(const TListRow *row, bool smartMailRead)
{
    if (row == nullptr)
        return TSummaryClick::ListAll;
    const int messages = MessagesOf(*row);
    if (messages == 0)
        return TSummaryClick::OpenInbox;
    if (messages == 1 || smartMailRead)
        return TSummaryClick::ReadLast;
    return TSummaryClick::ListOne;
}

int MessagesOf(const TListRow &summaryRow)
{
    const long long messages = StrToIntDef(Trim(summaryRow.Cell(scMsgs)), 0);
    return messages > 0 && messages <= INT32_MAX ? int(messages) : 0;
}

void ShowDeletion(TListRow &summaryRow, int left, bool newestGone)
{
    summaryRow.SetCell(scMsgs, std::to_string(std::min(MessagesOf(summaryRow), left)));
    if (!newestGone && left > 0)
        return;
    for (size_t cell = scFrom; cell < SummaryCellCount; ++cell)
        summaryRow.SetCell(cell, "");
    if (left == 0)
        summaryRow.ImageIndex = siOrdinary;
}

bool AsksBeforeReading(const TListRow &summaryRow, bool warnLargeMail, long long &size)
{
    size = StrToIntDef(Trim(summaryRow.Cell(scSize)), 0);
    return warnLargeMail && size > LargeMessageLimit;
}

std::string MailboxAddress(const TListRow &mailbox)
{
    return MailboxSenderAddress(mailbox.Caption, mailbox.Cell(mcMailServer));
}

std::string RejectionBoxAddress(const TListRows &mailboxes)
{
    return mailboxes.empty() ? std::string() : MailboxAddress(mailboxes.front());
}

std::string MasterListFile(const std::string &rulesFolder, bool reject)
{
    return TUtils::AddBackslash(rulesFolder) +
           (reject ? names::MasterRejectFile : names::MasterPriorityFile);
}

std::vector<std::string> SyncAllFiles(const std::string &rulesFolder, const TListRows &mailboxes)
{
    std::vector<std::string> files = {MasterListFile(rulesFolder, false),
                                      MasterListFile(rulesFolder, true)};
    for (const TListRow &mailbox : mailboxes) {
        const std::string folder = TUtils::AddBackslash(mailbox.Cell(mcInboxPath));
        files.push_back(folder + names::PriorityFile);
        files.push_back(folder + names::RejectFile);
    }
    return files;
}
