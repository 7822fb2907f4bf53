#include "common/platform/process.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSocketNotifier>
#include <QStringList>
#include <QThread>
#include <cerrno>
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "common/text.h"

namespace platform {

namespace {

QStringList ToQStringList(const std::vector<std::string> &args)
{
    QStringList list;
    for (const std::string &arg : args)
        list << QString::fromStdString(arg);
    return list;
}

std::string FileNameOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

bool StartDetached(const std::string &program, const std::vector<std::string> &args,
                   const std::string &workingFolder, pid_t *pid, std::string *errorText)
{
    QProcess process;
    process.setProgram(QString::fromStdString(program));
    process.setArguments(ToQStringList(args));
    if (!workingFolder.empty())
        process.setWorkingDirectory(QString::fromStdString(workingFolder));
    qint64 started = 0;
    if (!process.startDetached(&started)) {
        if (errorText)
            *errorText = "cannot start " + program + ": " + process.errorString().toStdString();
        return false;
    }
    if (pid)
        *pid = pid_t(started);
    return true;
}

TRunResult RunAndWait(const std::string &program, const std::vector<std::string> &args,
                      const TPump &pump, int timeoutMs, const std::string &workingFolder)
{
    TRunResult result;
    // On the heap: a QProcess destroyed while its child runs would kill the child, and a wait
    // that ends early must leave the child running.
    auto *process = new QProcess;
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    if (!workingFolder.empty())
        process->setWorkingDirectory(QString::fromStdString(workingFolder));
    process->start(QString::fromStdString(program), ToQStringList(args));
    if (!process->waitForStarted(10000)) {
        result.ErrorText = "cannot start " + program + ": " + process->errorString().toStdString();
        delete process;
        return result;
    }
    result.Started = true;
    QElapsedTimer clock;
    clock.start();
    while (process->state() != QProcess::NotRunning) {
        if (pump && !pump())
            break;
        if (timeoutMs >= 0 && clock.elapsed() >= timeoutMs)
            break;
        process->waitForFinished(20);
    }
    if (process->state() == QProcess::NotRunning) {
        result.Finished = true;
        result.Crashed = process->exitStatus() == QProcess::CrashExit;
        result.ExitCode = result.Crashed ? -1 : process->exitCode();
        delete process;
    } else {
        QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    }
    return result;
}

std::string ProcessExecutablePath(pid_t pid)
{
    char buffer[4096];
    std::string link = "/proc/" + std::to_string(pid) + "/exe";
    ssize_t n = ::readlink(link.c_str(), buffer, sizeof buffer - 1);
    if (n <= 0)
        return {};
    std::string path(buffer, size_t(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.ends_with(deleted))
        path.resize(path.size() - deleted.size());
    return path;
}

std::string ProcessFileName(pid_t pid)
{
    return FileNameOf(ProcessExecutablePath(pid));
}

std::vector<TProcessEntry> ListProcesses()
{
    std::vector<TProcessEntry> list;
    DIR *proc = ::opendir("/proc");
    if (!proc)
        return list;
    while (dirent *entry = ::readdir(proc)) {
        long long pid = StrToIntDef(entry->d_name, 0);
        if (pid <= 0)
            continue;
        std::string name = ProcessFileName(pid_t(pid));
        if (!name.empty())
            list.push_back({pid_t(pid), name});
    }
    ::closedir(proc);
    return list;
}

pid_t FindProcessByName(const std::string &name)
{
    for (const TProcessEntry &entry : ListProcesses())
        if (SameText(entry.FileName, name))
            return entry.Pid;
    return 0;
}

bool ProcessAlive(pid_t pid)
{
    if (pid <= 0)
        return false;
    if (::kill(pid, 0) != 0 && errno == ESRCH)
        return false;
    // A zombie has ended; only its parent has not collected it yet.
    std::string stat;
    FILE *file = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (!file)
        return false;
    char buffer[512] = {};
    size_t n = std::fread(buffer, 1, sizeof buffer - 1, file);
    std::fclose(file);
    stat.assign(buffer, n);
    size_t close = stat.rfind(')');
    return !(close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z');
}

namespace {

constexpr int KillWaitMs = 2000;

// Waits up to ms for the process to go, running pump between short sleeps; false when the
// pump asked to stop.
bool WaitForEnd(pid_t pid, int ms, const TPump &pump)
{
    QElapsedTimer clock;
    clock.start();
    while (ProcessAlive(pid) && clock.elapsed() < ms) {
        if (pump && !pump())
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

bool EndProcess(pid_t pid, int graceMs, const TPump &pump)
{
    if (pid <= 0 || pid == ::getpid())
        return false;
    if (!ProcessAlive(pid))
        return true;
    if (::kill(pid, SIGTERM) != 0 && errno != ESRCH)
        return false;
    bool keepWaiting = WaitForEnd(pid, graceMs, pump);
    if (!ProcessAlive(pid))
        return true;
    ::kill(pid, SIGKILL);
    if (keepWaiting)
        WaitForEnd(pid, KillWaitMs, pump);
    return !ProcessAlive(pid);
}

namespace {

int SignalPipe[2] = {-1, -1};

void OnTerminationSignal(int)
{
    char byte = 1;
    ssize_t ignored = ::write(SignalPipe[1], &byte, 1);
    (void)ignored;
}

} // namespace

void QuitOnTerminationSignals(std::function<void()> onSignal)
{
    if (SignalPipe[0] >= 0 || !QCoreApplication::instance())
        return;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, SignalPipe) != 0)
        return;
    auto *notifier =
        new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [onSignal] {
        char byte;
        ssize_t ignored = ::read(SignalPipe[0], &byte, 1);
        (void)ignored;
        if (onSignal)
            onSignal();
        else
            QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

} // namespace platform
