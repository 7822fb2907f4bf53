// Named single-instance locks shared between processes of the same user.
//
// A lock named N is an flock on <runtime folder>/corvex-locks/N.lock. The holder keeps an
// exclusive lock; presence is probed with a non-blocking shared lock, so probes never block
// each other. The kernel drops the lock when the holder ends, however it ends. The lock file
// itself is never deleted (deleting it would let two holders lock two different files).
//
// The runtime folder depends on the environment (XDG_RUNTIME_DIR is unset under cron, su or
// ssh), so a program's instance lock also takes the same lock on <data folder>/corvex-locks/
// N.lock: one data folder has one holder whatever the environment says.
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

// Path of the lock file of that name in a data folder (nothing is created).
std::string FolderLockPath(const std::string &name, const std::string &dataFolder);

// A program's single instance: the named lock and the lock in its data folder.
class TInstanceLock
{
public:
    TInstanceLock(std::unique_ptr<TNamedLock> named, std::unique_ptr<TNamedLock> inFolder)
        : Named(std::move(named)), InFolder(std::move(inFolder))
    {
    }
    // False when the data folder could hold no lock file (read-only): the named lock alone
    // guards the instance then.
    bool HoldsFolderLock() const { return InFolder != nullptr; }

private:
    std::unique_ptr<TNamedLock> Named;
    std::unique_ptr<TNamedLock> InFolder; // released first
};

// Takes both locks; nullptr when another holder has either (or the named one cannot be had).
// A data folder where no lock file can be opened does not stop the start.
std::unique_ptr<TInstanceLock> AcquireInstanceLock(const std::string &name,
                                                   const std::string &dataFolder);

// True when some process holds the named lock or the lock in the data folder.
bool IsInstanceLockPresent(const std::string &name, const std::string &dataFolder);

} // namespace platform
