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

constexpr int AcquireAttempts = 5;
constexpr useconds_t AcquireRetryUs = 2000;

int OpenLockFile(const std::string &name)
{
    // O_CLOEXEC: a program started by the holder must not keep the lock alive after the
    // holder ends.
    return ::open(NamedLockPath(name).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, DataFileMode);
}

int FlockRetrying(int fd, int operation)
{
    int result;
    do
        result = ::flock(fd, operation);
    while (result != 0 && errno == EINTR);
    return result;
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
    MakeFolder(folder, DataFolderMode);
    std::string safeName = name;
    for (char &c : safeName)
        if (c == '/' || c == '\0')
            c = '_';
    return folder + "/" + safeName + ".lock";
}

std::unique_ptr<TNamedLock> AcquireNamedLock(const std::string &name)
{
    int fd = OpenLockFile(name);
    if (fd < 0)
        return nullptr;
    // A presence probe holds a shared lock for an instant; only a holder that stays may make
    // the start fail, so a refused lock is tried a few more times.
    for (int attempt = 1; FlockRetrying(fd, LOCK_EX | LOCK_NB) != 0; ++attempt) {
        if (errno != EWOULDBLOCK || attempt >= AcquireAttempts) {
            ::close(fd);
            return nullptr;
        }
        ::usleep(AcquireRetryUs);
    }
    return std::make_unique<TNamedLock>(fd);
}

bool IsNamedLockPresent(const std::string &name)
{
    int fd = ::open(NamedLockPath(name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false; // never created, so never held
    bool held = FlockRetrying(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    ::close(fd); // also drops the probe's shared lock
    return held;
}

} // namespace platform
