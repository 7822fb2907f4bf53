#include "common/platform/files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/file.h>
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

// An unnamed file in the folder, written and then given its name: the name never shows a
// partial file, and linking never replaces an existing file. -1: the file system has no
// unnamed files; 0: failed; 1: written.
int WriteUnnamedThenLink(const std::string &path, const std::string &bytes)
{
    int fd = ::open(FolderOf(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, DataFileMode);
    if (fd < 0)
        return errno == EOPNOTSUPP || errno == EISDIR ? -1 : 0;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    bool ok = WriteAll(fd, bytes) &&
              ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0;
    ::close(fd);
    return ok ? 1 : 0;
}

// The same with a temporary name, for file systems without unnamed files.
bool WriteStagedThenLink(const std::string &path, const std::string &bytes)
{
    const std::string stage = path + TempFileInfix + "stage";
    int fd = ::open(stage.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, DataFileMode);
    if (fd < 0)
        return false;
    bool ok = WriteAll(fd, bytes);
    ok = ::close(fd) == 0 && ok;
    if (ok) {
        ok = ::link(stage.c_str(), path.c_str()) == 0;
        // Without hard links: a rename after a last look.
        if (!ok && errno != EEXIST && ::access(path.c_str(), F_OK) != 0)
            ok = ::rename(stage.c_str(), path.c_str()) == 0;
    }
    ::unlink(stage.c_str());
    return ok;
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
    std::string temp = path + TempFileInfix + "XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        SetError(errorText, "cannot create a temporary file beside " + path, errno);
        return false;
    }
    // Held until the file is closed: tells RemoveStaleTemporaries that its writer is alive.
    ::flock(fd, LOCK_EX);
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

int RemoveStaleTemporaries(const std::string &folder)
{
    DIR *dir = ::opendir(folder.c_str());
    if (!dir)
        return 0;
    int removed = 0;
    const std::size_t randomPart = 6; // the XXXXXX of mkostemp
    while (dirent *entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        std::size_t infix = name.rfind(TempFileInfix);
        if (infix == std::string::npos || infix == 0 ||
            name.size() != infix + std::strlen(TempFileInfix) + randomPart)
            continue;
        std::string path = folder + "/" + name;
        int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0)
            continue;
        struct stat info = {};
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
            ::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::unlink(path.c_str()) == 0)
            ++removed;
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

namespace {

// The names MoveAside and KeepCopy try, in order.
constexpr int AsideNameAttempts = 1000;
std::string AsideName(const std::string &base, int attempt)
{
    return attempt == 0 ? base : base + "-" + std::to_string(attempt);
}

bool NameTaken(const std::string &path)
{
    struct stat info = {};
    return ::lstat(path.c_str(), &info) == 0;
}

} // namespace

bool MoveAside(const std::string &path, const std::string &base, std::string &keptAs)
{
    for (int attempt = 0; attempt < AsideNameAttempts; ++attempt) {
        std::string candidate = AsideName(base, attempt);
        // A hard link never replaces an existing name; the original name is dropped after.
        if (::link(path.c_str(), candidate.c_str()) == 0) {
            ::unlink(path.c_str());
            keptAs = candidate;
            return true;
        }
        if (errno == EEXIST)
            continue;
        // Folders without hard links: rename, after checking the name is free.
        if (NameTaken(candidate))
            continue;
        if (::rename(path.c_str(), candidate.c_str()) == 0) {
            keptAs = candidate;
            return true;
        }
        return false;
    }
    return false;
}

bool KeepCopy(const std::string &bytes, const std::string &base, std::string &keptAs)
{
    for (int attempt = 0; attempt < AsideNameAttempts; ++attempt) {
        std::string candidate = AsideName(base, attempt);
        if (NameTaken(candidate))
            continue;
        if (!WriteNewFile(candidate, bytes)) {
            if (NameTaken(candidate)) // taken meanwhile
                continue;
            return false;
        }
        keptAs = candidate;
        int fd = ::open(candidate.c_str(), O_RDONLY | O_CLOEXEC);
        bool flushed = fd >= 0 && ::fsync(fd) == 0;
        if (fd >= 0)
            ::close(fd);
        return flushed;
    }
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

bool MissingFromItsFolder(const std::string &path)
{
    struct stat info = {};
    if (path.empty() || ::lstat(path.c_str(), &info) == 0 || errno != ENOENT)
        return false;
    return ::stat(FolderOf(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
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

bool MakePrivateFolder(const std::string &path)
{
    if (!MakeFolderPath(path, DataFolderMode))
        return false;
    struct stat info = {};
    // Only the group's and others' bits go: a folder the user made read-only stays so. A file
    // system without modes (a share) refuses the change and keeps what it shows.
    if (::stat(path.c_str(), &info) == 0 && info.st_uid == ::geteuid() && (info.st_mode & 077) != 0)
        ::chmod(path.c_str(), info.st_mode & 0700);
    return true;
}

bool FolderWritable(const std::string &path)
{
    return ::access(path.c_str(), W_OK | X_OK) == 0;
}

bool WriteNewFile(const std::string &path, const std::string &bytes)
{
    int written = WriteUnnamedThenLink(path, bytes);
    if (written < 0)
        written = WriteStagedThenLink(path, bytes) ? 1 : 0;
    return written == 1;
}

} // namespace platform

namespace platform {

namespace {

// The undo record: "<offset> <size before> <checksum>\n" and then the bytes that stood from
// offset on; the checksum (FNV-1a of those bytes) tells a whole record from one a crash cut
// short. The record's file stays once made, empty when it holds no record, so that writing a
// record never waits for its folder to be flushed.
uint64_t UndoChecksum(const std::string &bytes)
{
    uint64_t hash = 14695981039346656037ULL;
    for (char c : bytes) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    return hash;
}

bool ParseUndoRecord(const std::string &record, uint64_t &offset, std::string &tail)
{
    const size_t head = record.find('\n');
    unsigned long long at = 0, size = 0, sum = 0;
    if (head == std::string::npos ||
        std::sscanf(record.c_str(), "%llu %llu %llx", &at, &size, &sum) != 3 || size < at ||
        size - at != record.size() - head - 1)
        return false;
    tail = record.substr(head + 1);
    offset = at;
    return UndoChecksum(tail) == sum;
}

// Writes bytes at offset, cuts the file after them and flushes it.
bool WriteTailAt(const std::string &path, uint64_t offset, const std::string &bytes)
{
    int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::lseek(fd, off_t(offset), SEEK_SET) == off_t(offset) && WriteAll(fd, bytes) &&
              ::ftruncate(fd, off_t(offset + bytes.size())) == 0 && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    return ok;
}

bool ClearUndoRecord(const std::string &undo)
{
    return ::truncate(undo.c_str(), 0) == 0 || errno == ENOENT;
}

// Writes the record, flushed; a file made for it has its folder flushed as well.
bool WriteUndoRecord(const std::string &undo, const std::string &record)
{
    bool created = false;
    int fd = ::open(undo.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(undo.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, DataFileMode);
        created = fd >= 0;
    }
    if (fd < 0)
        return false;
    bool ok =
        WriteAll(fd, record) && ::ftruncate(fd, off_t(record.size())) == 0 && ::fdatasync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok && created) {
        int dir = ::open(FolderOf(undo).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ok = dir >= 0 && ::fsync(dir) == 0;
        if (dir >= 0)
            ::close(dir);
    }
    return ok;
}

} // namespace

bool RecoverFileTail(const std::string &path)
{
    const std::string undo = path + UndoSuffix;
    std::string record;
    if (!ReadWholeFile(undo, record) || record.empty())
        return true; // no record: the last replacement finished or never began
    uint64_t offset = 0;
    std::string tail;
    // A record that is not whole was cut short before the file was touched on its account.
    if (ParseUndoRecord(record, offset, tail) && !WriteTailAt(path, offset, tail))
        return false;
    return ClearUndoRecord(undo);
}

bool ReplaceFileTail(const std::string &path, uint64_t offset, const std::string &bytes)
{
    if (!RecoverFileTail(path))
        return false;
    std::string old;
    uint64_t size = 0;
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        uint64_t(info.st_size) < offset)
        return false;
    if (!ReadFileTail(path, size_t(uint64_t(info.st_size) - offset), old, size) ||
        size != uint64_t(info.st_size))
        return false;
    const std::string undo = path + UndoSuffix;
    char head[80];
    std::snprintf(head, sizeof head, "%llu %llu %016llx\n", static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(size),
                  static_cast<unsigned long long>(UndoChecksum(old)));
    if (!WriteUndoRecord(undo, head + old))
        return false;
    if (!WriteTailAt(path, offset, bytes)) {
        RecoverFileTail(path);
        return false;
    }
    return ClearUndoRecord(undo);
}

bool WriteFileUnflushed(const std::string &path, const std::string &bytes)
{
    std::string temp = path + TempFileInfix + "XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return false;
    ::flock(fd, LOCK_EX);
    bool ok = ::fchmod(fd, DataFileMode) == 0 && WriteAll(fd, bytes);
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), path.c_str()) == 0)
        return true;
    ::unlink(temp.c_str());
    return false;
}

bool ReadFileTail(const std::string &path, size_t length, std::string &bytes, uint64_t &size)
{
    bytes.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat info = {};
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    if (ok) {
        size = uint64_t(info.st_size);
        const uint64_t start = size > length ? size - length : 0;
        bytes.resize(size_t(size - start));
        size_t done = 0;
        while (ok && done < bytes.size()) {
            ssize_t n = ::pread(fd, bytes.data() + done, bytes.size() - done, off_t(start + done));
            if (n < 0 && errno == EINTR)
                continue;
            ok = n > 0;
            if (ok)
                done += size_t(n);
        }
    }
    ::close(fd);
    if (!ok)
        bytes.clear();
    return ok;
}

bool FileStamp(const std::string &path, TFileStamp &stamp)
{
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return false;
    stamp.Size = uint64_t(info.st_size);
    stamp.ChangedNs = int64_t(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec;
    stamp.Inode = uint64_t(info.st_ino);
    return true;
}

} // namespace platform
