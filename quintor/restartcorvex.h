// The restart tool's logic: wait for the running monitor to let go of its lock (ending its
// process by force when it hangs), start the monitor again and end once the new one holds the
// lock. The window (restartcorvexfrm.h) only shows the phase.
#pragma once

#include <QObject>
#include <QTimer>
#include <cstdint>
#include <functional>
#include <string>
#include <sys/types.h>

// How long each step may take. The defaults are the tool's real timings.
struct TRestartTimings
{
    int TickMs = 1000;              // interval of Timer1
    uint32_t ForceAfterTicks = 10;  // from the tick after this one the monitor is ended
    unsigned GoneWaitMs = 1000;     // per tick: wait for the monitor's lock to go
    unsigned StartDelayMs = 5000;   // pause between the old monitor's end and the start
    unsigned PresentWaitMs = 60000; // wait for the new monitor's lock
};

class TRestartCorvex : public QObject
{
    Q_OBJECT

public:
    explicit TRestartCorvex(const TRestartTimings &timings = {}, QObject *parent = nullptr);

    // Path of the tool's parameter file: "<program>.ini" beside the running program.
    static std::string ParameterFilePath();

    // Reads MonitorPath from the first line of the parameter file. With a path, shows the phase
    // "Corvex Ending" and starts the timer; without one (no file, unreadable, empty first line)
    // the tool has nothing to do: OnFinished runs and false is answered.
    bool Activate(const std::string &parameterFile = ParameterFilePath());

    // One tick of Timer1 (see the .cpp for the steps).
    void RestartTick();

    // The tool is being closed: stop the timer; waits in progress end at their next turn.
    void Stop();

    // The monitor process to end: the process with the monitor's executable name that holds
    // the monitor's lock, else the first process with that name; 0 when none runs.
    pid_t FindMonitorProcess() const;

    std::string MonitorPath;
    uint32_t TickCount = 0;
    QTimer Timer1;

    // What is looked for; the monitor's real names unless a caller changes them.
    std::string MonitorExe;
    std::string MonitorLock;

    // Hooks for the window: the phase text, bringing the application to the front, and the
    // end of the tool (restarted: the new monitor was seen holding its lock).
    std::function<void(const std::string &phase)> OnPhase;
    std::function<void()> OnBringToFront;
    std::function<void(bool restarted)> OnFinished;

private:
    void SetPhase(const std::string &phase);
    void Finish(bool restarted);
    bool Stopping() const;

    TRestartTimings Timings;
    bool Stopped = false;
    bool Finished = false;
};
