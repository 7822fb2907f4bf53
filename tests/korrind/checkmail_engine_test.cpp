// The filter engine against the real POP3 and SMTP test servers, driven the way the check
// cycle drives it: connect, TestMail, disconnect, and once more while it answers true.
#include "korrind/checkmail.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include "common/smtpinterface.h"
#include "korrind/engine_environment.h"
#include "support/fixtures.h"

namespace {

class CheckMailEngine : public ::testing::Test, protected TEngineEnvironment
{
protected:
    void SetUp() override
    {
        REQUIRE_FIXTURES();
        fixtures::TrustTestCa();
        box = fixtures::CreateMailbox("engine");
        Install(box.user, box.host + ":" + std::to_string(box.pop3Port));
        SMTPFunc = &smtp;
        globals.Config.NewMailNotification = 1;
        SetText(globals.Config.SmtpServer, Format("127.0.0.1:%d", fixtures::Smtp().plainPort));
        summaryRow.Caption = box.user;
        summaryRow.Cells = {"0", "", "", "", "", ""};
    }
    void TearDown() override
    {
        if (pop3.IsConnected())
            pop3.Disconnect();
        SMTPFunc = nullptr;
        Uninstall();
    }

    std::string Message(const std::string &from, const std::string &subject,
                        const std::string &to = "Bob <bob@example.net>")
    {
        fixtures::MessageFields fields;
        fields.from = from;
        fields.subject = subject;
        fields.to = to;
        return fixtures::BuildMessage(fields);
    }

    void Connect()
    {
        pop3.Host = box.host;
        pop3.Port = box.pop3Port;
        pop3.User = box.user;
        pop3.Password = box.password;
        ASSERT_TRUE(pop3.Connect()) << "cannot reach the test POP3 server";
    }

    // One TestMail call on a fresh session; answers the engine's test-again answer.
    bool TestOnce(bool again)
    {
        Connect();
        engine.SummaryRow = &summaryRow;
        bool answer = engine.TestMail(0, pop3.MessageCount(), again);
        pop3.Disconnect();
        return answer;
    }

    // A check of the mailbox as the check cycle does it; answers the number of calls made.
    int Check()
    {
        int calls = 1;
        bool again = TestOnce(false);
        while (again && calls < 5) {
            again = TestOnce(true);
            ++calls;
        }
        return calls;
    }

    TStringList LastMail()
    {
        TStringList lines;
        lines.LoadFromFile(inbox + "/" + names::LastMailFile);
        return lines;
    }
    int SavedInInbox()
    {
        TStringList files;
        utils.ListFiles(inbox + "/*.eml", fileattr::AnyFile, files, true);
        return files.Count();
    }

    TSMTPFunc smtp;
    TListRow summaryRow;
    fixtures::Mailbox box;
};

TEST_F(CheckMailEngine, RejectedMessageIsDeletedAndLastMailListsTheRest)
{
    testenv::WriteFile(root + "/" + names::MasterRejectFile, "spam.example|\n");
    fixtures::AddMessages(box, {Message("Ann <ann@example.org>", "first"),
                                Message("Win <win@spam.example>", "prize"),
                                Message("Cy <cy@example.org>", "third")});
    EXPECT_TRUE(TestOnce(false));
    EXPECT_EQ(fixtures::MessageCount(box), 2);
    EXPECT_NE(Log().find("Rejecting Msg from: Win <win@spam.example>-prize"), std::string::npos);
    EXPECT_EQ(LastMail().Count(), 0);

    EXPECT_FALSE(TestOnce(true));
    // One line per message now on the server, oldest first, as GetSummary builds them.
    TStringList lines = LastMail();
    ASSERT_EQ(lines.Count(), 2);
    Connect();
    for (int n = 1; n <= 2; ++n) {
        ASSERT_TRUE(pop3.GetSummary(n));
        EXPECT_EQ(lines[n - 1], SummaryLine(pop3.Summary));
    }
    EXPECT_EQ(SplitText(lines[0], '|')[1], "first");
    EXPECT_TRUE(engine.NewMailFound);
    EXPECT_EQ(summaryRow.ImageIndex, siNewMail);
    EXPECT_EQ(engine.SoundQueue.Items(), std::vector<std::string>{"/s/bell.wav"});
}

TEST_F(CheckMailEngine, RepeatTestsOnlyTheMessagesAfterTheLastChange)
{
    // Every "ham" message is priority mail saved to the inbox.
    testenv::WriteFile(root + "/" + names::MasterPriorityFile, "|ham;||0|0|00120||100|\n");
    testenv::WriteFile(root + "/" + names::MasterRejectFile, "spam.example|\n");
    fixtures::AddMessages(box,
                          {Message("a@example.org", "note"), Message("b@example.org", "note")});
    EXPECT_EQ(Check(), 1);
    EXPECT_EQ(LastMail().Count(), 2);

    fixtures::AddMessages(box,
                          {Message("a@example.org", "old ham"), Message("w@spam.example", "buy"),
                           Message("c@example.org", "ham again")});
    EXPECT_TRUE(TestOnce(false));
    EXPECT_EQ(SavedInInbox(), 2);
    engine.PriorityFound = false;
    EXPECT_FALSE(TestOnce(true));
    // The repeat tested the new ham messages again but did not save them twice.
    EXPECT_TRUE(engine.PriorityFound);
    EXPECT_EQ(SavedInInbox(), 2);
    EXPECT_EQ(fixtures::MessageCount(box), 4);
    EXPECT_EQ(LastMail().Count(), 4);

    // Nothing new: the mailbox is unchanged and nothing is tested.
    engine.PriorityFound = false;
    EXPECT_EQ(Check(), 1);
    EXPECT_FALSE(engine.PriorityFound);
}

TEST_F(CheckMailEngine, PriorityMatchQueuesTheAlertAndMarksTheRow)
{
    testenv::WriteFile(inbox + "/" + names::PriorityFile, "boss@example.org|\n");
    fixtures::AddMessages(box, {Message("Boss <boss@example.org>", "see me")});
    EXPECT_EQ(Check(), 1);
    EXPECT_TRUE(engine.PriorityFound);
    EXPECT_EQ(summaryRow.ImageIndex, siPriorityMail);
    EXPECT_EQ(engine.SoundQueue.Items(), (std::vector<std::string>{"/s/bell.wav", "/s/chime.wav"}));
    EXPECT_EQ(fixtures::MessageCount(box), 1);
}

TEST_F(CheckMailEngine, ForwardRulesSendThroughTheSmtpServer)
{
    std::string full = fixtures::UniqueAddress("forward");
    std::string phone = fixtures::UniqueAddress("phone");
    testenv::WriteFile(root + "/" + names::MasterPriorityFile,
                       "boss@example.org|||0|0|10120|" + full + "|010|\n" +
                           "|call me;||0|0|11012|" + phone + "|000|\n");
    fixtures::AddMessages(box, {Message("boss@example.org", "Budget"),
                                Message("x@example.org", "please call me today")});
    EXPECT_EQ(Check(), 2);
    // The forwarded message was deleted from the server after it went out.
    EXPECT_EQ(fixtures::MessageCount(box), 1);

    auto forwarded = fixtures::WaitForMessagesTo(full, 1);
    ASSERT_EQ(forwarded.size(), 1u);
    EXPECT_NE(forwarded[0].raw.find("the figures are attached."), std::string::npos);
    EXPECT_NE(forwarded[0].raw.find("Budget"), std::string::npos);
    EXPECT_EQ(forwarded[0].mailFrom, box.user + "@" + box.host);

    auto texted = fixtures::WaitForMessagesTo(phone, 1);
    ASSERT_EQ(texted.size(), 1u);
    // Subject, a blank and the body, cut to the rule's 12 characters.
    std::string raw = texted[0].raw;
    EXPECT_EQ(raw.substr(raw.find("\r\n\r\n") + 4), "please call \r\n") << raw;
}

TEST_F(CheckMailEngine, FailedForwardIsTriedAgainWithoutAnotherCopy)
{
    std::string full = fixtures::UniqueAddress("forward");
    testenv::WriteFile(root + "/" + names::MasterPriorityFile,
                       "boss@example.org|||0|0|10120|" + full + "|100|\n");
    fixtures::AddMessages(box, {Message("boss@example.org", "Budget")});
    SetText(globals.Config.SmtpServer, "no server");
    Check();
    Check();
    EXPECT_EQ(SavedInInbox(), 1);
    EXPECT_EQ(LastMail().Count(), 0);

    SetText(globals.Config.SmtpServer, Format("127.0.0.1:%d", fixtures::Smtp().plainPort));
    Check();
    EXPECT_EQ(fixtures::WaitForMessagesTo(full, 1).size(), 1u);
    EXPECT_EQ(SavedInInbox(), 1);
    EXPECT_EQ(LastMail().Count(), 1);
}

TEST_F(CheckMailEngine, PhoneTextIsCutBetweenCharacters)
{
    std::string phone = fixtures::UniqueAddress("phone");
    testenv::WriteFile(root + "/" + names::MasterPriorityFile,
                       "greet@example.org|||0|0|11003|" + phone + "|000|\n");
    // The decoded subject is "Grüße": three bytes end inside the "ü".
    fixtures::AddMessages(box, {Message("greet@example.org", "=?utf-8?q?Gr=C3=BC=C3=9Fe?=")});
    Check();
    auto texted = fixtures::WaitForMessagesTo(phone, 1);
    ASSERT_EQ(texted.size(), 1u);
    std::string raw = texted[0].raw;
    EXPECT_EQ(raw.substr(raw.find("\r\n\r\n") + 4), "Gr\r\n") << raw;
}

TEST_F(CheckMailEngine, RejectionRuleAddedSinceTheLastCheckRetestsEveryMessage)
{
    fixtures::AddMessages(box,
                          {Message("old@spam.example", "one"), Message("a@example.org", "two")});
    EXPECT_EQ(Check(), 1);
    EXPECT_EQ(fixtures::MessageCount(box), 2);

    testenv::WriteFile(inbox + "/" + names::RejectFile, "old@spam.example|\n");
    EXPECT_EQ(Check(), 2);
    EXPECT_EQ(fixtures::MessageCount(box), 1);
    TStringList lines = LastMail();
    ASSERT_EQ(lines.Count(), 1);
    EXPECT_EQ(SplitText(lines[0], '|')[0], "a@example.org");
}

TEST_F(CheckMailEngine, AliasGateSkipsMessagesForOtherAddresses)
{
    mailboxes[0].SetCell(mcAliasActive, "1");
    testenv::WriteFile(inbox + "/" + names::AliasFile, "sales=1\nsupport=0\n");
    testenv::WriteFile(root + "/" + names::MasterRejectFile, "|offer;|\n");
    fixtures::AddMessages(box, {Message("a@x.org", "offer", "Sales <sales@corp.example>"),
                                Message("b@x.org", "offer", "support@corp.example"),
                                Message("c@x.org", "hello", "sales@corp.example")});
    EXPECT_EQ(Check(), 2);
    std::vector<std::string> left = fixtures::StoredMessages(box);
    ASSERT_EQ(left.size(), 2u);
    EXPECT_NE(left[0].find("support@corp.example"), std::string::npos);

    // Unchanged mailbox: the row counts the stored messages for the active aliases.
    EXPECT_EQ(Check(), 1);
    EXPECT_EQ(summaryRow.Cell(scMsgs), "1");
    EXPECT_EQ(summaryRow.Cell(scFrom), "c@x.org");
    EXPECT_EQ(summaryRow.Cell(scSubject), "hello");
}

TEST_F(CheckMailEngine, FailedSaveLeavesTheMessageOnTheServer)
{
    globals.Config.SaveRejected = 1;
    globals.RejectedPath = root + "/no such folder";
    testenv::WriteFile(root + "/" + names::MasterRejectFile, "spam.example|\n");
    // "keep" is saved to the inbox; "gone" is saved and deleted.
    testenv::WriteFile(root + "/" + names::MasterPriorityFile,
                       "|keep;||0|0|00120||100|\n|gone;||0|0|00120||110|\n");
    fixtures::AddMessages(box, {Message("a@example.org", "keep"), Message("w@spam.example", "junk"),
                                Message("b@example.org", "gone")});
    EXPECT_EQ(Check(), 2);
    std::vector<std::string> left = fixtures::StoredMessages(box);
    ASSERT_EQ(left.size(), 2u);
    EXPECT_NE(left[1].find("junk"), std::string::npos);
    EXPECT_NE(Log().find("Can't save file:" + root + "/no such folder/w@spam.example"),
              std::string::npos);
    EXPECT_EQ(SavedInInbox(), 2); // the repeat test did not save "keep" again

    // The rejected message is not recorded as seen, so the next check tries it again, and
    // only it.
    EXPECT_EQ(LastMail().Count(), 1);
    globals.RejectedPath = root + "/Rejected Mail";
    EXPECT_EQ(Check(), 2);
    EXPECT_EQ(fixtures::MessageCount(box), 1);
    EXPECT_EQ(SavedInInbox(), 2);
    TStringList saved;
    utils.ListFiles(globals.RejectedPath + "/*.eml", fileattr::AnyFile, saved, true);
    EXPECT_EQ(saved.Count(), 1);
}

// What a check of a mailbox left behind, for comparing two ways of fetching the summaries.
struct CheckOutcome
{
    std::vector<int> calls;
    std::vector<std::string> lastMail;
    std::vector<std::string> rejections; // in the order the log got them
    std::vector<std::string> savedFiles;
    int onServer = 0;
    bool priorityFound = false;
    std::vector<std::string> sounds;
};

TEST_F(CheckMailEngine, OneByOneFetchGivesTheSameResultsAsTheBatch)
{
    testenv::WriteFile(root + "/" + names::MasterPriorityFile, "|ham;||0|0|00120||100|\n");
    testenv::WriteFile(root + "/" + names::MasterRejectFile, "spam.example|\n");
    auto message = [](int number, const std::string &from, const std::string &subject) {
        fixtures::MessageFields fields;
        fields.from = from;
        fields.subject = subject;
        fields.messageId = Format("<same-%d@corvex.test>", number);
        return fixtures::BuildMessage(fields);
    };
    const std::vector<std::string> known = {message(1, "a@example.org", "note"),
                                            message(2, "b@example.org", "ham one")};
    const std::vector<std::string> arrived = {
        message(3, "w1@spam.example", "buy"), message(4, "c@example.org", "ham two"),
        message(5, "d@example.org", "plain"), message(6, "w2@spam.example", "offer")};

    auto run = [&](TSummaryFetch fetch, const fixtures::Mailbox &mailbox,
                   const std::string &folder) {
        mailboxes[0].Caption = mailbox.user;
        mailboxes[0].SetCell(mcMailServer, mailbox.host + ":" + std::to_string(mailbox.pop3Port));
        mailboxes[0].SetCell(mcInboxPath, folder);
        box = mailbox;
        inbox = folder;
        engine.SummaryFetch = fetch;
        engine.SummaryPauseMs = 20;
        engine.PriorityFound = false;
        engine.SoundQueue.Clear();
        size_t logStart = Log().size();

        CheckOutcome outcome;
        fixtures::AddMessages(mailbox, known);
        outcome.calls.push_back(Check());
        fixtures::AddMessages(mailbox, arrived);
        outcome.calls.push_back(Check());

        outcome.lastMail = LastMail().Items();
        for (const std::string &line : SplitText(Log().substr(logStart), '\n')) {
            size_t at = line.find("Rejecting Msg from:");
            if (at != std::string::npos)
                outcome.rejections.push_back(Trim(line.substr(at)));
        }
        TStringList files;
        utils.ListFiles(folder + "/*.eml", fileattr::AnyFile, files, false);
        files.Sort();
        outcome.savedFiles = files.Items();
        outcome.onServer = fixtures::MessageCount(mailbox);
        outcome.priorityFound = engine.PriorityFound;
        outcome.sounds = engine.SoundQueue.Items();
        return outcome;
    };

    CheckOutcome batch = run(TSummaryFetch::Batch, box, inbox);
    QElapsedTimer clock;
    clock.start();
    CheckOutcome oneByOne = run(TSummaryFetch::OneByOne, fixtures::CreateMailbox("onebyone"),
                                testenv::MakeScratchDir("inbox-onebyone"));
    // The first check fetches two summaries, the second six and, after the deletions, four;
    // a pause follows each.
    EXPECT_GE(clock.elapsed(), (2 + 6 + 4) * 20);

    EXPECT_EQ(batch.calls, (std::vector<int>{1, 2}));
    EXPECT_EQ(batch.lastMail.size(), 4u);
    EXPECT_EQ(batch.rejections,
              (std::vector<std::string>{"Rejecting Msg from: w2@spam.example-offer",
                                        "Rejecting Msg from: w1@spam.example-buy"}));
    EXPECT_EQ(batch.savedFiles.size(), 2u);
    EXPECT_EQ(batch.onServer, 4);
    EXPECT_EQ(oneByOne.calls, batch.calls);
    EXPECT_EQ(oneByOne.lastMail, batch.lastMail);
    EXPECT_EQ(oneByOne.rejections, batch.rejections);
    EXPECT_EQ(oneByOne.savedFiles, batch.savedFiles);
    EXPECT_EQ(oneByOne.onServer, batch.onServer);
    EXPECT_EQ(oneByOne.priorityFound, batch.priorityFound);
    EXPECT_EQ(oneByOne.sounds, batch.sounds);
}

} // namespace
