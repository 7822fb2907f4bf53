#include "common/platform/shares.h"

#include <QDir>
#include <QElapsedTimer>
#include <QProcess>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "common/platform/files.h"
#include "common/platform/folders.h"
#include "common/text.h"

namespace platform {

namespace {

constexpr char GvfsFolder[] = "gvfs";
constexpr char GvfsType[] = "fuse.gvfsd-fuse";
constexpr char GvfsSmbPrefix[] = "smb-share:";
constexpr const char *NetworkTypes[] = {"cifs", "smb3", "nfs", "nfs4", "fuse.sshfs"};
// GVFS also mounts local things (archives, phones, the trash); only these reach other machines.
constexpr const char *GvfsNetworkBackends[] = {
    "smb-share:", "sftp:", "ftp:", "ftps:", "dav:", "davs:", "nfs:", "afp-volume:"};
constexpr int MountWaitMs = 30000;
// gio's logon prompts as it writes them: "User [guest]: ", "Domain [WORKGROUP]: ", "Password: ".
const std::regex LogonPrompt(R"((User|Domain|Password)(?: \[[^\]\n]*\])?: )");
constexpr char LogonRefused[] = "%s refused the user name or password";
// A temporary file of ours this much older than the file just written beside it was left by a
// write that failed and could not remove it (the share was lost); no write takes this long.
constexpr time_t StaleTemporarySeconds = 600;
// The random part of a temporary file's name (mkostemp's XXXXXX).
constexpr size_t TemporaryRandomLength = 6;

struct TMount
{
    std::string Point, Type, Source;
};

// mountinfo writes blanks, tabs, newlines and backslashes as octal escapes (\040).
std::string UnescapeMountField(const std::string &field)
{
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size()) {
            const std::string digits = field.substr(i + 1, 3);
            if (digits.size() == 3 && digits.find_first_not_of("01234567") == std::string::npos) {
                text += char(std::stoi(digits, nullptr, 8));
                i += 3;
                continue;
            }
        }
        text += field[i];
    }
    return text;
}

std::vector<TMount> Mounts()
{
    std::vector<TMount> mounts;
    std::ifstream in("/proc/self/mountinfo");
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::istringstream words(line);
        for (std::string word; words >> word;)
            fields.push_back(word);
        auto dash = std::find(fields.begin(), fields.end(), "-");
        if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 3)
            continue;
        mounts.push_back(
            {UnescapeMountField(fields[4]), *(dash + 1), UnescapeMountField(*(dash + 2))});
    }
    return mounts;
}

bool IsNetworkType(const std::string &type)
{
    for (const char *network : NetworkTypes)
        if (type == network)
            return true;
    return false;
}

// True when path is folder or lies below it.
bool IsWithin(const std::string &path, const std::string &folder)
{
    if (folder == "/")
        return true;
    return path == folder ||
           (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
            path[folder.size()] == '/');
}

std::string GvfsRoot()
{
    return RuntimeFolder() + "/" + GvfsFolder;
}

// The value of key in a GVFS mount name "smb-share:port=445,server=h,share=s".
std::string GvfsValue(const std::string &mountName, const std::string &key)
{
    for (const std::string &pair : SplitText(mountName.substr(sizeof GvfsSmbPrefix - 1), ','))
        if (StartsText(pair, key + "="))
            return pair.substr(key.size() + 1);
    return {};
}

std::string JoinRest(const std::string &folder, const std::string &rest)
{
    return rest.empty() ? folder : folder + "/" + rest;
}

std::string Canonical(const std::string &folder)
{
    std::error_code error;
    std::filesystem::path path = std::filesystem::weakly_canonical(folder, error);
    std::string text = error ? folder : path.string();
    while (text.size() > 1 && text.back() == '/')
        text.pop_back();
    return text;
}

// Removes the temporary files of earlier writes of path left behind on the share: named as
// WriteFileOnShare names them, and older than the file just written by the share's own clock,
// so a write under way on another machine is never touched.
void RemoveStaleTemporariesOf(const std::string &path)
{
    struct stat written = {};
    if (::stat(path.c_str(), &written) != 0)
        return;
    const std::filesystem::path target(path);
    const std::string prefix = target.filename().string() + TempFileInfix;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(target.parent_path(), error)) {
        const std::string name = entry.path().filename().string();
        struct stat info = {};
        if (name.size() == prefix.size() + TemporaryRandomLength && name.rfind(prefix, 0) == 0 &&
            ::lstat(entry.path().c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
            info.st_mtime + StaleTemporarySeconds < written.st_mtime)
            ::unlink(entry.path().c_str());
    }
}

// The lines in which gio says why a mount failed ("gio: smb://…: Failed to mount …"), else all
// it wrote.
std::string GioFailure(const std::string &output)
{
    std::vector<std::string> failures;
    for (const std::string &line : SplitText(output, '\n'))
        if (StartsText(line, "gio: "))
            failures.push_back(Trim(line.substr(5)));
    return failures.empty() ? Trim(output) : JoinText(failures, "; ");
}

} // namespace

std::string TNetworkLocation::Uri() const
{
    std::string logon;
    if (!User.empty())
        logon = (Domain.empty() ? "" : Domain + ";") + User + "@";
    return "smb://" + logon + Host + (Port.empty() ? "" : ":" + Port) + "/" + Share;
}

bool ParseNetworkLocation(const std::string &typed, TNetworkLocation &location)
{
    std::string text = Trim(typed);
    if (StartsText(text, "smb://"))
        text = text.substr(6);
    else if (StartsText(text, "//") || StartsText(text, "\\\\"))
        text = ReplaceAll(text.substr(2), "\\", "/");
    else
        return false;
    std::vector<std::string> parts;
    for (const std::string &part : SplitText(text, '/'))
        if (!part.empty())
            parts.push_back(part);
    if (parts.size() < 2)
        return false;
    location = {};
    location.Host = parts[0];
    if (auto at = location.Host.rfind('@'); at != std::string::npos) {
        location.User = location.Host.substr(0, at);
        location.Host.erase(0, at + 1);
        if (auto semicolon = location.User.find(';'); semicolon != std::string::npos) {
            location.Domain = location.User.substr(0, semicolon);
            location.User.erase(0, semicolon + 1);
        }
    }
    if (auto colon = location.Host.rfind(':'); colon != std::string::npos) {
        location.Port = location.Host.substr(colon + 1);
        location.Host.resize(colon);
    }
    location.Share = parts[1];
    location.Rest = JoinText({parts.begin() + 2, parts.end()}, "/");
    return !location.Host.empty();
}

std::string MountedFolderOf(const TNetworkLocation &location)
{
    const QDir gvfs(QString::fromStdString(GvfsRoot()));
    const QStringList entries = gvfs.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    std::string anyUser;
    for (const QString &entry : entries) {
        const std::string name = entry.toStdString();
        if (!StartsText(name, GvfsSmbPrefix) ||
            !SameText(GvfsValue(name, "server"), location.Host) ||
            !SameText(GvfsValue(name, "share"), location.Share) ||
            GvfsValue(name, "port") != location.Port)
            continue;
        const std::string folder = JoinRest(GvfsRoot() + "/" + name, location.Rest);
        if (SameText(GvfsValue(name, "user"), location.User))
            return folder;
        if (anyUser.empty())
            anyUser = folder;
    }
    if (!anyUser.empty())
        return anyUser;
    // A kernel mount of the share names it //host/share as its source.
    const std::string source = "//" + location.Host + "/" + location.Share;
    for (const TMount &mount : Mounts())
        if ((mount.Type == "cifs" || mount.Type == "smb3") && SameText(mount.Source, source))
            return JoinRest(mount.Point, location.Rest);
    return {};
}

bool MountShare(const TNetworkLocation &location, const std::string &password, std::string &error)
{
    // GVFS offers a guest logon as an anonymous mount, of the share without a user.
    const bool guest = password.empty();
    TNetworkLocation share = location;
    if (guest)
        share.User = share.Domain = "";
    const QString uri = QString::fromStdString(share.Uri());
    QProcess gio;
    gio.setProcessChannelMode(QProcess::MergedChannels);
    gio.start("gio", guest ? QStringList{"mount", "--anonymous", uri} : QStringList{"mount", uri});
    if (!gio.waitForStarted(5000)) {
        error = "gio cannot be started";
        return false;
    }
    // gio asks only for what the location leaves open (the user, the domain, the password),
    // and asks again when the server refused the answers: then it is told nothing more.
    auto answer = [&](const std::string &field) {
        return field == "User" ? share.User : field == "Domain" ? share.Domain : password;
    };
    std::string output;
    std::size_t answered = 0;
    std::set<std::string> asked;
    bool refused = false;
    QElapsedTimer waited;
    waited.start();
    while (gio.state() != QProcess::NotRunning && waited.elapsed() < MountWaitMs) {
        gio.waitForReadyRead(100);
        output += gio.readAll().toStdString();
        std::smatch prompt;
        while (!refused && std::regex_search(output.cbegin() + std::ptrdiff_t(answered),
                                             output.cend(), prompt, LogonPrompt)) {
            answered = std::size_t(prompt[0].second - output.cbegin());
            const std::string field = prompt[1];
            refused = !asked.insert(field).second;
            if (refused)
                gio.closeWriteChannel();
            else
                gio.write(QByteArray::fromStdString(answer(field) + "\n"));
        }
    }
    if (gio.state() != QProcess::NotRunning) {
        gio.kill();
        gio.waitForFinished(2000);
        error = "mounting " + share.Uri() + " took too long";
        return false;
    }
    if (gio.exitStatus() == QProcess::NormalExit && gio.exitCode() == 0)
        return true;
    output += gio.readAll().toStdString();
    if (refused)
        error = Format(LogonRefused, share.Uri().c_str());
    else
        error = "cannot mount " + share.Uri() + ": " + GioFailure(output);
    return false;
}

bool ShareRootOf(const std::string &folder, std::string &root)
{
    const std::string path = Canonical(folder);
    const std::string gvfs = GvfsRoot();
    const TMount *best = nullptr;
    const std::vector<TMount> mounts = Mounts();
    for (const TMount &mount : mounts)
        if (IsWithin(path, mount.Point) && (!best || mount.Point.size() >= best->Point.size()))
            best = &mount;
    if (!best)
        return false;
    if (best->Type == GvfsType && best->Point == gvfs && path.size() > gvfs.size() + 1) {
        // The whole gvfs folder is one mount; each share is a folder in it.
        const std::string below = path.substr(gvfs.size() + 1);
        const std::string share = below.substr(0, below.find('/'));
        root = gvfs + "/" + share;
        return std::any_of(std::begin(GvfsNetworkBackends), std::end(GvfsNetworkBackends),
                           [&](const char *backend) { return StartsText(share, backend); });
    }
    if (!IsNetworkType(best->Type))
        return false;
    root = best->Point;
    return true;
}

bool WriteFileOnShare(const std::string &path, const std::string &bytes, std::string &error)
{
    struct stat old = {};
    const bool existed = ::stat(path.c_str(), &old) == 0;
    std::string temp = path + TempFileInfix + std::string(TemporaryRandomLength, 'X');
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        error = "cannot create a temporary file beside " + path + ": " + SystemErrorText(errno);
        return false;
    }
    if (existed)
        (void)::fchmod(fd, old.st_mode & 07777); // kept where the share allows it
    bool ok = true;
    for (std::size_t done = 0; ok && done < bytes.size();) {
        const ssize_t written = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        ok = written > 0;
        if (ok)
            done += std::size_t(written);
    }
    // Some network file systems cannot flush on demand; their close still writes through.
    if (ok && ::fsync(fd) != 0)
        ok = errno == EINVAL || errno == ENOTSUP || errno == ENOSYS;
    int failure = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) {
        RemoveStaleTemporariesOf(path);
        return true;
    }
    failure = ok ? errno : failure;
    error = "cannot write " + path + ": " + SystemErrorText(failure);
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT)
        error += "; " + temp + " is left and removed by a later write";
    return false;
}

} // namespace platform
