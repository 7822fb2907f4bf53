// Named single-instance locks shared between processes of the same user.
//
// A lock named N is an flock on <runtime folder>/corvex-locks/N.lock. The holder keeps an
// exclusive lock; presence is probed with a non-blocking shared lock, so probes never block
// each other. The kernel drops the lock when the holder ends, however it ends. The lock file
// itself is never deleted (deleting it would let two holders lock two different files).
#pragma once

#include <memory>
#include <string>

namespace platform {

// A held lock; destroying it releases the lock.
class TNamedLock
{
public:
    explicit TNamedLock(int fd) : Fd(fd) {}
    ~TNamedLock();
    TNamedLock(const TNamedLock &) = delete;
    TNamedLock &operator=(const TNamedLock &) = delete;

private:
    int Fd;
};

// Takes the lock; nullptr when another holder has it (or the lock file cannot be opened).
// The descriptor is close-on-exec, so started programs never inherit the lock.
std::unique_ptr<TNamedLock> AcquireNamedLock(const std::string &name);

// True when some process (this one included) holds the lock.
bool IsNamedLockPresent(const std::string &name);

// Path of the lock file of that name (the folder is created 0700 on demand).
std::string NamedLockPath(const std::string &name);

} // namespace platform
