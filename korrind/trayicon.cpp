#include "korrind/trayicon.h"

#include <algorithm>

#include "common/globals.h"
#include "common/names.h"
#include "common/stringlist.h"

namespace {

// What each icon state shows. A blinking state shows Image, or Alternate when the previous
// blinking call showed Image; a steady state (Alternate < 0) always shows Image.
struct TStateLook
{
    int Image;
    int Alternate;
    const char *Tip;
};

const TStateLook StateLooks[] = {
    {IdleImage, -1, "Corvex Users"},                           // 0 idle
    {NewMailImage, IdleImage, "You Have Mail!"},               // 1 new mail
    {CheckingImage2, CheckingImage, "Checking Mail Boxes"},    // 2 checking
    {CheckingImage2, CheckingImage, "Checking Mail Boxes"},    // 3 checking
    {PriorityImage2, PriorityImage, "You Have Priority Mail"}, // 4 priority mail
    {PriorityImage2, PriorityImage, "You Have Priority Mail"}, // 5 priority mail
    {TimedOutImage, -1, "All Mail Boxes Timed Out"},           // 6 all timed out
    {IdleImage, -1, "No Mail Boxes Yet"},                      // 7 no mailbox
    {IdleImage, -1, "No Mail Box Switched On"},                // 8 none active
};

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
    if (state < 0 || state >= int(std::size(StateLooks)))
        return;
    const TStateLook &look = StateLooks[state];
    if (look.Alternate < 0) {
        CurrentImage = look.Image;
    } else {
        Phase = Phase == look.Image ? look.Alternate : look.Image;
        CurrentImage = Phase;
    }
    CurrentTip = look.Tip;
    if (!Detail.empty() && look.Image != CheckingImage2)
        CurrentTip += "\n" + Detail;
    if (OnChange)
        OnChange(CurrentImage, CurrentTip);
}

void TTrayIcon::ClearNewMail(bool resetImages)
{
    if (Globals)
        Globals->CheckCounters.NewMailState = 0;
    if (OnClearNewMail)
        OnClearNewMail(resetImages);
    if (resetImages)
        Detail.clear(); // no row shows a time-out any more
    SetIconState(RestingState);
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
