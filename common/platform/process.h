// Starting programs, listing and ending processes.
#pragma once

#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace platform {

// One turn of the caller's event pump; returns false when the wait must end (the program is
// terminating).
using TPump = std::function<bool()>;

// Starts program with the argument list (never through a shell) as an independent process.
// True when it started; pid receives its process id when given.
bool StartDetached(const std::string &program, const std::vector<std::string> &args,
                   const std::string &workingFolder = "", pid_t *pid = nullptr,
                   std::string *errorText = nullptr);

struct TRunResult
{
    bool Started = false;  // the program could be started
    bool Finished = false; // it ended on its own (not still running at the time limit/stop)
    bool Crashed = false;  // it ended by a signal
    int ExitCode = -1;     // exit code when Finished and not Crashed
    std::string ErrorText; // why it could not be started
};

// Starts program as a child and waits for its end while calling pump between short sleeps.
// The wait ends when the child ends, when pump returns false, or after timeoutMs (negative:
// no limit); a child still running then is left running.
TRunResult RunAndWait(const std::string &program, const std::vector<std::string> &args,
                      const TPump &pump, int timeoutMs = -1, const std::string &workingFolder = "");

struct TProcessEntry
{
    pid_t Pid = 0;
    std::string FileName; // file name of the executable, e.g. "korrind"
};

// Every process of which the executable can be read (other users' processes are skipped).
std::vector<TProcessEntry> ListProcesses();

// Full path of the executable of pid ("" when unreadable). A program replaced on disk while it
// runs (an update) is reported by the system with " (deleted)" after it; that is removed.
std::string ProcessExecutablePath(pid_t pid);
// File name of that path.
std::string ProcessFileName(pid_t pid);

// First process whose executable file name equals name ignoring case; 0 when none.
pid_t FindProcessByName(const std::string &name);

// Ends the process: SIGTERM, up to graceMs for it to go, then SIGKILL. True when it is gone
// (or was never there) afterwards. pump, when given, runs between the short sleeps of both
// waits; when it answers false the process is killed at once and not waited for any longer.
bool EndProcess(pid_t pid, int graceMs = 2000, const TPump &pump = {});

// True while a process with that id exists (a zombie counts as gone).
bool ProcessAlive(pid_t pid);

// Makes SIGTERM, SIGINT and SIGHUP end the program cleanly: onSignal runs inside the event loop
// (default: QCoreApplication::quit). Call after the application object exists.
void QuitOnTerminationSignals(std::function<void()> onSignal = {});

} // namespace platform
