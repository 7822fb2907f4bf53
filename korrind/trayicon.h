// The notification-area icon as logic: which image and tip each icon state shows, the
// alternation that makes new mail blink, clearing new mail, and the tray menu as data that the
// window turns into real menus. No window code here; korrind/trayview.h shows it.
#pragma once

#include <functional>
#include <string>
#include <vector>

class TStringList;

// The seven icon images, in the order of the icon image list.
enum TIconImage : int {
    IdleImage = 0,
    NewMailImage = 1, // alternates with IdleImage
    CheckingImage = 2,
    CheckingImage2 = 3, // alternates with CheckingImage
    PriorityImage = 4,
    PriorityImage2 = 5, // alternates with PriorityImage
    TimedOutImage = 6,
};
inline constexpr int IconImageCount = 7;

// Values for SetIconState (2 and 3 both mean checking, 4 and 5 both mean priority mail).
enum TIconState : int {
    IconIdle = 0,
    IconNewMail = 1,
    IconChecking = 3,
    IconPriority = 4,
    IconAllTimedOut = 6,
    // Nothing to check: no mailbox in the list, or none of them switched on. Not a fault, so
    // they show the idle image, with a tip that says why nothing happens.
    IconNoMailbox = 7,
    IconNoneActive = 8,
};

class TTrayIcon
{
public:
    TTrayIcon();

    // Picks image and tip for the state and reports them through OnChange. States 1 to 5
    // flip between the two images of their state on each call; 0, 6, 7 and 8 show one image.
    // Other values change nothing.
    void SetIconState(int state);

    // New mail seen: NewMailState of Globals goes to 0, the engine's new-mail and priority
    // flags are cleared through OnClearNewMail (which also sets every Summary row's image to 0
    // when resetImages), then the icon goes back to RestingState.
    void ClearNewMail(bool resetImages);
    // The state of a monitor with nothing new: idle, or IconNoMailbox / IconNoneActive while
    // there is nothing to check (set by the check cycle).
    int RestingState = IconIdle;

    // The icon's mouse commands. A double click shows the monitor when its window is hidden
    // and minimises it when it is shown.
    void DoubleClicked(bool windowShown);

    int Image() const { return CurrentImage; }
    const std::string &Tip() const { return CurrentTip; }
    // The image chosen by the last call for a state from 1 to 5.
    int IconPhase() const { return Phase; }

    // Shown under the tip of every state but checking: why mailboxes timed out, one line
    // each ("" for none).
    std::string Detail;

    // Hooks the main window fills in.
    std::function<void(int image, const std::string &tip)> OnChange;
    std::function<void(bool resetImages)> OnClearNewMail;
    std::function<void()> ShowMonitor; // subject to the password gate, done by the window
    std::function<void()> Minimize;

private:
    int CurrentImage = IdleImage;
    std::string CurrentTip;
    int Phase = IdleImage;
};

// Commands of the tray menu ("pmIconTray").
enum class TTrayCommand {
    Show,
    CheckNow,
    ClearNewMail,
    SendMessage,
    RunMail, // sub-menu of mail programs
    Inboxes, // sub-menu of mailboxes
    RejectionBox,
    Restart,
    Exit,
    Separator,
    SignIn, // one item per mailbox whose sign-in must be renewed, shown only then
};

struct TTrayMenuItem
{
    TTrayCommand Command;
    std::string Caption; // empty for a separator
};

// The tray menu's items in order and the contents of its two sub-menus. The sub-menus keep
// their items between openings; an opening only adds names not there yet.
class TTrayMenu
{
public:
    // The fixed items, top to bottom, with the first item's caption for a hidden window.
    static std::vector<TTrayMenuItem> Items();

    // Caption of the first item: "Display" when the window is hidden, "Minimize" when shown.
    static std::string ShowCaption(bool windowShown);

    // Run when the menu opens: adds each mail program of mailerList (display name = the
    // line's name) to "Run Mail" and, when inboxMap is not empty, each mailbox (user ID = the
    // line's name) to "Inboxes".
    void Prepare(const TStringList &mailerList, const TStringList &inboxMap);

    const std::vector<std::string> &RunMailItems() const { return RunMail; }
    const std::vector<std::string> &InboxItems() const { return Inboxes; }

    // The name behind a menu caption: accelerator "&" marks removed.
    static std::string ItemName(const std::string &caption);

private:
    std::vector<std::string> RunMail;
    std::vector<std::string> Inboxes;
};
