// Headers of many messages from the fixture dovecot over loopback: one TOP at a time against
// pipelined TOPs, through the monitor's POP3 session. Prints both times and their ratio from
// one run (machines are noisy; only the ratio is meaningful). Needs the fixture servers:
// bench/run-pop3-bench.sh starts them, runs this and stops them.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/utils.h"
#include "korrind/engine/popinterface.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

struct Timing
{
    double oneByOneMs = 0;
    double pipelinedMs = 0;
};

bool Measure(const fixtures::Mailbox &box, const std::string &host, int count, Timing &timing)
{
    TPop3 pop3;
    pop3.Host = host;
    pop3.User = box.user;
    pop3.Password = box.password;
    pop3.TimeoutStep = 30000;
    if (!pop3.Connect() || pop3.MessageCount() != count) {
        std::fprintf(stderr, "cannot open the mailbox at %s: %s\n", host.c_str(),
                     pop3.Component()->LastErrorText().c_str());
        return false;
    }
    // Two rounds, best of each, so neither way profits from caches warmed by the other.
    timing.oneByOneMs = timing.pipelinedMs = 1e12;
    for (int round = 0; round < 2; ++round) {
        QElapsedTimer clock;
        clock.start();
        for (int n = 1; n <= count; ++n)
            if (!pop3.GetSummary(n)) {
                std::fprintf(stderr, "summary %d failed\n", n);
                return false;
            }
        timing.oneByOneMs = std::min(timing.oneByOneMs, clock.nsecsElapsed() / 1e6);

        std::vector<TMailSummary> summaries;
        clock.restart();
        if (!pop3.GetSummaries(1, count, summaries)) {
            std::fprintf(stderr, "batch failed\n");
            return false;
        }
        timing.pipelinedMs = std::min(timing.pipelinedMs, clock.nsecsElapsed() / 1e6);
    }
    pop3.Disconnect();
    return true;
}

void Report(const char *name, const Timing &timing)
{
    std::printf("%-28s one at a time %8.1f ms   pipelined %8.1f ms   ratio %5.2f\n", name,
                timing.oneByOneMs, timing.pipelinedMs, timing.oneByOneMs / timing.pipelinedMs);
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home(QDir::tempPath() + "/corvex-bench-XXXXXX");
    testenv::UsePrivateHome(home.path());
    QCoreApplication app(argc, argv);
    if (!testenv::FixturesAvailable()) {
        std::fprintf(stderr, "fixture servers not running (use bench/run-pop3-bench.sh)\n");
        return 2;
    }
    int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    fixtures::TrustTestCa();
    TUtils utils;
    Utils = &utils;

    fixtures::Mailbox box = fixtures::CreateMailbox("bench");
    fixtures::AddMessages(box, fixtures::BulkMessages(count));
    std::printf("%d messages, headers only (TOP n 0)\n", count);

    Timing stls, pop3s;
    if (!Measure(box, box.host + ":" + std::to_string(box.pop3Port), count, stls) ||
        !Measure(box, "pop3s://" + box.host + ":" + std::to_string(box.pop3sPort), count, pop3s))
        return 1;
    Report("STLS", stls);
    Report("POP3S", pop3s);
    Utils = nullptr;
    return 0;
}
