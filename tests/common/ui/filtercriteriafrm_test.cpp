// The filter editor window driven offscreen: opening a rule, editing it with real input and
// applying it.
#include "common/ui/filtercriteriafrm.h"

#include <QApplication>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QRadioButton>
#include <QSpinBox>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "common/globals.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/placement.h"
#include "common/utils.h"
#include "support/keyboard.h"
#include "support/modalsteps.h"
#include "support/testenv.h"

namespace {

class FilterEditorWindow : public ::testing::Test
{
protected:
    void SetUp() override
    {
        PButtons = &buttons;
        testenv::WriteFile(folder + "/Alerts.ini", "BELL=/s/bell.wav\nCHIME=/s/chime.wav\n");
    }
    void TearDown() override
    {
        SetRuleEditor(nullptr);
        PButtons = nullptr;
    }
    void Click(QWidget *widget) { QTest::mouseClick(widget, Qt::LeftButton); }

    TPButtons buttons;
    std::string folder = testenv::MakeScratchDir("editor");
};

TEST_F(FilterEditorWindow, EditsARuleAndAppliesIt)
{
    TfrmFilterCriteria editor(folder);
    editor.Open("E-mail Priority", false, SplitRule("|win big||0|1|00120||000||"));
    editor.show();
    // A rule without an address opens matching by subject with the address box disabled.
    EXPECT_EQ(editor.rgMatchBy->checkedId(), TRuleEditState::mbSubject);
    EXPECT_FALSE(editor.cbAddress->isEnabled());
    EXPECT_EQ(editor.cbSubject->currentText(), "win big");
    EXPECT_EQ(editor.rgSubjectMode->checkedId(), mmExact);
    EXPECT_TRUE(buttons.IsAvailable(editor.LMDpfAccept));

    Click(editor.LMDcbForward);
    editor.LMDseMaxSize->setValue(45);
    editor.cbDestination->setFocus();
    QTest::keyClicks(editor.cbDestination, "phone@sms.example");
    editor.cbAlert->setCurrentIndex(editor.cbAlert->findText("BELL"));
    Click(editor.LMDcbAutoSave);
    EXPECT_TRUE(editor.cbAltFolder->isEnabled());
    QTest::keyClicks(editor.cbAltFolder, "/saved");
    Click(editor.LMDpfAccept);

    ASSERT_TRUE(editor.Accepted());
    EXPECT_EQ(JoinRule(editor.State().Fields()),
              "|win big|BELL|0|1|10045|phone@sms.example|001|/saved");
    // The destination and folder went into their history files.
    EXPECT_EQ(testenv::ReadFile(folder + "/AddressBook.ini"), "phone@sms.example\n");
    EXPECT_EQ(testenv::ReadFile(folder + "/AltPath.ini"), "/saved\n");
}

TEST_F(FilterEditorWindow, QuickEditsAndMatchBy)
{
    TfrmFilterCriteria editor(folder);
    editor.Open("", false, SplitRule("Joe <joe@mail.example>|news"));
    editor.show();
    emit editor.cbAddressQuick->activated(TRuleEditState::aqMailerId);
    EXPECT_EQ(editor.cbAddress->currentText(), "joe");
    editor.rgMatchBy->button(TRuleEditState::mbAddress)->click();
    EXPECT_FALSE(editor.cbSubject->isEnabled());
    EXPECT_FALSE(editor.cbSubjectQuick->isEnabled());
    EXPECT_EQ(editor.cbSubject->currentText(), "");
    editor.rgMatchBy->button(TRuleEditState::mbBoth)->click();
    EXPECT_EQ(editor.cbSubject->currentText(), "news");
}

TEST_F(FilterEditorWindow, AddRuleFromMessageThroughTheInstalledEditor)
{
    TfrmFilterCriteria::Install([this] { return folder; });
    // Accept the prefilled rule as soon as the modal window runs.
    QTimer poll;
    int polls = 0;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        for (QWidget *window : QApplication::topLevelWidgets()) {
            auto *editor = dynamic_cast<TfrmFilterCriteria *>(window);
            if (editor != nullptr && editor->isVisible()) {
                EXPECT_EQ(editor->windowTitle(), "E-mail Rejection");
                editor->LMDpfAccept->Click();
                poll.stop();
                return;
            }
        }
        if (++polls > 200) {
            ADD_FAILURE() << "the editor did not show";
            QApplication::activeModalWidget()->close();
        }
    });
    poll.start(10);
    TGlobals globals;
    SetText(globals.Config.RulesPath, folder);
    EXPECT_TRUE(globals.AddRuleFromMessage("spam@x.example", "Offer", true, true, ""));
    EXPECT_EQ(testenv::ReadFile(folder + "/mRejectMail.ini"),
              "spam@x.example|Offer||0|0|00120||000|\n");

    // A blank rule cannot be applied before anything was entered.
    TfrmFilterCriteria blank(folder);
    blank.Open("", true, {});
    EXPECT_FALSE(buttons.IsAvailable(blank.LMDpfAccept));
    QTest::keyClicks(blank.cbSubject, "x");
    EXPECT_TRUE(buttons.IsAvailable(blank.LMDpfAccept));
}

TEST_F(FilterEditorWindow, OneLayoutWhateverOpensItCentredOverItsOpenerAndKeyboardWalked)
{
    InstallWindowPlacement();
    QWidget mailList;
    mailList.setGeometry(40, 30, 720, 540);
    mailList.show();
    // Opened from a window, and from the decision prompt, which has closed when the editor opens.
    TfrmFilterCriteria fromList(folder, &mailList);
    TfrmFilterCriteria fromPrompt(folder);
    for (TfrmFilterCriteria *editor : {&fromList, &fromPrompt}) {
        editor->Open("E-mail Priority", false, SplitRule("joe@mail.example|Weekly news"));
        editor->show();
    }
    EXPECT_EQ(fromPrompt.size(), fromList.size());
    for (TCaptionPanel *panel : {fromPrompt.LMDpfPlayAlert, fromPrompt.LMDpfBrowseAlert})
        EXPECT_LE(panel->height(), fromPrompt.cbAlert->height()) << panel->text().toStdString();
    EXPECT_GE(fromList.width(), TitleWidth(&fromList));
    const QPoint offCentre = fromList.frameGeometry().center() - mailList.frameGeometry().center();
    EXPECT_LE(offCentre.manhattanLength(), 2);

    EXPECT_EQ(keyboard::ControlsTabMisses(&fromList), std::vector<std::string>{});
    fromList.tsPages->setCurrentIndex(1);
    EXPECT_EQ(keyboard::ControlsTabMisses(&fromList), std::vector<std::string>{});
    QTest::keyClick(&fromList, Qt::Key_Escape);
    EXPECT_FALSE(fromList.isVisible());
}

// Without the monitor's hooks too, as in the rules manager and the saved message manager.
TEST_F(FilterEditorWindow, BrowseForAudioAlertAddsTheChosenFileToTheAlertList)
{
    const std::string wave = folder + "/Door Bell.wav";
    testenv::WriteFile(wave, "RIFF");
    TfrmFilterCriteria editor(folder);
    editor.Open("", false, SplitRule("joe@mail.example|news"));
    editor.show();
    OnModal<QFileDialog>([&](QFileDialog *dialog) { ChooseFile(dialog, wave); });
    editor.LMDpfBrowseAlert->Click();
    EXPECT_EQ(editor.cbAlert->currentText(), "DOOR BELL");
    EXPECT_NE(testenv::ReadFile(folder + "/Alerts.ini").find("DOOR BELL=" + wave + "\n"),
              std::string::npos);
}

} // namespace
