#include "common/platform/files.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

std::string FolderOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool WriteAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

void SetError(std::string *errorText, const std::string &what, int errorNumber)
{
    if (errorText)
        *errorText = what + ": " + SystemErrorText(errorNumber);
}

} // namespace

std::string SystemErrorText(int errorNumber)
{
    return std::strerror(errorNumber);
}

bool WriteFileAtomic(const std::string &path, const std::string &bytes, unsigned mode,
                     std::string *errorText)
{
    std::string temp = path + ".tmp-XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        SetError(errorText, "cannot create a temporary file beside " + path, errno);
        return false;
    }
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    int writeError = errno;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0) {
        // Make the rename itself durable.
        int dir = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
        return true;
    }
    SetError(errorText, "cannot write " + path, ok ? errno : writeError);
    ::unlink(temp.c_str());
    return false;
}

bool ReadWholeFile(const std::string &path, std::string &bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    struct stat info = {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return false;
    std::ostringstream out;
    out << in.rdbuf();
    if (in.bad())
        return false;
    bytes = out.str();
    return true;
}

bool MakeFolder(const std::string &path, unsigned mode)
{
    // The mode is exact: the process's umask must not take the group and others' reading away.
    if (::mkdir(path.c_str(), mode) == 0) {
        ::chmod(path.c_str(), mode);
        return true;
    }
    struct stat info = {};
    return errno == EEXIST && ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool MakeFolderPath(const std::string &path, unsigned mode)
{
    if (path.empty())
        return false;
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1))
        MakeFolder(path.substr(0, pos), mode);
    return MakeFolder(path, mode);
}

bool FolderWritable(const std::string &path)
{
    return ::access(path.c_str(), W_OK | X_OK) == 0;
}

} // namespace platform
