// The server mail list on a big mailbox of the fixture dovecot: filling the list through a
// proxy that delays each direction by 25 ms, deleting every message in one session, and
// saving every message against the same RETRs done bare in this run. Prints the figures and
// ratios; exits non-zero when a target is missed. bench/run-maillist-bench.sh starts the
// servers, runs this and stops them.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "common/listrows.h"
#include "common/names.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/engine/popinterface.h"
#include "korrind/maillist.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

constexpr int ProxyDelayMs = 25;
constexpr double FillLimitMs = 1000;
constexpr double DeleteLimitMs = 1000;
constexpr double SaveRatioLimit = 3.0;
constexpr long RssGrowthLimitKb = 50 * 1024;

// Peak resident memory of this process so far (kB).
long PeakRssKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::atol(line.c_str() + 6);
    return 0;
}

double Ms(const QElapsedTimer &clock)
{
    return clock.nsecsElapsed() / 1e6;
}

bool Connect(TPop3 &pop3, const fixtures::Mailbox &box, const std::string &host)
{
    pop3.Host = host;
    pop3.User = box.user;
    pop3.Password = box.password;
    pop3.TimeoutStep = 30000;
    return pop3.Connect();
}

} // namespace

int main(int argc, char **argv)
{
    QTemporaryDir home(QDir::tempPath() + "/corvex-bench-XXXXXX");
    testenv::UsePrivateHome(home.path());
    QCoreApplication app(argc, argv);
    if (!testenv::FixturesAvailable() || argc < 3) {
        std::fprintf(stderr, "use bench/run-maillist-bench.sh\n");
        return 2;
    }
    const int count = std::atoi(argv[1]);
    const std::string proxyScript = argv[2];
    fixtures::TrustTestCa();
    TUtils utils;
    Utils = &utils;
    utils.LogFileName = home.path().toStdString() + "/Debug.txt";
    TPop3 pop3;
    Mail = &pop3;

    fixtures::Mailbox box = fixtures::CreateMailbox("listbench");
    fixtures::AddMessages(box, fixtures::BulkMessages(count));
    const std::string direct = box.host + ":" + std::to_string(box.pop3Port);

    QProcess proxy;
    proxy.start("python3", {QString::fromStdString(proxyScript), "0", QString::number(box.pop3Port),
                            QString::number(ProxyDelayMs)});
    while (!proxy.canReadLine())
        if (!proxy.waitForReadyRead(10000)) {
            std::fprintf(stderr, "the delaying proxy did not start\n");
            return 2;
        }
    const std::string proxyPort = proxy.readLine().trimmed().mid(5).toStdString();
    const std::string delayed = box.host + ":" + proxyPort;

    TListRows mailboxes(1);
    mailboxes[0].Caption = box.user;
    mailboxes[0].Checked = true;
    mailboxes[0].SetCell(mcInboxPath, testenv::MakeScratchDir("saved"));
    mailboxes[0].SetCell(mcAliasActive, "0");
    std::string host = delayed;
    TMailList list(mailboxes);
    list.OnConnectMailbox = [&](int) { return Connect(pop3, box, host); };
    list.Open(box.user);

    // Warm the server once (its first login is slow), then fill through the proxy.
    pop3.Disconnect();
    Connect(pop3, box, direct);
    pop3.Disconnect();
    uint32_t sessions = pop3.Session();
    QElapsedTimer clock;
    clock.start();
    list.Fill();
    const double fillMs = Ms(clock);
    const uint32_t fillSessions = pop3.Session() - sessions;
    const size_t delayedRows = list.Rows.size();
    if (delayedRows == 0)
        std::fprintf(stderr, "fill through the proxy at %s failed: %s\n", delayed.c_str(),
                     pop3.Component()->LastErrorText().c_str());
    // The same through the proxy with a valid "LastMail.ini": one TOP instead of the batch.
    std::vector<std::string> cacheLines(list.Rows.size());
    for (const TMailListRow &row : list.Rows) {
        TMailSummary summary;
        summary.From = row.From;
        summary.Subject = row.Subject;
        summary.MessageId = row.MessageId;
        summary.To = row.To;
        summary.Date = row.Date;
        summary.Size = row.Size;
        summary.Received = row.Received;
        if (row.Number >= 1 && size_t(row.Number) <= cacheLines.size())
            cacheLines[size_t(row.Number - 1)] = SummaryLine(summary);
    }
    const std::string cache = mailboxes[0].Cell(mcInboxPath) + "/" + names::LastMailFile;
    TStringList cacheList;
    cacheList.Assign(cacheLines);
    cacheList.SaveToFile(cache);
    sessions = pop3.Session();
    clock.restart();
    list.Fill();
    const double fillCachedMs = Ms(clock);
    const bool cachedListed = int(list.Rows.size()) == count && pop3.Session() - sessions == 1;
    QFile::remove(QString::fromStdString(cache));
    host = direct;
    clock.restart();
    list.Fill();
    const double fillLoopbackMs = Ms(clock);
    const bool listed = int(delayedRows) == count && int(list.Rows.size()) == count;

    // Bare RETRs of every message, then Save All of the same messages.
    std::vector<int> numbers;
    for (int n = 1; n <= count; ++n)
        numbers.push_back(n);
    const long rssBefore = PeakRssKb();
    Connect(pop3, box, direct);
    clock.restart();
    int retrieved = 0;
    std::vector<std::string> kept; // every 20th message, for the file-creation floor below
    pop3.RetrieveMessages(numbers, [&](int number, TStringList &lines) {
        if (number % 20 == 0)
            kept.push_back(MessageFileBytes(lines));
        return ++retrieved > 0;
    });
    const double bareMs = Ms(clock);
    pop3.Disconnect();
    // What creating as many files of that size costs this file system alone.
    const std::string floorFolder = testenv::MakeScratchDir("floor");
    clock.restart();
    for (int n = 0; n < count && !kept.empty(); ++n)
        testenv::WriteFile(floorFolder + "/" + std::to_string(n) + ".eml",
                           kept[size_t(n) % kept.size()]);
    const double filesMs = Ms(clock);
    std::vector<size_t> all;
    for (size_t i = 0; i < list.Rows.size(); ++i)
        all.push_back(i);
    sessions = pop3.Session();
    clock.restart();
    const int saved = list.SaveRows(all);
    const double saveMs = Ms(clock);
    const uint32_t saveSessions = pop3.Session() - sessions;
    const long rssGrowthKb = PeakRssKb() - rssBefore;

    // Delete every message in one session (the list is filled again afterwards, untimed).
    list.OnRowsReset = nullptr;
    sessions = pop3.Session();
    uint32_t deleteSessions = 0;
    double deleteMs = 0;
    list.OnHoldSession = [&](bool hold) {
        if (!hold && deleteMs == 0) {
            deleteMs = Ms(clock);
            deleteSessions = pop3.Session() - sessions;
        }
        return true;
    };
    clock.restart();
    const int deleted = list.DeleteRows(all, false);
    const int left = fixtures::MessageCount(box);
    proxy.kill();
    proxy.waitForFinished();

    bool ok = true;
    auto check = [&ok](bool met, const char *what) {
        std::printf("  %-64s %s\n", what, met ? "ok" : "MISSED");
        ok = ok && met;
    };
    std::printf("%d messages on the fixture dovecot\n", count);
    std::printf("fill, %d ms each way: %zu rows in %8.1f ms, %u session(s); loopback %8.1f ms "
                "(ratio %.2f)\n",
                ProxyDelayMs, delayedRows, fillMs, fillSessions, fillLoopbackMs,
                fillMs / fillLoopbackMs);
    std::printf("fill, %d ms each way, valid LastMail.ini: %8.1f ms\n", ProxyDelayMs, fillCachedMs);
    std::printf("save all: %8.1f ms in %u session(s); bare RETRs %8.1f ms (ratio %.2f); "
                "peak RSS growth %ld kB\n",
                saveMs, saveSessions, bareMs, saveMs / bareMs, rssGrowthKb);
    std::printf("  (creating %d files of those sizes alone: %8.1f ms; save all / (bare RETRs + "
                "files) %.2f)\n",
                count, filesMs, saveMs / (bareMs + filesMs));
    std::printf("delete all: %8.1f ms in %u session(s); %d deleted, %d left\n", deleteMs,
                deleteSessions, deleted, left);
    check(listed && fillSessions == 1, "fill lists every message in one session");
    check(fillMs <= FillLimitMs, "fill through the proxy within 1 s");
    check(cachedListed && fillCachedMs <= FillLimitMs,
          "fill through the proxy with a valid cache within 1 s");
    check(saved == count && retrieved == count && saveSessions == 1,
          "save all writes every message in one session");
    check(saveMs <= SaveRatioLimit * bareMs, "save all within 3x of bare RETRs");
    check(rssGrowthKb < RssGrowthLimitKb, "peak RSS grows by less than 50 MB");
    check(deleted == count && left == 0 && deleteSessions == 1,
          "delete all removes every message in one session");
    check(deleteMs <= DeleteLimitMs, "delete all within 1 s");
    Mail = nullptr;
    Utils = nullptr;
    return ok ? 0 : 1;
}
