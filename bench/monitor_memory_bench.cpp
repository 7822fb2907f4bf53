// The monitor's resident memory with two mailboxes of N messages each on the fixture dovecot:
//   - the program korrind itself, idle after its first pass, with where its resident pages lie
//     (the program, Qt and other libraries, the heap), against the floor of an empty Qt window;
//   - the monitor's main window and logic in this process, after the first and the tenth pass
//     that each fetch and test every message again, to show it does not grow per pass.
// Targets: idle ≤ 35 MB; after ten passes within 5 MB of after the first. Exits 1 on a miss.
//
// Usage: monitor_memory_bench [--messages N]   (default 2000; bench/run-uidl-bench.sh runs it
// with the fixture servers up). Offscreen by default; a desktop's figures come from
// QT_QPA_PLATFORM=xcb xvfb-run -a bench/run-uidl-bench.sh.
#include <QApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>

#include "common/globals.h"
#include "common/names.h"
#include "common/platform/locks.h"
#include "common/records.h"
#include "common/text.h"
#include "common/utils.h"
#include "korrind/popview.h"
#include "korrind/popviewfrm.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

constexpr double IdleTargetMb = 35;
constexpr double GrowthTargetMb = 5;
constexpr int Passes = 10;

double Mb(long kb)
{
    return kb / 1024.0;
}

// VmRSS of a process in kB (0 when it cannot be read).
long ResidentKb(const std::string &pid)
{
    std::istringstream status(testenv::ReadFile("/proc/" + pid + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

// Resident kB by what is mapped: each library or file by its name, the heap, anonymous pages.
std::map<std::string, long> ResidentByMapping(const std::string &pid)
{
    std::map<std::string, long> byName;
    std::istringstream smaps(testenv::ReadFile("/proc/" + pid + "/smaps"));
    std::string line, name;
    while (std::getline(smaps, line)) {
        if (line.empty())
            continue;
        if (std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 16) {
            std::istringstream fields(line);
            std::string range, perms, offset, dev, inode;
            fields >> range >> perms >> offset >> dev >> inode;
            std::getline(fields, name);
            name = Trim(name);
            size_t slash = name.rfind('/');
            if (slash != std::string::npos)
                name = name.substr(slash + 1);
            if (name.empty())
                name = "[anonymous]";
        } else if (line.rfind("Rss:", 0) == 0) {
            byName[name] += std::atol(line.c_str() + 4);
        }
    }
    return byName;
}

void PrintBreakdown(const std::map<std::string, long> &byName, int top)
{
    std::vector<std::pair<long, std::string>> sorted;
    for (const auto &[name, kb] : byName)
        sorted.push_back({kb, name});
    std::sort(sorted.rbegin(), sorted.rend());
    long rest = 0;
    for (size_t i = 0; i < sorted.size(); ++i) {
        if (static_cast<int>(i) < top)
            std::printf("      %-40s %8.1f MB\n", sorted[i].second.c_str(), Mb(sorted[i].first));
        else
            rest += sorted[i].first;
    }
    std::printf("      %-40s %8.1f MB\n", "(everything else)", Mb(rest));
}

// Writes the settings and mailbox list the monitor will read (this process's data root).
bool PrepareDataRoot(const std::vector<TMailBoxRecord> &mailboxes, std::string &root)
{
    TUtils utils;
    TGlobals globals;
    Utils = &utils;
    Globals = &globals;
    bool ok = false;
    {
        TDataStore store;
        if (store.LoadSettings(false)) {
            TConfigRecord &config = globals.Config;
            config.TimerSeconds = 1;
            config.CheckMinutes = 60; // no pass but the first and those asked here
            config.TimeoutMs = 30000;
            config.MasterRejectActive = config.MasterPriorityActive = 1;
            config.NewMailNotification = 1;
            config.EncryptMailboxes = 0;
            config.HideOnStartup = 0;
            config.PasswordActive = 0;
            ok = store.LoadSettings(true) && WriteMailBoxFile(store.PopSrvPath(), mailboxes);
            root = globals.DataRoot;
        }
    }
    Utils = nullptr;
    Globals = nullptr;
    return ok;
}

int LineCount(const std::string &path)
{
    int lines = 0;
    for (char c : testenv::ReadFile(path))
        lines += c == '\n';
    return lines;
}

bool WaitForLastMail(const std::vector<std::string> &inboxes, int messages, int timeoutMs)
{
    return fixtures::WaitUntil(
        [&] {
            for (const std::string &inbox : inboxes)
                if (LineCount(inbox + "/" + names::LastMailFile) != messages)
                    return false;
            return true;
        },
        timeoutMs);
}

// The program itself, idle after its first pass.
bool MeasureProgram(const std::vector<std::string> &inboxes, int messages, long &idleKb)
{
    QProcess monitor;
    monitor.setProgram(QString::fromStdString(testenv::ProgramPath(names::MonitorExe)));
    monitor.setProcessChannelMode(QProcess::ForwardedChannels);
    monitor.start();
    if (!monitor.waitForStarted() || !WaitForLastMail(inboxes, messages, 120000)) {
        std::fprintf(stderr, "korrind did not finish its first pass\n");
        monitor.kill();
        monitor.waitForFinished();
        return false;
    }
    fixtures::PumpEvents(3000); // the pass's end, then idle ticks
    const std::string pid = std::to_string(monitor.processId());
    idleKb = ResidentKb(pid);
    std::printf("  korrind idle after its first pass, two mailboxes: %.1f MB, of which\n",
                Mb(idleKb));
    PrintBreakdown(ResidentByMapping(pid), 40);
    monitor.terminate();
    monitor.waitForFinished(10000);
    fixtures::WaitUntil([] { return !platform::IsNamedLockPresent(names::MonitorLock); });
    return true;
}

// The floor under any program of this kind on this machine: qt_floor (beside this program),
// with TLS loaded or without.
long FloorKb(bool withTls)
{
    QProcess floor;
    floor.setProgram(QCoreApplication::applicationDirPath() + "/qt_floor");
    if (!withTls)
        floor.setArguments({"--no-tls"});
    floor.setProcessChannelMode(QProcess::SeparateChannels);
    floor.start();
    if (!floor.waitForFinished(30000))
        return 0;
    return std::atol(floor.readAllStandardOutput().constData());
}

// The main window and logic in this process: every pass fetches and tests every message.
bool MeasurePasses(const std::vector<std::string> &inboxes, long &firstKb, long &lastKb)
{
    TCorvexFrm window;
    window.Monitor->Activate({});
    for (int pass = 1; pass <= Passes; ++pass) {
        for (const std::string &inbox : inboxes) {
            std::remove((inbox + "/" + names::LastMailFile).c_str());
            std::remove((inbox + "/" + names::UidCacheFile).c_str());
        }
        window.Monitor->CheckMail(-1);
        QApplication::processEvents();
        long kb = ResidentKb("self");
        if (pass == 1)
            firstKb = kb;
        lastKb = kb;
        std::printf("    pass %2d: %.1f MB\n", pass, Mb(kb));
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int messages = 2000;
    if (argc == 3 && std::strcmp(argv[1], "--messages") == 0)
        messages = std::atoi(argv[2]);
    // Offscreen unless the caller chose a platform (e.g. xcb under xvfb-run for a desktop's
    // figures); the monitor started from here inherits it.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home(QDir::tempPath() + "/corvex-bench-XXXXXX");
    testenv::UsePrivateHome(home.path());
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    if (!testenv::FixturesAvailable()) {
        std::fprintf(stderr, "fixture servers not running (use bench/run-uidl-bench.sh)\n");
        return 2;
    }
    fixtures::TrustTestCa();

    std::vector<std::string> inboxes;
    std::vector<TMailBoxRecord> records;
    for (const char *hint : {"memory-a", "memory-b"}) {
        fixtures::Mailbox box = fixtures::CreateMailbox(hint);
        fixtures::AddMessages(box, fixtures::BulkMessages(messages));
        inboxes.push_back(testenv::MakeScratchDir(hint));
        records.push_back(fixtures::MonitoredMailbox(
            box.user, box.host + ":" + std::to_string(box.pop3Port), box.password, inboxes.back()));
    }
    std::string root;
    if (!PrepareDataRoot(records, root)) {
        std::fprintf(stderr, "cannot prepare the data root\n");
        return 1;
    }

    std::printf("monitor resident memory, two mailboxes of %d messages:\n", messages);
    long idleKb = 0, firstKb = 0, lastKb = 0;
    if (!MeasureProgram(inboxes, messages, idleKb))
        return 1;
    const long windowFloorKb = FloorKb(false);
    const long floorKb = FloorKb(true);
    std::printf("  floor: an empty Qt Widgets window: %.1f MB; with OpenSSL loaded: %.1f MB\n",
                Mb(windowFloorKb), Mb(floorKb));
    std::printf("  korrind above that floor: %.1f MB\n", Mb(idleKb - floorKb));
    std::printf("  main window and logic in this process, %d passes of every message:\n", Passes);
    if (!MeasurePasses(inboxes, firstKb, lastKb))
        return 1;
    const bool idleOk = Mb(idleKb) <= IdleTargetMb;
    const bool growthOk = Mb(lastKb - firstKb) <= GrowthTargetMb;
    std::printf("  idle %.1f MB (target %.0f): %s\n", Mb(idleKb), IdleTargetMb,
                idleOk ? "ok" : "MISSED");
    std::printf("  pass %d - pass 1: %+.1f MB (target within %.0f): %s\n", Passes,
                Mb(lastKb - firstKb), GrowthTargetMb, growthOk ? "ok" : "MISSED");
    return idleOk && growthOk ? 0 : 1;
}
