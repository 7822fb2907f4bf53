#include "common/platform/locks.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "common/names.h"
#include "common/platform/files.h"
#include "common/platform/folders.h"

namespace platform {

namespace {

// A presence probe holds its shared lock for an instant, but a loaded machine may pause the
// prober in between: the attempts span a quarter of a second before a holder counts as staying.
constexpr int AcquireAttempts = 50;
constexpr useconds_t AcquireRetryUs = 5000;

std::string LockFileName(const std::string &name)
{
    std::string safeName = name;
    for (char &c : safeName)
        if (c == '/' || c == '\0')
            c = '_';
    return safeName + ".lock";
}

// O_CLOEXEC: a program started by the holder must not keep the lock alive after the holder
// ends. A lock file that exists in a folder this user may no longer write (a read-only data
// folder) is still locked through a read-only descriptor: flock needs no write access.
int OpenLockFile(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, DataFileMode);
    if (fd < 0 && (errno == EROFS || errno == EACCES))
        fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    return fd;
}

int FlockRetrying(int fd, int operation)
{
    int result;
    do
        result = ::flock(fd, operation);
    while (result != 0 && errno == EINTR);
    return result;
}

enum class TTake { Taken, Held, NoFile };

TTake TakeLockFile(const std::string &path, std::unique_ptr<TNamedLock> &lock)
{
    int fd = OpenLockFile(path);
    if (fd < 0)
        return TTake::NoFile;
    // Only a holder that stays may make the start fail (see AcquireAttempts).
    for (int attempt = 1; FlockRetrying(fd, LOCK_EX | LOCK_NB) != 0; ++attempt) {
        if (errno != EWOULDBLOCK || attempt >= AcquireAttempts) {
            const bool held = errno == EWOULDBLOCK;
            ::close(fd);
            return held ? TTake::Held : TTake::NoFile;
        }
        ::usleep(AcquireRetryUs);
    }
    lock = std::make_unique<TNamedLock>(fd);
    return TTake::Taken;
}

bool LockFileHeld(const std::string &path)
{
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false; // never created, so never held
    bool held = FlockRetrying(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd); // also drops the probe's shared lock
    return held;
}

} // namespace

TNamedLock::~TNamedLock()
{
    if (Fd >= 0)
        ::close(Fd); // closing the descriptor releases the lock
}

std::string NamedLockPath(const std::string &name)
{
    std::string folder = RuntimeFolder() + "/" + names::LockFolder;
    MakePrivateFolder(folder);
    return folder + "/" + LockFileName(name);
}

std::string FolderLockPath(const std::string &name, const std::string &dataFolder)
{
    return dataFolder + "/" + names::LockFolder + "/" + LockFileName(name);
}

std::unique_ptr<TNamedLock> AcquireNamedLock(const std::string &name)
{
    std::unique_ptr<TNamedLock> lock;
    TakeLockFile(NamedLockPath(name), lock);
    return lock;
}

bool IsNamedLockPresent(const std::string &name)
{
    return LockFileHeld(NamedLockPath(name));
}

std::unique_ptr<TInstanceLock> AcquireInstanceLock(const std::string &name,
                                                   const std::string &dataFolder)
{
    std::unique_ptr<TNamedLock> named = AcquireNamedLock(name);
    if (!named)
        return nullptr;
    std::unique_ptr<TNamedLock> inFolder;
    if (!dataFolder.empty()) {
        MakePrivateFolder(dataFolder + "/" + names::LockFolder);
        if (TakeLockFile(FolderLockPath(name, dataFolder), inFolder) == TTake::Held)
            return nullptr;
    }
    return std::make_unique<TInstanceLock>(std::move(named), std::move(inFolder));
}

bool IsInstanceLockPresent(const std::string &name, const std::string &dataFolder)
{
    return IsNamedLockPresent(name) ||
           (!dataFolder.empty() && LockFileHeld(FolderLockPath(name, dataFolder)));
}

} // namespace platform
