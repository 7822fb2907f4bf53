#include "korrind/popview.h"

TCorvexMonitor::TCorvexMonitor(TMonitorWindow &window) : Window(window) {}
TCorvexMonitor::~TCorvexMonitor() = default;
void TCorvexMonitor::Activate(const std::vector<std::string> &) {}
void TCorvexMonitor::WindowShown() {}
void TCorvexMonitor::Minimised() {}
void TCorvexMonitor::ShowMonitor() {}
bool TCorvexMonitor::Exit()
{
    return false;
}
void TCorvexMonitor::Restart() {}
void TCorvexMonitor::MainTimerTick() {}
void TCorvexMonitor::FetchTimerTick() {}
void TCorvexMonitor::CheckMail(int) {}
void TCorvexMonitor::CheckMailFrom(TPassSource, int) {}
void TCorvexMonitor::RecheckAfterApply() {}
bool TCorvexMonitor::ConnectMailbox(int)
{
    return false;
}
void TCorvexMonitor::EndCheck() {}
void TCorvexMonitor::CheckNow() {}
void TCorvexMonitor::SetQueryInterval(int) {}
void TCorvexMonitor::TrackMoved(int) {}
void TCorvexMonitor::TrackEnded() {}
void TCorvexMonitor::PurgeRejectedMail() {}
void TCorvexMonitor::RemoveTempFiles(const std::string &) {}
bool TCorvexMonitor::Restricted(int)
{
    return false;
}
uint16_t DebugLevelFromArguments(const std::vector<std::string> &, uint16_t current)
{
    return current;
}
std::string FormatHms(int64_t)
{
    return {};
}
