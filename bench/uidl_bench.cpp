// The filter engine's check of a large mailbox on a distant server: the fixture dovecot behind
// a proxy that delays each direction (bench/delayproxy.py). Measured in one run:
//   - the first check (nothing known yet) with the byte-bounded pipeline, against the same
//     check with a window of 64 requests;
//   - one new message among N: the check by unique ids against the full pipelined batch and
//     the batch with a window of 64 requests, with the bytes each read from the server;
//   - that every way ends with the same "LastMail.ini", the same Summary row and the same
//     actions, including one request per message sent straight to the server.
// Prints the figures with the baseline and exits 1 when a target is missed or results differ.
//
// Usage: uidl_bench --proxy-port P [--messages N] [--rtt-ms MS]   (N defaults to 2000; MS is
// only printed). bench/run-uidl-bench.sh starts the servers and the proxy and runs this.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/platform/files.h"
#include "common/text.h"
#include "korrind/engine_environment.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

constexpr size_t OldWindow = 64; // requests in flight of the fixed window this replaces
constexpr double FirstCheckTargetMs = 600;
constexpr double OneNewTargetMs = 300;
constexpr double BytesTargetShare = 0.05;

struct Options
{
    int messages = 2000;
    int proxyPort = 0;
    int rttMs = 50;
};

bool ParseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        int value = std::atoi(argv[i + 1]);
        if (std::strcmp(argv[i], "--messages") == 0)
            options.messages = value;
        else if (std::strcmp(argv[i], "--proxy-port") == 0)
            options.proxyPort = value;
        else if (std::strcmp(argv[i], "--rtt-ms") == 0)
            options.rttMs = value;
        else
            return false;
    }
    return argc % 2 == 1 && options.messages > 0 && options.proxyPort > 0;
}

// What a check left behind, and what it cost.
struct Result
{
    double ms = 0;
    int64_t bytes = 0;
    std::string lastMail;
    std::string row;
    std::string actions;
};

class Bench
{
public:
    Bench(TEngineEnvironment &env, const fixtures::Mailbox &box) : Env(env), Box(box) {}

    // One TestMail on a fresh session to port; false when the check did not complete.
    bool Check(TSummaryFetch fetch, int port, size_t window, Result &result)
    {
        Env.pop3.Host = Box.host;
        Env.pop3.Port = port;
        Env.pop3.User = Box.user;
        Env.pop3.Password = Box.password;
        Env.pop3.TimeoutStep = 30000;
        Env.pop3.Component()->MaxRequestsInFlight = window;
        if (!Env.pop3.Connect()) {
            std::fprintf(stderr, "cannot open the mailbox: %s\n",
                         Env.pop3.Component()->LastErrorText().c_str());
            return false;
        }
        RemoveSavedMessages();
        Env.engine.SummaryFetch = fetch;
        Env.engine.SummaryPauseMs = 0;
        SummaryRow = TListRow();
        SummaryRow.Cells = {"0", "", "", "", "", ""};
        Env.engine.SummaryRow = &SummaryRow;
        Env.engine.SoundQueue.Clear();
        Env.engine.NewMailFound = Env.engine.PriorityFound = false;
        const size_t logStart = Env.Log().size();
        const int count = Env.pop3.MessageCount();

        const int64_t bytesBefore = Env.pop3.Component()->BytesReceived();
        QElapsedTimer clock;
        clock.start();
        bool deleted = Env.engine.TestMail(0, count, false);
        result.ms = clock.nsecsElapsed() / 1e6;
        result.bytes = Env.pop3.Component()->BytesReceived() - bytesBefore;
        Env.pop3.Disconnect();
        if (deleted || !Env.engine.NewMailFound) {
            std::fprintf(stderr, "the check did not find new mail (see %s)\n",
                         Env.utils.LogFileName.c_str());
            return false;
        }
        result.lastMail = testenv::ReadFile(LastMailPath());
        result.row = Format("image %d|", SummaryRow.ImageIndex) + JoinText(SummaryRow.Cells, "|");
        result.actions = Actions(Env.Log().substr(logStart));
        return true;
    }

    std::string LastMailPath() const { return Env.inbox + "/" + names::LastMailFile; }
    std::string CachePath() const { return Env.inbox + "/" + names::UidCacheFile; }

    // Puts a file back as it was before a timed check ("" removes it).
    static bool Restore(const std::string &path, const std::string &bytes)
    {
        if (bytes.empty())
            return std::remove(path.c_str()) == 0 || errno == ENOENT;
        if (platform::WriteFileAtomic(path, bytes))
            return true;
        std::fprintf(stderr, "cannot restore %s\n", path.c_str());
        return false;
    }

private:
    std::vector<std::string> SavedMessages() const
    {
        TStringList files;
        Env.utils.ListFiles(Env.inbox + "/*.eml", fileattr::AnyFile, files, false);
        files.Sort();
        return files.Items();
    }
    void RemoveSavedMessages() const
    {
        for (const std::string &file : SavedMessages())
            std::remove((Env.inbox + "/" + file).c_str());
    }
    // The saved messages (names and bytes), the sounds queued and the rejections logged.
    std::string Actions(const std::string &log) const
    {
        std::string actions;
        for (const std::string &file : SavedMessages())
            actions += "saved " + file + " " +
                       std::to_string(
                           std::hash<std::string>{}(testenv::ReadFile(Env.inbox + "/" + file))) +
                       "\n";
        for (const std::string &sound : Env.engine.SoundQueue)
            actions += "sound " + sound + "\n";
        for (const std::string &line : SplitText(log, '\n'))
            if (line.find("Rejecting Msg from:") != std::string::npos)
                actions += line.substr(line.find("Rejecting")) + "\n";
        actions += Format("priority %d", Env.engine.PriorityFound ? 1 : 0);
        return actions;
    }

    TEngineEnvironment &Env;
    fixtures::Mailbox Box;
    TListRow SummaryRow;
};

void Row(const char *label, double value, const char *unit, const char *note = "")
{
    std::printf("  %-44s %10.1f %-3s %s\n", label, value, unit, note);
    std::fflush(stdout);
}

bool Same(const char *what, const Result &a, const Result &b)
{
    if (a.lastMail == b.lastMail && a.row == b.row && a.actions == b.actions)
        return true;
    std::fprintf(stderr, "DIFFERENT RESULTS: %s (%s%s%s)\n", what,
                 a.lastMail != b.lastMail ? "\"LastMail.ini\" " : "",
                 a.row != b.row ? "summary row " : "", a.actions != b.actions ? "actions" : "");
    return false;
}

const char *Verdict(bool ok)
{
    return ok ? "ok" : "MISSED";
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s --proxy-port P [--messages N] [--rtt-ms MS]\n", argv[0]);
        return 2;
    }
    QTemporaryDir home(QDir::tempPath() + "/corvex-bench-XXXXXX");
    testenv::UsePrivateHome(home.path());
    QCoreApplication app(argc, argv);
    if (!testenv::FixturesAvailable()) {
        std::fprintf(stderr, "fixture servers not running (use bench/run-uidl-bench.sh)\n");
        return 2;
    }
    fixtures::TrustTestCa();

    TEngineEnvironment env;
    fixtures::Mailbox box = fixtures::CreateMailbox("uidlbench");
    env.Install(box.user, box.host + ":" + std::to_string(options.proxyPort));
    env.globals.Config.NewMailNotification = 1;
    testenv::WriteFile(env.root + "/" + names::MasterPriorityFile,
                       "boss@example.org|||0|0|00120||000|\n|urgent;invoice;||0|0|00120||100|\n");
    testenv::WriteFile(env.root + "/" + names::MasterRejectFile,
                       "spam.example|\n|viagra;lottery;winner;|\n");
    fixtures::AddMessages(box, fixtures::BulkMessages(options.messages));
    Bench bench(env, box);
    const int proxy = options.proxyPort;
    bool ok = true;

    std::printf("%d messages, %d ms round trip (proxy), time until TestMail returns\n",
                options.messages, options.rttMs);
    std::printf("first check, nothing known yet:\n");
    Result firstOld, firstNew;
    if (!bench.Check(TSummaryFetch::Batch, proxy, OldWindow, firstOld) ||
        !Bench::Restore(bench.LastMailPath(), "") ||
        !bench.Check(TSummaryFetch::UniqueIds, proxy, SIZE_MAX, firstNew))
        return 1;
    Row("batch, window of 64 requests (baseline)", firstOld.ms, "ms");
    Row("unique ids + batch, window by bytes", firstNew.ms, "ms",
        Verdict(firstNew.ms <= FirstCheckTargetMs));
    Row("ratio baseline / window by bytes", firstOld.ms / firstNew.ms, "");
    ok = ok && firstNew.ms <= FirstCheckTargetMs;
    bool same = Same("first check", firstNew, firstOld);

    const std::string start = testenv::ReadFile(bench.LastMailPath());
    const std::string cache = testenv::ReadFile(bench.CachePath());
    fixtures::MessageFields fields;
    fields.subject = "invoice for one more message";
    fixtures::AddMessage(box, fixtures::BuildMessage(fields));

    std::printf("one new message among %d:\n", options.messages);
    auto again = [&](TSummaryFetch fetch, int port, size_t window, Result &result) {
        return Bench::Restore(bench.LastMailPath(), start) &&
               Bench::Restore(bench.CachePath(), cache) && bench.Check(fetch, port, window, result);
    };
    Result byIds, batch, batchOld, oneByOne;
    if (!again(TSummaryFetch::Batch, proxy, OldWindow, batchOld) ||
        !again(TSummaryFetch::Batch, proxy, SIZE_MAX, batch) ||
        !again(TSummaryFetch::UniqueIds, proxy, SIZE_MAX, byIds) ||
        !again(TSummaryFetch::OneByOne, box.pop3Port, SIZE_MAX, oneByOne))
        return 1;
    Row("batch, window of 64 requests (baseline)", batchOld.ms, "ms");
    Row("batch, window by bytes", batch.ms, "ms");
    Row("unique ids", byIds.ms, "ms", Verdict(byIds.ms <= OneNewTargetMs));
    Row("ratio baseline / unique ids", batchOld.ms / byIds.ms, "");
    Row("bytes read, full batch", static_cast<double>(batch.bytes), "B");
    const double share = static_cast<double>(byIds.bytes) / static_cast<double>(batchOld.bytes);
    Row("bytes read, unique ids", static_cast<double>(byIds.bytes), "B");
    Row("share of the full batch's bytes", share * 100, "%", Verdict(share <= BytesTargetShare));
    Row("one by one, straight to the server", oneByOne.ms, "ms", "(reference for results)");
    ok = ok && byIds.ms <= OneNewTargetMs && share <= BytesTargetShare;
    same = Same("unique ids against the batch", byIds, batch) && same;
    same = Same("unique ids against the window of 64", byIds, batchOld) && same;
    same = Same("unique ids against one by one", byIds, oneByOne) && same;
    if (byIds.actions.find("saved ") == std::string::npos) {
        std::fprintf(stderr, "the new message was not saved as its rule asks\n");
        same = false;
    }
    std::printf("  results (\"LastMail.ini\", summary row, actions): %s\n",
                same ? "the same in every way" : "DIFFERENT");
    env.Uninstall();
    return ok && same ? 0 : 1;
}
