// The saved message manager on a large folder: loading the list into the window's model against
// `cat` of the same files, and a search for a word, with and without regard to case, against
// `grep -rn` of it (grep -rn and grep -rni must not find more hits). The bench writes the messages
// itself (default 10,000 files, about 200 MB) into a temporary folder and removes them afterwards.
// Prints both ratios, measured in one run with a warm file cache (machines are noisy: only the
// ratios are meaningful); exits 1 when a ratio is above its target (load 3, each search 2).
//
// Usage: strenna_bench [--messages N] [--kb K]   (defaults 10000 messages of about 20 KB)
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "common/ui/rowmodel.h"
#include "strenna/browserfrm.h"

namespace {

constexpr double LoadTarget = 3.0;
constexpr double SearchTarget = 2.0;
constexpr char SearchWord[] = "invoice";
constexpr char CapitalWord[] = "Invoice";
constexpr int Rounds = 3; // each time is the median of this many runs

const char *const Words[] = {"the",    "figures", "quarter", "report", "meeting", "please",
                             "review", "budget",  "travel",  "team",   "update",  "project",
                             "notes",  "agenda",  "coffee",  "friday", "draft",   "numbers"};

// A message of about kb kilobytes: plain text, every fifth one with a base64 attachment;
// the search word stands on a few lines of each message, on every third of them in capitals.
std::string MakeMessage(int index, int kb)
{
    unsigned seed = unsigned(index) * 2654435761u + 17u;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) & 0x7fff;
    };
    const bool multipart = index % 5 == 0;
    std::string raw;
    raw += Format("Return-Path: <sender%d@example.org>\r\n", index % 97);
    raw += Format("Received: from mx%d.example.org by mail.example.net; Mon, 07 Dec 2026 "
                  "09:%02d:00 +0000\r\n",
                  index % 7, index % 60);
    raw += Format("From: \"Sender %d\" <sender%d@example.org>\r\n", index % 97, index % 97);
    raw += "To: Bob Example <bob@example.net>\r\n";
    raw += Format("Subject: =?UTF-8?Q?Bulk_message_%05d_=E2=80=94_figures?=\r\n", index);
    raw += Format("Date: %s, %02d %s %d %02d:%02d:%02d +0000\r\n", "Mon", 1 + index % 28,
                  (index % 2) ? "Mar" : "Nov", 2020 + index % 7, index % 24, index % 60,
                  (index * 7) % 60);
    raw += Format("Message-ID: <bulk-%d@example.org>\r\n", index);
    raw += "MIME-Version: 1.0\r\n";
    if (multipart)
        raw += "Content-Type: multipart/mixed;\r\n\tboundary=\"b-" + std::to_string(index) +
               "\"\r\n\r\n--b-" + std::to_string(index) +
               "\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n";
    else
        raw += "Content-Type: text/plain; charset=us-ascii\r\n\r\n";
    const size_t textBytes = size_t(kb) * 1024;
    int line = 0;
    while (raw.size() < textBytes * (multipart ? 6 : 10) / 10) {
        std::string text;
        while (text.size() < 70) {
            text += Words[next() % std::size(Words)];
            text += ' ';
        }
        if (++line % 40 == 7)
            text += line % 120 == 47 ? CapitalWord : SearchWord;
        raw += text + "\r\n";
    }
    if (multipart) {
        raw += "\r\n--b-" + std::to_string(index) +
               "\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\n"
               "Content-Disposition: attachment;\r\n filename=\"data" +
               std::to_string(index) + ".bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n";
        while (raw.size() < textBytes) {
            std::string text;
            for (int i = 0; i < 76; ++i)
                text +=
                    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"[next() % 64];
            raw += text + "\r\n";
        }
        raw += "--b-" + std::to_string(index) + "--\r\n";
    }
    return raw;
}

// Plain writes: the bench's own scratch files need no flush to disk.
bool WriteMessage(const std::string &path, const std::string &raw)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool written = std::fwrite(raw.data(), 1, raw.size(), file) == raw.size();
    return std::fclose(file) == 0 && written;
}

double Median(std::vector<double> times)
{
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

double TimeShell(const std::string &command)
{
    QElapsedTimer timer;
    timer.start();
    if (std::system(command.c_str()) != 0)
        std::fprintf(stderr, "command failed: %s\n", command.c_str());
    return double(timer.nsecsElapsed()) / 1e9;
}

long long ShellCount(const std::string &command)
{
    FILE *pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    long long count = -1;
    if (std::fscanf(pipe, "%lld", &count) != 1)
        count = -1;
    ::pclose(pipe);
    return count;
}

std::string Quoted(const std::string &path)
{
    return "'" + ReplaceAll(path, "'", "'\\''") + "'";
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int messages = 10000, kb = 20;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--messages") == 0)
            messages = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--kb") == 0)
            kb = std::atoi(argv[i + 1]);
    }
    QApplication app(argc, argv);
    QTemporaryDir home(QDir::tempPath() + "/strenna-bench-XXXXXX");
    qputenv("HOME", home.path().toUtf8());
    qputenv("XDG_DATA_HOME", (home.path() + "/data").toUtf8());
    qputenv("XDG_CONFIG_HOME", (home.path() + "/config").toUtf8());
    const std::string dir = home.path().toStdString() + "/inbox/";
    QDir().mkpath(QString::fromStdString(dir));

    long long bytes = 0;
    for (int i = 0; i < messages; ++i) {
        const std::string raw = MakeMessage(i, kb);
        bytes += (long long)raw.size();
        if (!WriteMessage(dir + Format("msg%05d.eml", i), raw)) {
            std::fprintf(stderr, "could not write the messages into %s\n", dir.c_str());
            return 2;
        }
    }
    std::printf("%d messages, %.1f MB in %s\n", messages, double(bytes) / 1e6, dir.c_str());

    const std::string cat = "cd " + Quoted(dir) + " && cat -- *.eml > /dev/null";
    const std::string grep = "grep -rn " + std::string(SearchWord) + " " + Quoted(dir);
    TimeShell(cat); // warms the file cache for every run below

    TInboxFrm window(TStringList{dir, "bench@example.org"});
    window.Browser.MailboxFolder = dir;
    window.Browser.MailboxName = "inbox";
    std::vector<double> catTimes, loadTimes, grepTimes, searchTimes, foldedTimes;
    TSearchResult result, folded;
    auto search = [&window](bool caseSensitive, std::vector<double> &times) {
        TSearchOptions options;
        options.Text = SearchWord;
        options.CaseSensitive = caseSensitive;
        options.Where = TSearchWhere::CurrentInbox;
        QElapsedTimer timer;
        timer.start();
        TSearchResult found = window.SearchMessages(options);
        times.push_back(double(timer.nsecsElapsed()) / 1e9);
        return found;
    };
    for (int round = 0; round < Rounds; ++round) {
        catTimes.push_back(TimeShell(cat));
        QElapsedTimer timer;
        timer.start();
        window.LoadMessageList();
        loadTimes.push_back(double(timer.nsecsElapsed()) / 1e9);

        grepTimes.push_back(TimeShell(grep + " > /dev/null"));
        result = search(true, searchTimes);
        folded = search(false, foldedTimes);
    }
    const long long grepHits = ShellCount(grep + " | wc -l");
    const long long grepFoldedHits =
        ShellCount("grep -rni " + std::string(SearchWord) + " " + Quoted(dir) + " | wc -l");
    const int rows = window.Model->rowCount();

    const double loadRatio = Median(loadTimes) / Median(catTimes);
    const double searchRatio = Median(searchTimes) / Median(grepTimes);
    const double foldedRatio = Median(foldedTimes) / Median(grepTimes);
    std::printf("load:   %d rows in %.3f s, cat %.3f s: ratio %.2f (target <= %.1f)\n", rows,
                Median(loadTimes), Median(catTimes), loadRatio, LoadTarget);
    std::printf("search, case-sensitive: %lld hits (%zu rows kept) in %.3f s, grep -rn %lld hits "
                "in %.3f s: ratio %.2f (target <= %.1f)\n",
                result.HitCount, result.Hits.size(), Median(searchTimes), grepHits,
                Median(grepTimes), searchRatio, SearchTarget);
    std::printf("search, ignoring case: %lld hits (%zu rows kept) in %.3f s, grep -rni %lld hits; "
                "against grep -rn: ratio %.2f (target <= %.1f)\n",
                folded.HitCount, folded.Hits.size(), Median(foldedTimes), grepFoldedHits,
                foldedRatio, SearchTarget);
    const bool ok = rows == messages && result.HitCount >= grepHits &&
                    folded.HitCount >= grepFoldedHits && folded.HitCount > result.HitCount &&
                    loadRatio <= LoadTarget && searchRatio <= SearchTarget &&
                    foldedRatio <= SearchTarget;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
