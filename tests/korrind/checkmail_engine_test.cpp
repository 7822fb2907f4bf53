// The filter engine against the real POP3 and SMTP test servers, driven the way the check
// cycle drives it: connect, TestMail, disconnect, and once more while it answers true.
#include "korrind/engine/checkmail.h"

#include <QElapsedTimer>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

#include "common/platform/files.h"
#include "common/smtpinterface.h"
#include "korrind/engine/uidcache.h"
#include "korrind/engine_environment.h"
#include "support/fakeserver.h"
#include "support/fixtures.h"

namespace {

int Occurrences(const std::string &text, const std::string &part)
{
    int count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

int LineCount(const std::string &text)
{
    int lines = 0;
    for (char c : text)
        lines += c == '\n';
    return lines;
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

    // One TestMail call on a fresh session; answers the engine's test-again answer. With
    // readNewest the newest summary is read first, as the check cycle does for the Summary row.
    bool TestOnce(bool again, bool readNewest = false)
    {
        Connect();
        if (readNewest)
            EXPECT_TRUE(pop3.GetSummary(pop3.MessageCount()));
        engine.SummaryRow = &summaryRow;
        bool answer = engine.TestMail(0, pop3.MessageCount(), again);
        pop3.Disconnect();
        return answer;
    }

    // A check of the mailbox as the check cycle does it; answers the number of calls made.
    int Check(bool readNewest = false)
    {
        int calls = 1;
        bool again = TestOnce(false, readNewest);
        while (again && calls < 5) {
            again = TestOnce(true, readNewest);
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

    // Points the engine at another mailbox and inbox folder, fetching the summaries as asked.
    void UseMailbox(const fixtures::Mailbox &mailbox, const std::string &folder,
                    TSummaryFetch fetch)
    {
        mailboxes[0].Caption = mailbox.user;
        mailboxes[0].SetCell(mcMailServer, mailbox.host + ":" + std::to_string(mailbox.pop3Port));
        mailboxes[0].SetCell(mcInboxPath, folder);
        box = mailbox;
        inbox = folder;
        engine.SummaryFetch = fetch;
        engine.PriorityFound = false;
        engine.SoundQueue.Clear();
    }

    // What the checks since the log had logStart bytes left behind.
    CheckOutcome Outcome(size_t logStart, int onServer)
    {
        CheckOutcome outcome;
        outcome.lastMail = LastMail().Items();
        for (const std::string &line : SplitText(Log().substr(logStart), '\n')) {
            size_t at = line.find("Rejecting Msg from:");
            if (at != std::string::npos)
                outcome.rejections.push_back(Trim(line.substr(at)));
        }
        TStringList files;
        utils.ListFiles(inbox + "/*.eml", fileattr::AnyFile, files, false);
        files.Sort();
        outcome.savedFiles = files.Items();
        outcome.onServer = onServer;
        outcome.priorityFound = engine.PriorityFound;
        outcome.sounds = engine.SoundQueue.Items();
        return outcome;
    }

    static void ExpectSameOutcome(const CheckOutcome &a, const CheckOutcome &b)
    {
        EXPECT_EQ(a.calls, b.calls);
        EXPECT_EQ(a.lastMail, b.lastMail);
        EXPECT_EQ(a.rejections, b.rejections);
        EXPECT_EQ(a.savedFiles, b.savedFiles);
        EXPECT_EQ(a.onServer, b.onServer);
        EXPECT_EQ(a.priorityFound, b.priorityFound);
        EXPECT_EQ(a.sounds, b.sounds);
    }

    // A message with a fixed message ID, so two mailboxes give the same summary lines.
    static std::string Numbered(int number, const std::string &from, const std::string &subject)
    {
        fixtures::MessageFields fields;
        fields.from = from;
        fields.subject = subject;
        fields.messageId = Format("<same-%d@corvex.test>", number);
        return fixtures::BuildMessage(fields);
    }

    std::string UidCachePath() const { return inbox + "/" + names::UidCacheFile; }

    // Points the engine at a mailbox on a fake server, fetching by unique ids.
    void UseFakeMailbox(const FakePop3Mailbox &server)
    {
        fixtures::Mailbox mailbox;
        mailbox.user = "fake";
        mailbox.password = FakePop3Mailbox::Password;
        mailbox.host = "127.0.0.1";
        mailbox.pop3Port = server.port();
        UseMailbox(mailbox, testenv::MakeScratchDir("inbox-fake"), TSummaryFetch::UniqueIds);
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

// An alias list that is there but cannot be read is no empty list: the check skips the alias
// test, says so once, and filters the mail as usual.
TEST_F(CheckMailEngine, UnreadableAliasListSkipsTheAliasTest)
{
    mailboxes[0].SetCell(mcAliasActive, "1");
    ASSERT_EQ(mkdir((inbox + "/" + names::AliasFile).c_str(), 0700), 0);
    testenv::WriteFile(root + "/" + names::MasterRejectFile, "|offer;|\n");
    fixtures::AddMessages(box, {Message("a@x.org", "offer", "sales@corp.example"),
                                Message("b@x.org", "hello", "support@corp.example")});
    EXPECT_EQ(Check(), 2);
    EXPECT_EQ(fixtures::MessageCount(box), 1);
    EXPECT_EQ(
        Occurrences(Log(), "Can't read alias list " + inbox + "/Alias.ini: alias test skipped"), 1);
}

TEST_F(CheckMailEngine, FailedSaveLeavesTheMessageOnTheServer)
{
    globals.Config.SaveRejected = 1;
    globals.RejectedPath = root + "/no such folder";
    testenv::WriteFile(globals.RejectedPath, "a file where the folder should be");
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

TEST_F(CheckMailEngine, OneByOneFetchGivesTheSameResultsAsTheBatch)
{
    testenv::WriteFile(root + "/" + names::MasterPriorityFile, "|ham;||0|0|00120||100|\n");
    testenv::WriteFile(root + "/" + names::MasterRejectFile, "spam.example|\n");
    const std::vector<std::string> known = {Numbered(1, "a@example.org", "note"),
                                            Numbered(2, "b@example.org", "ham one")};
    const std::vector<std::string> arrived = {
        Numbered(3, "w1@spam.example", "buy"), Numbered(4, "c@example.org", "ham two"),
        Numbered(5, "d@example.org", "plain"), Numbered(6, "w2@spam.example", "offer")};

    auto run = [&](TSummaryFetch fetch, const fixtures::Mailbox &mailbox,
                   const std::string &folder) {
        UseMailbox(mailbox, folder, fetch);
        engine.SummaryPauseMs = 20;
        size_t logStart = Log().size();
        std::vector<int> calls;
        fixtures::AddMessages(mailbox, known);
        calls.push_back(Check());
        fixtures::AddMessages(mailbox, arrived);
        calls.push_back(Check());
        CheckOutcome outcome = Outcome(logStart, fixtures::MessageCount(mailbox));
        outcome.calls = calls;
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
    ExpectSameOutcome(oneByOne, batch);
}

// Mail deleted by another client while new mail arrives, so the id cache names a message that
// is gone: the check by unique ids fetches only what it does not know and ends exactly as the
// full batch does, acting once on each message.
TEST_F(CheckMailEngine, UniqueIdChecksEndLikeTheFullBatchWhenMailComesAndGoes)
{
    testenv::WriteFile(root + "/" + names::MasterPriorityFile, "|ham;||0|0|00120||100|\n");
    testenv::WriteFile(root + "/" + names::MasterRejectFile, "spam.example|\n");
    const std::vector<std::string> first = {Numbered(1, "a@example.org", "note"),
                                            Numbered(2, "b@example.org", "ham one"),
                                            Numbered(3, "c@example.org", "plain")};
    const std::vector<std::string> second = {Numbered(4, "w@spam.example", "buy"),
                                             Numbered(5, "d@example.org", "ham two")};
    const std::string third = Numbered(6, "e@example.org", "later");

    int64_t lastCheckBytes = 0;
    auto run = [&](TSummaryFetch fetch, const fixtures::Mailbox &mailbox,
                   const std::string &folder) {
        UseMailbox(mailbox, folder, fetch);
        size_t logStart = Log().size();
        std::vector<int> calls;
        fixtures::AddMessages(mailbox, first);
        calls.push_back(Check());

        TPop3 other;
        other.Host = mailbox.host;
        other.Port = mailbox.pop3Port;
        other.User = mailbox.user;
        other.Password = mailbox.password;
        EXPECT_TRUE(other.Connect());
        EXPECT_TRUE(other.DeleteMessage(2));
        other.Disconnect();
        fixtures::AddMessages(mailbox, second);
        calls.push_back(Check());

        fixtures::AddMessage(mailbox, third);
        const int64_t before = pop3.Component()->BytesReceived();
        calls.push_back(Check());
        lastCheckBytes = pop3.Component()->BytesReceived() - before;
        CheckOutcome outcome = Outcome(logStart, fixtures::MessageCount(mailbox));
        outcome.calls = calls;
        return outcome;
    };

    CheckOutcome batch = run(TSummaryFetch::Batch, box, inbox);
    const int64_t batchBytes = lastCheckBytes;
    EXPECT_EQ(batch.calls, (std::vector<int>{1, 2, 1}));
    EXPECT_EQ(batch.lastMail.size(), 4u);
    EXPECT_EQ(batch.savedFiles.size(), 2u);
    EXPECT_EQ(batch.rejections, std::vector<std::string>{"Rejecting Msg from: w@spam.example-buy"});
    EXPECT_EQ(batch.onServer, 4);

    CheckOutcome byIds = run(TSummaryFetch::UniqueIds, fixtures::CreateMailbox("uidl"),
                             testenv::MakeScratchDir("inbox-uidl"));
    ExpectSameOutcome(byIds, batch);
    EXPECT_LT(lastCheckBytes, batchBytes);
    struct stat info;
    ASSERT_EQ(stat(UidCachePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(LineCount(testenv::ReadFile(UidCachePath())), 4 + 2); // the messages, head, end
}

// A mailbox that only grew is checked from the ends of its files: "LastMail.ini" and the id
// cache grow in place, and the checks end as the full batch does, a rejection and its repeat
// test included. A crash while adding to either file leaves what an undo record puts back:
// the next check finds the file as it was and tests the new message as the batch does.
TEST_F(CheckMailEngine, GrowingMailboxIsCheckedFromTheEndsOfItsFilesAndSurvivesACrash)
{
    testenv::WriteFile(root + "/" + names::MasterPriorityFile, "|ham;||0|0|00120||100|\n");
    testenv::WriteFile(root + "/" + names::MasterRejectFile, "spam.example|\n");
    const std::vector<std::string> first = {Numbered(1, "a@example.org", "note"),
                                            Numbered(2, "b@example.org", "ham one"),
                                            Numbered(3, "c@example.org", "plain")};
    const std::vector<std::string> second = {Numbered(4, "w@spam.example", "buy"),
                                             Numbered(5, "d@example.org", "ham two")};
    const std::string third = Numbered(6, "e@example.org", "later");
    const std::string fourth = Numbered(7, "f@example.org", "ham three");
    auto inode = [](const std::string &path) {
        struct stat info = {};
        return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
    };
    // What a crash while adding to the file leaves: the undo record of the end it replaced
    // and half of the new end.
    auto tornEnd = [](const std::string &path, size_t keep) {
        const std::string bytes = testenv::ReadFile(path);
        ASSERT_LE(keep, bytes.size());
        uint64_t sum = 14695981039346656037ULL; // FNV-1a of the end replaced
        for (char c : bytes.substr(keep))
            sum = (sum ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
        testenv::WriteFile(
            path + platform::UndoSuffix,
            Format("%zu %zu %016llx\n", keep, bytes.size(), static_cast<unsigned long long>(sum)) +
                bytes.substr(keep));
        testenv::WriteFile(path, bytes.substr(0, keep) + "7.torn\tf@example.org\tf@exa");
    };
    const std::string lastMailFile = names::LastMailFile;
    auto run = [&](TSummaryFetch fetch, const std::string &crash) {
        UseMailbox(fixtures::CreateMailbox("grow"), testenv::MakeScratchDir("inbox-grow"), fetch);
        const std::string lastMail = inbox + "/" + lastMailFile;
        size_t logStart = Log().size();
        std::vector<int> calls;
        fixtures::AddMessages(box, first);
        calls.push_back(Check());
        fixtures::AddMessages(box, second);
        calls.push_back(Check());
        fixtures::AddMessage(box, third);
        const auto lastMailInode = inode(lastMail), cacheInode = inode(UidCachePath());
        calls.push_back(Check());
        if (fetch == TSummaryFetch::UniqueIds) {
            EXPECT_EQ(inode(lastMail), lastMailInode) << "\"LastMail.ini\" grew in place";
            EXPECT_EQ(inode(UidCachePath()), cacheInode) << "the id cache grew in place";
        }
        if (crash == "LastMail.ini") {
            tornEnd(lastMail, testenv::ReadFile(lastMail).size());
        } else if (crash == "id cache") {
            const std::string cache = testenv::ReadFile(UidCachePath());
            tornEnd(UidCachePath(), cache.rfind('\n', cache.size() - 2) + 1);
        }
        fixtures::AddMessage(box, fourth);
        calls.push_back(Check());
        EXPECT_EQ(testenv::ReadFile(lastMail + platform::UndoSuffix), "");
        EXPECT_EQ(testenv::ReadFile(UidCachePath() + platform::UndoSuffix), "");
        CheckOutcome outcome = Outcome(logStart, fixtures::MessageCount(box));
        outcome.calls = calls;
        return outcome;
    };

    CheckOutcome batch = run(TSummaryFetch::Batch, "");
    EXPECT_EQ(batch.calls, (std::vector<int>{1, 2, 1, 1}));
    EXPECT_EQ(batch.lastMail.size(), 6u);
    EXPECT_EQ(batch.savedFiles.size(), 3u);
    EXPECT_EQ(batch.rejections, std::vector<std::string>{"Rejecting Msg from: w@spam.example-buy"});
    for (const char *crash : {"", "LastMail.ini", "id cache"}) {
        SCOPED_TRACE(crash);
        CheckOutcome byIds = run(TSummaryFetch::UniqueIds, crash);
        ExpectSameOutcome(byIds, batch);
        TUidCache cache;
        ASSERT_TRUE(cache.Load(UidCachePath()));
        EXPECT_EQ(cache.Size(), 6u);
        EXPECT_EQ(LineCount(testenv::ReadFile(UidCachePath())), 6 + 2);
    }
}

// A server that refuses its ids, and caches that are cut short, garbage, or hold a summary
// whose size is not the server's: each check falls back to the full batch and ends as it
// does, acting once on each message.
TEST_F(CheckMailEngine, UniqueIdFaultsFallBackToTheFullBatch)
{
    using Fault = FakePop3Mailbox::Fault;
    testenv::WriteFile(root + "/" + names::MasterPriorityFile, "|ham;||0|0|00120||100|\n");
    testenv::WriteFile(root + "/" + names::MasterRejectFile, "spam.example|\n");
    const std::vector<std::string> known = {Numbered(1, "a@example.org", "note"),
                                            Numbered(2, "b@example.org", "ham one")};
    const std::vector<std::string> arrived = {Numbered(3, "w@spam.example", "buy"),
                                              Numbered(4, "c@example.org", "ham two"),
                                              Numbered(5, "d@example.org", "plain")};
    std::vector<std::string> removed;
    auto run = [&](TSummaryFetch fetch, const std::function<void(FakePop3Mailbox &)> &spoil) {
        FakePop3Mailbox server;
        UseFakeMailbox(server);
        engine.SummaryFetch = fetch;
        size_t logStart = Log().size();
        std::vector<int> calls;
        for (const std::string &message : known)
            server.Add(message);
        calls.push_back(Check());
        spoil(server);
        for (const std::string &message : arrived)
            server.Add(message);
        calls.push_back(Check());
        removed = server.removed();
        CheckOutcome outcome = Outcome(logStart, static_cast<int>(server.messages().size()));
        outcome.calls = calls;
        return outcome;
    };

    CheckOutcome batch = run(TSummaryFetch::Batch, [](FakePop3Mailbox &) {});
    const std::vector<std::string> batchRemoved = removed;
    EXPECT_EQ(batch.calls, (std::vector<int>{1, 2}));
    EXPECT_EQ(batch.savedFiles.size(), 2u);
    ASSERT_EQ(batchRemoved.size(), 1u);

    const std::map<std::string, std::function<void(FakePop3Mailbox &)>> spoilers = {
        {"ids refused", [](FakePop3Mailbox &server) { server.Arm(Fault::Refused, "UIDL"); }},
        {"cut short",
         [this](FakePop3Mailbox &) {
             std::string text = testenv::ReadFile(UidCachePath());
             testenv::WriteFile(UidCachePath(), text.substr(0, text.size() / 2));
         }},
        {"garbage",
         [this](FakePop3Mailbox &) {
             testenv::WriteFile(UidCachePath(), std::string("\x01\xff\tgarbage\t|\nend\n"));
         }},
        {"wrong size",
         [this](FakePop3Mailbox &) {
             // A well-formed cache whose lines belong to other messages.
             std::vector<std::string> ids, tos, lines;
             for (const std::string &line : SplitText(testenv::ReadFile(UidCachePath()), '\n')) {
                 std::vector<std::string> parts = SplitText(line, '\t');
                 if (parts.size() != 3)
                     continue;
                 std::vector<std::string> fields = SplitText(parts[2], '|');
                 fields[5] = "1";
                 ids.push_back(parts[0]);
                 tos.push_back(parts[1]);
                 lines.push_back(JoinText(fields, "|"));
             }
             ASSERT_EQ(ids.size(), 2u);
             ASSERT_TRUE(TUidCache::Save(UidCachePath(), ids, tos, lines));
         }},
    };
    for (const auto &[name, spoil] : spoilers) {
        SCOPED_TRACE(name);
        CheckOutcome byIds = run(TSummaryFetch::UniqueIds, spoil);
        ExpectSameOutcome(byIds, batch);
        EXPECT_EQ(removed, batchRemoved);
        // A cache is kept only where the server gives ids, and then it lists what is there.
        if (name == "ids refused")
            EXPECT_FALSE(TUtils::FileExists(UidCachePath()));
        else
            EXPECT_EQ(LineCount(testenv::ReadFile(UidCachePath())), 4 + 2);
    }
}

// What the server shows outranks the id cache. A server may reorder its messages between
// sessions: a rejection acts on the spam, not on the message of the same size now in its
// place. A server that gives a new message an old message's id has the new message tested.
TEST_F(CheckMailEngine, ServerOutranksTheUniqueIdCache)
{
    FakePop3Mailbox server;
    UseFakeMailbox(server);
    const std::string ham = Numbered(1, "Ham <ham1@example.org>", "notes");
    const std::string spam = Numbered(2, "Win <win@spam.example>", "prize");
    const std::string third = Numbered(3, "cy@example.org", "third");
    const std::string boss = Numbered(3, "bo@example.org", "third");
    ASSERT_EQ(ham.size(), spam.size());
    ASSERT_EQ(third.size(), boss.size());
    for (const std::string &message : {ham, spam, third})
        server.Add(message);
    EXPECT_EQ(Check(), 1);

    // The rejection rule is new, so every message is tested again.
    server.Swap(1, 2);
    testenv::WriteFile(root + "/" + names::MasterRejectFile, "spam.example|\n");
    EXPECT_EQ(Check(), 2);
    EXPECT_EQ(server.removed(), std::vector<std::string>{spam});
    EXPECT_EQ(server.messages(), (std::vector<std::string>{ham, third}));

    server.Replace(2, boss);
    testenv::WriteFile(root + "/" + names::MasterPriorityFile, "bo@example.org|\n");
    EXPECT_EQ(Check(), 1);
    EXPECT_TRUE(engine.PriorityFound);
    EXPECT_EQ(SplitText(LastMail().Items().back(), '|')[0], "bo@example.org");
    EXPECT_EQ(testenv::ReadFile(UidCachePath()).find("cy@example.org"), std::string::npos);
}

// A rule acts only on the message its summary line describes, even when the server's ids
// cannot tell two messages of one size apart: ids that follow positions while two messages
// swap, or ids that move on to another message at every login. Whatever the engine retrieves
// or is about to delete is first compared with the line; a message that is not the line's is
// left alone and the mailbox listed afresh, so the spam goes, with its copy, and the ham stays.
TEST_F(CheckMailEngine, RulesActOnlyOnTheMessageTheirLineDescribes)
{
    using Ids = FakePop3Mailbox::Ids;
    globals.Config.SaveRejected = 1;
    const std::vector<std::string> messages = {
        Numbered(1, "one@friends.test", "hello"), Numbered(2, "win@spammer.test", "prize"),
        Numbered(3, "ann@friends.test", "lunch"), Numbered(4, "bot@spammer.next", "offer")};
    for (const std::string &message : messages)
        ASSERT_EQ(message.size(), messages[0].size());
    struct Case
    {
        Ids ids;
        const char *rule;
        size_t spam; // the message the rule rejects
        bool readNewest;
    };
    for (const Case &each : {Case{Ids::Positional, "spammer.test|\n", 1, false},
                             Case{Ids::Rotating, "spammer.next|\n", 3, true}}) {
        SCOPED_TRACE(int(each.ids));
        FakePop3Mailbox server;
        server.IdScheme = each.ids;
        UseFakeMailbox(server);
        testenv::WriteFile(root + "/" + names::MasterRejectFile, "");
        for (const std::string &message : messages)
            server.Add(message);
        Check(each.readNewest);
        // Messages 2 and 3 change places; the rejection rule is new, so every one is tested.
        server.Swap(2, 3);
        testenv::WriteFile(root + "/" + names::MasterRejectFile, each.rule);
        Check(each.readNewest);

        EXPECT_EQ(server.removed(), std::vector<std::string>{messages[each.spam]});
        TStringList copies;
        utils.ListFiles(globals.RejectedPath + "/*.eml", fileattr::AnyFile, copies, true);
        ASSERT_EQ(copies.Count(), 1);
        EXPECT_EQ(testenv::ReadFile(globals.RejectedPath + "/" + copies[0]), messages[each.spam]);
        EXPECT_EQ(LastMail().Count(), 3);
        std::remove((globals.RejectedPath + "/" + copies[0]).c_str());
    }
}

} // namespace
