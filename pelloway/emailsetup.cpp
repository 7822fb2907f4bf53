#include "pelloway/emailsetup.h"

#include <algorithm>
#include <set>

#include "common/emailreg.h"
#include "common/encrypt.h"
#include "common/globals.h"
#include "common/net/pop3client.h"
#include "common/oauth2/provider.h"
#include "common/oauth2/store.h"
#include "common/platform/folders.h"
#include "common/records.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

// Largest text each field takes, its terminating zero left out.
template <std::size_t N> constexpr std::size_t FieldRoom(const char (&)[N])
{
    return N - 1;
}
const std::size_t UserIdRoom = FieldRoom(TMailBoxRecord{}.UserId);
const std::size_t MailServerRoom = FieldRoom(TMailBoxRecord{}.MailServer);
const std::size_t InboxPathRoom = FieldRoom(TMailBoxRecord{}.InboxPath);
const std::size_t SmtpServerRoom = FieldRoom(TConfigRecord{}.SmtpServer);
const std::size_t SmtpUserNameRoom = FieldRoom(TConfigRecord{}.SmtpUserName);
const std::size_t SmtpUserIdRoom = FieldRoom(TConfigRecord{}.SmtpUserId);

constexpr int DefaultPop3Port = 110;
constexpr char FallbackFolderName[] = "mailbox";

bool HasControlCharacters(const std::string &text)
{
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

std::string TooLong(const char *what, std::size_t room)
{
    return Format("%s longer than %d characters", what, int(room));
}

// Why a POP3 or IMAP account cannot become a mailbox record ("" when it can).
std::string MailboxRefusal(const TFoundAccount &account, const std::string &server)
{
    if (Trim(account.Host).empty())
        return "no server";
    if (account.UserId.empty())
        return "no user name";
    if (account.OAuth2 && oauth2::ProviderForServer(server).empty())
        return "signs in with OAuth2 through a provider Corvex does not know";
    if (HasControlCharacters(account.Host) ||
        account.Host.find_first_of(" /@=") != std::string::npos)
        return "the server name is not usable";
    // The monitor keeps user=value lists, so a user name must not contain "=".
    if (HasControlCharacters(account.UserId) || account.UserId.find('=') != std::string::npos)
        return "the user name contains \"=\" or control characters";
    if (account.UserId.size() > UserIdRoom)
        return TooLong("user name", UserIdRoom);
    if (server.size() > MailServerRoom)
        return TooLong("server", MailServerRoom);
    return {};
}

std::string SmtpRefusal(const TFoundAccount &account, const std::string &server)
{
    if (account.OAuth2)
        return "signs in with OAuth2, which has no password to import";
    if (HasControlCharacters(account.Host) ||
        account.Host.find_first_of(" /@=") != std::string::npos)
        return "the server name is not usable";
    if (HasControlCharacters(account.UserId) || HasControlCharacters(account.SenderName))
        return "the user name contains control characters";
    if (server.size() > SmtpServerRoom)
        return TooLong("server", SmtpServerRoom);
    if (account.UserId.size() > SmtpUserIdRoom)
        return TooLong("user ID", SmtpUserIdRoom);
    if (account.SenderName.size() > SmtpUserNameRoom)
        return TooLong("sender name", SmtpUserNameRoom);
    return {};
}

// The host of a Mail Server field, whatever its scheme ("pop3s://", "imap+tls://", ...) and an
// IMAP folder path after it.
std::string HostOf(const std::string &server)
{
    std::string address = Trim(server);
    const std::size_t scheme = address.find("://");
    if (scheme != std::string::npos) {
        address.erase(0, scheme + 3);
        address = address.substr(0, address.find('/'));
    }
    return ParseServerAddress(address, DefaultPop3Port).Host;
}

// A mailbox with the same user ID (exactly) on the same server name (ignoring case).
bool MailboxExists(const TDataStore &store, const std::string &user, const std::string &server)
{
    const std::string host = HostOf(server);
    return std::any_of(store.Mailboxes.begin(), store.Mailboxes.end(), [&](const TListRow &row) {
        return row.Caption == user && SameText(HostOf(row.Cell(mcMailServer)), host);
    });
}

// An inbox folder in the data root that no other mailbox uses: the user name, else user and
// server, else that with a number.
std::string UniqueInboxFolder(const std::string &user, const std::string &host,
                              const std::set<std::string> &used)
{
    const std::string root = TUtils::AddBackslash(Globals->DataRoot);
    std::string base = SafeFolderName(user);
    if (base.empty())
        base = FallbackFolderName;
    if (!used.count(root + base))
        return root + base;
    std::string withHost = SafeFolderName(user + "@" + host);
    if (!withHost.empty() && !used.count(root + withHost))
        return root + withHost;
    if (withHost.empty())
        withHost = base;
    for (int number = 2;; ++number) {
        std::string candidate = root + withHost + Format("-%d", number);
        if (!used.count(candidate))
            return candidate;
    }
}

// Appends the new records to "PopSrv.cfg". Encrypted lists go through the data store, which
// writes every record encrypted; plain records are appended behind the stored bytes, which so
// stay exactly as they were.
bool AppendMailboxes(TDataStore &store, bool encrypt, const std::vector<TMailBoxRecord> &added,
                     std::string &error)
{
    if (encrypt) {
        for (const TMailBoxRecord &record : added)
            store.Mailboxes.push_back(MailboxRow(record, false));
        if (store.SaveMailBoxes(true))
            return true;
        error = store.LastError;
        return false;
    }
    const std::string path = store.PopSrvPath();
    std::vector<TMailBoxRecord> records;
    if (TUtils::FileExists(path) && !ReadMailBoxFile(path, records)) {
        error = "Can't read " + path;
        return false;
    }
    records.insert(records.end(), added.begin(), added.end());
    if (WriteMailBoxFile(path, records, &error))
        return true;
    error = std::string(MailBoxFileError) + ": " + error;
    return false;
}

// Records the provider of each OAuth2 mailbox in the sign-in file, without tokens: the mailbox
// then waits for its first sign-in. An entry the file already has is kept as it is.
bool AddSignInEntries(const std::vector<const TImportEntry *> &entries, std::string &error)
{
    if (entries.empty())
        return true;
    oauth2::TStore store(Globals->DataRoot);
    if (store.Load() == oauth2::TStore::TLoad::SetAside)
        LogImport(store.LoadError());
    for (const TImportEntry *imported : entries) {
        const std::string &user = imported->Account.UserId;
        if (store.Find(oauth2::TPurpose::Mailbox, user, imported->Server))
            continue;
        oauth2::TEntry entry;
        entry.UserId = user;
        entry.Server = imported->Server;
        entry.ProviderId = oauth2::ProviderForServer(imported->Server);
        store.Put(entry);
    }
    return store.Save(error);
}

// A port number from the registry; 0 (the usual port) for anything that is none.
int RegistryPort(const std::string &text)
{
    long long port = StrToIntDef(text, 0);
    return port >= 1 && port <= 65535 ? int(port) : 0;
}

// The server as a field of room characters keeps it. An account that requires STARTTLS says so
// in its server text where that fits; a text too long with it is kept plain (the server's
// first STARTTLS offer is then remembered by the monitor instead).
std::string ServerText(TFoundAccount account, std::size_t room,
                       std::string (*text)(const TFoundAccount &))
{
    const std::string server = text(account);
    if (server.size() <= room || account.Tls != TTlsMode::StartTls)
        return server;
    account.Tls = TTlsMode::Plain;
    const std::string plain = text(account);
    LogImport("\"" + server + "\" is too long to keep; kept as \"" + plain +
              "\" (TLS is required once the server has offered it)");
    return plain;
}

// "login[=server]" as the mail-client registry gives Eudora's account.
TFoundAccount EudoraAccount(const std::string &line)
{
    TFoundAccount account;
    account.Source = "Eudora";
    std::size_t equals = line.rfind('=');
    account.UserId = line.substr(0, equals);
    if (equals != std::string::npos)
        account.Host = line.substr(equals + 1);
    return account;
}

} // namespace

std::string SafeFolderName(const std::string &name)
{
    std::string safe;
    for (char c : name)
        if (c != '/' && static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            safe += c;
    return safe == "." || safe == ".." ? std::string() : safe;
}

std::string TImportEntry::Caption() const
{
    std::string caption = Outgoing ? Server : Account.UserId + "@" + Server;
    return Refusal.empty() ? caption : caption + "  (" + Refusal + ")";
}

void TMailImport::AddMailbox(const TFoundAccount &account)
{
    TImportEntry entry{account, ServerText(account, MailServerRoom, MailboxServerText), {}};
    for (const TImportEntry &known : Mailboxes)
        if (known.Account.UserId == account.UserId && SameText(known.Server, entry.Server))
            return;
    entry.Refusal = MailboxRefusal(account, entry.Server);
    Mailboxes.push_back(entry);
}

void TMailImport::AddSmtpServer(const TFoundAccount &account)
{
    TImportEntry entry{account, ServerText(account, SmtpServerRoom, SmtpServerText), {}, true};
    for (const TImportEntry &known : SmtpServers)
        if (SameText(known.Server, entry.Server))
            return;
    entry.Refusal = SmtpRefusal(account, entry.Server);
    SmtpServers.push_back(entry);
}

void TMailImport::ScanMailClientRegistry()
{
    TEMailReg registry;
    TStringList clients;
    if (registry.ListMailClients(clients) > 0) {
        DefaultHandler = clients.ValueFromIndex(0);
        MailHandlers.clear();
        for (int i = 1; i < clients.Count(); ++i)
            MailHandlers.push_back(clients.Names(i));
    }

    std::vector<TAccountEntry> accounts;
    registry.ReadOutlookExpressAccounts(accounts);
    for (const TAccountEntry &entry : accounts) {
        const TStringList &values = entry.Values;
        if (values.IndexOfName("POP3 Server") < 0)
            continue; // not a mail account: its outgoing server is not taken either
        TFoundAccount account;
        account.Source = "Outlook Express";
        account.Host = values.Values("POP3 Server");
        account.UserId = values.Values("POP3 User Name");
        account.Port = RegistryPort(values.Values("POP3 Port"));
        if (StrToIntDef(values.Values("POP3 Secure Connection"), 0) != 0)
            account.Tls = TTlsMode::Implicit;
        AddMailbox(account);
        if (values.IndexOfName("SMTP Server") >= 0) {
            TFoundAccount server;
            server.Source = account.Source;
            server.Host = values.Values("SMTP Server");
            server.SenderName = values.Values("SMTP Display Name");
            server.Port = RegistryPort(values.Values("SMTP Port"));
            if (StrToIntDef(values.Values("SMTP Secure Connection"), 0) != 0)
                server.Tls = TTlsMode::Implicit;
            AddSmtpServer(server);
        }
    }

    TStringList eudora;
    if (registry.ReadEudoraAccount(eudora))
        for (const std::string &line : eudora)
            AddMailbox(EudoraAccount(line));
}

void TMailImport::Scan(const std::string &home, const std::string &configHome)
{
    ScanMailClientRegistry();
    TFoundAccounts found;
    const std::string userHome = home.empty() ? platform::HomeFolder() : home;
    ReadThunderbird(userHome, found);
    const std::string config = configHome.empty() ? platform::ConfigHome() : configHome;
    ReadEvolution(userHome, config, found);
    ReadKMail(userHome, config, found);
    for (const TFoundAccount &account : found.Mailboxes)
        AddMailbox(account);
    for (const TFoundAccount &server : found.SmtpServers)
        AddSmtpServer(server);
}

int TMailImport::DefaultSmtpIndex() const
{
    int chosen = -1, chosenRank = 0;
    for (int index = 0; index < int(SmtpServers.size()); ++index) {
        const TImportEntry &entry = SmtpServers[std::size_t(index)];
        if (!entry.Importable())
            continue;
        const bool ofDefaultProgram = ContainsText(DefaultHandler, entry.Account.Source);
        const int rank = !entry.Account.Default ? 1 : ofDefaultProgram ? 3 : 2;
        if (rank > chosenRank)
            chosen = index, chosenRank = rank;
    }
    return chosen;
}

TImportResult TMailImport::Import(const std::vector<int> &ticked, int smtpIndex)
{
    TImportResult result;
    auto fail = [&](const std::string &error) {
        LogImport(error);
        result.Ok = false;
        result.Error = error;
        return result;
    };
    if (!Globals->CryptoReady)
        Globals->CryptoReady = InitCrypto();
    TDataStore store;
    // An empty or damaged settings file is replaced by the defaults here, written safely.
    if (!store.LoadSettings(false))
        return fail(store.LastError);
    const bool encrypt = Globals->Config.EncryptMailboxes != 0;
    TMailBoxLoad load = store.LoadMailBoxes(encrypt);
    if (!store.LastError.empty())
        return fail(store.LastError); // a list that cannot be read is never overwritten
    if (load.Undecryptable > 0)
        LogImport(Format("%d stored mailboxes could not be decrypted; they are kept as they are",
                         load.Undecryptable));

    std::set<std::string> usedFolders;
    for (const std::string &line : store.InboxMap)
        usedFolders.insert(line.substr(line.find('=') + 1));
    std::string firstUser;
    std::vector<TMailBoxRecord> added;
    std::vector<const TImportEntry *> signIns;
    for (int index : ticked) {
        if (index < 0 || index >= int(Mailboxes.size()))
            continue;
        const TImportEntry &entry = Mailboxes[index];
        const std::string &user = entry.Account.UserId;
        if (!entry.Importable()) {
            ++result.Refused;
            LogImport("not imported " + entry.Caption());
            continue;
        }
        if (firstUser.empty())
            firstUser = user;
        if (MailboxExists(store, user, entry.Server)) {
            ++result.AlreadyThere;
            continue;
        }
        const std::string inbox = UniqueInboxFolder(user, HostOf(entry.Server), usedFolders);
        if (inbox.size() > InboxPathRoom) {
            ++result.Refused;
            LogImport("not imported " + entry.Caption() + ": " +
                      TooLong("inbox folder path", InboxPathRoom));
            continue;
        }
        TMailBoxRecord record{};
        SetText(record.UserId, user);
        SetText(record.MailServer, entry.Server);
        SetText(record.InboxPath, inbox);
        // Inactive until the user gives the password or signs in: the monitor never logs in
        // with this. An OAuth2 mailbox keeps its password empty.
        if (entry.Account.OAuth2)
            signIns.push_back(&entry);
        else
            SetText(record.Password, PasswordNotGiven);
        record.LeaveOnServer = 1;
        record.Active = 0;
        TUtils::CreateFolder(inbox);
        usedFolders.insert(inbox);
        added.push_back(record);
        store.Mailboxes.push_back(MailboxRow(record, false)); // for the existence test
        LogImport("importing " + entry.Caption() + " from " + entry.Account.Source);
    }
    store.Mailboxes.resize(store.Mailboxes.size() - added.size());
    std::string error;
    if (!AddSignInEntries(signIns, error))
        return fail("Can't record the OAuth2 sign-ins: " + error);
    if (!added.empty() && !AppendMailboxes(store, encrypt, added, error))
        return fail(error);
    result.Added = int(added.size());

    if (smtpIndex < 0 || smtpIndex >= int(SmtpServers.size()))
        return result;
    const TImportEntry &smtp = SmtpServers[smtpIndex];
    if (!smtp.Importable()) {
        ++result.Refused;
        LogImport("not imported " + smtp.Caption());
        return result;
    }
    TConfigRecord &config = Globals->Config;
    SetText(config.SmtpServer, smtp.Server);
    if (!smtp.Account.SenderName.empty())
        SetText(config.SmtpUserName, smtp.Account.SenderName);
    const std::string login = smtp.Account.UserId.empty() ? firstUser : smtp.Account.UserId;
    if (!login.empty() && login.size() <= SmtpUserIdRoom)
        SetText(config.SmtpUserId, login);
    if (!store.LoadSettings(true))
        return fail(store.LastError);
    result.SmtpWritten = true;
    LogImport("outgoing server " + smtp.Server + " from " + smtp.Account.Source);
    return result;
}
