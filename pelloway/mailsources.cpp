#include "pelloway/mailsources.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>

#include "common/net/imapclient.h"
#include "common/net/pop3client.h"
#include "common/net/smtpclient.h"
#include "common/text.h"
#include "common/utils.h"
#include "pelloway/keyfile.h"

namespace fs = std::filesystem;

void LogImport(const std::string &what)
{
    if (Utils)
        Utils->DebugLog("Mailbox import: %s", what.c_str());
}

namespace {

constexpr int Pop3Port = 110;
constexpr int Pop3sPort = 995;
constexpr int SmtpPort = 25;
constexpr int SmtpsPort = 465;

// Thunderbird's socket types and its OAuth2 authentication method.
constexpr int TbSocketStartTls = 2;
constexpr int TbSocketTls = 3;
constexpr int TbAuthOAuth2 = 10;
// KMail's authentication method number for XOAUTH2 (its POP3 resource stores the number).
constexpr int KMailAuthXOAuth2 = 9;

bool LoadText(const std::string &path, std::string &text)
{
    std::string why;
    if (ReadSettingsFile(path, text, why))
        return true;
    LogImport("skipped " + path + ": " + why);
    return false;
}

// Where the flatpaks of Evolution and KMail keep what the programs keep in ~/.config.
constexpr char EvolutionFlatpakConfig[] = ".var/app/org.gnome.Evolution/config";
constexpr char KMailFlatpakConfig[] = ".var/app/org.kde.kmail2/config";

// A port as written; 0 when absent or 0 (the protocol's usual port, as Evolution writes it);
// false for text that is no port at all.
bool ParsePort(const std::string &text, int &port)
{
    port = 0;
    if (Trim(text).empty())
        return true;
    long long value = StrToIntDef(text, -1);
    if (value < 0 || value > 65535)
        return false;
    port = int(value);
    return true;
}

// Reads the port and logs an account whose port is damaged; false drops the account.
bool TakePort(const std::string &text, const std::string &where, TFoundAccount &account)
{
    if (ParsePort(text, account.Port))
        return true;
    LogImport("skipped an account in " + where + ": the port \"" + text + "\" is not a number");
    return false;
}

bool HostOk(const TFoundAccount &account, const std::string &where)
{
    if (!Trim(account.Host).empty())
        return true;
    LogImport("skipped an account in " + where + ": it names no server");
    return false;
}

std::string WithPort(const std::string &host, int port)
{
    bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// ---- Thunderbird

// The numbered ids behind keys "<prefix><id>.<field>", in numeric order (server2 before server10).
std::vector<std::string> PrefIds(const TPrefs &prefs, const std::string &prefix,
                                 const std::string &field)
{
    std::vector<std::string> ids;
    const std::string suffix = "." + field;
    for (const auto &[name, value] : prefs.Values) {
        if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix))
            continue;
        if (name.compare(name.size() - suffix.size(), suffix.size(), suffix))
            continue;
        std::string id = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
        if (id.find('.') == std::string::npos)
            ids.push_back(id);
    }
    auto number = [](const std::string &id) {
        std::size_t digits = id.find_last_not_of("0123456789") + 1;
        return std::make_pair(StrToIntDef(id.substr(digits), 0), id);
    };
    std::sort(ids.begin(), ids.end(),
              [&](const std::string &a, const std::string &b) { return number(a) < number(b); });
    return ids;
}

TTlsMode ThunderbirdTls(const std::string &socketType)
{
    switch (StrToIntDef(socketType, 0)) {
    case TbSocketStartTls:
        return TTlsMode::StartTls;
    case TbSocketTls:
        return TTlsMode::Implicit;
    default:
        return TTlsMode::Plain;
    }
}

// The ids a preference lists, "a,b,c".
std::vector<std::string> ListedIds(const TPrefs &prefs, const std::string &name)
{
    std::vector<std::string> ids;
    for (const std::string &id : SplitText(prefs.Value(name), ','))
        if (!Trim(id).empty())
            ids.push_back(Trim(id));
    return ids;
}

// Keeps the ids a list preference names, in its order; all of them when the profile has no
// such list. Entries it leaves out are left over from accounts or servers the user removed.
std::vector<std::string> OnlyListed(const std::vector<std::string> &ids,
                                    const std::vector<std::string> &listed, bool hasList)
{
    if (!hasList)
        return ids;
    std::vector<std::string> kept;
    for (const std::string &id : listed)
        if (std::find(ids.begin(), ids.end(), id) != ids.end() &&
            std::find(kept.begin(), kept.end(), id) == kept.end())
            kept.push_back(id);
    return kept;
}

void ReadThunderbirdPrefs(const std::string &path, TFoundAccounts &found)
{
    std::string text;
    if (!LoadText(path, text))
        return;
    TPrefs prefs;
    prefs.Parse(text);
    if (prefs.SkippedLines > 0)
        LogImport(Format("%d unreadable lines in %s", prefs.SkippedLines, path.c_str()));

    const char *const AccountList = "mail.accountmanager.accounts";
    std::vector<std::string> accountServers;
    for (const std::string &account : ListedIds(prefs, AccountList))
        accountServers.push_back(prefs.Value("mail.account." + account + ".server"));
    for (const std::string &id : OnlyListed(PrefIds(prefs, "mail.server.", "type"), accountServers,
                                            prefs.Values.count(AccountList) != 0)) {
        const std::string key = "mail.server." + id + ".";
        const std::string type = prefs.Value(key + "type");
        if (type != "pop3" && type != "imap")
            continue; // news, feeds and the local folders are no mailboxes
        TFoundAccount account;
        account.Source = "Thunderbird";
        account.Imap = type == "imap";
        // After the user renamed a server, the real* keys hold the names in use.
        account.Host = prefs.Value(key + "realhostname");
        if (account.Host.empty())
            account.Host = prefs.Value(key + "hostname");
        account.UserId = prefs.Value(key + "realuserName");
        if (account.UserId.empty())
            account.UserId = prefs.Value(key + "userName");
        account.Tls = ThunderbirdTls(prefs.Value(key + "socketType"));
        account.OAuth2 = StrToIntDef(prefs.Value(key + "authMethod"), 0) == TbAuthOAuth2;
        if (HostOk(account, path) && TakePort(prefs.Value(key + "port"), path, account))
            found.Mailboxes.push_back(account);
    }

    const char *const SmtpList = "mail.smtpservers";
    const std::vector<std::string> smtpIds =
        OnlyListed(PrefIds(prefs, "mail.smtpserver.", "hostname"), ListedIds(prefs, SmtpList),
                   prefs.Values.count(SmtpList) != 0);
    // Without a default server named, Thunderbird sends through the first one.
    std::string defaultSmtp = prefs.Value("mail.smtp.defaultserver");
    if (defaultSmtp.empty() && !smtpIds.empty())
        defaultSmtp = smtpIds.front();
    std::map<std::string, std::string> senderNames; // smtp id → full name of an identity
    for (const std::string &id : PrefIds(prefs, "mail.identity.", "fullName")) {
        const std::string key = "mail.identity." + id + ".";
        std::string smtp = prefs.Value(key + "smtpServer");
        senderNames.emplace(smtp.empty() ? defaultSmtp : smtp, prefs.Value(key + "fullName"));
    }
    for (const std::string &id : smtpIds) {
        const std::string key = "mail.smtpserver." + id + ".";
        TFoundAccount server;
        server.Source = "Thunderbird";
        server.Host = prefs.Value(key + "hostname");
        server.UserId = prefs.Value(key + "username");
        std::string socketType = prefs.Value(key + "socketType");
        server.Tls = ThunderbirdTls(socketType.empty() ? prefs.Value(key + "try_ssl") : socketType);
        server.OAuth2 = StrToIntDef(prefs.Value(key + "authMethod"), 0) == TbAuthOAuth2;
        auto name = senderNames.find(id);
        if (name != senderNames.end())
            server.SenderName = name->second;
        server.Default = id == defaultSmtp;
        if (HostOk(server, path) && TakePort(prefs.Value(key + "port"), path, server))
            found.SmtpServers.push_back(server);
    }
}

// ---- Evolution

TTlsMode EvolutionTls(const std::string &method)
{
    if (method == "ssl-on-alternate-port")
        return TTlsMode::Implicit;
    if (method == "starttls-on-standard-port")
        return TTlsMode::StartTls;
    return TTlsMode::Plain;
}

bool EvolutionOAuth2(const std::string &method)
{
    for (const char *name : {"XOAUTH2", "OAUTHBEARER", "Google", "Outlook", "Yahoo"})
        if (SameText(method, name))
            return true;
    return false;
}

TFoundAccount EvolutionAccount(const TKeyFile &file)
{
    TFoundAccount account;
    account.Source = "Evolution";
    account.Host = file.Value("Authentication", "Host");
    account.UserId = file.Value("Authentication", "User");
    account.Tls = EvolutionTls(file.Value("Security", "Method"));
    account.OAuth2 = EvolutionOAuth2(file.Value("Authentication", "Method"));
    return account;
}

// ---- KMail

bool KdeTrue(const std::string &value)
{
    return SameText(value, "true") || value == "1";
}

} // namespace

void ReadThunderbird(const std::string &home, TFoundAccounts &found)
{
    static const char *const Folders[] = {".thunderbird", ".mozilla-thunderbird",
                                          "snap/thunderbird/common/.thunderbird",
                                          ".var/app/org.mozilla.Thunderbird/.thunderbird",
                                          ".var/app/net.thunderbird.Thunderbird/.thunderbird"};
    std::set<std::string> profilesRead;
    for (const char *folder : Folders) {
        const std::string base = TUtils::AddBackslash(home) + folder;
        const std::string ini = base + "/profiles.ini";
        std::error_code error;
        if (!fs::exists(ini, error))
            continue;
        std::string text;
        if (!LoadText(ini, text))
            continue;
        TKeyFile profiles;
        profiles.Parse(text);
        for (const std::string &group : profiles.Groups()) {
            if (!StartsText(group, "Profile"))
                continue;
            std::string path = profiles.Value(group, "Path");
            if (path.empty())
                continue;
            const bool relative = profiles.Value(group, "IsRelative") != "0";
            fs::path profile = relative ? fs::path(base) / path : fs::path(path);
            std::string key = fs::weakly_canonical(profile, error).string();
            if (!profilesRead.insert(error ? profile.string() : key).second)
                continue;
            const std::string prefs = (profile / "prefs.js").string();
            if (fs::exists(prefs, error))
                ReadThunderbirdPrefs(prefs, found);
            else
                LogImport("no prefs.js in the Thunderbird profile " + profile.string());
        }
    }
}

namespace {

void ReadEvolutionSources(const std::string &configHome, TFoundAccounts &found)
{
    const fs::path folder = fs::path(configHome) / "evolution" / "sources";
    std::error_code error;
    if (!fs::is_directory(folder, error))
        return;
    std::map<std::string, TKeyFile> sources; // by uid (the file name), so in a stable order
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        const fs::path &path = it->path();
        if (path.extension() != ".source")
            continue;
        std::string text;
        if (!LoadText(path.string(), text))
            continue;
        sources[path.stem().string()].Parse(text);
    }
    std::map<std::string, std::string> senderNames; // transport uid → identity name
    for (const auto &[uid, file] : sources)
        if (file.HasGroup("Mail Identity"))
            senderNames.emplace(file.Value("Mail Submission", "TransportUid"),
                                file.Value("Mail Identity", "Name"));
    for (const auto &[uid, file] : sources) {
        const std::string where = (folder / (uid + ".source")).string();
        if (SameText(file.Value("Data Source", "Enabled"), "false"))
            continue; // switched off by the user
        const std::string backend = file.Value("Mail Account", "BackendName");
        if (backend == "pop" || backend == "imapx") {
            TFoundAccount account = EvolutionAccount(file);
            account.Imap = backend == "imapx";
            if (HostOk(account, where) &&
                TakePort(file.Value("Authentication", "Port"), where, account))
                found.Mailboxes.push_back(account);
        } else if (file.Value("Mail Transport", "BackendName") == "smtp") {
            TFoundAccount server = EvolutionAccount(file);
            auto name = senderNames.find(uid);
            if (name != senderNames.end())
                server.SenderName = name->second;
            if (HostOk(server, where) &&
                TakePort(file.Value("Authentication", "Port"), where, server))
                found.SmtpServers.push_back(server);
        }
    }
}

// The full name of each KMail identity by the transport it sends through ("" for the default
// transport), from "emailidentities".
std::map<std::string, std::string> KMailSenderNames(const std::string &configHome)
{
    std::map<std::string, std::string> names;
    const std::string path = TUtils::AddBackslash(configHome) + "emailidentities";
    std::error_code error;
    std::string text;
    if (!fs::exists(path, error) || !LoadText(path, text))
        return names;
    TKeyFile file;
    file.Parse(text);
    for (const std::string &group : file.Groups())
        if (StartsText(group, "Identity"))
            names.emplace(file.Value(group, "Transport"), file.Value(group, "Name"));
    return names;
}

constexpr char KMailPop3Resource[] = "akonadi_pop3_resource_";
constexpr char KMailImapResource[] = "akonadi_imap_resource_";

// A POP3 resource: host, port, login in [General]; TLS as two switches. Answers the port as
// written.
std::string ReadKMailPop3(const TKeyFile &file, TFoundAccount &account)
{
    account.Host = file.Value("General", "host");
    account.UserId = file.Value("General", "login");
    if (KdeTrue(file.Value("General", "useSSL")))
        account.Tls = TTlsMode::Implicit;
    else if (KdeTrue(file.Value("General", "useTLS")))
        account.Tls = TTlsMode::StartTls;
    const std::string auth = file.Value("General", "authenticationMethod");
    account.OAuth2 = StrToIntDef(auth, -1) == KMailAuthXOAuth2 || SameText(auth, "XOAUTH2");
    return file.Value("General", "port");
}

// An IMAP resource: [network] with ImapServer, ImapPort, UserName and Safety ("SSL",
// "STARTTLS" or "None"). Older files give the port in ImapServer as "host:port". Answers the
// port as written.
std::string ReadKMailImap(const TKeyFile &file, TFoundAccount &account)
{
    account.Imap = true;
    account.Host = file.Value("network", "ImapServer");
    account.UserId = file.Value("network", "UserName");
    const std::string safety = file.Value("network", "Safety");
    if (SameText(safety, "SSL"))
        account.Tls = TTlsMode::Implicit;
    else if (SameText(safety, "STARTTLS"))
        account.Tls = TTlsMode::StartTls;
    account.OAuth2 = StrToIntDef(file.Value("network", "Authentication"), -1) == KMailAuthXOAuth2;
    std::string port = file.Value("network", "ImapPort");
    const std::size_t colon = account.Host.rfind(':');
    if (port.empty() && colon != std::string::npos &&
        account.Host.find(':') == colon) { // one colon: no IPv6 address
        port = account.Host.substr(colon + 1);
        account.Host.erase(colon);
    }
    return port;
}

void ReadKMailFiles(const std::string &configHome, TFoundAccounts &found)
{
    std::error_code error;
    std::vector<fs::path> resources;
    for (fs::directory_iterator it(configHome, error), end; !error && it != end;
         it.increment(error)) {
        std::string name = it->path().filename().string();
        if ((StartsText(name, KMailPop3Resource) || StartsText(name, KMailImapResource)) &&
            EndsText(name, "rc"))
            resources.push_back(it->path());
    }
    std::sort(resources.begin(), resources.end());
    for (const fs::path &path : resources) {
        std::string text;
        if (!LoadText(path.string(), text))
            continue;
        TKeyFile file;
        file.Parse(text);
        TFoundAccount account;
        account.Source = "KMail";
        const std::string port = StartsText(path.filename().string(), KMailImapResource)
                                     ? ReadKMailImap(file, account)
                                     : ReadKMailPop3(file, account);
        if (HostOk(account, path.string()) && TakePort(port, path.string(), account))
            found.Mailboxes.push_back(account);
    }

    const std::string transports = TUtils::AddBackslash(configHome) + "mailtransports";
    if (!fs::exists(transports, error))
        return;
    std::string text;
    if (!LoadText(transports, text))
        return;
    TKeyFile file;
    file.Parse(text);
    const std::map<std::string, std::string> senderNames = KMailSenderNames(configHome);
    std::string defaultId = file.Value("General", "default-transport");
    for (const std::string &group : file.Groups()) {
        if (!StartsText(group, "Transport "))
            continue;
        std::string id = file.Value(group, "id");
        if (id.empty())
            id = group.substr(std::strlen("Transport "));
        if (defaultId.empty())
            defaultId = id; // KMail sends through the first one then
        const std::string identifier = file.Value(group, "identifier");
        if (!identifier.empty() && !SameText(identifier, "SMTP"))
            continue; // sent through another program, not an SMTP server
        TFoundAccount server;
        server.Source = "KMail";
        server.Host = file.Value(group, "host");
        server.UserId = file.Value(group, "user");
        // Stored by choice name or by its number: None 0, SSL 1 (TLS from the first byte),
        // TLS 2 (STARTTLS).
        const std::string encryption = file.Value(group, "encryption");
        if (SameText(encryption, "SSL") || encryption == "1")
            server.Tls = TTlsMode::Implicit;
        else if (SameText(encryption, "TLS") || encryption == "2")
            server.Tls = TTlsMode::StartTls;
        const std::string auth = file.Value(group, "authtype");
        server.OAuth2 = SameText(auth, "XOAUTH2") || StrToIntDef(auth, -1) == KMailAuthXOAuth2;
        // Older files name the default transport instead of giving its id.
        server.Default = id == defaultId || file.Value(group, "name") == defaultId;
        auto name = senderNames.find(id);
        if (name == senderNames.end() && server.Default)
            name = senderNames.find("");
        if (name != senderNames.end())
            server.SenderName = name->second;
        if (HostOk(server, transports) && TakePort(file.Value(group, "port"), transports, server))
            found.SmtpServers.push_back(server);
    }
}

} // namespace

void ReadEvolution(const std::string &home, const std::string &configHome, TFoundAccounts &found)
{
    ReadEvolutionSources(configHome, found);
    ReadEvolutionSources(TUtils::AddBackslash(home) + EvolutionFlatpakConfig, found);
}

void ReadKMail(const std::string &home, const std::string &configHome, TFoundAccounts &found)
{
    ReadKMailFiles(configHome, found);
    ReadKMailFiles(TUtils::AddBackslash(home) + KMailFlatpakConfig, found);
}

std::string Pop3ServerText(const TFoundAccount &account)
{
    const std::string host = Trim(account.Host);
    if (account.Tls == TTlsMode::Implicit)
        return account.Port == 0 || account.Port == Pop3sPort
                   ? "pop3s://" + host
                   : "pop3s://" + WithPort(host, account.Port);
    const std::string scheme = account.Tls == TTlsMode::StartTls ? Pop3RequireTlsScheme : "";
    return scheme +
           (account.Port == 0 || account.Port == Pop3Port ? host : WithPort(host, account.Port));
}

std::string ImapServerText(const TFoundAccount &account)
{
    const std::string host = Trim(account.Host);
    const bool implicit = account.Tls == TTlsMode::Implicit;
    const std::string scheme = implicit                            ? ImapsScheme
                               : account.Tls == TTlsMode::StartTls ? ImapRequireTlsScheme
                                                                   : ImapScheme;
    const int usualPort = implicit ? ImapsPort : ImapPort;
    return scheme +
           (account.Port == 0 || account.Port == usualPort ? host : WithPort(host, account.Port));
}

std::string MailboxServerText(const TFoundAccount &account)
{
    return account.Imap ? ImapServerText(account) : Pop3ServerText(account);
}

std::string SmtpServerText(const TFoundAccount &account)
{
    const std::string host = Trim(account.Host);
    if (account.Tls == TTlsMode::Implicit)
        return account.Port == 0 || account.Port == SmtpsPort
                   ? "smtps://" + host
                   : "smtps://" + WithPort(host, account.Port);
    const std::string scheme = account.Tls == TTlsMode::StartTls ? SmtpRequireTlsScheme : "";
    return scheme +
           (account.Port == 0 || account.Port == SmtpPort ? host : WithPort(host, account.Port));
}
