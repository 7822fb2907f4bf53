// Password protection driven offscreen through the real dialog: the user's steps are queued and
// played each time the dialog shows (typing, Enter, clicking Continue, Cancel or the check box).
#include "common/globals.h"
#include "common/password.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/passwordfrm.h"
#include "support/modalsteps.h"

#include <QApplication>
#include <QCheckBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QTest>
#include <QTimer>
#include <deque>
#include <functional>
#include <gtest/gtest.h>

namespace {

// Types text key by key; letters beyond ASCII arrive as the key events' text.
void Type(QLineEdit *edit, const std::string &text)
{
    for (QChar letter : QString::fromStdString(text)) {
        if (letter.unicode() < 128) {
            QTest::keyClick(edit, letter.toLatin1());
            continue;
        }
        QKeyEvent key(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(letter));
        QApplication::sendEvent(edit, &key);
    }
}

struct Shown
{
    std::string Prompt;
    bool CheckBoxVisible;
    bool EntryEnabled;
};

class PasswordTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Globals = new TGlobals;
        PButtons = new TPButtons;
        dialog = new TPasswordf;
        dialog->Install();
        dialog->installEventFilter(&showWatcher);
        showWatcher.onShow = [this] {
            shown.push_back({dialog->LMDpfPassword->title().toStdString(),
                             dialog->LMDcbxActivatePasswords->isVisible(),
                             dialog->LMDePassword->isEnabled()});
            std::function<void()> step = [this] { Cancel(); }; // unplanned dialogs end at once
            if (!steps.empty()) {
                step = steps.front();
                steps.pop_front();
            }
            QTimer::singleShot(0, dialog, [this, step] {
                modalsteps::TAnswering answering(dialog);
                step();
            });
        };
    }

    void TearDown() override
    {
        delete dialog;
        delete PButtons;
        PButtons = nullptr;
        delete Globals;
        Globals = nullptr;
    }

    // User steps for the next dialogs, in order.
    void TypeAndContinue(const std::string &text)
    {
        steps.push_back([this, text] {
            Type(dialog->LMDePassword, text);
            QTest::mouseClick(dialog->LMDpfContinue, Qt::LeftButton);
        });
    }
    void TypeAndEnter(const std::string &text)
    {
        steps.push_back([this, text] {
            Type(dialog->LMDePassword, text);
            QTest::keyClick(dialog->LMDePassword, Qt::Key_Return);
        });
    }
    void CheckTypeAndContinue(const std::string &text)
    {
        steps.push_back([this, text] {
            QTest::mouseClick(dialog->LMDcbxActivatePasswords, Qt::LeftButton);
            Type(dialog->LMDePassword, text);
            QTest::mouseClick(dialog->LMDpfContinue, Qt::LeftButton);
        });
    }
    void UncheckAndContinue()
    {
        steps.push_back([this] {
            QTest::mouseClick(dialog->LMDcbxActivatePasswords, Qt::LeftButton);
            entryEnabledAfterUncheck = dialog->LMDePassword->isEnabled();
            QTest::mouseClick(dialog->LMDpfContinue, Qt::LeftButton);
        });
    }
    void Cancel() { QTest::mouseClick(dialog->LMDpfCancel, Qt::LeftButton); }

    void SetMaster(bool active, int level, const std::string &password)
    {
        Globals->Config.PasswordActive = active;
        Globals->Config.SecurityLevel = uint8_t(level);
        SetText(Globals->Config.MasterPassword, password);
    }

    struct ShowWatcher : QObject
    {
        std::function<void()> onShow;
        bool eventFilter(QObject *, QEvent *event) override
        {
            if (event->type() == QEvent::Show && onShow)
                onShow();
            return false;
        }
    } showWatcher;

    TPasswordf *dialog = nullptr;
    std::deque<std::function<void()>> steps;
    std::vector<Shown> shown;
    bool entryEnabledAfterUncheck = true;
};

TEST_F(PasswordTest, VerifyAcceptsOnlyTheExactPassword)
{
    TypeAndEnter("Secret");
    EXPECT_TRUE(VerifyPassword("Secret"));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].Prompt, "  Password Protected:");
    EXPECT_FALSE(shown[0].CheckBoxVisible);
    EXPECT_TRUE(shown[0].EntryEnabled);
    EXPECT_TRUE(dialog->LMDePassword->text().isEmpty()) << "the entry does not linger";

    TypeAndContinue("secret");
    EXPECT_FALSE(VerifyPassword("Secret")) << "case counts";
    steps.push_back([this] { Cancel(); });
    EXPECT_FALSE(VerifyPassword("Secret"));

    // Nothing to compare against: refused without asking.
    shown.clear();
    EXPECT_FALSE(VerifyPassword(""));
    EXPECT_TRUE(shown.empty());
}

TEST_F(PasswordTest, ChangeNeedsMatchingVerification)
{
    bool active = false;
    std::string password;
    CheckTypeAndContinue("box-pass");
    TypeAndEnter("box-pass");
    EXPECT_TRUE(ChangePassword(active, password));
    EXPECT_TRUE(active);
    EXPECT_EQ(password, "box-pass");
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].Prompt, "  New Password:");
    EXPECT_TRUE(shown[0].CheckBoxVisible);
    EXPECT_EQ(shown[1].Prompt, "  Verify New Password:");
    EXPECT_FALSE(shown[1].CheckBoxVisible);

    // A verification that differs leaves the old password and flag in place.
    TypeAndContinue("newer");
    TypeAndContinue("newer2");
    EXPECT_FALSE(ChangePassword(active, password));
    EXPECT_TRUE(active);
    EXPECT_EQ(password, "box-pass");

    // Cancel changes nothing either.
    TypeAndContinue("newer");
    steps.push_back([this] { Cancel(); });
    EXPECT_FALSE(ChangePassword(active, password));
    EXPECT_EQ(password, "box-pass");

    // A mailbox without protection keeps its stored text when the user only cancels.
    bool off = false;
    std::string kept = "kept";
    shown.clear();
    steps.push_back([this] { Cancel(); });
    EXPECT_FALSE(ChangePassword(off, kept));
    EXPECT_EQ(kept, "kept");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_FALSE(shown[0].EntryEnabled) << "protection off: the entry starts disabled";
}

TEST_F(PasswordTest, UncheckingActivationSwitchesProtectionOff)
{
    bool active = true;
    std::string password = "old";
    UncheckAndContinue();
    EXPECT_TRUE(ChangePassword(active, password));
    EXPECT_FALSE(active);
    EXPECT_EQ(password, "");
    EXPECT_FALSE(entryEnabledAfterUncheck);
    EXPECT_EQ(shown.size(), 1u) << "no verification step";

    // An empty new password with protection on would lock everything: refused.
    active = true;
    password = "old";
    TypeAndContinue("");
    EXPECT_FALSE(ChangePassword(active, password));
    EXPECT_EQ(password, "old");
}

TEST_F(PasswordTest, MasterPasswordFitsItsFieldOrIsRefused)
{
    TConfigRecord config{};
    // Typing stops at 11 characters, so a 12-character password can never be verified.
    CheckTypeAndContinue("abcdefghijkl");
    TypeAndContinue("abcdefghijkl");
    EXPECT_FALSE(ChangeMasterPassword(config.PasswordActive, config.MasterPassword));
    EXPECT_EQ(config.PasswordActive, 0);
    EXPECT_EQ(GetText(config.MasterPassword), "");

    CheckTypeAndContinue("abcdefghijk");
    TypeAndContinue("abcdefghijk");
    EXPECT_TRUE(ChangeMasterPassword(config.PasswordActive, config.MasterPassword));
    EXPECT_EQ(config.PasswordActive, 1);
    EXPECT_EQ(GetText(config.MasterPassword), "abcdefghijk");
    EXPECT_EQ(config.MasterPassword[11], '\0');

    // The limit counts bytes as stored: of six two-byte letters only five (10 bytes) are taken.
    TypeAndContinue("\u00e4\u00e4\u00e4\u00e4\u00e4\u00e4");
    TypeAndContinue("\u00e4\u00e4\u00e4\u00e4\u00e4");
    EXPECT_TRUE(ChangeMasterPassword(config.PasswordActive, config.MasterPassword));
    EXPECT_EQ(GetText(config.MasterPassword), "\u00e4\u00e4\u00e4\u00e4\u00e4");

    // The "Password" command asks for the current password first; a wrong one stops there.
    shown.clear();
    TypeAndContinue("wrong");
    EXPECT_FALSE(RunMasterPasswordCommand(config));
    EXPECT_EQ(shown.size(), 1u);
    EXPECT_EQ(GetText(config.MasterPassword), "\u00e4\u00e4\u00e4\u00e4\u00e4");

    TypeAndContinue("\u00e4\u00e4\u00e4\u00e4\u00e4");
    UncheckAndContinue();
    EXPECT_TRUE(RunMasterPasswordCommand(config));
    EXPECT_EQ(config.PasswordActive, 0);
    EXPECT_EQ(GetText(config.MasterPassword), "");
}

TEST_F(PasswordTest, SecurityLevelDecidesWhichActionsAsk)
{
    SetMaster(true, 0, "master");
    for (int action = 1; action <= 7; ++action)
        EXPECT_TRUE(CheckAccess(action)) << action;
    EXPECT_TRUE(shown.empty()) << "level 0 asks nothing";

    SetMaster(true, 3, "master");
    for (int action = 4; action <= 7; ++action)
        EXPECT_TRUE(CheckAccess(action)) << action;
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(IsRestricted(saOpenMailbox) && IsRestricted(saMasterLists));
    TypeAndContinue("master");
    EXPECT_TRUE(CheckAccess(saMailboxWork));
    TypeAndContinue("Master");
    EXPECT_FALSE(CheckAccess(saMasterLists));
    EXPECT_EQ(shown.size(), 2u);

    SetMaster(false, 7, "master");
    EXPECT_FALSE(IsRestricted(saMailboxWork)) << "protection off";

    // Protection on with no stored password: every restricted action stays refused.
    SetMaster(true, 7, "");
    shown.clear();
    EXPECT_FALSE(CheckAccess(saExit));
    EXPECT_TRUE(shown.empty());
}

TEST_F(PasswordTest, MailboxRowsAskTheirOwnPassword)
{
    TListRows rows(2);
    rows[0].Caption = "open";
    rows[0].SetCell(mcBoxProtected, "0");
    rows[0].SetCell(mcBoxPassword, "unused");
    rows[1].Caption = "locked";
    rows[1].SetCell(mcBoxProtected, "1");
    rows[1].SetCell(mcBoxPassword, "boxpw");

    EXPECT_EQ(FindCheckedMailbox(rows, "open"), 0);
    EXPECT_EQ(FindCheckedMailbox(rows, "nobody"), -1);
    EXPECT_TRUE(shown.empty());
    TypeAndContinue("boxpw");
    EXPECT_EQ(FindCheckedMailbox(rows, "locked"), 1);
    TypeAndContinue("master");
    EXPECT_EQ(FindCheckedMailbox(rows, "locked"), -1);
}

} // namespace
