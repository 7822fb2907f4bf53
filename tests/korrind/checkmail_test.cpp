// The filter engine without a server: summary lines, saved-message names and files, list
// loading and the list tests with their alerts and actions.
#include "korrind/engine/checkmail.h"

#include <QTimer>
#include <gtest/gtest.h>
#include <unistd.h>

#include "korrind/engine_environment.h"

namespace {

class CheckMailTest : public ::testing::Test, protected TEngineEnvironment
{
protected:
    void SetUp() override
    {
        Install("joe", "pop.example.org:1110");
        pop3.Tries = 1;
        engine.Mailbox = &mailboxes[0];
        engine.InboxPath = inbox;
        engine.PriorityAlertName = "CHIME";
    }
    void TearDown() override { Uninstall(); }
    void SetRules(const char *file, const std::string &lines)
    {
        testenv::WriteFile(root + "/" + file, lines);
    }
    // Puts a message into the session as if it had just been retrieved.
    void Retrieved(const std::string &from, const std::string &date)
    {
        pop3.Summary.From = from;
        pop3.Summary.Date = date;
        pop3.RawLines = TStringList{"From: " + from, "Subject: hi", "", "body"};
    }
};

TEST(SummaryLineTest, SevenTrimmedFieldsThatStayApart)
{
    TMailSummary summary;
    summary.From = " a@b.c ";
    summary.Subject = "x | y\r\nz";
    summary.MessageId = "<id@b>";
    summary.To = "me@b.c";
    summary.Date = "09.04.2003 18.28.28+0200";
    summary.Size = 1234;
    summary.Received = "from x";
    std::string line = SummaryLine(summary);
    EXPECT_EQ(line, "a@b.c|x   y  z|<id@b>|me@b.c|09.04.2003 18.28.28+0200|1234|from x");
    EXPECT_EQ(SplitText(line, '|').size(), 7u);
}

TEST(SavedMessageNames, BaseNameStaysInsideItsFolder)
{
    EXPECT_EQ(SavedMessageBaseName("Joe Bloggs <joe@x.org>", "09.04.2003 18.28.28+0200"),
              "joe@x.org09.04.2003 18.28.28+0200");
    EXPECT_EQ(SavedMessageBaseName("../../etc/passwd", "d"), "_._.._etc_passwdd");
    EXPECT_EQ(SavedMessageBaseName("<..>", ""), "_.");
    EXPECT_EQ(SavedMessageBaseName("a\\b\tc", ""), "a_b_c");
    EXPECT_LE(SavedMessageBaseName(std::string(500, 'x'), "").size(), 200u);
}

TEST(SavedMessageNames, CounterGoesOnPast999)
{
    std::string folder = testenv::MakeScratchDir("eml");
    EXPECT_EQ(FreeMessageFileName(folder, "a"), folder + "/a_000.eml");
    testenv::WriteFile(folder + "/a_000.eml", "x");
    EXPECT_EQ(FreeMessageFileName(folder, "a"), folder + "/a_001.eml");
    for (int i = 1; i <= 999; ++i)
        testenv::WriteFile(folder + "/" + Format("a_%.3d.eml", i), "x");
    EXPECT_EQ(FreeMessageFileName(folder, "a"), folder + "/a_1000.eml");
    // Wildcard characters in the name are plain characters.
    EXPECT_EQ(FreeMessageFileName(folder, "*"), folder + "/*_000.eml");
}

// A folder that cannot be searched gives no name at once instead of counting for ever.
TEST(SavedMessageNames, FolderThatCannotBeSearchedGivesNoName)
{
    std::string root = testenv::MakeScratchDir("eml-errors");
    std::string loop = root + "/loop";
    ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
    std::string file = root + "/file";
    testenv::WriteFile(file, "x");
    EXPECT_EQ(FreeMessageFileName(loop, "a"), "");                   // a link loop
    EXPECT_EQ(FreeMessageFileName(file, "a"), "");                   // a file, not a folder
    EXPECT_EQ(FreeMessageFileName(root, std::string(300, 'n')), ""); // a name too long
    EXPECT_EQ(FreeMessageFileName(root, "a"), root + "/a_000.eml");
}

TEST_F(CheckMailTest, SavesEveryTargetAndReportsAFailedOne)
{
    Retrieved("Joe <joe@x.org>", "01.02.2003 10.00.00+0000");
    ASSERT_TRUE(engine.SaveRetrievedMessage(stRejected | stTempFile | stInbox, ""));
    std::string expected = "From: Joe <joe@x.org>\r\nSubject: hi\r\n\r\nbody\r\n";
    std::string name = "/joe@x.org01.02.2003 10.00.00+0000_000.eml";
    EXPECT_EQ(testenv::ReadFile(inbox + name), expected);
    EXPECT_EQ(testenv::ReadFile(globals.RejectedPath + name), expected);
    EXPECT_EQ(testenv::ReadFile(root + "/Temp/temp.eml"), expected);
    // A second copy takes the next counter; the scratch file is overwritten.
    ASSERT_TRUE(engine.SaveRetrievedMessage(stTempFile | stInbox, ""));
    EXPECT_TRUE(TUtils::FileExists(inbox + "/joe@x.org01.02.2003 10.00.00+0000_001.eml"));

    // A missing alternate folder fails the save; the other targets are still written.
    EXPECT_FALSE(engine.SaveRetrievedMessage(stInbox | stAltFolder, root + "/missing"));
    EXPECT_TRUE(TUtils::FileExists(inbox + "/joe@x.org01.02.2003 10.00.00+0000_002.eml"));
    EXPECT_NE(Log().find("Can't save file:" + root + "/missing/joe@x.org"), std::string::npos);
}

TEST_F(CheckMailTest, LoadRulesPutsMasterRulesFirstAndCreatesMissingLists)
{
    SetRules(names::MasterRejectFile, "spam.com|\n\nbad|\n");
    testenv::WriteFile(inbox + "/" + names::RejectFile, "BAD|\nmine|\n");
    engine.LoadRules(tkReject);
    EXPECT_EQ(engine.RejectRules.Items(), (std::vector<std::string>{"spam.com|", "bad|", "mine|"}));

    engine.LoadRules(tkPriority);
    EXPECT_TRUE(engine.PriorityRules.Empty());
    EXPECT_TRUE(TUtils::FileExists(root + "/" + names::MasterPriorityFile));
    EXPECT_TRUE(TUtils::FileExists(inbox + "/" + names::PriorityFile));
    EXPECT_NE(Log().find("List file does not exist:" + root + "/mPriorityMail.ini"),
              std::string::npos);
}

TEST_F(CheckMailTest, PriorityMatchQueuesTheAlertOnce)
{
    SetRules(names::MasterPriorityFile, "boss@x.org||BELL|0|0|00120||000|\n"
                                        "|urgent;||0|0|00120||000||BELL\n");
    engine.LoadRules(tkPriority);
    EXPECT_TRUE(engine.TestLine("boss@x.org|hello|id|to|d|1|r", 0, tkPriority));
    EXPECT_TRUE(engine.PriorityFound);
    EXPECT_EQ(engine.CurrentFrom, "boss@x.org");
    EXPECT_EQ(engine.CurrentSubject, "hello");
    // The rule line ends after its ninth field: the mailbox's priority alert is used.
    EXPECT_EQ(engine.SoundQueue.Items(), std::vector<std::string>{"/s/chime.wav"});
    EXPECT_TRUE(engine.TestLine("boss@x.org|again|id|to|d|1|r", 1, tkPriority));
    EXPECT_EQ(engine.SoundQueue.Count(), 1);
    // Text after the ninth field names the alert.
    EXPECT_TRUE(engine.TestLine("x@y|urgent call|id|to|d|1|r", 2, tkPriority));
    EXPECT_EQ(engine.SoundQueue.Items(), (std::vector<std::string>{"/s/chime.wav", "/s/bell.wav"}));
    EXPECT_FALSE(engine.TestLine("x@y|nothing|id|to|d|1|r", 3, tkPriority));
    EXPECT_EQ(engine.TestCount, 4);
    // Kinds without a list and unknown kinds answer false without counting.
    EXPECT_FALSE(engine.TestLine("boss@x.org|", 0, tkReject));
    EXPECT_FALSE(engine.TestLine("boss@x.org|", 0, 3));
    EXPECT_EQ(engine.TestCount, 4);
    EXPECT_TRUE(engine.TestLine("boss@x.org|", 0, tkPriorityMember));
}

TEST_F(CheckMailTest, RejectionLogsAndKeepsMailItCouldNotSave)
{
    SetRules(names::MasterRejectFile, "spam.com|||0|0|00120||000|\n");
    engine.LoadRules(tkReject);
    EXPECT_TRUE(engine.TestLine("win@spam.com|Prize|id|to|d|1|r", 4, tkRejectMember));
    EXPECT_FALSE(engine.Deleted);

    // Saving rejected mail is on but the message cannot be retrieved (no connection): it is
    // neither deleted nor reported as rejected.
    globals.Config.SaveRejected = 1;
    EXPECT_FALSE(engine.TestLine("win@spam.com|Prize|id|to|d|1|r", 4, tkReject));
    EXPECT_FALSE(engine.Deleted);
    EXPECT_NE(Log().find("Rejecting Msg from: win@spam.com-Prize"), std::string::npos);

    // Without a copy to keep, the message is to be deleted; with no connection the DELE
    // cannot be sent, and a deletion that did not happen is not reported as done.
    globals.Config.SaveRejected = 0;
    EXPECT_FALSE(engine.TestLine("win@spam.com|Prize|id|to|d|1|r", 4, tkReject));
    EXPECT_FALSE(engine.Deleted);
}

TEST_F(CheckMailTest, ListRebuiltDuringTheTestLeavesTheMailboxUnderTestAlone)
{
    SetRules(names::MasterRejectFile, "spam.com|||0|0|00120||000|\n");
    testenv::WriteFile(inbox + "/" + names::LastMailFile,
                       "a@x.org|one|id1|joe@x.org|d|1|r\nb@x.org|two|id2|joe@x.org|d|1|r\n");
    // A command run while the test processes events replaces the rows: another mailbox with
    // alias testing on and no alias list now stands where the mailbox under test was.
    std::string otherInbox = testenv::MakeScratchDir("other");
    QTimer::singleShot(0, [&] {
        TListRow other = mailboxes[0];
        other.Caption = "ann";
        other.SetCell(mcInboxPath, otherInbox);
        other.SetCell(mcAliasActive, "1");
        mailboxes.clear();
        mailboxes.push_back(other);
    });
    EXPECT_FALSE(engine.TestMail(0, 2, false));
    EXPECT_EQ(Log().find("Can't load alias list"), std::string::npos) << Log();
    EXPECT_EQ(engine.Mailbox->Caption, "joe");
}

TEST_F(CheckMailTest, NothingToTest)
{
    EXPECT_FALSE(engine.TestMail(0, 0, false));
    EXPECT_FALSE(engine.TestMail(5, 3, false)); // no such row
    // Neither priority testing nor new-mail notification: the mailbox is left alone.
    mailboxes[0].SetCell(mcPriorityActive, "0");
    globals.Config.MasterPriorityGlobal = 0;
    globals.Config.NewMailNotification = 0;
    EXPECT_FALSE(engine.TestMail(0, 3, false));
    EXPECT_FALSE(TUtils::FileExists(inbox + "/" + names::LastMailFile));
}

} // namespace
