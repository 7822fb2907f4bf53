// Connect to the filter's decision with nothing new, over POP3 and IMAP, with implicit TLS and
// with STARTTLS, each through a proxy that delays each direction by half the round trip and
// counts the round trips the client waited for. Every form is measured with the short login
// and, in the same run, with the login of one command at a time (the baseline). Each check
// follows one that set the mailbox's state and the TLS session up, as a monitor's checks
// follow each other. Targets with the short login: implicit TLS within 4 round trips, STARTTLS
// within 6; the program exits non-zero when one is missed.
//
// Usage: login_bench [--messages N] [--rtt-ms MS]   (defaults 2000 and 50). Needs the fixture
// servers: bench/run-login-bench.sh starts them, runs this and stops them.
#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <cstdio>
#include <memory>

#include "benchoptions.h"
#include "common/net/loginmemory.h"
#include "korrind/engine/imapsession.h"
#include "korrind/timedcheck.h"
#include "support/delayproxy.h"
#include "support/testenv.h"

namespace {

struct TForm
{
    const char *Label;
    const char *Scheme;
    int Port;   // of the fixture
    int Target; // round trips
};

struct TFigure
{
    double Ms = -1;
    TProxyCount Count;
};

// A check to prepare (the mailbox's state known, a TLS session to resume), then the one
// measured.
TFigure Measure(const TForm &form, const fixtures::Mailbox &box, int rttMs)
{
    TFigure figure;
    TDelayProxy proxy;
    if (!proxy.Start(form.Port, rttMs)) {
        std::fprintf(stderr, "the delaying proxy did not start\n");
        return figure;
    }
    const std::string server =
        form.Scheme + std::string("127.0.0.1:") + std::to_string(proxy.Port());
    TEngineEnvironment env;
    env.Install(box.user, server);
    std::unique_ptr<TMailSession> session = SessionFor(server);
    TProxyCount ignored;
    bool counted = false;
    if (TimedCheck(env, *session, box, server) > 0 && proxy.Count(ignored))
        figure.Ms =
            TimedCheck(env, *session, box, server, [&] { counted = proxy.Count(figure.Count); });
    if (!counted)
        figure.Ms = -1;
    env.Uninstall();
    Mail = nullptr;
    return figure;
}

} // namespace

int main(int argc, char **argv)
{
    TBenchOptions options;
    if (!ParseBenchOptions(argc, argv, options)) {
        std::fprintf(stderr, "usage: %s [--messages N] [--rtt-ms MS]\n", argv[0]);
        return 2;
    }
    QTemporaryDir home(QDir::tempPath() + "/corvex-bench-XXXXXX");
    testenv::UsePrivateHome(home.path());
    QCoreApplication app(argc, argv);
    if (!testenv::FixturesAvailable()) {
        std::fprintf(stderr, "fixture servers not running (use bench/run-login-bench.sh)\n");
        return 2;
    }
    fixtures::TrustTestCa();
    TUtils utils;
    Utils = &utils;

    fixtures::Mailbox box = fixtures::CreateMailbox("loginbench");
    fixtures::AddMessages(box, fixtures::BulkMessages(options.messages));
    const TForm forms[] = {
        {"POP3, implicit TLS", "pop3s://", box.pop3sPort, 4},
        {"POP3, STARTTLS", Pop3RequireTlsScheme, box.pop3Port, 6},
        {"IMAP, implicit TLS", ImapsScheme, box.imapsPort, 4},
        {"IMAP, STARTTLS", ImapRequireTlsScheme, box.imapPort, 6},
    };
    std::printf("%d messages, %d ms round trip; connect to the decision with nothing new\n",
                options.messages, options.rttMs);
    std::printf("  %-20s %22s %22s %7s\n", "", "one at a time", "short login", "target");
    bool met = true;
    for (const TForm &form : forms) {
        SetShortLogin(false);
        ForgetTlsSessions();
        const TFigure old = Measure(form, box, options.rttMs);
        SetShortLogin(true);
        const TFigure now = Measure(form, box, options.rttMs);
        if (old.Ms < 0 || now.Ms < 0)
            return 1;
        const bool formMet = now.Count.Trips <= form.Target;
        met = met && formMet;
        std::printf("  %-20s %3d trips %8.1f ms %3d trips %8.1f ms %4d %s\n", form.Label,
                    old.Count.Trips, old.Ms, now.Count.Trips, now.Ms, form.Target,
                    formMet ? "met" : "MISSED");
        std::printf("  %-20s TLS handshake: %d bytes from the server, %d when resumed; time "
                    "ratio %.2f\n",
                    "", old.Count.HelloBytes, now.Count.HelloBytes, now.Ms / old.Ms);
        std::fflush(stdout);
    }
    std::printf("targets (implicit TLS <= 4 round trips, STARTTLS <= 6): %s\n",
                met ? "met" : "MISSED");
    return met ? 0 : 1;
}
