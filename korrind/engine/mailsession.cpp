#include "korrind/engine/mailsession.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <algorithm>
#include <climits>
#include <cstdarg>

#include "common/text.h"
#include "common/tlsservers.h"
#include "common/utils.h"

TMailSession *Mail = nullptr;

namespace {

constexpr int HeaderPumpLines = 256; // events are processed every this many header lines

} // namespace

void TMailSession::PumpEvents(int ms)
{
    if (!QCoreApplication::instance() || TUtils::Terminating())
        return;
    QTimer wake;
    wake.setSingleShot(true);
    wake.start(std::clamp(ms, 1, PumpSliceMs));
    QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
}

void TMailSession::TakeHooksFrom(const TMailSession &other)
{
    StatusBar = other.StatusBar;
    StatusLabel = other.StatusLabel;
    CancelCheck = other.CancelCheck;
    DebugLevelRef = other.DebugLevelRef;
}

int TMailSession::Level() const
{
    return DebugLevelRef ? *DebugLevelRef : OwnDebugLevel;
}

bool TMailSession::Cancelled(bool reset)
{
    const bool cancelled = CancelCheck && CancelCheck(reset);
    if (cancelled && !reset)
        UserStopped = true;
    return cancelled;
}

void TMailSession::Log(int level, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    LogText = WriteSessionLogV(level, Level(), StatusBar, StatusLabel, format, args);
    va_end(args);
}

TMailSession::TWaitEnd TMailSession::WaitUntil(const std::function<bool()> &done,
                                               const std::function<int()> &limitMs)
{
    QElapsedTimer clock;
    clock.start();
    Cancelled(true);
    for (;;) {
        PumpEvents(static_cast<int>(std::max<qint64>(limitMs() - clock.elapsed(), 1)));
        if (TUtils::Terminating())
            return TWaitEnd::Terminated;
        if (Cancelled(false))
            return TWaitEnd::Cancelled;
        if (done())
            return TWaitEnd::Done;
        if (clock.elapsed() >= limitMs())
            return TWaitEnd::TimedOut;
    }
}

TMailSession::TWaitEnd TMailSession::Pause(int ms)
{
    return WaitUntil([] { return false; }, [ms] { return ms; });
}

bool TMailSession::WaitFor(int ms, const bool *flag)
{
    return WaitUntil([flag] { return flag && *flag; }, [ms] { return ms; }) == TWaitEnd::Done;
}

std::string TMailSession::HeaderValue(const std::vector<std::string> &lines,
                                      const std::string &name)
{
    std::string prefix = LowerCase(name);
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i % HeaderPumpLines == HeaderPumpLines - 1) {
            TUtils::ProcessMessages();
            if (TUtils::Terminating())
                return "";
        }
        if (!StartsText(lines[i], prefix))
            continue;
        size_t colon = lines[i].find(':');
        if (colon == std::string::npos)
            return "";
        return TUtils::StripQuotes(Trim(lines[i].substr(colon + 1, MaxHeaderValue)));
    }
    return "";
}

TMailSummary TMailSession::MakeSummary(const TPop3Summary &fields,
                                       const std::vector<std::string> &lines)
{
    TMailSummary summary;
    summary.To = fields.To;
    summary.From = fields.From;
    summary.Subject = fields.Subject;
    summary.MessageId = fields.MessageId;
    summary.Date = TUtils::NormalizeMailDate(HeaderValue(lines, "Date:"));
    summary.Received = HeaderValue(lines, "received");
    summary.HeaderLines = fields.HeaderLines;
    summary.Size = static_cast<int32_t>(std::min<int64_t>(fields.Size, INT32_MAX));
    return summary;
}

std::string TMailSession::DescribeFailure(TMailFailure failure, std::string detail)
{
    // A server may be refused a login only because the list of those known to speak TLS is
    // unreadable.
    if (const std::string problem = TlsListProblem();
        failure == TMailFailure::TlsNotOffered && !problem.empty())
        detail += "; " + problem;
    std::string text = Pop3FailureText(failure);
    if (text.empty())
        return detail;
    if (!detail.empty())
        text += " (" + detail + ")";
    return text;
}
