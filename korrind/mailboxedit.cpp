#include "korrind/mailboxedit.h"

#include <algorithm>
#include <tuple>

#include "common/net/imapclient.h"
#include "common/net/pop3client.h"
#include "common/text.h"
#include "common/utils.h"

std::string StorageFolderOf(const std::string &inboxPath, const std::string &userId)
{
    const std::string path = TUtils::RemoveTrailingBackslash(inboxPath);
    const std::size_t slash = path.rfind('/');
    if (userId.empty() || slash == std::string::npos || path.substr(slash + 1) != userId)
        return inboxPath;
    return path.substr(0, slash);
}

std::string InboxFolderFor(const std::string &storage, const std::string &userId,
                           const std::string &dataRoot)
{
    return TUtils::AddBackslash(storage.empty() ? dataRoot : storage) + userId;
}

TMailboxFields FieldsOf(const TMailBoxRecord &record)
{
    TMailboxFields fields;
    fields.UserId = GetText(record.UserId);
    fields.Password = GetText(record.Password);
    fields.MailServer = GetText(record.MailServer);
    fields.Storage = StorageFolderOf(GetText(record.InboxPath), fields.UserId);
    fields.LeaveOnServer = record.LeaveOnServer != 0;
    fields.RejectActive = record.RejectActive != 0;
    fields.PriorityActive = record.PriorityActive != 0;
    fields.AliasActive = record.AliasActive != 0;
    fields.ArrivalAlert = GetText(record.ArrivalAlert);
    fields.PriorityAlert = GetText(record.PriorityAlert);
    fields.BoxProtected = record.BoxProtected != 0;
    fields.BoxPassword = GetText(record.BoxPassword);
    return fields;
}

int EntryLimit(TMailboxEntry entry)
{
    switch (entry) {
    case meUserId:
        return UserIdLimit;
    case mePassword:
        return MailPasswordLimit;
    default:
        return MailServerLimit;
    }
}

std::string TooLongText(TMailboxEntry entry, int limit)
{
    const char *const names[] = {"The user ID", "The password", "The mail server"};
    return Format(mailboxtext::TooLong, names[entry], limit);
}

int UserIdLimitFor(const std::string &storedUserId)
{
    const int fieldLimit = int(sizeof(TMailBoxRecord::UserId)) - 1;
    return std::clamp(int(storedUserId.size()), UserIdLimit, fieldLimit);
}

std::string CheckFields(const TMailboxFields &fields, const std::string &inboxFolder,
                        int userIdLimit)
{
    const std::tuple<TMailboxEntry, const std::string &, int> entries[] = {
        {meUserId, fields.UserId, userIdLimit},
        {mePassword, fields.Password, EntryLimit(mePassword)},
        {meMailServer, fields.MailServer, EntryLimit(meMailServer)}};
    for (const auto &[entry, text, limit] : entries)
        if (int(text.size()) > limit)
            return TooLongText(entry, limit);
    if (fields.UserId.empty())
        return mailboxtext::UserIdMissing;
    if (fields.UserId.find('/') != std::string::npos || fields.UserId == "." ||
        fields.UserId == "..")
        return Format(mailboxtext::UserIdInvalid, fields.UserId.c_str());
    if (int(inboxFolder.size()) > InboxPathLimit)
        return Format(mailboxtext::InboxTooLong, InboxPathLimit);
    return CheckMailServer(fields.MailServer);
}

std::string CheckMailServer(const std::string &server)
{
    const std::string address = Trim(server);
    const std::size_t schemeEnd = address.find("://");
    if (schemeEnd == std::string::npos)
        return {};
    const char *const schemes[] = {"pop3://",  "pop3s://",  Pop3RequireTlsScheme,
                                   ImapScheme, ImapsScheme, ImapRequireTlsScheme};
    const std::string scheme = address.substr(0, schemeEnd + 3);
    if (std::none_of(std::begin(schemes), std::end(schemes),
                     [&scheme](const char *known) { return SameText(scheme, known); }))
        return Format(mailboxtext::UnknownServerForm, address.c_str());
    const std::string rest = address.substr(schemeEnd + 3);
    const std::string hostAndPort = rest.substr(0, rest.find('/'));
    if (hostAndPort.empty() || hostAndPort[0] == ':')
        return Format(mailboxtext::ServerHostMissing, address.c_str());
    return {};
}

std::string CheckDuplicate(const TListRows &mailboxes, int exceptRow, const std::string &userId,
                           const std::string &mailServer)
{
    for (int i = 0; i < int(mailboxes.size()); ++i) {
        const TListRow &row = mailboxes[std::size_t(i)];
        if (i != exceptRow && SameText(row.Caption, userId) &&
            SameText(row.Cell(mcMailServer), mailServer))
            return Format(mailboxtext::Duplicate,
                          Format("%s@%s", userId.c_str(), mailServer.c_str()).c_str());
    }
    return {};
}

std::string InboxFolderOf(const TMailboxFields &fields, const TMailBoxRecord &record,
                          const std::string &dataRoot)
{
    const TMailboxFields shown = FieldsOf(record);
    if (fields.Storage == shown.Storage && fields.UserId == shown.UserId)
        return GetText(record.InboxPath);
    return InboxFolderFor(fields.Storage, fields.UserId, dataRoot);
}

void StoreFields(const TMailboxFields &fields, const std::string &dataRoot, TMailBoxRecord &record)
{
    const std::string inbox = InboxFolderOf(fields, record, dataRoot);
    SetText(record.InboxPath, inbox);
    if (!TUtils::FolderExists(inbox)) {
        TUtils::CreateFolder(inbox);
        if (!TUtils::FolderExists(inbox) && Utils)
            Utils->DebugLog("Can't create the inbox folder %s", inbox.c_str());
    }
    SetText(record.UserId, fields.UserId);
    SetText(record.Password, fields.SignIn.OAuth2 ? std::string() : fields.Password);
    SetText(record.MailServer, fields.MailServer);
    SetText(record.ArrivalAlert, fields.ArrivalAlert);
    SetText(record.PriorityAlert, fields.PriorityAlert);
    record.LeaveOnServer = fields.LeaveOnServer;
    record.RejectActive = fields.RejectActive;
    record.PriorityActive = fields.PriorityActive;
    record.AliasActive = fields.AliasActive;
    record.BoxProtected = fields.BoxProtected;
    SetText(record.BoxPassword, fields.BoxPassword);
}

bool StoreSignIn(const TMailboxFields &fields, const TMailBoxRecord &record,
                 const std::string &dataRoot)
{
    std::string error;
    if (StoreChoice(dataRoot, oauth2::TPurpose::Mailbox, GetText(record.UserId),
                    GetText(record.MailServer), fields.UserId, fields.MailServer, fields.SignIn,
                    error))
        return true;
    if (Utils)
        Utils->DebugLog("Can't store the sign-in of %s: %s", fields.UserId.c_str(), error.c_str());
    return false;
}

bool AwaitsFirstSignIn(const std::string &dataRoot, const std::string &userId,
                       const std::string &server)
{
    const TSignInChoice choice = StoredChoice(dataRoot, oauth2::TPurpose::Mailbox, userId, server);
    return choice.OAuth2 && choice.Tokens.RefreshToken.empty() && choice.Tokens.AccessToken.empty();
}

// ---- the main window's commands

TMailBoxRecord NewMailboxRecord(const TListRows &mailboxes, const std::string &dataRoot)
{
    TMailBoxRecord record{};
    SetText(record.InboxPath, dataRoot);
    record.LeaveOnServer = 1;
    // A mailbox is added to be checked.
    record.Active = 1;
    if (!mailboxes.empty())
        SetText(record.MailServer, mailboxes.front().Cell(mcMailServer));
    return record;
}

TMailBoxRecord RecordOfRow(const TDataStore &store, int row, const std::string &dataRoot,
                           bool &changed)
{
    const TListRow &mailbox = store.Mailboxes[std::size_t(row)];
    std::string password;
    store.FindPassword(mailbox.Caption, mailbox.Cell(mcMailServer), password);
    TMailBoxRecord record = MailboxRecord(mailbox, password);
    changed = false;
    if (!TUtils::FolderExists(mailbox.Cell(mcInboxPath))) {
        SetText(record.InboxPath, InboxFolderFor(dataRoot, mailbox.Caption, dataRoot));
        changed = true;
    }
    return record;
}

void PutRecord(TDataStore &store, int row, const TMailBoxRecord &record, bool displayPasswords)
{
    TListRow edited = MailboxRow(record, displayPasswords);
    const std::string userId = edited.Caption;
    const std::string server = edited.Cell(mcMailServer);
    const std::string inboxLine = Format("%s=%s", userId.c_str(), edited.Cell(mcInboxPath).c_str());
    if (row < 0) {
        store.Mailboxes.push_back(edited);
        store.InboxMap.Add(inboxLine);
    } else {
        TListRow &old = store.Mailboxes[std::size_t(row)];
        std::string oldPassword;
        store.FindPassword(old.Caption, old.Cell(mcMailServer), oldPassword);
        // A mailbox waiting for its password (an imported one) is checked once it has one.
        edited.Checked =
            old.Checked || (!PasswordGiven(oldPassword) && PasswordGiven(GetText(record.Password)));
        store.RemovePassword(old.Caption, old.Cell(mcMailServer));
        const int inboxIndex = store.InboxMap.IndexOfName(old.Caption);
        if (inboxIndex >= 0)
            store.InboxMap[inboxIndex] = inboxLine;
        else
            store.InboxMap.Add(inboxLine);
        old = edited;
    }
    store.SetPassword(userId, server, GetText(record.Password));
}

void RemoveMailbox(TDataStore &store, int row)
{
    store.Mailboxes.erase(store.Mailboxes.begin() + row);
}

bool ActiveMailboxesChanged(const TListRows &mailboxes, const TListRows &summary)
{
    std::vector<std::string> active;
    for (const TListRow &row : mailboxes)
        if (row.Checked)
            active.push_back(row.Caption);
    std::vector<std::string> listed;
    for (const TListRow &row : summary)
        listed.push_back(row.Caption);
    std::sort(active.begin(), active.end());
    std::sort(listed.begin(), listed.end());
    return active != listed;
}
