// A mailbox check over IMAP beside the same check over POP3, both through a proxy that delays
// each direction by half the round trip (a distant server), against the fixture dovecot: the
// first check of a mailbox, a check with nothing new and one with one new message, each timed
// from Connect until the filter engine's TestMail returns. The login alone (the client's
// connect until it is ready) is measured in the same run, so the checks' cost after the login
// is reported in round trips: counted at the proxy, and from the times. Target: nothing new and
// one new each within two counted round trips after the login over IMAP; the program exits
// non-zero when one is missed.
//
// Usage: imap_bench [--messages N] [--rtt-ms MS]   (defaults 2000 and 50). Needs the fixture
// servers: bench/run-imap-bench.sh starts them, runs this and stops them.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "benchoptions.h"
#include "common/net/imapclient.h"
#include "common/net/pop3client.h"
#include "common/text.h"
#include "korrind/engine/imapsession.h"
#include "korrind/engine_environment.h"
#include "korrind/timedcheck.h"
#include "support/delayproxy.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

// The login alone: the client's connect until it is ready (for POP3 that includes STAT and
// LIST, as the mailbox is open then); -1 when it failed.
template <typename TClient, typename TListener>
double LoginMs(const char *label, const fixtures::Mailbox &box, const std::string &server,
               TDelayProxy &proxy, int &trips)
{
    TListener listener;
    TClient client(&listener);
    client.Host = server;
    client.User = box.user;
    client.Password = box.password;
    QElapsedTimer clock;
    clock.start();
    client.Connect();
    const bool ready =
        fixtures::WaitUntil([&] { return client.State() != TClient::TState::Connecting; }, 60000);
    const double ms = clock.nsecsElapsed() / 1e6;
    TProxyCount count;
    const bool connected = ready && client.Connected() && proxy.Count(count);
    trips = count.Trips;
    if (!connected)
        std::fprintf(stderr, "%s login: %s\n", label, client.LastErrorText().c_str());
    client.Abort();
    return connected ? ms : -1;
}

struct Figures
{
    double loginMs = 0, firstMs = 0, quietMs = 0, oneNewMs = 0;
    int loginTrips = 0, firstTrips = 0, quietTrips = 0, oneNewTrips = 0; // counted at the proxy
};

// The three checks of one protocol, each in a data root of its own.
bool Measure(const char *label, TMailSession &session, const std::string &server,
             const fixtures::Mailbox &box, TDelayProxy &proxy, Figures &figures)
{
    TEngineEnvironment env;
    env.Install(box.user, server);
    testenv::WriteFile(env.root + "/" + names::MasterRejectFile, "spam.example|\n");
    const double loginMs = figures.loginMs;
    auto check = [&](int &trips) {
        TProxyCount count;
        const double ms = TimedCheck(env, session, box, server, [&] { proxy.Count(count); });
        trips = count.Trips;
        return ms;
    };
    figures.firstMs = check(figures.firstTrips);
    figures.quietMs = check(figures.quietTrips);
    fixtures::MessageFields fields;
    fields.subject = std::string("One more message for ") + label;
    fixtures::AddMessage(box, fixtures::BuildMessage(fields));
    figures.oneNewMs = check(figures.oneNewTrips);
    env.Uninstall();
    Mail = nullptr;
    if (loginMs <= 0)
        std::fprintf(stderr, "%s: the login alone failed\n", label);
    return loginMs > 0 && figures.firstMs > 0 && figures.quietMs > 0 && figures.oneNewMs > 0;
}

// The POP3 login alone also lists the mailbox (STAT and LIST), so only IMAP's checks are
// given in round trips after the login; POP3's times are the baseline.
void Print(const char *label, const Figures &f, int rttMs, bool roundTrips)
{
    auto row = [&](const char *name, double ms, int trips) {
        if (roundTrips)
            std::printf("  %-28s %9.1f ms  %2d round trips after the login (%5.2f by time)\n", name,
                        ms, trips - f.loginTrips, (ms - f.loginMs) / rttMs);
        else
            std::printf("  %-28s %9.1f ms\n", name, ms);
    };
    std::printf("%s\n", label);
    std::printf("  %-28s %9.1f ms  %2d round trips\n", "login", f.loginMs, f.loginTrips);
    row("first check", f.firstMs, f.firstTrips);
    row("nothing new", f.quietMs, f.quietTrips);
    row("one new", f.oneNewMs, f.oneNewTrips);
    std::fflush(stdout);
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
        std::fprintf(stderr, "fixture servers not running (use bench/run-imap-bench.sh)\n");
        return 2;
    }
    fixtures::TrustTestCa();
    TUtils utils;
    Utils = &utils;

    fixtures::Mailbox box = fixtures::CreateMailbox("imapbench");
    fixtures::AddMessages(box, fixtures::BulkMessages(options.messages));
    TDelayProxy pop3Proxy, imapProxy;
    if (!pop3Proxy.Start(box.pop3Port, options.rttMs) ||
        !imapProxy.Start(box.imapPort, options.rttMs)) {
        std::fprintf(stderr, "the delaying proxy did not start\n");
        return 1;
    }
    // Both over STARTTLS, the upgrade each server offers on its clear port.
    const std::string pop3Server = "pop3+tls://127.0.0.1:" + std::to_string(pop3Proxy.Port());
    const std::string imapServer = "imap+tls://127.0.0.1:" + std::to_string(imapProxy.Port());
    std::printf("%d messages, %d ms round trip, STARTTLS\n", options.messages, options.rttMs);

    TPop3 pop3;
    TImapSession imap;
    Figures pop3Figures, imapFigures;
    // The first connection also reads the trusted certificates: the better of two logins.
    auto pop3LoginMs = [&] {
        return LoginMs<TPop3Client, TPop3Listener>("POP3", box, pop3Server, pop3Proxy,
                                                   pop3Figures.loginTrips);
    };
    auto imapLoginMs = [&] {
        return LoginMs<TImapClient, TImapListener>("IMAP", box, imapServer, imapProxy,
                                                   imapFigures.loginTrips);
    };
    pop3Figures.loginMs = std::min(pop3LoginMs(), pop3LoginMs());
    imapFigures.loginMs = std::min(imapLoginMs(), imapLoginMs());
    if (!Measure("POP3", pop3, pop3Server, box, pop3Proxy, pop3Figures) ||
        !Measure("IMAP", imap, imapServer, box, imapProxy, imapFigures))
        return 1;
    Print("POP3 (baseline)", pop3Figures, options.rttMs, false);
    Print("IMAP", imapFigures, options.rttMs, true);
    std::printf("ratio IMAP / POP3: nothing new %.2f, one new %.2f\n",
                imapFigures.quietMs / pop3Figures.quietMs,
                imapFigures.oneNewMs / pop3Figures.oneNewMs);

    const int limit = imapFigures.loginTrips + 2;
    const bool met = imapFigures.quietTrips <= limit && imapFigures.oneNewTrips <= limit;
    std::printf("target (IMAP nothing new and one new within 2 round trips after the login): %s\n",
                met ? "met" : "MISSED");
    return met ? 0 : 1;
}
