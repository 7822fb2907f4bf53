#include "common/utils.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/globals.h"
#include "common/names.h"
#include "common/platform/files.h"
#include "common/platform/folders.h"
#include "common/platform/locks.h"
#include "common/platform/opener.h"
#include "common/platform/process.h"

TUtils *Utils = nullptr;
int OsMajorVersion = 10;
int OsMinorVersion = 0;

namespace {

constexpr size_t LogMessageLimit = 1535; // longest debug-log message
constexpr int64_t LogRotateSize = 65536; // a larger log is renamed before the next line
constexpr char ProgramFilesText[] = "C:\\Program Files";
constexpr char LaunchErrorText[] = "Could Not create process";
constexpr unsigned DefaultWaitTimeout = 100;
constexpr unsigned PumpSliceMs = 10;
constexpr int ProcessEndGraceMs = 2000; // a forced end waits this long for a clean exit

bool TerminatingFlag = false;

bool IsSeparator(char c)
{
    return c == '/' || c == '\\';
}

bool IsUnc(const std::string &path)
{
    return path.size() >= 2 && IsSeparator(path[0]) && path[1] == path[0];
}

bool HasWildcard(const std::string &text)
{
    return text.find_first_of("*?") != std::string::npos;
}

int FnMatch(const std::string &pattern, const std::string &name)
{
    // Only "*" and "?" are wildcards; brackets and backslashes are ordinary characters.
    std::string escaped;
    for (char c : pattern) {
        if (c == '[' || c == ']' || c == '\\')
            escaped += '\\';
        escaped += c;
    }
    return fnmatch(escaped.c_str(), name.c_str(), 0);
}

// Name matching with the classic wildcard rules: "x.*" also matches "x", and "x." matches
// only names without a dot.
bool WildMatch(const std::string &pattern, const std::string &name)
{
    if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0) {
        std::string stem = pattern.substr(0, pattern.size() - 2);
        if (FnMatch(stem, name) == 0)
            return true;
    }
    if (!pattern.empty() && pattern.back() == '.') {
        std::string stem = pattern.substr(0, pattern.size() - 1);
        return name.find('.') == std::string::npos && FnMatch(stem, name) == 0;
    }
    return FnMatch(pattern, name) == 0;
}

struct TFoundEntry
{
    std::string Name;
    bool IsDirectory = false;
    int64_t Size = 0;
    std::time_t Modified = 0;
};

bool StatEntry(const std::string &path, TFoundEntry &entry)
{
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0)
        return false;
    entry.IsDirectory = S_ISDIR(info.st_mode);
    entry.Size = entry.IsDirectory ? 0 : int64_t(info.st_size);
    entry.Modified = info.st_mtime;
    return true;
}

// The entries a search for pattern (wildcards allowed in the last component) finds with the
// attribute mask: files always, folders only when the mask admits them. Sorted by name.
std::vector<TFoundEntry> FindEntries(const std::string &pattern, unsigned attributes)
{
    std::vector<TFoundEntry> found;
    if (pattern.empty())
        return found;
    const bool wantFolders = (attributes & fileattr::Directory) != 0;
    size_t slash = pattern.rfind('/');
    std::string folder = slash == std::string::npos ? "./" : pattern.substr(0, slash + 1);
    std::string namePattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
    if (!HasWildcard(namePattern)) {
        TFoundEntry entry;
        entry.Name = namePattern;
        if (StatEntry(pattern, entry) && (!entry.IsDirectory || wantFolders))
            found.push_back(entry);
        return found;
    }
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return found;
    while (dirent *item = ::readdir(dir)) {
        std::string name = item->d_name;
        if (!WildMatch(namePattern, name))
            continue;
        TFoundEntry entry;
        entry.Name = name;
        if (!StatEntry(folder + name, entry) || (entry.IsDirectory && !wantFolders))
            continue;
        found.push_back(entry);
    }
    ::closedir(dir);
    std::sort(found.begin(), found.end(),
              [](const TFoundEntry &a, const TFoundEntry &b) { return a.Name < b.Name; });
    return found;
}

// Quotes one Exec argument of a desktop entry when it needs it, as it is written in the file.
// Two escapes apply: inside quotes " ` $ \ take a backslash, and the file's string escaping
// then doubles every backslash (so a literal backslash is written as four).
std::string DesktopExecQuote(const std::string &arg)
{
    std::string escaped;
    bool needsQuotes = arg.empty();
    for (char c : arg) {
        if (std::string(" \t\n\"'\\><~|&;$*?#()`").find(c) != std::string::npos)
            needsQuotes = true;
        if (c == '"' || c == '`' || c == '$')
            escaped += "\\\\";
        else if (c == '\\')
            escaped += "\\\\\\";
        else if (c == '%')
            escaped += '%';
        escaped += c;
    }
    return needsQuotes ? "\"" + escaped + "\"" : escaped;
}

std::string OneLine(std::string text)
{
    std::replace(text.begin(), text.end(), '\r', ' ');
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

} // namespace

TUtils::TUtils()
{
    GetProgramFolder();
}

TUtils::~TUtils() = default;

// ---- paths and names

std::string TUtils::GetWindowsFolder()
{
    return platform::TempFolder();
}

std::string TUtils::GetProgramFolder()
{
    ProgramPath = platform::ExecutablePath();
    ProgramFolder = platform::ExecutableFolder();
    return AddBackslash(ProgramFolder);
}

std::string TUtils::AddBackslash(const std::string &path)
{
    if (path.empty() || path.back() == '/')
        return path;
    return path + "/";
}

std::string TUtils::RemoveTrailingBackslash(const std::string &path)
{
    if (!path.empty() && path.back() == '/')
        return path.substr(0, path.size() - 1);
    return path;
}

std::string TUtils::StripLeadingBackslash(const std::string &path)
{
    if (path.size() > 1 && path[0] == '/' && path[1] != '/' &&
        path.find('/', 2) != std::string::npos)
        return path.substr(1);
    return path;
}

std::string TUtils::AddLeadingDot(const std::string &ext)
{
    if (ext.empty() || ext[0] == '.')
        return ext;
    return "." + ext;
}

std::string TUtils::BuildPath(const std::string &folder, const std::string &name,
                              const std::string &ext)
{
    return AddBackslash(folder) + name + AddLeadingDot(ext);
}

std::string TUtils::LeftOfLast(const std::string &text, const std::string &delimiters)
{
    size_t pos = text.find_last_of(delimiters);
    return pos == std::string::npos ? text : text.substr(0, pos);
}

std::string TUtils::ExtractParent(const std::string &text, const std::string &delimiters)
{
    size_t pos = text.find_last_of(delimiters);
    return pos == std::string::npos || pos == 0 ? text : text.substr(0, pos);
}

std::string TUtils::RemoveExtension(const std::string &path)
{
    return LeftOfLast(path, ".");
}

std::string TUtils::BaseNameNoExt(const std::string &path)
{
    std::string result = path;
    size_t dot = result.rfind('.');
    if (dot != std::string::npos)
        result.erase(dot);
    size_t slash = result.rfind('/');
    if (slash != std::string::npos)
        result.erase(0, slash + 1);
    return result;
}

std::string TUtils::SplitPath(const std::string &path, std::string &drive, std::string &dir,
                              std::string &name, std::string &ext)
{
    drive.clear();
    dir.clear();
    name.clear();
    ext.clear();
    std::string server;
    std::string rest = path;
    if (IsUnc(path)) {
        size_t serverEnd = path.find_first_of("/\\", 2);
        server = path.substr(2, serverEnd == std::string::npos ? std::string::npos : serverEnd - 2);
        size_t shareEnd = serverEnd == std::string::npos ? std::string::npos
                                                         : path.find_first_of("/\\", serverEnd + 1);
        drive = path.substr(0, shareEnd);
        rest = shareEnd == std::string::npos ? std::string() : path.substr(shareEnd);
    }
    const char *separators = IsUnc(path) ? "/\\" : "/";
    size_t slash = rest.find_last_of(separators);
    std::string fileName = slash == std::string::npos ? rest : rest.substr(slash + 1);
    dir = slash == std::string::npos ? std::string() : rest.substr(0, slash + 1);
    size_t dot = fileName.rfind('.');
    if (dot != std::string::npos && (dot > 0 || !dir.empty() || IsUnc(path))) {
        ext = fileName.substr(dot);
        name = fileName.substr(0, dot);
    } else {
        name = fileName;
    }
    return server;
}

std::string TUtils::StripQuotes(const std::string &text)
{
    std::string result = text;
    result.erase(std::remove(result.begin(), result.end(), '"'), result.end());
    return result;
}

std::string TUtils::ExpandProgramFiles(const std::string &text)
{
    size_t open = text.find('%');
    if (open == std::string::npos)
        return text;
    size_t close = text.find('%', open + 1);
    if (close == std::string::npos)
        return text.substr(0, open) + text.substr(open + 1);
    std::string variable = text.substr(open + 1, close - open - 1);
    std::string replacement = LowerCase(variable) == "programfiles" ? ProgramFilesText : "";
    return text.substr(0, open) + replacement + text.substr(close + 1);
}

std::string TUtils::GetShortPath(const std::string &path)
{
    return path;
}

// ---- files and folders

bool TUtils::FindExists(const std::string &pattern, unsigned attributes)
{
    return !FindEntries(pattern, attributes).empty();
}

bool TUtils::FileExists(const std::string &path)
{
    return FindExists(path, fileattr::Hidden | fileattr::Archive);
}

bool TUtils::FolderExists(const std::string &path)
{
    // Only a real folder counts: callers go on to create files inside it.
    std::string folder = RemoveTrailingBackslash(path);
    if (folder.empty())
        folder = path;
    struct stat info = {};
    return !folder.empty() && ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int64_t TUtils::GetFileSize(const std::string &path)
{
    std::vector<TFoundEntry> found = FindEntries(path, fileattr::Hidden | fileattr::Archive);
    return found.empty() ? 0 : found.front().Size;
}

std::time_t TUtils::GetFileDate(const std::string &path)
{
    std::vector<TFoundEntry> found = FindEntries(path, fileattr::Hidden | fileattr::Archive);
    return found.empty() ? 0 : found.front().Modified;
}

void TUtils::CreateFolder(const std::string &path)
{
    std::string folder = RemoveTrailingBackslash(path);
    if (!folder.empty())
        platform::MakeFolder(folder, platform::DataFolderMode);
}

bool TUtils::ListFiles(const std::string &pattern, unsigned attributes, TStringList &list,
                       bool includeEmpty)
{
    std::string server = SplitPath(pattern, Drive, Dir, Name, Ext);
    const bool patternHasNoExt = Ext.empty() || Ext == ".";
    const std::string patternName = Name;
    const std::string patternExt = Ext;
    const bool foldersOnly = attributes == fileattr::Directory;
    bool added = false;
    for (const TFoundEntry &entry : FindEntries(pattern, attributes)) {
        bool counts = entry.Size > 0 || includeEmpty;
        if (foldersOnly)
            counts = entry.Name != "." && entry.Name != "..";
        if (!counts)
            continue;
        std::string drive, dir, name, ext;
        SplitPath("/" + entry.Name, drive, dir, name, ext);
        bool take = patternHasNoExt ? (ext.empty() || ext == "." || patternName == "*")
                                    : (ext == patternExt || patternExt == ".*");
        if (take) {
            list.Add(entry.Name);
            added = true;
        }
    }
    return added;
}

std::string TUtils::RenameToExtension(const std::string &path, const std::string &newExt)
{
    SplitPath(path, Drive, Dir, Name, Ext);
    const std::string newExtension = AddLeadingDot(newExt);
    LastError = 0;
    const std::string folder = Drive + Dir;
    const std::string oldName = folder + Name + AddLeadingDot(Ext);
    const std::string newName = folder + Name + newExtension;
    if (::rename(oldName.c_str(), newName.c_str()) == 0)
        return newName;
    if (errno == ENOENT) {
        // Nothing to rename (another program may have just rotated the same log): leave the
        // target alone rather than delete it.
        LastError = errno;
        return {};
    }
    // The target may be in the way (e.g. a folder of that name): remove it and try again.
    if (::remove(newName.c_str()) != 0 || ::rename(oldName.c_str(), newName.c_str()) != 0) {
        LastError = errno;
        return {};
    }
    return newName;
}

// ---- time and text

std::string TUtils::TimeStamp()
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[32];
    std::strftime(buffer, sizeof buffer, "%m.%d.%Y.%H.%M.%S", &local);
    return buffer;
}

std::string TUtils::NormalizeMailDate(const std::string &dateText)
{
    std::string text = dateText;
    std::replace(text.begin(), text.end(), '/', '.');
    text = Trim(text);

    // Time: eight characters from two before the first ":" (position 4 or later, counted
    // from 1), with the colons turned into dots.
    std::string time;
    size_t colon = text.find(':');
    if (colon != std::string::npos && colon >= 3) {
        time = text.substr(colon - 2, 8);
        if (time.size() > 2)
            time[2] = '.';
        if (time.size() > 5)
            time[5] = '.';
    }

    // Day and year from the runs of digits; a run that reaches the end does not count.
    int day = 0, year = 0;
    for (size_t i = 0; i < text.size() && !(day != 0 && year != 0);) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])))
            ++end;
        if (end == text.size())
            break;
        size_t length = end - i;
        int value = int(StrToIntDef(text.substr(i, std::min<size_t>(length, 4)), 0));
        if (length <= 2)
            day = value;
        else if (length <= 4)
            year = value;
        i = end;
    }

    static const char *const months[] = {"jan", "feb", "mar", "apr", "may", "jun",
                                         "jul", "aug", "sep", "oct", "nov", "dec"};
    const std::string lower = LowerCase(text);
    int month = 13;
    for (int m = 0; m < 12; ++m)
        if (lower.find(months[m]) != std::string::npos) {
            month = m + 1;
            break;
        }

    std::string zone = " ";
    size_t minus = text.find('-');
    size_t plus = text.find('+');
    if (minus != std::string::npos && minus >= 1)
        zone = text.substr(minus, 5);
    else if (plus != std::string::npos && plus >= 1)
        zone = text.substr(plus, 5);

    return Format("%.2d.%.2d.%.4d %s%s", month, day, year, time.c_str(), zone.c_str());
}

void TUtils::SplitSeconds(unsigned total, uint16_t *hours, uint16_t *minutes, uint16_t *seconds)
{
    if (hours)
        *hours = uint16_t(total / 3600);
    if (minutes)
        *minutes = uint16_t((total % 3600) / 60);
    if (seconds)
        *seconds = uint16_t(total % 60);
}

std::string TUtils::BarsToNewlines(const std::string &text)
{
    std::string result = text;
    std::replace(result.begin(), result.end(), '|', '\n');
    return result;
}

std::string TUtils::NewlinesToBars(const std::string &text)
{
    // Each pass of the encoding removes the first carriage return and turns the first line
    // feed into "|"; the last pass (which finds no line feed) still removes one carriage
    // return. So: every line feed becomes "|", and the first (line feeds + 1) carriage returns
    // go.
    size_t crToRemove = size_t(std::count(text.begin(), text.end(), '\n')) + 1;
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (c == '\r' && crToRemove > 0) {
            --crToRemove;
            continue;
        }
        result += c == '\n' ? '|' : c;
    }
    return result;
}

// ---- debug log

std::string TUtils::DebugLog(const char *format, ...)
{
    char buffer[LogMessageLimit + 1];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::string message = buffer;

    if (LogFileName.empty()) {
        std::string folder = GetProgramFolder();
        if (folder.empty() || ::access(folder.c_str(), W_OK) != 0) {
            folder = platform::DataHome() + "/" + names::DataRootFolder + "/";
            platform::MakePrivateFolder(RemoveTrailingBackslash(folder));
        }
        LogFileName = folder + names::DebugLogFile;
    }
    if (GetFileSize(LogFileName) > LogRotateSize)
        RenameToExtension(LogFileName, names::DebugLogOldExt);

    // Never through a link: one planted in the log's place would get the lines appended to
    // whatever file it points at.
    int fd = ::open(LogFileName.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC,
                    platform::DataFileMode);
    if (fd < 0)
        return message; // the log is a convenience: losing a line must not stop the caller
    // Line breaks inside the message would forge extra log lines.
    std::string line = TimeStamp() + " - " + OneLine(message) + "\n";
    ssize_t written = ::write(fd, line.data(), line.size());
    (void)written;
    ::close(fd);
    return message;
}

// ---- processes and waits

bool TUtils::ShellOpen(const std::string &file, const std::string &parameters, bool wait)
{
    std::vector<std::string> arguments;
    for (const QString &arg : QProcess::splitCommand(QString::fromStdString(parameters)))
        arguments.push_back(arg.toStdString());
    return ShellOpen(file, arguments, wait);
}

bool TUtils::ShellOpen(const std::string &file, const std::vector<std::string> &arguments,
                       bool wait)
{
    bool started = false;
    if (!file.empty()) {
        QString program = QString::fromStdString(file);
        struct stat info = {};
        bool isProgram = file.find('/') != std::string::npos
                             ? ::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
                                   ::access(file.c_str(), X_OK) == 0
                             : !QStandardPaths::findExecutable(program).isEmpty();
        if (isProgram)
            started = platform::StartDetached(file, arguments);
        else
            started = platform::Opener().Open(file);
    }
    if (started && wait) {
        ProcessMessages();
        Delay(WaitTimeout);
    }
    WaitTimeout = DefaultWaitTimeout;
    if (!started)
        ProcessErrorText = LaunchErrorText;
    return started;
}

void TUtils::Delay(unsigned ms)
{
    WaitFor([] { return false; }, ms);
}

bool TUtils::WaitFor(const std::function<bool()> &done, unsigned ms)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (done())
            return true;
        if (Terminating() || clock.elapsed() >= qint64(ms))
            return false;
        ProcessMessages();
        if (done())
            return true;
        if (Terminating())
            return false;
        qint64 left = qint64(ms) - clock.elapsed();
        if (left > 0)
            QThread::msleep(unsigned(std::min<qint64>(left, PumpSliceMs)));
    }
}

bool TUtils::WaitForFlag(const bool *flag, bool value, unsigned ms)
{
    return WaitFor([flag, value] { return *flag == value; }, ms);
}

bool TUtils::IsMutexPresent(const std::string &name)
{
    return platform::IsInstanceLockPresent(name, DataRootPath());
}

bool TUtils::WaitUntilMutexGone(unsigned ms, const std::string &name)
{
    return WaitFor([this, &name] { return !IsMutexPresent(name); }, ms);
}

bool TUtils::WaitUntilMutexPresent(unsigned ms, const std::string &name)
{
    return WaitFor([this, &name] { return IsMutexPresent(name); }, ms);
}

int TUtils::EnumProcesses(int mode)
{
    int count = 0;
    for (const platform::TProcessEntry &entry : platform::ListProcesses()) {
        if (mode == 0) {
            ++count;
            if (ProcessList)
                ProcessList->Add(entry.FileName);
            continue;
        }
        // Callers may name a program "x.exe"; here the executable is plain "x".
        std::string wanted = LowerCase(FindName);
        std::string name = LowerCase(entry.FileName);
        if (name == wanted || (EndsText(wanted, ".exe") && name + ".exe" == wanted)) {
            FoundPid = entry.Pid;
            return 1;
        }
    }
    return mode == 0 ? count : 0;
}

pid_t TUtils::FindProcessId(const std::string &fileName)
{
    FindName = fileName;
    FoundPid = 0;
    EnumProcesses(1);
    return FoundPid;
}

bool TUtils::TerminateProcessById(pid_t id)
{
    return platform::EndProcess(id, ProcessEndGraceMs, [] {
        ProcessMessages();
        return !Terminating();
    });
}

// ---- shell

std::string TUtils::GetSpecialFolder(int folderId)
{
    switch (folderId) {
    case specialfolder::AppData:
        return platform::DataHome();
    case specialfolder::Documents:
        return platform::DocumentsFolder();
    case specialfolder::Startup:
        return platform::AutostartFolder();
    default:
        return {};
    }
}

void TUtils::CreateShortcut(const std::string &target, int folderId, const std::string &description,
                            const std::string &linkName)
{
    std::string folder = GetSpecialFolder(folderId);
    if (folder.empty() || target.empty() || linkName.empty() ||
        !platform::MakeFolderPath(folder, platform::DataFolderMode))
        return;
    std::string entry = "[Desktop Entry]\n"
                        "Type=Application\n"
                        "Name=" +
                        OneLine(description) +
                        "\n"
                        "Comment=" +
                        OneLine(description) +
                        "\n"
                        "Exec=" +
                        DesktopExecQuote(target) +
                        "\n"
                        "Terminal=false\n"
                        "X-GNOME-Autostart-enabled=true\n";
    std::string error;
    if (!platform::WriteFileAtomic(AddBackslash(folder) + linkName + names::ShortcutExt, entry,
                                   platform::DataFileMode, &error))
        DebugLog("Cannot write the start-up entry: %s", error.c_str());
}

std::string TUtils::GetLoginUserName()
{
    return platform::LoginUserName();
}

void TUtils::SortListView(int column)
{
    SortDescending = column == SortColumn && !SortDescending;
    SortColumn = column;
}

// ---- event pump

void TUtils::ProcessMessages()
{
    if (QCoreApplication::instance())
        QCoreApplication::processEvents();
}

bool TUtils::Terminating()
{
    return TerminatingFlag || QCoreApplication::closingDown();
}

void TUtils::Terminate()
{
    TerminatingFlag = true;
    QCoreApplication::quit();
}

void TUtils::ResetTerminating()
{
    TerminatingFlag = false;
}
