#include "common/platform/folders.h"

#include <QStandardPaths>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/platform/files.h"
#include "common/platform/process.h"

namespace platform {

namespace {

std::string Env(const char *name)
{
    const char *value = std::getenv(name);
    return value ? value : "";
}

std::string WithoutTrailingSlash(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

// An XDG variable must hold an absolute path to count.
std::string XdgFolder(const char *variable, const std::string &fallback)
{
    std::string value = Env(variable);
    return WithoutTrailingSlash(!value.empty() && value[0] == '/' ? value : fallback);
}

} // namespace

std::string HomeFolder()
{
    std::string home = Env("HOME");
    if (home.empty()) {
        if (const passwd *entry = ::getpwuid(::getuid()))
            home = entry->pw_dir ? entry->pw_dir : "";
    }
    return WithoutTrailingSlash(home);
}

std::string DataHome()
{
    return XdgFolder("XDG_DATA_HOME", HomeFolder() + "/.local/share");
}

std::string ConfigHome()
{
    return XdgFolder("XDG_CONFIG_HOME", HomeFolder() + "/.config");
}

std::string DocumentsFolder()
{
    std::string explicitFolder = Env("XDG_DOCUMENTS_DIR");
    if (!explicitFolder.empty() && explicitFolder[0] == '/')
        return WithoutTrailingSlash(explicitFolder);
    QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (!documents.isEmpty())
        return WithoutTrailingSlash(documents.toStdString());
    return HomeFolder() + "/Documents";
}

std::string AutostartFolder()
{
    return ConfigHome() + "/autostart";
}

std::string TempFolder()
{
    return XdgFolder("TMPDIR", "/tmp");
}

std::string RuntimeFolder()
{
    std::string runtime = XdgFolder("XDG_RUNTIME_DIR", "");
    struct stat info = {};
    if (!runtime.empty() && ::stat(runtime.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::getuid())
        return runtime;
    // No runtime folder (cron, CI): a private folder of this user in the temporary folder.
    std::string fallback = TempFolder() + "/corvex-runtime-" + std::to_string(::getuid());
    MakeFolder(fallback, DataFolderMode);
    if (::lstat(fallback.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::getuid()) {
        ::chmod(fallback.c_str(), DataFolderMode);
        return fallback;
    }
    // Someone else owns that name: refuse to share it and use a folder below home instead.
    std::string own = HomeFolder() + "/.cache/corvex-runtime";
    MakeFolderPath(own, DataFolderMode);
    return own;
}

std::string LoginUserName()
{
    if (const passwd *entry = ::getpwuid(::getuid()))
        if (entry->pw_name)
            return entry->pw_name;
    std::string user = Env("USER");
    return user.empty() ? Env("LOGNAME") : user;
}

std::string ExecutablePath()
{
    return ProcessExecutablePath(::getpid());
}

std::string ExecutableFolder()
{
    std::string path = ExecutablePath();
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

} // namespace platform
