// The filter engine's check of a large mailbox with one new message, against the fixture
// dovecot over loopback: the time until TestMail returns when it fetches the summaries in one
// pipelined batch, against one request per message with a pause after each. Both runs start
// from the same "LastMail.ini" and must leave the same one. Prints both times and their ratio
// from one run (machines are noisy; only the ratio is meaningful).
//
// Then, beside one new message among N, one new among LARGE (default 100,000): the work from
// the login to the filter's decision (the newest summary for the Summary row and TestMail) and
// the peak memory above the figure before the login, for the check that only reads what is new
// and for the full check of the same mailbox (its record of the last check removed), which must
// leave the same "LastMail.ini". Targets for LARGE: at most 50 ms and 10 MB; exits 1 on a miss.
//
// Usage: engine_bench [--messages N] [--pause-ms MS] [--large LARGE]   (defaults 2000, 200 and
// 100000: the one-by-one run then takes about 400 s; --large 0 leaves the large mailbox out).
// Needs the fixture servers: bench/run-engine-bench.sh starts them, runs this and stops them.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <malloc.h>
#include <sstream>

#include "common/platform/files.h"
#include "common/text.h"
#include "korrind/engine/uidcache.h"
#include "korrind/engine_environment.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

struct Options
{
    int messages = 2000;
    unsigned pauseMs = 200;
    int large = 100000;
};

constexpr double LargeTimeTargetMs = 50;
constexpr double LargeMemoryTargetMb = 10;

bool ParseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(argv[i], "--messages") == 0 && value != nullptr) {
            options.messages = std::atoi(value);
            ++i;
        } else if (std::strcmp(argv[i], "--large") == 0 && value != nullptr) {
            options.large = std::atoi(value);
            ++i;
        } else if (std::strcmp(argv[i], "--pause-ms") == 0 && value != nullptr) {
            options.pauseMs = static_cast<unsigned>(std::atoi(value));
            ++i;
        } else {
            return false;
        }
    }
    return options.messages > 0;
}

// The sample messages have no rule of their own; a few lines that match none of them make
// the engine score every new message as it would on a user's machine.
void WriteRules(const TEngineEnvironment &env)
{
    testenv::WriteFile(env.root + "/" + names::MasterPriorityFile,
                       "boss@example.org|||0|0|00120||000|\n|urgent;invoice;||0|0|00120||000|\n");
    testenv::WriteFile(env.root + "/" + names::MasterRejectFile,
                       "spam.example|\n|viagra;lottery;winner;|\n");
}

class Bench
{
public:
    Bench(TEngineEnvironment &env, const fixtures::Mailbox &box) : Env(env), Box(box) {}

    // One TestMail on a fresh session; answers false when the check did not complete.
    bool Check(TSummaryFetch fetch, unsigned pauseMs, double &elapsedMs)
    {
        Env.pop3.Host = Box.host;
        Env.pop3.Port = Box.pop3Port;
        Env.pop3.User = Box.user;
        Env.pop3.Password = Box.password;
        Env.pop3.TimeoutStep = 30000;
        if (!Env.pop3.Connect()) {
            std::fprintf(stderr, "cannot open the mailbox: %s\n",
                         Env.pop3.Component()->LastErrorText().c_str());
            return false;
        }
        Env.engine.SummaryFetch = fetch;
        Env.engine.SummaryPauseMs = pauseMs;
        Env.engine.SummaryRow = &SummaryRow;
        Env.engine.SoundQueue.Clear();
        Env.engine.NewMailFound = Env.engine.PriorityFound = false;
        const int count = Env.pop3.MessageCount();

        QElapsedTimer clock;
        clock.start();
        bool deleted = Env.engine.TestMail(0, count, false);
        elapsedMs = clock.nsecsElapsed() / 1e6;

        Env.pop3.Disconnect();
        if (deleted || !Env.engine.NewMailFound) {
            std::fprintf(stderr, "the check did not find the new message (see %s)\n",
                         Env.utils.LogFileName.c_str());
            return false;
        }
        return true;
    }

    std::string LastMailPath() const { return Env.inbox + "/" + names::LastMailFile; }

    // Puts "LastMail.ini" back as it was before a timed check.
    bool Restore(const std::string &lastMail) const
    {
        if (platform::WriteFileAtomic(LastMailPath(), lastMail))
            return true;
        std::fprintf(stderr, "cannot restore \"LastMail.ini\"\n");
        return false;
    }

private:
    TEngineEnvironment &Env;
    fixtures::Mailbox Box;
    TListRow SummaryRow;
};

void Row(const std::string &label, double value, const char *unit = "")
{
    std::printf("  %-36s %10.1f%s%s\n", label.c_str(), value, *unit ? " " : "", unit);
    std::fflush(stdout);
}

int LineCount(const std::string &text)
{
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

// A figure of /proc/self/status in kB ("VmRSS:", "VmHWM:").
long StatusKb(const char *field)
{
    std::istringstream status(testenv::ReadFile("/proc/self/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::atol(line.c_str() + std::strlen(field));
    return 0;
}

// What one check of a mailbox with one new message cost.
struct ScaleFigures
{
    double workMs = 0;  // from the end of the login to the filter's decision
    double loginMs = 0; // the login with its listing, for reference
    double peakMb = 0;  // the peak resident memory above the figure before the login
};

// Checks one mailbox as the check cycle does: login, the newest summary for the Summary row,
// TestMail, logout.
class ScaleBench
{
public:
    ScaleBench(TEngineEnvironment &env, const fixtures::Mailbox &box, const std::string &inbox)
        : Env(env), Box(box), Inbox(inbox)
    {
    }

    bool Check(ScaleFigures &figures)
    {
        TListRow &row = Env.mailboxes[0];
        row.Caption = Box.user;
        row.SetCell(mcMailServer, Box.host + ":" + std::to_string(Box.pop3Port));
        row.SetCell(mcInboxPath, Inbox);
        Env.pop3.Host = Box.host;
        Env.pop3.Port = Box.pop3Port;
        Env.pop3.User = Box.user;
        Env.pop3.Password = Box.password;
        Env.pop3.TimeoutStep = 30000;
        Env.engine.SummaryFetch = TSummaryFetch::UniqueIds;
        Env.engine.SummaryRow = &SummaryRow;
        Env.engine.SoundQueue.Clear();
        Env.engine.NewMailFound = Env.engine.PriorityFound = false;
        malloc_trim(0);
        const long idleKb = StatusKb("VmRSS:");
        std::ofstream("/proc/self/clear_refs") << "5"; // the peak starts at the figure now
        QElapsedTimer clock;
        clock.start();
        if (!Env.pop3.Connect()) {
            std::fprintf(stderr, "cannot open the mailbox: %s\n",
                         Env.pop3.Component()->LastErrorText().c_str());
            return false;
        }
        figures.loginMs = clock.nsecsElapsed() / 1e6;
        clock.restart();
        const int count = Env.pop3.MessageCount();
        const bool read = Env.pop3.GetSummary(count);
        const bool deleted = Env.engine.TestMail(0, count, false);
        figures.workMs = clock.nsecsElapsed() / 1e6;
        Env.pop3.Disconnect();
        figures.peakMb = (StatusKb("VmHWM:") - idleKb) / 1024.0;
        if (!read || deleted || !Env.engine.NewMailFound) {
            std::fprintf(stderr, "the check did not find the new message (see %s)\n",
                         Env.utils.LogFileName.c_str());
            return false;
        }
        return true;
    }

    std::string File(const char *name) const { return Inbox + "/" + name; }

private:
    TEngineEnvironment &Env;
    fixtures::Mailbox Box;
    std::string Inbox;
    TListRow SummaryRow;
};

// One new message among messages: the check that reads what is new, and the full check of the
// same mailbox from the same files. False when a check failed or they differ.
bool MeasureScale(TEngineEnvironment &env, int messages, ScaleFigures &appended, ScaleFigures &full)
{
    namespace fs = std::filesystem;
    const auto copy = fs::copy_options::overwrite_existing;
    fixtures::Mailbox box = fixtures::CreateMailbox(Format("scale%d", messages));
    fixtures::AddMessages(box, fixtures::BulkMessages(messages));
    const std::string inbox = testenv::MakeScratchDir(Format("scale-inbox-%d", messages));
    ScaleBench bench(env, box, inbox);
    const std::string lastMail = bench.File(names::LastMailFile);
    const std::string cache = bench.File(names::UidCacheFile);
    // The first check records every message and what it left.
    ScaleFigures first;
    if (!bench.Check(first))
        return false;
    fs::copy_file(lastMail, inbox + "/kept-lastmail", copy);
    fs::copy_file(cache, inbox + "/kept-cache", copy);
    fixtures::MessageFields fields;
    fields.subject = "One more message";
    fixtures::AddMessage(box, fixtures::BuildMessage(fields));

    if (!bench.Check(appended))
        return false;
    const std::string afterAppended = testenv::ReadFile(lastMail);
    // The same files again, without the record of the check that wrote them.
    fs::copy_file(inbox + "/kept-lastmail", lastMail, copy);
    fs::copy_file(inbox + "/kept-cache", cache, copy);
    std::remove(bench.File(names::CheckStateFile).c_str());
    if (!bench.Check(full))
        return false;
    const std::string afterFull = testenv::ReadFile(lastMail);
    TUidCache loaded;
    if (afterAppended != afterFull || LineCount(afterFull) != messages + 1 ||
        afterFull.find("One more message") == std::string::npos || !loaded.Load(cache) ||
        loaded.Size() != size_t(messages) + 1) {
        std::fprintf(stderr, "the checks of %d messages left different files\n", messages);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s [--messages N] [--pause-ms MS]\n", argv[0]);
        return 2;
    }
    QTemporaryDir home(QDir::tempPath() + "/corvex-bench-XXXXXX");
    testenv::UsePrivateHome(home.path());
    QCoreApplication app(argc, argv);
    if (!testenv::FixturesAvailable()) {
        std::fprintf(stderr, "fixture servers not running (use bench/run-engine-bench.sh)\n");
        return 2;
    }
    fixtures::TrustTestCa();

    TEngineEnvironment env;
    fixtures::Mailbox box = fixtures::CreateMailbox("enginebench");
    env.Install(box.user, box.host + ":" + std::to_string(box.pop3Port));
    env.globals.Config.NewMailNotification = 1;
    WriteRules(env);
    fixtures::AddMessages(box, fixtures::BulkMessages(options.messages));
    Bench bench(env, box);

    // The first check records every message, so the timed checks each find one new message.
    double recordMs = 0;
    if (!bench.Check(TSummaryFetch::Batch, 0, recordMs))
        return 1;
    const std::string start = testenv::ReadFile(bench.LastMailPath());
    if (LineCount(start) != options.messages) {
        std::fprintf(stderr, "\"LastMail.ini\" holds %d lines, not %d\n", LineCount(start),
                     options.messages);
        return 1;
    }
    fixtures::MessageFields fields;
    fields.subject = "One more message";
    fixtures::AddMessage(box, fixtures::BuildMessage(fields));

    bool targetsMet = true;
    if (options.large > 0) {
        std::printf("1 new message: work from the login to the decision, peak memory above "
                    "the figure before the login\n");
        for (int messages : {options.messages, options.large}) {
            ScaleFigures appended, full;
            if (!MeasureScale(env, messages, appended, full))
                return 1;
            const bool large = messages == options.large;
            const bool met =
                appended.workMs <= LargeTimeTargetMs && appended.peakMb <= LargeMemoryTargetMb;
            std::printf("  %6d messages, only the new read   %8.1f ms %7.1f MB  (login %.1f "
                        "ms)%s\n",
                        messages, appended.workMs, appended.peakMb, appended.loginMs,
                        large ? (met ? "  ok" : "  MISSED") : "");
            std::printf("  %6d messages, full check          %8.1f ms %7.1f MB  (login %.1f "
                        "ms)\n",
                        messages, full.workMs, full.peakMb, full.loginMs);
            std::fflush(stdout);
            if (large)
                targetsMet = targetsMet && met;
        }
        std::printf("  target for %d messages: at most %.0f ms and %.0f MB\n", options.large,
                    LargeTimeTargetMs, LargeMemoryTargetMb);
        env.mailboxes[0].Caption = box.user;
        env.mailboxes[0].SetCell(mcMailServer, box.host + ":" + std::to_string(box.pop3Port));
        env.mailboxes[0].SetCell(mcInboxPath, env.inbox);
    }

    std::printf("%d messages known, 1 new: time until TestMail returns\n", options.messages);
    double batchMs = 0;
    if (!bench.Check(TSummaryFetch::Batch, 0, batchMs))
        return 1;
    const std::string afterBatch = testenv::ReadFile(bench.LastMailPath());
    Row("pipelined batch", batchMs, "ms");

    // Where the time goes: the same one-by-one fetch without its pause.
    if (!bench.Restore(start))
        return 1;
    double noPauseMs = 0;
    if (!bench.Check(TSummaryFetch::OneByOne, 0, noPauseMs))
        return 1;
    Row("one by one, no pause", noPauseMs, "ms");
    const std::string afterNoPause = testenv::ReadFile(bench.LastMailPath());

    if (!bench.Restore(start))
        return 1;
    std::printf("  one by one, %u ms pause ... (about %.0f s)\n", options.pauseMs,
                (options.messages + 1) * options.pauseMs / 1000.0);
    std::fflush(stdout);
    double oneByOneMs = 0;
    if (!bench.Check(TSummaryFetch::OneByOne, options.pauseMs, oneByOneMs))
        return 1;
    const std::string afterOneByOne = testenv::ReadFile(bench.LastMailPath());
    Row(Format("one by one, %u ms pause", options.pauseMs), oneByOneMs, "ms");
    Row("ratio, paused one by one / batch", oneByOneMs / batchMs);
    Row("ratio, no pause one by one / batch", noPauseMs / batchMs);

    if (afterBatch != afterOneByOne || afterBatch != afterNoPause ||
        LineCount(afterBatch) != options.messages + 1) {
        std::fprintf(stderr, "the checks left different \"LastMail.ini\" files\n");
        return 1;
    }
    std::printf("  all left the same \"LastMail.ini\" (%d lines)\n", LineCount(afterBatch));
    env.Uninstall();
    return targetsMet ? 0 : 1;
}
