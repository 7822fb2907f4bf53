#include "support/fixtures.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTimer>
#include <QUrl>
#include <QUuid>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include "support/testenv.h"

namespace fixtures {

namespace {

// dovecot refuses to serve mail as root; the mailboxes belong to "nobody".
constexpr uid_t MailUid = 65534;
constexpr gid_t MailGid = 65534;
constexpr char MailDomain[] = "corvex.test";

[[noreturn]] void Fail(const std::string &what)
{
    throw std::runtime_error("fixtures: " + what);
}

[[noreturn]] void FailErrno(const std::string &what, const std::string &path)
{
    Fail(what + " " + path + ": " + std::strerror(errno));
}

std::string Required(const char *name)
{
    std::string value = testenv::FixtureValue(name);
    if (value.empty())
        Fail(std::string(name) + " is not set; the test servers are not running "
                                 "(tools/test.sh starts them)");
    return value;
}

int RequiredPort(const char *name)
{
    std::string value = Required(name);
    int port = std::atoi(value.c_str());
    if (port <= 0 || port > 65535)
        Fail(std::string(name) + " is not a port: " + value);
    return port;
}

std::string RandomHex(int length)
{
    return QUuid::createUuid().toString(QUuid::Id128).left(length).toStdString();
}

std::string SafeUserPart(const std::string &hint)
{
    std::string out;
    for (char c : hint) {
        char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        bool ok = (lower >= 'a' && lower <= 'z') || (lower >= '0' && lower <= '9') ||
                  lower == '-' || lower == '_' || lower == '.';
        out += ok ? lower : '-';
    }
    if (out.empty())
        out = "box";
    return out.substr(0, 40);
}

void WriteAll(int fd, const std::string &bytes, const std::string &path)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            FailErrno("cannot write", path);
        done += static_cast<size_t>(n);
    }
}

void MakeMailFolder(const std::string &path)
{
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        FailErrno("cannot create", path);
    if (::chown(path.c_str(), MailUid, MailGid) != 0)
        FailErrno("cannot give the mail user", path);
}

// A small file of the mail user's, as dovecot writes its own.
void WriteMailFile(const std::string &path, const std::string &bytes)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        FailErrno("cannot create", path);
    WriteAll(fd, bytes, path);
    const bool ok = ::fchown(fd, MailUid, MailGid) == 0;
    ::close(fd);
    if (!ok)
        FailErrno("cannot give the mail user", path);
}

// Gives dovecot a new user as a passwd-file of its own in the users folder. dovecot reads
// such a file at the user's first login, so the user is known at once; a line appended to a
// shared passwd-file could stay unseen for up to a second. The file is written under a
// temporary name and renamed, with the folder's group (dovecot's auth process reads it).
void WriteUserFile(const std::string &usersDir, const std::string &user, const std::string &line)
{
    struct stat folder
    {
    };
    if (::stat(usersDir.c_str(), &folder) != 0)
        FailErrno("cannot read", usersDir);
    std::string path = usersDir + "/" + user;
    std::string tmp = usersDir + "/." + user + ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        FailErrno("cannot create", tmp);
    WriteAll(fd, line + "\n", tmp);
    bool ok = ::fchown(fd, ::geteuid(), folder.st_gid) == 0 && ::fchmod(fd, 0640) == 0 &&
              ::fsync(fd) == 0;
    ::close(fd);
    if (!ok || ::rename(tmp.c_str(), path.c_str()) != 0) {
        int error = errno;
        ::unlink(tmp.c_str());
        errno = error;
        FailErrno("cannot write", path);
    }
}

// A maildir file name whose time part grows with every call in this process. dovecot numbers
// new messages by the time in their names, so POP3 order follows the order of delivery.
std::string NextMaildirName(size_t size)
{
    static long long lastSeconds = 0;
    static long lastMicros = 0;
    static unsigned counter = 0;
    struct timeval now
    {
    };
    ::gettimeofday(&now, nullptr);
    long long seconds = now.tv_sec;
    long micros = now.tv_usec;
    if (seconds < lastSeconds || (seconds == lastSeconds && micros <= lastMicros)) {
        seconds = lastSeconds;
        micros = lastMicros + 1;
        if (micros >= 1000000) {
            ++seconds;
            micros = 0;
        }
    }
    lastSeconds = seconds;
    lastMicros = micros;
    char name[128];
    std::snprintf(name, sizeof name, "%lld.M%06ldP%dQ%u.corvex,S=%zu", seconds, micros,
                  static_cast<int>(::getpid()), ++counter, size);
    return name;
}

// The folder of an IMAP folder: the INBOX is the maildir itself, the others are its
// ".name" subfolders (Maildir++ layout; dovecot's separator is ".").
std::string FolderPath(const Mailbox &box, const std::string &folder)
{
    if (folder == "INBOX")
        return box.maildir;
    std::string sub = folder;
    std::replace(sub.begin(), sub.end(), '/', '.');
    return box.maildir + "/." + sub;
}

std::vector<std::string> MaildirFiles(const std::string &maildir)
{
    std::vector<std::string> files;
    for (const char *sub : {"new", "cur"}) {
        QDir dir(QString::fromStdString(maildir + "/" + sub));
        for (const QString &name : dir.entryList(QDir::Files | QDir::NoDotAndDotDot))
            files.push_back(std::string(sub) + "/" + name.toStdString());
    }
    // Order by the name without its folder: the time part comes first.
    std::sort(files.begin(), files.end(),
              [](const std::string &a, const std::string &b) { return a.substr(4) < b.substr(4); });
    return files;
}

ReceivedMessage ReadReceived(const QString &jsonPath)
{
    ReceivedMessage message;
    QJsonObject facts = QJsonDocument::fromJson(
                            QByteArray::fromStdString(testenv::ReadFile(jsonPath.toStdString())))
                            .object();
    message.number = facts.value("number").toInt();
    message.mailFrom = facts.value("mail_from").toString().toStdString();
    for (const QJsonValue &rcpt : facts.value("rcpt_tos").toArray())
        message.recipients.push_back(rcpt.toString().toStdString());
    message.listener = facts.value("listener").toString().toStdString();
    message.tls = facts.value("tls").toBool();
    message.authUser = facts.value("auth_user").toString().toStdString();
    message.authMechanism = facts.value("auth_mechanism").toString().toStdString();
    QString emlPath = jsonPath.left(jsonPath.size() - 5) + ".eml";
    message.raw = testenv::ReadFile(emlPath.toStdString());
    return message;
}

// One HTTP/1.0 request to the authorization server (plain HTTP on 127.0.0.1); answers the
// body of a 200 reply and throws on anything else.
std::string OAuthRequest(const std::string &method, const std::string &pathAndQuery)
{
    const std::string issuer = Required("CORVEX_OAUTH2_ISSUER");
    const size_t colon = issuer.rfind(':');
    const int port = std::atoi(issuer.c_str() + colon + 1);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        FailErrno("cannot open a socket to", issuer);
    struct timeval limit
    {
        10, 0
    };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        std::string request = method + " " + pathAndQuery +
                              " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\n\r\n";
        WriteAll(fd, request, issuer);
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0)
            reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    const size_t body = reply.find("\r\n\r\n");
    if (reply.compare(0, 12, "HTTP/1.0 200") != 0 || body == std::string::npos)
        Fail(method + " " + pathAndQuery + " at " + issuer +
             " failed: " + reply.substr(0, reply.find('\r')));
    return reply.substr(body + 4);
}

std::string QueryValue(const std::string &text)
{
    return QUrl::toPercentEncoding(QString::fromStdString(text)).toStdString();
}

bool SameAddress(const std::string &a, const std::string &b)
{
    return QString::fromStdString(a).compare(QString::fromStdString(b), Qt::CaseInsensitive) == 0;
}

} // namespace

// ---- waiting ---------------------------------------------------------------------------

void PumpEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(std::max(ms, 0), &loop, &QEventLoop::quit);
    loop.exec();
}

bool WaitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() >= timeoutMs)
            return false;
        PumpEvents(5);
    }
    return true;
}

// ---- POP3 mailboxes --------------------------------------------------------------------

Mailbox CreateMailbox(const std::string &hint)
{
    Mailbox box;
    box.host = Required("CORVEX_POP3_HOST");
    box.pop3Port = RequiredPort("CORVEX_POP3_PORT");
    box.pop3sPort = RequiredPort("CORVEX_POP3S_PORT");
    box.imapPort = RequiredPort("CORVEX_IMAP_PORT");
    box.imapsPort = RequiredPort("CORVEX_IMAPS_PORT");
    box.imapNoMovePort = RequiredPort("CORVEX_IMAP_NOMOVE_PORT");
    box.imapBarePort = RequiredPort("CORVEX_IMAP_BARE_PORT");
    std::string usersDir = Required("CORVEX_DOVECOT_USERS_DIR");
    std::string mailRoot = Required("CORVEX_MAIL_ROOT");

    box.user = SafeUserPart(hint) + "-" + RandomHex(8);
    box.password = "pw" + RandomHex(10);
    std::string home = mailRoot + "/" + box.user;
    box.maildir = home + "/Maildir";
    MakeMailFolder(home);
    MakeMailFolder(box.maildir);
    for (const char *sub : {"cur", "new", "tmp"})
        MakeMailFolder(box.maildir + "/" + sub);

    char line[1024];
    std::snprintf(line, sizeof line, "%s:{PLAIN}%s:%u:%u::%s::", box.user.c_str(),
                  box.password.c_str(), static_cast<unsigned>(MailUid),
                  static_cast<unsigned>(MailGid), home.c_str());
    WriteUserFile(usersDir, box.user, line);
    return box;
}

void AddMessage(const Mailbox &box, const std::string &raw)
{
    std::string name = NextMaildirName(raw.size());
    std::string tmp = box.maildir + "/tmp/" + name;
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        FailErrno("cannot create", tmp);
    WriteAll(fd, raw, tmp);
    // No fsync: the rename alone makes the message appear whole, and test mail need not
    // outlive a crash (fsync made seeding 2000 messages take seconds).
    bool ok = ::fchown(fd, MailUid, MailGid) == 0;
    ::close(fd);
    std::string target = box.maildir + "/new/" + name;
    if (!ok || ::rename(tmp.c_str(), target.c_str()) != 0) {
        int error = errno;
        ::unlink(tmp.c_str());
        errno = error;
        FailErrno("cannot deliver", target);
    }
}

void AddMessages(const Mailbox &box, const std::vector<std::string> &raws)
{
    for (const std::string &raw : raws)
        AddMessage(box, raw);
}

TMailBoxRecord MonitoredMailbox(const std::string &user, const std::string &server,
                                const std::string &password, const std::string &inbox)
{
    TMailBoxRecord record{};
    SetText(record.UserId, user);
    SetText(record.MailServer, server);
    SetText(record.Password, password);
    SetText(record.InboxPath, inbox);
    SetText(record.ArrivalAlert, "BELL");
    SetText(record.PriorityAlert, "CHIME");
    record.LeaveOnServer = 1;
    record.Active = 1;
    record.RejectActive = 1;
    record.PriorityActive = 1;
    return record;
}

int MessageCount(const Mailbox &box)
{
    return static_cast<int>(MaildirFiles(box.maildir).size());
}

std::vector<std::string> StoredMessages(const Mailbox &box)
{
    return StoredMessagesIn(box, "INBOX");
}

// ---- IMAP ----------------------------------------------------------------------------------

std::string ImapAddress(const std::string &scheme, const Mailbox &box, int port,
                        const std::string &folder)
{
    std::string address = scheme + box.host + ":" + std::to_string(port);
    if (!folder.empty())
        address += "/" + folder;
    return address;
}

std::vector<std::string> StoredMessagesIn(const Mailbox &box, const std::string &folder)
{
    const std::string path = FolderPath(box, folder);
    // dovecot may move a file from new/ to cur/ (or rename it for a flag) between listing and
    // reading; a file gone meanwhile means listing again.
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::vector<std::string> messages;
        bool complete = true;
        for (const std::string &file : MaildirFiles(path)) {
            std::ifstream in(path + "/" + file, std::ios::binary);
            if (!in) {
                complete = false;
                break;
            }
            messages.emplace_back(std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>());
        }
        if (complete)
            return messages;
    }
    Fail("the messages of " + path + " kept moving while being read");
}

std::vector<std::string> InboxFlags(const Mailbox &box)
{
    std::vector<std::string> flags;
    for (const std::string &file : MaildirFiles(box.maildir)) {
        // "<unique>:2,<letters>"; uppercase letters are the flags, lowercase ones keywords.
        const size_t info = file.rfind(":2,");
        std::string letters;
        if (info != std::string::npos)
            for (char c : file.substr(info + 3))
                if (std::isupper(static_cast<unsigned char>(c)))
                    letters += c;
        flags.push_back(letters);
    }
    return flags;
}

bool AnySeen(const Mailbox &box)
{
    const std::vector<std::string> flags = InboxFlags(box);
    return std::any_of(flags.begin(), flags.end(),
                       [](const std::string &f) { return f.find('S') != std::string::npos; });
}

void ChangeUidValidity(const Mailbox &box)
{
    // Without its UID list and indexes dovecot numbers the mailbox afresh. It takes the next
    // UIDVALIDITY from "dovecot-uidvalidity" in the root of the listener's folders (above the
    // value there, or the time if that is later), and the bare listener has a root of its own.
    // Both get the current value, so whichever listener comes first hands out a higher one
    // even within the same second.
    const std::string uidList = testenv::ReadFile(box.maildir + "/dovecot-uidlist");
    const std::string current = uidList.compare(0, 3, "3 V") == 0
                                    ? uidList.substr(3, uidList.find(' ', 3) - 3)
                                    : std::string();
    const std::string bareRoot = box.maildir.substr(0, box.maildir.rfind('/')) + "/Maildir-bare";
    for (const std::string &folder : {box.maildir, bareRoot}) {
        QDir dir(QString::fromStdString(folder));
        for (const QString &name : dir.entryList({"dovecot-uidlist", "dovecot.index*",
                                                  "dovecot.list.index*", "dovecot-uidvalidity*"},
                                                 QDir::Files | QDir::Hidden)) {
            const std::string file = dir.filePath(name).toStdString();
            if (::unlink(file.c_str()) != 0 && errno != ENOENT)
                FailErrno("cannot remove", file);
        }
        if (current.empty())
            continue;
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08lx", std::strtoul(current.c_str(), nullptr, 10));
        MakeMailFolder(folder);
        WriteMailFile(folder + "/dovecot-uidvalidity", hex);
        WriteMailFile(folder + "/dovecot-uidvalidity." + hex, "");
    }
}

void RemoveMessageBehindBack(const Mailbox &box, int index)
{
    const std::vector<std::string> files = MaildirFiles(box.maildir);
    if (index < 0 || static_cast<size_t>(index) >= files.size())
        Fail("no message " + std::to_string(index) + " in " + box.maildir + " (it holds " +
             std::to_string(files.size()) + ")");
    const std::string path = box.maildir + "/" + files[static_cast<size_t>(index)];
    if (::unlink(path.c_str()) != 0)
        FailErrno("cannot remove", path);
}

std::string DovecotLog()
{
    return testenv::ReadFile(Required("CORVEX_DOVECOT_LOG"));
}

namespace {

// Lines of dovecot's log that contain every one of parts.
int LogLinesWith(const std::vector<std::string> &parts)
{
    const std::string log = DovecotLog();
    int count = 0;
    size_t start = 0;
    while (start < log.size()) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos)
            end = log.size();
        const std::string line = log.substr(start, end - start);
        if (std::all_of(parts.begin(), parts.end(), [&](const std::string &part) {
                return line.find(part) != std::string::npos;
            }))
            ++count;
        start = end + 1;
    }
    return count;
}

} // namespace

int ImapLogins(const Mailbox &box)
{
    // "imap-login: Info: Login: user=<u>, ..." (imap-login-nomove, imap-login-bare alike)
    return LogLinesWith({" imap-login", ": Info: Login: user=<" + box.user + ">,"});
}

int ImapLogouts(const Mailbox &box)
{
    // "imap(u)<pid><session>: Info: Disconnected: Logged out in=..."
    return LogLinesWith({" imap(" + box.user + ")", ": Info: Disconnected: Logged out "});
}

bool KickImapSessions(const Mailbox &box)
{
    const std::string config = Required("CORVEX_FIXTURES_DIR") + "/dovecot/dovecot.conf";
    QProcess doveadm;
    doveadm.start("doveadm",
                  {"-c", QString::fromStdString(config), "kick", QString::fromStdString(box.user)});
    return doveadm.waitForFinished(10000) && doveadm.exitStatus() == QProcess::NormalExit &&
           doveadm.exitCode() == 0;
}

// ---- TLS ---------------------------------------------------------------------------------

std::string CaFile()
{
    return Required("CORVEX_CA_FILE");
}

std::string WrongCaFile()
{
    return Required("CORVEX_WRONG_CA_FILE");
}

void TrustTestCa(const std::string &file)
{
    qputenv("SSL_CERT_FILE", QByteArray::fromStdString(file.empty() ? CaFile() : file));
}

// ---- SMTP --------------------------------------------------------------------------------

SmtpServer Smtp()
{
    SmtpServer server;
    std::string host = testenv::FixtureValue("CORVEX_SMTP_HOST");
    server.host = host.empty() ? "127.0.0.1" : host;
    server.port = RequiredPort("CORVEX_SMTP_PORT");
    server.smtpsPort = RequiredPort("CORVEX_SMTPS_PORT");
    server.plainPort = RequiredPort("CORVEX_SMTP_PLAIN_PORT");
    server.user = Required("CORVEX_SMTP_USER");
    server.password = Required("CORVEX_SMTP_PASSWORD");
    return server;
}

std::string UniqueAddress(const std::string &hint)
{
    return SafeUserPart(hint) + "-" + RandomHex(8) + "@" + MailDomain;
}

std::vector<ReceivedMessage> ReceivedMessages()
{
    QDir spool(QString::fromStdString(Required("CORVEX_SMTP_SPOOL")));
    std::vector<ReceivedMessage> messages;
    // The server writes NNNNNN.eml first and NNNNNN.json last, so a listed .json is complete.
    for (const QString &name : spool.entryList({"*.json"}, QDir::Files, QDir::Name))
        messages.push_back(ReadReceived(spool.filePath(name)));
    return messages;
}

size_t ReceivedCount()
{
    QDir spool(QString::fromStdString(Required("CORVEX_SMTP_SPOOL")));
    return static_cast<size_t>(spool.entryList({"*.json"}, QDir::Files).size());
}

std::vector<ReceivedMessage> ReceivedMessagesTo(const std::string &recipient)
{
    std::vector<ReceivedMessage> matching;
    for (ReceivedMessage &message : ReceivedMessages()) {
        bool addressed =
            std::any_of(message.recipients.begin(), message.recipients.end(),
                        [&](const std::string &r) { return SameAddress(r, recipient); });
        if (addressed)
            matching.push_back(std::move(message));
    }
    return matching;
}

std::vector<ReceivedMessage> WaitForMessagesTo(const std::string &recipient, size_t count,
                                               int timeoutMs)
{
    std::vector<ReceivedMessage> found;
    WaitUntil(
        [&] {
            found = ReceivedMessagesTo(recipient);
            return found.size() >= count;
        },
        timeoutMs);
    return found;
}

bool WaitForReceivedCount(size_t count, int timeoutMs)
{
    return WaitUntil([&] { return ReceivedCount() >= count; }, timeoutMs);
}

// ---- OAuth2 -------------------------------------------------------------------------------

OAuthServer OAuth2()
{
    return {Required("CORVEX_OAUTH2_ISSUER"), Required("CORVEX_OAUTH2_CLIENT_ID"),
            Required("CORVEX_OAUTH2_LOG")};
}

OAuthTokens IssueTokens(const std::string &account, int tokenBytes)
{
    const std::string json = OAuthRequest("POST", "/test/issue?account=" + QueryValue(account) +
                                                      "&size=" + std::to_string(tokenBytes));
    QJsonObject answer = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
    OAuthTokens tokens;
    tokens.accessToken = answer.value("access_token").toString().toStdString();
    tokens.refreshToken = answer.value("refresh_token").toString().toStdString();
    tokens.expiresIn = answer.value("expires_in").toInt();
    if (tokens.accessToken.empty() || tokens.refreshToken.empty())
        Fail("the authorization server issued no tokens: " + json);
    return tokens;
}

void ExpireAccessTokens(const std::string &account)
{
    OAuthRequest("POST", "/test/expire?account=" + QueryValue(account));
}

void RevokeTokens(const std::string &account)
{
    OAuthRequest("POST", "/test/revoke?account=" + QueryValue(account));
}

std::string OAuthStats()
{
    return OAuthRequest("GET", "/test/stats");
}

} // namespace fixtures
