#include <QAction>
#include <QMenu>
#include <gtest/gtest.h>
#include <set>

#include "common/globals.h"
#include "common/stringlist.h"
#include "korrind/trayicon.h"
#include "korrind/trayview.h"

namespace {

std::vector<int> ImagesFor(TTrayIcon &icon, std::initializer_list<int> states)
{
    std::vector<int> images;
    for (int state : states) {
        icon.SetIconState(state);
        images.push_back(icon.Image());
    }
    return images;
}

std::vector<std::string> Captions(const QMenu *menu)
{
    std::vector<std::string> captions;
    for (const QAction *action : menu->actions())
        captions.push_back(action->text().toStdString());
    return captions;
}

} // namespace

TEST(TrayIconState, BlinkingStatesAlternateTheirTwoImages)
{
    TTrayIcon icon;
    EXPECT_EQ(ImagesFor(icon, {1, 1, 1}), (std::vector<int>{1, 0, 1}));
    EXPECT_EQ(icon.Tip(), "You Have Mail!");
    EXPECT_EQ(ImagesFor(icon, {3, 3, 2}), (std::vector<int>{3, 2, 3}));
    EXPECT_EQ(icon.Tip(), "Checking Mail Boxes");
    EXPECT_EQ(ImagesFor(icon, {4, 5, 4}), (std::vector<int>{5, 4, 5}));
    EXPECT_EQ(icon.Tip(), "You Have Priority Mail");
}

TEST(TrayIconState, SteadyStatesKeepThePhaseOfTheBlinkingOnes)
{
    TTrayIcon icon;
    EXPECT_EQ(icon.Tip(), "Corvex"); // before any state: the application's title
    icon.SetIconState(3);
    ASSERT_EQ(icon.Image(), 3);
    icon.SetIconState(6);
    EXPECT_EQ(icon.Image(), 6);
    EXPECT_EQ(icon.Tip(), "All Mail Boxes Timed Out");
    icon.SetIconState(0);
    EXPECT_EQ(icon.Image(), 0);
    EXPECT_EQ(icon.Tip(), "Corvex Users");
    // Checking after an image 3 (the last blinking one) shows 2.
    icon.SetIconState(2);
    EXPECT_EQ(icon.Image(), 2);
}

TEST(TrayIconState, ClearNewMailResetsStateAndShowsIdle)
{
    TGlobals globals;
    Globals = &globals;
    Globals->CheckCounters.NewMailState = 2;
    TTrayIcon icon;
    icon.SetIconState(4);
    std::vector<bool> resets;
    icon.OnClearNewMail = [&](bool resetImages) { resets.push_back(resetImages); };
    std::vector<int> shown;
    icon.OnChange = [&](int image, const std::string &) { shown.push_back(image); };

    icon.ClearNewMail(true);
    EXPECT_EQ(Globals->CheckCounters.NewMailState, 0);
    EXPECT_EQ(resets, (std::vector<bool>{true}));
    EXPECT_EQ(shown, (std::vector<int>{0}));
    EXPECT_EQ(icon.Tip(), "Corvex Users");
    Globals = nullptr;
}

TEST(TrayMenuData, AcceleratorMarksAreRemovedFromNames)
{
    EXPECT_EQ(TTrayMenu::ItemName("&Thunderbird"), "Thunderbird");
    EXPECT_EQ(TTrayMenu::ItemName("Mail && News"), "Mail & News");
    EXPECT_EQ(TTrayMenu::ItemName("alice"), "alice");
    EXPECT_EQ(TTrayMenu::ItemName("trailing&"), "trailing");
}

class TrayViewTest : public ::testing::Test
{
protected:
    TTrayIcon Logic;
    TTrayView View{Logic};
    bool Shown = false;
    TStringList Mailers{"Thunderbird=thunderbird", "Mail & News=mn"};
    TStringList Inboxes;

    void SetUp() override
    {
        View.WindowShown = [this] { return Shown; };
        View.MailerList = [this]() -> const TStringList & { return Mailers; };
        View.InboxMap = [this]() -> const TStringList & { return Inboxes; };
    }
};

TEST_F(TrayViewTest, MenuShowsItsItemsAndTheShowCaptionFollowsTheWindow)
{
    View.PrepareMenu();
    EXPECT_EQ(
        Captions(View.Menu()),
        (std::vector<std::string>{"Display", "Check Now", "Clear New Mail", "", "Send Message",
                                  "Run Mail", "Inboxes", "Rejection Box", "", "Restart", "Exit"}));
    Shown = true;
    View.PrepareMenu();
    EXPECT_EQ(View.ShowAction()->text().toStdString(), "Minimize");
}

TEST_F(TrayViewTest, OpeningTheMenuTwiceDoesNotDuplicateSubMenuItems)
{
    View.PrepareMenu();
    EXPECT_FALSE(View.InboxesMenu()->menuAction()->isEnabled()); // no mailboxes yet
    Inboxes.Add("alice=/data/alice");
    View.PrepareMenu();
    View.PrepareMenu();
    EXPECT_EQ(Captions(View.RunMailMenu()),
              (std::vector<std::string>{"Thunderbird", "Mail && News"}));
    EXPECT_EQ(Captions(View.InboxesMenu()), (std::vector<std::string>{"alice"}));
    EXPECT_TRUE(View.InboxesMenu()->menuAction()->isEnabled());

    // Sub-menus are not cleared between openings: a program gone from the list stays.
    Mailers = TStringList{"Mutt=mutt"};
    View.PrepareMenu();
    EXPECT_EQ(Captions(View.RunMailMenu()),
              (std::vector<std::string>{"Thunderbird", "Mail && News", "Mutt"}));
}

TEST_F(TrayViewTest, ItemsReportTheirCommandAndName)
{
    std::vector<std::pair<TTrayCommand, std::string>> commands;
    View.OnCommand = [&](TTrayCommand command, const std::string &name) {
        commands.emplace_back(command, name);
    };
    std::string calls;
    Logic.ShowMonitor = [&] { calls += "show "; };
    Logic.OnClearNewMail = [&](bool reset) { calls += reset ? "clear(reset) " : "clear "; };
    View.PrepareMenu();

    View.RunMailMenu()->actions().at(1)->trigger();
    View.ShowAction()->trigger();
    for (QAction *action : View.Menu()->actions())
        if (action->text() == "Clear New Mail" || action->text() == "Restart")
            action->trigger();

    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[0].first, TTrayCommand::RunMail);
    EXPECT_EQ(commands[0].second, "Mail & News");
    EXPECT_EQ(commands[1].first, TTrayCommand::Restart);
    EXPECT_EQ(calls, "show clear(reset) ");
}

TEST(TrayImages, EveryStateHasItsOwnImage)
{
    std::set<size_t> distinct;
    for (int image = 0; image < IconImageCount; ++image) {
        QImage pixels = TrayImage(image).pixmap(32, 32).toImage();
        ASSERT_FALSE(pixels.isNull());
        distinct.insert(qHashBits(pixels.constBits(), size_t(pixels.sizeInBytes())));
    }
    EXPECT_EQ(distinct.size(), size_t(IconImageCount));
}
