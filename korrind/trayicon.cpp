#include "korrind/trayicon.h"

#include <algorithm>

#include "common/globals.h"
#include "common/names.h"
#include "common/stringlist.h"

namespace {

const char IdleTip[] = "Corvex Users";
const char NewMailTip[] = "You Have Mail!";
const char CheckingTip[] = "Checking Mail Boxes";
const char PriorityTip[] = "You Have Priority Mail";
const char TimedOutTip[] = "All Mail Boxes Timed Out";

// Adds name unless an item with that caption is already there.
void AddOnce(std::vector<std::string> &items, const std::string &name)
{
    if (!name.empty() && std::find(items.begin(), items.end(), name) == items.end())
        items.push_back(name);
}

} // namespace

TTrayIcon::TTrayIcon() : CurrentTip(names::AppTitle) {}

void TTrayIcon::SetIconState(int state)
{
    switch (state) {
    case 0:
        CurrentImage = IdleImage;
        CurrentTip = IdleTip;
        break;
    case 1:
        Phase = Phase == NewMailImage ? IdleImage : NewMailImage;
        CurrentImage = Phase;
        CurrentTip = NewMailTip;
        break;
    case 2:
    case 3:
        Phase = Phase == CheckingImage2 ? CheckingImage : CheckingImage2;
        CurrentImage = Phase;
        CurrentTip = CheckingTip;
        break;
    case 4:
    case 5:
        Phase = Phase == PriorityImage2 ? PriorityImage : PriorityImage2;
        CurrentImage = Phase;
        CurrentTip = PriorityTip;
        break;
    case 6:
        CurrentImage = TimedOutImage;
        CurrentTip = TimedOutTip;
        break;
    default:
        return;
    }
    if (OnChange)
        OnChange(CurrentImage, CurrentTip);
}

void TTrayIcon::ClearNewMail(bool resetImages)
{
    if (Globals)
        Globals->CheckCounters.NewMailState = 0;
    if (OnClearNewMail)
        OnClearNewMail(resetImages);
    SetIconState(IconIdle);
}

void TTrayIcon::DoubleClicked(bool windowShown)
{
    if (!windowShown) {
        if (ShowMonitor)
            ShowMonitor();
    } else if (Minimize) {
        Minimize();
    }
}

std::vector<TTrayMenuItem> TTrayMenu::Items()
{
    return {
        {TTrayCommand::Show, ShowCaption(false)},
        {TTrayCommand::CheckNow, "Check Now"},
        {TTrayCommand::ClearNewMail, "Clear New Mail"},
        {TTrayCommand::Separator, ""},
        {TTrayCommand::SendMessage, "Send Message"},
        {TTrayCommand::RunMail, "Run Mail"},
        {TTrayCommand::Inboxes, "Inboxes"},
        {TTrayCommand::RejectionBox, "Rejection Box"},
        {TTrayCommand::Separator, ""},
        {TTrayCommand::Restart, "Restart"},
        {TTrayCommand::Exit, "Exit"},
    };
}

std::string TTrayMenu::ShowCaption(bool windowShown)
{
    return windowShown ? "Minimize" : "Display";
}

void TTrayMenu::Prepare(const TStringList &mailerList, const TStringList &inboxMap)
{
    for (int i = 0; i < mailerList.Count(); ++i)
        AddOnce(RunMail, mailerList.Names(i));
    for (int i = 0; i < inboxMap.Count(); ++i)
        AddOnce(Inboxes, inboxMap.Names(i));
}

std::string TTrayMenu::ItemName(const std::string &caption)
{
    // "&&" stands for a literal "&"; a single "&" only marks the accelerator key.
    std::string name;
    for (size_t i = 0; i < caption.size(); ++i) {
        if (caption[i] != '&')
            name += caption[i];
        else if (i + 1 < caption.size() && caption[i + 1] == '&')
            name += caption[++i];
    }
    return name;
}
