// The new-mail decision prompt: its boxes driven offscreen, and what the answer does to the
// message read, against the fixture dovecot.
#include "korrind/engine/whattodo.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "common/filterparam.h"
#include "common/ui/captionpanel.h"
#include "korrind/engine_environment.h"
#include "korrind/whattodofrm.h"
#include "support/fixtures.h"
#include "support/modalsteps.h"

namespace {

// Runs steps once the prompt is open (the prompt is modal).
void WhenPromptOpens(TfrmWhatToDo &prompt, std::function<void()> steps)
{
    modalsteps::WhenShown(&prompt, std::move(steps));
}

std::vector<std::string> Checked(const TfrmWhatToDo &prompt)
{
    std::vector<std::string> names;
    for (QCheckBox *box : prompt.findChildren<QCheckBox *>())
        if (box->isChecked())
            names.push_back(box->objectName().toStdString());
    std::sort(names.begin(), names.end());
    return names;
}

using Names = std::vector<std::string>;

TEST(WhatToDoPrompt, BoxesInterlockAndTheAnswerIsTheirBits)
{
    TfrmWhatToDo prompt;
    EXPECT_EQ(prompt.AskWhatToDo(true), unsigned(wdDontShow));
    EXPECT_FALSE(prompt.isVisible());

    Names seen[5];
    WhenPromptOpens(prompt, [&] {
        seen[0] = Checked(prompt);
        prompt.LMDcbSave->click();
        seen[1] = Checked(prompt);
        prompt.LMDcbDoNothing->click();
        seen[4] = Checked(prompt);
        prompt.LMDcbDelete->click();
        prompt.LMDcbAddReject->click();
        seen[2] = Checked(prompt);
        prompt.LMDcbDontShow->click();
        seen[3] = Checked(prompt);
        prompt.LMDcbSave->click();
        prompt.LMDcbAddPriority->click();
        prompt.LMDpfClose->Click();
    });
    EXPECT_EQ(prompt.AskWhatToDo(false), unsigned(wdSave | wdAddPriority));
    EXPECT_EQ(seen[0], Names{"LMDcbDoNothing"});
    EXPECT_EQ(seen[1], Names{"LMDcbSave"});
    EXPECT_EQ(seen[4], Names{"LMDcbDoNothing"});
    EXPECT_EQ(seen[2], (Names{"LMDcbAddReject", "LMDcbDelete"}));
    EXPECT_EQ(seen[3], Names{"LMDcbDontShow"});

    // OK at once answers nothing; so does Esc, whatever is checked.
    WhenPromptOpens(prompt, [&] { prompt.LMDpfClose->Click(); });
    EXPECT_EQ(prompt.AskWhatToDo(false), 0u);
    WhenPromptOpens(prompt, [&] {
        prompt.LMDcbDelete->click();
        QTest::keyClick(&prompt, Qt::Key_Escape);
    });
    EXPECT_EQ(prompt.AskWhatToDo(false), 0u);
}

class WhatToDoOnServer : public ::testing::Test, protected TEngineEnvironment
{
protected:
    void SetUp() override
    {
        REQUIRE_FIXTURES();
        fixtures::TrustTestCa();
        box = fixtures::CreateMailbox("prompt");
        Install(box.user, box.host);
        hooks.Connect = [this] {
            pop3.Host = box.host;
            pop3.Port = box.pop3Port;
            pop3.User = box.user;
            pop3.Password = box.password;
            return pop3.Connect();
        };
        hooks.ShowStatus = [this](const std::string &text) { statuses.push_back(text); };
        hooks.ShowError = [this](const std::string &text) { errors.push_back(text); };
    }
    void TearDown() override
    {
        SetRuleEditor(nullptr);
        Uninstall();
    }

    std::vector<std::string> AddMessages(int count)
    {
        std::vector<std::string> raws;
        for (int i = 1; i <= count; ++i) {
            fixtures::MessageFields fields;
            fields.from = Format("Sender %d <sender%d@example.org>", i, i);
            fields.subject = Format("Message %d", i);
            raws.push_back(fixtures::BuildMessage(fields));
        }
        fixtures::AddMessages(box, raws);
        return raws;
    }

    std::vector<std::string> InboxFiles()
    {
        std::vector<std::string> files;
        for (const QString &name : QDir(QString::fromStdString(inbox)).entryList({"*.eml"}))
            files.push_back(inbox + "/" + name.toStdString());
        return files;
    }

    // Sum of the "retr=" counts of the user's finished sessions in dovecot's log, once
    // sessions of them were logged.
    int RetrievalsLogged(int sessions)
    {
        const std::string log =
            testenv::FixtureValue("CORVEX_FIXTURES_DIR") + "/dovecot/dovecot.log";
        int retrievals = 0;
        auto count = [&] {
            std::vector<std::string> lines = SplitText(testenv::ReadFile(log), '\n');
            int ended = 0;
            retrievals = 0;
            for (const std::string &line : lines) {
                size_t retr = line.find("retr=");
                if (line.find("(" + box.user + ")") == std::string::npos ||
                    retr == std::string::npos)
                    continue;
                ++ended;
                retrievals += std::atoi(line.c_str() + retr + 5);
            }
            return ended >= sessions;
        };
        EXPECT_TRUE(fixtures::WaitUntil(count)) << "dovecot logged no end of the sessions";
        return retrievals;
    }

    fixtures::Mailbox box;
    TWhatToDoHooks hooks;
    std::vector<std::string> statuses, errors;
};

// Save + Delete + a rejection rule: the message is read once, saved from those bytes,
// deleted, and the rule takes the sender and subject of the message itself.
TEST_F(WhatToDoOnServer, SaveDeleteAndRuleFromTheMessageRead)
{
    std::vector<std::string> raws = AddMessages(2);
    TRuleFields ruleShown;
    SetRuleEditor([&](const std::string &, bool, TRuleFields &fields) {
        ruleShown = fields;
        return true;
    });
    std::string opened;
    hooks.Open = [&](const std::string &path) { opened = testenv::ReadFile(path); };
    bool promptShownWhileConnected = false;
    hooks.Ask = [&](bool promptOff) {
        promptShownWhileConnected = pop3.IsConnected();
        return promptOff ? 0u : unsigned(wdSave | wdDelete | wdAddReject);
    };
    bool promptOff = false;

    ASSERT_TRUE(ReadLastMessage(pop3, hooks, 2, inbox, promptOff));
    EXPECT_EQ(opened, raws[1]);
    EXPECT_FALSE(promptShownWhileConnected);
    std::vector<std::string> saved = InboxFiles();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(testenv::ReadFile(saved[0]), raws[1]);
    EXPECT_EQ(fixtures::StoredMessages(box), std::vector<std::string>{raws[0]});
    EXPECT_EQ(statuses, std::vector<std::string>{"Message 2 deleted"});
    EXPECT_TRUE(errors.empty());
    ASSERT_GE(ruleShown.size(), 2u);
    EXPECT_EQ(ruleShown[rfAddress], "Sender 2 <sender2@example.org>");
    EXPECT_EQ(ruleShown[rfSubject], "Message 2");
    EXPECT_FALSE(promptOff);
    EXPECT_EQ(RetrievalsLogged(2), 1);
}

// Another client removed message 1 after the user read message 2: the message at place 2 is
// then another one, and only the message read is ever deleted.
TEST_F(WhatToDoOnServer, ADeletionFindsTheMessageReadOrDeletesNothing)
{
    std::vector<std::string> raws = AddMessages(3);
    TReadMessage read;
    ASSERT_TRUE(FetchReadMessage(pop3, hooks, 2, read));
    ASSERT_FALSE(read.Uid.empty()) << "dovecot offers UIDL";
    EXPECT_FALSE(pop3.IsConnected());

    TPop3 other;
    other.Host = box.host;
    other.Port = box.pop3Port;
    other.User = box.user;
    other.Password = box.password;
    ASSERT_TRUE(other.Connect());
    ASSERT_TRUE(other.DeleteMessage(1));
    other.Disconnect();
    ASSERT_EQ(fixtures::MessageCount(box), 2);

    // Without the server's ids the place is checked, and it now holds message 3.
    TReadMessage withoutId = read;
    withoutId.Uid.clear();
    EXPECT_EQ(DeleteReadMessage(pop3, hooks, withoutId), 0);
    EXPECT_EQ(fixtures::StoredMessages(box), (std::vector<std::string>{raws[1], raws[2]}));

    // With them the message read is found at its new place.
    bool promptOff = false;
    CarryOutAnswer(pop3, hooks, wdDelete | wdDontShow, read, inbox, promptOff);
    EXPECT_EQ(fixtures::StoredMessages(box), std::vector<std::string>{raws[2]});
    EXPECT_EQ(statuses, std::vector<std::string>{"Message 2 deleted"});
    EXPECT_TRUE(promptOff);
    EXPECT_TRUE(InboxFiles().empty());

    // Without ids, a message still in its place is recognised and deleted.
    ASSERT_TRUE(FetchReadMessage(pop3, hooks, 1, read));
    read.Uid.clear();
    EXPECT_EQ(DeleteReadMessage(pop3, hooks, read), 1);
    EXPECT_EQ(fixtures::MessageCount(box), 0);
}

} // namespace
