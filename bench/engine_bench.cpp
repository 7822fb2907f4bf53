// The filter engine's check of a large mailbox with one new message, against the fixture
// dovecot over loopback: the time until TestMail returns when it fetches the summaries in one
// pipelined batch, against one request per message with a pause after each. Both runs start
// from the same "LastMail.ini" and must leave the same one. Prints both times and their ratio
// from one run (machines are noisy; only the ratio is meaningful).
//
// Usage: engine_bench [--messages N] [--pause-ms MS]   (defaults 2000 and 200: the one-by-one
// run then takes about 400 s). Needs the fixture servers: bench/run-engine-bench.sh starts
// them, runs this and stops them.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/platform/files.h"
#include "common/text.h"
#include "korrind/engine_environment.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

struct Options
{
    int messages = 2000;
    unsigned pauseMs = 200;
};

bool ParseOptions(int argc, char **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(argv[i], "--messages") == 0 && value != nullptr) {
            options.messages = std::atoi(value);
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
    return 0;
}
