#include "quintor/restartcorvex.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "common/globals.h"
#include "common/names.h"
#include "common/platform/folders.h"
#include "common/platform/locks.h"
#include "common/platform/process.h"
#include "common/plugins.h"
#include "common/stringlist.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

const char EndingPhase[] = "Corvex Ending";
const char StartingPhase[] = "Starting Corvex";

// The process holding an exclusive flock on the file, from /proc/locks; 0 when none is
// listed. Lines look like "1: FLOCK  ADVISORY  WRITE 4242 00:2a:1234 0 EOF"; waiting
// requests ("1: -> FLOCK ...") and shared probes are not holders.
pid_t LockHolderPid(const std::string &lockFile)
{
    struct stat info;
    if (::stat(lockFile.c_str(), &info) != 0)
        return 0;
    std::ifstream locks("/proc/locks");
    std::string line;
    while (std::getline(locks, line)) {
        std::istringstream fields(line);
        std::string id, kind, mode, access, device;
        long long pid = 0;
        if (!(fields >> id >> kind >> mode >> access >> pid >> device))
            continue;
        if (kind != "FLOCK" || access != "WRITE")
            continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(device.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3)
            continue;
        if (inode == info.st_ino && major == ::major(info.st_dev) && minor == ::minor(info.st_dev))
            return pid_t(pid);
    }
    return 0;
}

} // namespace

TRestartCorvex::TRestartCorvex(const TRestartTimings &timings, QObject *parent)
    : QObject(parent), MonitorExe(names::MonitorExe), MonitorLock(names::MonitorLock),
      Timings(timings)
{
    Timer1.setInterval(Timings.TickMs);
    connect(&Timer1, &QTimer::timeout, this, &TRestartCorvex::RestartTick);
}

std::string TRestartCorvex::ParameterFilePath()
{
    return ParameterFileFor(platform::ExecutablePath());
}

bool TRestartCorvex::Activate(const std::string &parameterFile)
{
    TStringList parameters;
    MonitorPath.clear();
    if (parameters.LoadFromFile(parameterFile) && !parameters.Empty())
        MonitorPath = Trim(parameters[0]);
    if (MonitorPath.empty()) {
        if (Utils)
            Utils->DebugLog("Restart: no monitor path in %s", parameterFile.c_str());
        Finish(false);
        return false;
    }
    SetPhase(EndingPhase);
    TickCount = 0;
    Timer1.start();
    return true;
}

pid_t TRestartCorvex::FindMonitorProcess() const
{
    // Several copies may run (other sessions, other users); the one holding the lock is the
    // one this restart waits for.
    for (const std::string &lockFile : {platform::NamedLockPath(MonitorLock),
                                        platform::FolderLockPath(MonitorLock, DataRootPath())}) {
        pid_t holder = LockHolderPid(lockFile);
        if (holder > 0 && SameText(platform::ProcessFileName(holder), MonitorExe))
            return holder;
    }
    return Utils->FindProcessId(MonitorExe);
}

// Each tick: the monitor gets ForceAfterTicks ticks to end on its own, after that it is ended
// by force on every tick. Once its lock is gone the monitor is started again after a pause,
// and the tool ends when the new monitor holds the lock (or after PresentWaitMs).
void TRestartCorvex::RestartTick()
{
    Timer1.stop();
    TUtils::ProcessMessages();
    if (Stopping())
        return;

    ++TickCount;
    if (TickCount > Timings.ForceAfterTicks) {
        if (pid_t pid = FindMonitorProcess()) {
            Utils->DebugLog("Restart: ending hung monitor process %d", int(pid));
            Utils->TerminateProcessById(pid);
        }
    }

    if (!Utils->WaitUntilMutexGone(Timings.GoneWaitMs, MonitorLock)) {
        if (!Stopping())
            Timer1.start();
        return;
    }

    SetPhase(StartingPhase);
    Utils->Delay(Timings.StartDelayMs);
    if (Stopping())
        return;

    // A missing program is logged rather than handed to the desktop's file opener; the wait
    // for the new monitor still runs its course.
    if (!TUtils::FileExists(MonitorPath) || !Utils->ShellOpen(MonitorPath, std::string(), false))
        Utils->DebugLog("Restart: cannot start %s", MonitorPath.c_str());
    else
        Utils->DebugLog("Restart: started %s", MonitorPath.c_str());

    bool restarted = Utils->WaitUntilMutexPresent(Timings.PresentWaitMs, MonitorLock);
    if (restarted && OnBringToFront)
        OnBringToFront();
    Finish(restarted);
}

void TRestartCorvex::Stop()
{
    Stopped = true;
    Timer1.stop();
}

bool TRestartCorvex::Stopping() const
{
    return Stopped || TUtils::Terminating();
}

void TRestartCorvex::SetPhase(const std::string &phase)
{
    if (OnPhase)
        OnPhase(phase);
}

void TRestartCorvex::Finish(bool restarted)
{
    if (Finished)
        return;
    Finished = true;
    Timer1.stop();
    if (OnFinished)
        OnFinished(restarted);
}
