#include "common/platform/mailprograms.h"

#include <QDir>
#include <QDirIterator>
#include <algorithm>
#include <cstdlib>
#include <set>

#include "common/platform/folders.h"
#include "common/stringlist.h"
#include "common/text.h"

namespace platform {

namespace {

constexpr char MailtoType[] = "x-scheme-handler/mailto";
constexpr char DesktopSuffix[] = ".desktop";

std::vector<std::string> SearchFolders(const char *variable, const std::string &fallback)
{
    const char *value = std::getenv(variable);
    std::string list = value && *value ? value : fallback;
    std::vector<std::string> folders;
    for (const std::string &folder : SplitText(list, ':'))
        if (!folder.empty() && folder[0] == '/')
            folders.push_back(folder);
    return folders;
}

// The user's application folder first, then the system ones.
std::vector<std::string> ApplicationFolders()
{
    std::vector<std::string> folders{DataHome() + "/applications"};
    for (const std::string &folder : SearchFolders("XDG_DATA_DIRS", "/usr/local/share:/usr/share"))
        folders.push_back(folder + "/applications");
    return folders;
}

// Undoes the escapes of a desktop-entry string value (\s \n \t \r \\).
std::string UnescapeValue(const std::string &value)
{
    std::string result;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            result += value[i];
            continue;
        }
        char next = value[++i];
        switch (next) {
        case 's':
            result += ' ';
            break;
        case 'n':
            result += '\n';
            break;
        case 't':
            result += '\t';
            break;
        case 'r':
            result += '\r';
            break;
        case '\\':
            result += '\\';
            break;
        default:
            result += '\\';
            result += next;
            break;
        }
    }
    return result;
}

// Keys of one group of a desktop or mimeapps file (unlocalised keys only).
TStringList ReadGroup(const std::string &path, const std::string &group)
{
    TStringList lines, values;
    if (!lines.LoadFromFile(path))
        return values;
    bool inGroup = false;
    for (const std::string &raw : lines) {
        std::string line = Trim(raw);
        if (line.empty() || line[0] == '#')
            continue;
        if (line[0] == '[') {
            inGroup = line == "[" + group + "]";
            continue;
        }
        size_t equals = line.find('=');
        if (!inGroup || equals == std::string::npos)
            continue;
        std::string key = Trim(line.substr(0, equals));
        if (key.find('[') != std::string::npos || values.IndexOfName(key) >= 0)
            continue;
        values.Add(key + "=" + Trim(line.substr(equals + 1)));
    }
    return values;
}

bool ListsMailto(const std::string &mimeTypes)
{
    for (const std::string &type : SplitText(mimeTypes, ';'))
        if (SameText(Trim(type), MailtoType))
            return true;
    return false;
}

std::string StripDesktopSuffix(const std::string &id)
{
    return EndsText(id, DesktopSuffix) ? id.substr(0, id.size() - std::string(DesktopSuffix).size())
                                       : id;
}

} // namespace

std::vector<TMailProgram> ListMailPrograms()
{
    std::vector<TMailProgram> programs;
    std::set<std::string> seen; // ids already decided by an earlier folder
    for (const std::string &folder : ApplicationFolders()) {
        QString base = QString::fromStdString(folder);
        QDirIterator it(base, QStringList{"*.desktop"}, QDir::Files, QDirIterator::Subdirectories);
        std::vector<std::pair<std::string, std::string>> found; // id, path
        while (it.hasNext()) {
            QString path = it.next();
            // The id of applications/kde/x.desktop is kde-x.desktop.
            std::string id = QDir(base).relativeFilePath(path).replace('/', '-').toStdString();
            found.emplace_back(StripDesktopSuffix(id), path.toStdString());
        }
        std::sort(found.begin(), found.end());
        for (const auto &[id, path] : found) {
            if (!seen.insert(LowerCase(id)).second)
                continue;
            TStringList entry = ReadGroup(path, "Desktop Entry");
            if (SameText(entry.Values("Hidden"), "true") || !ListsMailto(entry.Values("MimeType")))
                continue;
            std::string exec = UnescapeValue(entry.Values("Exec"));
            if (exec.empty())
                continue;
            std::string name = UnescapeValue(entry.Values("Name"));
            programs.push_back({id, name.empty() ? id : name, exec});
        }
    }
    std::sort(programs.begin(), programs.end(),
              [](const TMailProgram &a, const TMailProgram &b) { return a.Id < b.Id; });
    return programs;
}

std::string DefaultMailProgramId()
{
    // In each folder the desktop's own list ("gnome-mimeapps.list") comes before the common one.
    std::vector<std::string> desktops;
    if (const char *current = std::getenv("XDG_CURRENT_DESKTOP"))
        for (const std::string &desktop : SplitText(current, ':'))
            if (!desktop.empty())
                desktops.push_back(LowerCase(desktop) + "-");
    desktops.push_back("");
    std::vector<std::string> folders{ConfigHome()};
    for (const std::string &folder : SearchFolders("XDG_CONFIG_DIRS", "/etc/xdg"))
        folders.push_back(folder);
    folders.push_back(DataHome() + "/applications");
    for (const std::string &folder : SearchFolders("XDG_DATA_DIRS", "/usr/local/share:/usr/share"))
        folders.push_back(folder + "/applications");
    std::vector<std::string> files;
    for (const std::string &folder : folders)
        for (const std::string &desktop : desktops)
            files.push_back(folder + "/" + desktop + "mimeapps.list");

    std::vector<TMailProgram> installed;
    bool installedRead = false;
    for (const std::string &file : files) {
        std::string value = ReadGroup(file, "Default Applications").Values(MailtoType);
        std::vector<std::string> ids;
        for (const std::string &id : SplitText(value, ';'))
            if (!Trim(id).empty())
                ids.push_back(StripDesktopSuffix(Trim(id)));
        if (ids.empty())
            continue;
        // The first listed program that is installed; the first listed when none is.
        if (!installedRead) {
            installed = ListMailPrograms();
            installedRead = true;
        }
        for (const std::string &id : ids)
            for (const TMailProgram &program : installed)
                if (SameText(program.Id, id))
                    return program.Id;
        return ids.front();
    }
    return {};
}

std::vector<std::string> ExpandExec(const std::string &exec, const std::string &file)
{
    std::vector<std::string> args;
    std::string current;
    bool inToken = false;  // something (even "") was written to current
    bool usedFile = false; // a file code appeared
    bool quoted = false;
    for (size_t i = 0; i < exec.size(); ++i) {
        char c = exec[i];
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else if (c == '\\' && i + 1 < exec.size() &&
                       std::string("\"`$\\").find(exec[i + 1]) != std::string::npos) {
                current += exec[++i];
            } else {
                current += c;
            }
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\n') {
            if (inToken)
                args.push_back(current);
            current.clear();
            inToken = false;
            continue;
        }
        if (c == '"') {
            quoted = true;
            inToken = true;
            continue;
        }
        if (c == '%' && i + 1 < exec.size()) {
            char code = exec[++i];
            if (code == '%') {
                current += '%';
                inToken = true;
            } else if (std::string("uUfF").find(code) != std::string::npos) {
                usedFile = true;
                if (!file.empty()) {
                    current += file;
                    inToken = true;
                }
            }
            continue; // any other code expands to nothing here
        }
        current += c;
        inToken = true;
    }
    if (inToken)
        args.push_back(current);
    if (!file.empty() && !usedFile && !args.empty())
        args.push_back(file);
    return args;
}

} // namespace platform
