// The monitor's start-up, first activation, Exit and Restart. The check cycle itself is in
// checkcycle.cpp.
#include "korrind/popview.h"

#include <QDateTime>
#include <algorithm>
#include <charconv>
#include <cstdlib>

#include "common/alerts.h"
#include "common/encrypt.h"
#include "common/globals.h"
#include "common/password.h"
#include "common/smtpinterface.h"
#include "common/text.h"
#include "common/tlsservers.h"
#include "common/ui/escapehook.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/placement.h"
#include "common/ui/sound.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/engine/imapsession.h"
#include "korrind/engine/popinterface.h"

namespace {

constexpr int FetchTimerMs = 100;
constexpr int ClearTopmostMs = 1000;
constexpr size_t DebugArgumentLimit = 255;

bool PumpWhileRunning()
{
    TUtils::ProcessMessages();
    return !TUtils::Terminating();
}

} // namespace

uint16_t DebugLevelFromArguments(const std::vector<std::string> &arguments, uint16_t current)
{
    for (const std::string &argument : arguments) {
        if (LowerCase(argument).find("debug") == std::string::npos)
            continue;
        size_t equals = argument.find('=', 1);
        if (equals == std::string::npos)
            continue;
        std::string number = argument.substr(equals + 1, DebugArgumentLimit);
        unsigned value = 0;
        auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
        bool whole = error == std::errc() && end == number.data() + number.size();
        current = whole && value <= UINT16_MAX ? uint16_t(value) : 0;
    }
    return current;
}

uint16_t QueryIntervalSecondsFrom(const char *text)
{
    const long long seconds = text == nullptr ? 0 : StrToIntDef(text, 0);
    return seconds > 0 ? uint16_t(std::min<long long>(seconds, UINT16_MAX)) : 0;
}

TTimerPause::TTimerPause(QTimer &timer) : Timer(timer), WasRunning(timer.isActive())
{
    Timer.stop();
}

TTimerPause::~TTimerPause()
{
    if (WasRunning && !Timer.isActive() && !TUtils::Terminating())
        Timer.start();
}

std::string FormatHms(int64_t seconds)
{
    if (seconds < 0)
        seconds = 0;
    return Format("%02lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                  static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
}

TCorvexMonitor::TCorvexMonitor(TMonitorWindow &window) : Window(window)
{
    Now = [] { return QDateTime::currentMSecsSinceEpoch(); };
    PlaySound = [](const std::string &path) { platform::PlayWaveFile(path, &PumpWhileRunning); };

    Globals = new TGlobals;
    InstallEscapeHook(*Globals);
    InstallWindowPlacement();
    Pop3Session = std::make_unique<TPop3>(&Globals->DebugLevel);
    ImapSession = std::make_unique<TImapSession>(&Globals->DebugLevel);
    Mail = Pop3Session.get();
    Mail->CancelCheck = [](bool reset) {
        return Globals != nullptr && Globals->EscapePressed(reset);
    };
    Mail->StatusBar = [this](const std::string &text) { Window.SetStatusText(text); };
    Utils = new TUtils;
    PButtons = new TPButtons;
    EMailTest = new TEMailTest(&Store.Mailboxes);
    SMTPFunc = new TSMTPFunc(nullptr, &Globals->DebugLevel);

    MainTimer.setInterval(1000);
    FetchTimer.setInterval(FetchTimerMs);
    ClearTopmostTimer.setInterval(ClearTopmostMs);
    ClearTopmostTimer.setSingleShot(true);
    QObject::connect(&MainTimer, &QTimer::timeout, [this] { MainTimerTick(); });
    QObject::connect(&FetchTimer, &QTimer::timeout, [this] { FetchTimerTick(); });
    QObject::connect(&ClearTopmostTimer, &QTimer::timeout, [this] { ClearTopmostTick(); });
    PushTimer.setInterval(0);
    PushTimer.setSingleShot(true);
    QObject::connect(&PushTimer, &QTimer::timeout, [this] { RunPushQueue(); });
    LoadPushPreference();

    Tray.OnClearNewMail = [this](bool resetImages) {
        EMailTest->NewMailFound = false;
        EMailTest->PriorityFound = false;
        if (resetImages)
            for (TListRow &row : Store.Summary)
                row.ImageIndex = siOrdinary;
        Window.RowsChanged(false);
    };
    Tray.ShowMonitor = [this] { ShowMonitor(); };
    Tray.Minimize = [this] { Minimised(); };
    SetTlsListUnwritableHandler([this](const std::string &text) {
        Window.SetStatusText("  " + text);
        if (OnTlsListUnwritable)
            OnTlsListUnwritable(text);
    });
}

// Freed so that nothing is left pointing at a freed object: the users of Utils and Globals go
// first.
TCorvexMonitor::~TCorvexMonitor()
{
    MainTimer.stop();
    FetchTimer.stop();
    ClearTopmostTimer.stop();
    PushTimer.stop();
    Pushes.Drop();
    SetTlsListUnwritableHandler(nullptr);
    delete SMTPFunc;
    SMTPFunc = nullptr;
    delete EMailTest;
    EMailTest = nullptr;
    delete PButtons;
    PButtons = nullptr;
    Mail = nullptr;
    Pop3Session.reset();
    ImapSession.reset();
    delete Utils;
    Utils = nullptr;
    delete Globals;
    Globals = nullptr;
}

void TCorvexMonitor::Activate(const std::vector<std::string> &arguments)
{
    if (Activated)
        return;
    Activated = true;

    Window.SetTopmost(false);
    Globals->AddProgramFolderToPath();
    Globals->DebugLevel = DebugLevelFromArguments(arguments, Globals->DebugLevel);
    FixedIntervalSeconds = QueryIntervalSecondsFrom(std::getenv(QueryIntervalVariable));
    Globals->CryptoReady = false;
    Globals->CryptoReady = InitCrypto();
    Window.ShowTrayIcon(Tray);

    Globals->CheckCounters.NewMailState = 0;
    FetchTimer.stop();
    Window.ShowPage(TMonitorPage::Summary);

    SettingsLoaded = LoadSettings();
    if (!SettingsLoaded)
        return; // the window stays up, no timer runs

    OfferToSetAsideLockedData();
    if (MasterPasswordBarsTheWay() || !CheckAccess(saShowWindow)) {
        TUtils::Terminate();
        return;
    }
    PlaceWindow();
    Window.LayoutButtonBars();
    LoadMailboxList(Globals->Config.EncryptMailboxes != 0);
    Window.ShowSettings();
    SetQueryInterval(Globals->Config.CheckMinutes);
    Window.SetApplyEnabled(Store.ApplyNeeded);

    if (Store.Mailboxes.empty()) {
        Window.ShowPage(TMonitorPage::Mailboxes);
        Window.SetTopmost(false);
        if (Globals->StartPelloway())
            ReloadAfterImport();
    }
    SetupMailer();

    const TConfigRecord &config = Globals->Config;
    if (config.HideOnStartup) {
        HideOnStart = true;
        ClearTopmostTimer.start();
    }
    if (config.KeepOnTop)
        Window.SetTopmost(true);
    PurgeRejectedMail();

    MainTimer.setInterval(std::clamp<int>(config.TimerSeconds, 1, 60) * 1000);
    MainTimer.start();
}

std::string TCorvexMonitor::RulesFolder() const
{
    std::string rules = GetText(Globals->Config.RulesPath);
    return rules.empty() ? Globals->DataRoot : rules;
}

bool TCorvexMonitor::LoadSettings()
{
    if (!Store.LoadSettings(false, Window.WindowPosition())) {
        Utils->DebugLog("%s", Store.LastError.c_str());
        return false;
    }
    // The rules folder may have changed with the settings, and sounds may have come since.
    LoadAlerts(RulesFolder());
    return true;
}

void TCorvexMonitor::ReloadAfterImport()
{
    LoadSettings();
    ReloadMailboxes(Globals->Config.EncryptMailboxes != 0);
    Window.ShowSettings();
}

void TCorvexMonitor::LoadMailboxList(bool decrypt)
{
    Store.LoadMailBoxes(decrypt);
    if (!Store.LastError.empty())
        Utils->DebugLog("%s", Store.LastError.c_str());
    Window.RowsChanged(true);
    // What the reads found about damaged or undecryptable data (already logged).
    std::vector<std::string> notices;
    notices.swap(Store.Notices);
    for (const std::string &notice : notices)
        Window.ShowMessage(notice);
    SyncPush();
}

// Data this account can't open (a data folder copied from elsewhere, a changed key or master
// password): the user decides whether to set them aside and go on without them.
void TCorvexMonitor::OfferToSetAsideLockedData()
{
    const std::string question = Store.LockedDataQuestion();
    if (question.empty() || Window.AskYesNo(question, monitortext::WarningCaption) != TAnswer::Yes)
        return;
    if (!Store.SetAsideLockedData())
        Window.ShowMessage(Store.LastError);
}

// A master password that can't be opened can't be asked for: the user is told why and what
// to do, rather than being shown a prompt no entry satisfies.
bool TCorvexMonitor::MasterPasswordBarsTheWay()
{
    if (!Store.MasterPasswordLocked() || !IsRestricted(saShowWindow))
        return false;
    Window.ShowMessage(Utils->DebugLog(LockedMasterPasswordText, CryptoKeyFilePath().c_str()));
    return true;
}

// The mail-program box shows the stored default; without one the installed default is taken
// into the settings (saved by Apply).
void TCorvexMonitor::SetupMailer()
{
    Window.FillMailerBox(Globals->MailerList);
    const std::string installedDefault = Globals->DefaultMailer;
    TConfigRecord &config = Globals->Config;
    std::string stored = GetText(config.DefaultMailerName);
    if (!stored.empty()) {
        Globals->DefaultMailer = stored;
    } else if (!Globals->DefaultMailer.empty()) {
        SetText(config.DefaultMailerName, Globals->DefaultMailer);
        Window.SetApplyEnabled(true);
    }
    if (!Window.SelectMailer(Globals->DefaultMailer) && !installedDefault.empty())
        Window.SelectMailer(installedDefault);
}

// The remembered position; a stored size is taken only where it is larger than the current
// one, so a damaged or tiny size never shrinks the window below its design.
void TCorvexMonitor::PlaceWindow()
{
    const TConfigRecord &config = Globals->Config;
    if (!config.RememberPosition)
        return;
    TWindowPos position = Window.WindowPosition();
    position.Top = config.WinTop;
    position.Left = config.WinLeft;
    position.Height = std::max(position.Height, config.WinHeight);
    position.Width = std::max(position.Width, config.WinWidth);
    Window.SetWindowPosition(position);
}

void TCorvexMonitor::WindowShown()
{
    ClearTopmostTimer.start();
}

void TCorvexMonitor::ClearTopmostTick()
{
    ClearTopmostTimer.stop();
    if (!Globals->Config.KeepOnTop)
        Window.SetTopmost(false);
    if (HideOnStart) {
        HideOnStart = false;
        Window.HideWindow();
    }
    TUtils::ProcessMessages();
    if (Window.IsWindowVisible() && Window.CurrentPage() == TMonitorPage::Summary)
        Window.FocusCheckNow();
}

void TCorvexMonitor::Minimised()
{
    Window.ShowPage(TMonitorPage::Summary);
    Window.HideWindow();
}

void TCorvexMonitor::ShowMonitor()
{
    if (!CheckAccess(saShowWindow))
        return;
    Window.SetTopmost(true);
    Window.ShowWindow();
}

// A quiet exit (the restart tool was started) asks nothing at all: neither the security gate
// nor the questions, so an unattended restart never waits for a user. Pending changes are then
// left unsaved, as nobody confirmed them.
bool TCorvexMonitor::Exit(bool askToStop)
{
    const bool quiet = Globals->QuietExit;
    if (!quiet && !CheckAccess(saExit))
        return false;
    if (!Window.PressExitButton())
        return false;
    if (!quiet && askToStop &&
        Window.AskYesNo(monitortext::ExitQuestion, monitortext::WarningCaption) != TAnswer::Yes) {
        Window.ReleaseExitButton();
        return false;
    }
    TTimerPause pause(MainTimer); // runs again unless the program ends
    FetchTimer.stop();
    Mail->Abort();

    if (Window.ApplyEnabled()) {
        if (quiet) {
            Utils->DebugLog("Restart: unapplied changes were not saved");
        } else if (Window.AskYesNo(monitortext::ApplyQuestion, monitortext::WarningCaption) ==
                       TAnswer::Yes &&
                   !Window.ApplyChanges()) {
            // The user wants the changes kept and they could not be saved: the monitor goes
            // on with them pending rather than ending and losing them.
            Window.ReleaseExitButton();
            return false;
        }
    }
    if (Globals->Config.RememberPosition && !Store.SavePosition(Window.WindowPosition()))
        Utils->DebugLog("%s", Store.LastError.c_str());
    Window.ReleaseExitButton();
    PushTimer.stop();
    Pushes.StopAll(); // DONE and LOGOUT to every server, within a second
    TUtils::Terminate();
    return true;
}

void TCorvexMonitor::Restart()
{
    Globals->StartQuintor();
    Exit();
}
