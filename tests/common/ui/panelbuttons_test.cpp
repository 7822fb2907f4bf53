// Panel buttons driven offscreen with real clicks: the guard against disabled and busy panels,
// the caption-bar help mode, check marks and drop-down menus.
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/panelbuttons.h"

#include <QApplication>
#include <QFocusEvent>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <QWhatsThis>
#include <gtest/gtest.h>
#include <vector>

#include "support/keyboard.h"

namespace {

struct HelpShown
{
    int context;
    std::string keyword;
};

// A window with one panel whose click handler follows the Press/Release pattern and records
// what it saw while the command ran.
class PanelButtonsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        PButtons = new TPButtons;
        PButtons->SetHelpHandler([this](int context, const std::string &keyword, const QPoint &) {
            helpShown.push_back({context, keyword});
        });
        panel = new TCaptionPanel("Apply", &window);
        panel->setGeometry(10, 10, 80, 24);
        QObject::connect(panel, &TCaptionPanel::clicked, [this] {
            if (!PButtons->Press(panel))
                return;
            ++commandRuns;
            pressedDuringCommand =
                panel->BevelInner() == TBevel::Lowered && panel->BevelOuter() == TBevel::Lowered;
            PButtons->Release(panel);
        });
        PButtons->SetEnabled(panel, true);
        window.setGeometry(100, 100, 200, 100);
        window.show();
    }

    void TearDown() override
    {
        delete PButtons;
        PButtons = nullptr;
    }

    void Click() { QTest::mouseClick(panel, Qt::LeftButton, {}, QPoint(20, 10)); }

    QWidget window;
    TCaptionPanel *panel = nullptr;
    int commandRuns = 0;
    bool pressedDuringCommand = false;
    std::vector<HelpShown> helpShown;
};

TEST_F(PanelButtonsTest, OnlyAvailablePanelsRunTheirCommand)
{
    Click();
    EXPECT_EQ(commandRuns, 1);
    EXPECT_TRUE(pressedDuringCommand);
    EXPECT_EQ(panel->BevelInner(), TBevel::Raised);
    EXPECT_EQ(panel->BevelOuter(), TBevel::Raised);
    // A press that ends outside the panel is no click.
    QTest::mousePress(panel, Qt::LeftButton, {}, QPoint(20, 10));
    QTest::mouseRelease(panel, Qt::LeftButton, {}, QPoint(200, 10));
    EXPECT_EQ(commandRuns, 1);
    commandRuns = 0;

    EXPECT_FALSE(PButtons->SetEnabled(panel, false));
    EXPECT_EQ(panel->cursor().shape(), Qt::ForbiddenCursor);
    EXPECT_EQ(panel->BevelOuter(), TBevel::Lowered);
    EXPECT_NE(panel->palette().color(QPalette::WindowText),
              QApplication::palette().color(QPalette::Active, QPalette::WindowText));
    Click();
    EXPECT_EQ(commandRuns, 0);
    EXPECT_EQ(panel->BevelInner(), TBevel::Raised) << "a refused click shows no pressed look";

    EXPECT_TRUE(PButtons->SetEnabled(panel, true));
    EXPECT_EQ(panel->palette().color(QPalette::WindowText),
              QApplication::palette().color(QPalette::Active, QPalette::WindowText));
    PButtons->SetBusy(panel, true);
    Click();
    EXPECT_EQ(commandRuns, 0);
    PButtons->SetBusy(panel, false);

    // The whole application showing the hourglass blocks every panel.
    QApplication::setOverrideCursor(Qt::WaitCursor);
    Click();
    QApplication::restoreOverrideCursor();
    EXPECT_EQ(commandRuns, 0);
    Click();
    EXPECT_EQ(commandRuns, 1);
}

TEST_F(PanelButtonsTest, SecondClickWhileCommandIsBusyIsIgnored)
{
    int nestedRuns = 0;
    TCaptionPanel slow("Check Now", &window);
    PButtons->SetEnabled(&slow, true);
    QObject::connect(&slow, &TCaptionPanel::clicked, [&] {
        if (!PButtons->Press(&slow))
            return;
        ++nestedRuns;
        PButtons->SetBusy(&slow, true);
        // A click arriving while the command pumps messages must not start it again.
        QTimer::singleShot(0, &slow, [&] { slow.Click(); });
        QTest::qWait(20);
        PButtons->SetBusy(&slow, false);
        PButtons->Release(&slow);
    });
    slow.Click();
    EXPECT_EQ(nestedRuns, 1);
}

TEST_F(PanelButtonsTest, CaptionBarHelpShowsHelpOnceThenNextClickRuns)
{
    contexthelp::SetHelpContext(panel, help::InboxRules);
    QWhatsThis::enterWhatsThisMode();
    QTest::qWait(10);
    EXPECT_TRUE(PButtons->HelpRequested);
    EXPECT_FALSE(QWhatsThis::inWhatsThisMode()) << "the click must reach the panel";

    Click();
    EXPECT_EQ(commandRuns, 0);
    ASSERT_EQ(helpShown.size(), 1u);
    EXPECT_EQ(helpShown[0].context, help::InboxRules);
    EXPECT_FALSE(PButtons->HelpRequested);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr) << "help mode's cursor is gone";

    Click();
    EXPECT_EQ(commandRuns, 1);
    EXPECT_EQ(helpShown.size(), 1u);

    // Without a context number the keyword is shown; help mode is consumed even on a disabled
    // panel and even when there is nothing to show.
    contexthelp::SetHelpContext(panel, help::TContext{});
    contexthelp::SetHelpKeyword(panel, "Passwords");
    PButtons->SetEnabled(panel, false);
    PButtons->HelpRequested = true;
    Click();
    ASSERT_EQ(helpShown.size(), 2u);
    EXPECT_EQ(helpShown[1].keyword, "Passwords");
    EXPECT_FALSE(PButtons->HelpRequested);

    contexthelp::SetHelpKeyword(panel, "");
    PButtons->SetEnabled(panel, true);
    PButtons->HelpRequested = true;
    Click();
    EXPECT_EQ(commandRuns, 1);
    EXPECT_EQ(helpShown.size(), 2u);
    Click();
    EXPECT_EQ(commandRuns, 2);
}

TEST_F(PanelButtonsTest, ToggleFlipsCheckMarkUnlessGuarded)
{
    PButtons->SetChecked(panel, true);
    EXPECT_EQ(panel->Caption(), "X");
    EXPECT_FALSE(PButtons->Toggle(panel));
    EXPECT_EQ(panel->Caption(), "");
    EXPECT_TRUE(PButtons->Toggle(panel));

    PButtons->HelpRequested = true;
    EXPECT_FALSE(PButtons->Toggle(panel));
    EXPECT_TRUE(PButtons->IsChecked(panel)) << "a help click changes nothing";

    PButtons->SetEnabled(panel, false);
    EXPECT_FALSE(PButtons->Toggle(panel));
    EXPECT_TRUE(PButtons->IsChecked(panel));
}

TEST_F(PanelButtonsTest, DropDownOpensMenuAtLowerLeftCorner)
{
    QMenu menu;
    QAction *item = menu.addAction("Velmot");
    bool triggered = false;
    QObject::connect(item, &QAction::triggered, [&] { triggered = true; });
    QPoint shownAt;
    QObject::connect(&menu, &QMenu::aboutToShow, [&] {
        QTimer::singleShot(0, &menu, [&] {
            shownAt = menu.pos();
            item->trigger();
            menu.close();
        });
    });
    EXPECT_TRUE(PButtons->DropDown(panel, &menu));
    EXPECT_TRUE(triggered);
    EXPECT_EQ(shownAt, panel->mapToGlobal(QPoint(0, panel->height())));
    PButtons->ReleaseDropDown(panel);
    EXPECT_EQ(panel->BevelInner(), TBevel::Raised);
    EXPECT_EQ(panel->BevelOuter(), TBevel::Lowered);

    PButtons->SetEnabled(panel, false);
    EXPECT_FALSE(PButtons->DropDown(panel, &menu));
}

} // namespace

// A panel that holds the keyboard focus is framed in the highlight colour.
TEST_F(PanelButtonsTest, FocusedPanelShowsAFrameInTheHighlightColour)
{
    const QColor highlight = panel->palette().color(QPalette::Highlight);
    EXPECT_EQ(keyboard::PixelsOf(panel, highlight), 0);
    QFocusEvent focusIn(QEvent::FocusIn, Qt::TabFocusReason);
    QApplication::sendEvent(panel, &focusIn);
    EXPECT_GE(keyboard::PixelsOf(panel, highlight), 2 * (panel->width() + panel->height()));
    QFocusEvent focusOut(QEvent::FocusOut, Qt::TabFocusReason);
    QApplication::sendEvent(panel, &focusOut);
    EXPECT_EQ(keyboard::PixelsOf(panel, highlight), 0);
}
