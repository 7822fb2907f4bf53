// IMAP mailboxes end to end through the real main window against the fixture dovecot: a pass
// that filters over STARTTLS (rejected mail to Junk with its copy kept, priority mail saved and
// forwarded, nothing marked read) and stays right when another client expunges a message and
// the folder's UIDVALIDITY changes; the fallbacks of servers without MOVE or without junk and
// trash folders; the server mail list over implicit TLS; a token sign-in.
#include <QDir>
#include <QTableView>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

#include "common/globals.h"
#include "common/names.h"
#include "common/records.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/engine/imapsession.h"
#include "korrind/maillist.h"
#include "korrind/maillistfrm.h"
#include "korrind/monitoronservers.h"
#include "korrind/popviewfrm.h"
#include "support/fixtures.h"
#include "support/modalsteps.h"
#include "support/testenv.h"

namespace {

class ImapMailbox : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_FIXTURES();
        fixtures::TrustTestCa();
        Frm = std::make_unique<TCorvexFrm>();
        rules = SetUpMonitorOnServers(*Frm);
        // These tests count the check's own sessions; a push watch would add its own.
        Frm->Monitor->SetPushEnabled(false);
        TConfigRecord &config = Globals->Config;
        config.MasterRejectActive = 1;
        config.MasterPriorityActive = 1;
        SetText(config.SmtpServer, "127.0.0.1:" + std::to_string(fixtures::Smtp().plainPort));
        testenv::WriteFile(rules + "/" + names::MasterRejectFile, "spam.example|\n");
    }
    void TearDown() override { Frm.reset(); }

    int AddMailbox(const fixtures::Mailbox &box, const std::string &server)
    {
        return AddMonitoredMailbox(*Frm, box, server, inbox);
    }

    std::unique_ptr<TCorvexFrm> Frm;
    std::string rules;
    std::string inbox = testenv::MakeScratchDir("inbox");
};

} // namespace

TEST_F(ImapMailbox, PassFiltersMovesRejectedMailToJunkAndNeverActsOnAStaleMessage)
{
    const std::string forwardTo = fixtures::UniqueAddress("forward");
    // Forwarded and saved in the inbox folder, left on the server.
    testenv::WriteFile(rules + "/" + names::MasterPriorityFile,
                       "boss@example.org|||0|0|10120|" + forwardTo + "|100|\n");
    fixtures::Mailbox box = fixtures::CreateMailbox("imapcheck");
    fixtures::AddMessages(box, {fixtures::MessageFrom("a@example.org", "hello"),
                                fixtures::MessageFrom("x@spam.example", "cheap offer"),
                                fixtures::MessageFrom("boss@example.org", "Budget")});
    AddMailbox(box, fixtures::ImapAddress("imap://", box, box.imapPort));

    Frm->Monitor->CheckMail(-1);

    EXPECT_EQ(fixtures::CountContaining(fixtures::StoredMessagesIn(box, "Junk"), "cheap offer"), 1)
        << testenv::ReadFile(Utils->LogFileName);
    EXPECT_EQ(fixtures::StoredMessagesIn(box, "INBOX").size(), 2u);
    EXPECT_FALSE(fixtures::AnySeen(box)) << "reading must never mark a message read";
    EXPECT_EQ(fixtures::EmlFilesIn(Globals->RejectedPath), 1) << "the rejected message's copy";
    EXPECT_EQ(fixtures::EmlFilesIn(inbox), 1) << "the priority message saved";
    const auto forwarded = fixtures::WaitForMessagesTo(forwardTo, 1);
    ASSERT_EQ(forwarded.size(), 1u);
    EXPECT_EQ(forwarded[0].mailFrom, box.user + "@" + box.host) << "no scheme or folder in it";
    EXPECT_EQ(Frm->Monitor->Store.Summary[0].ImageIndex, siPriorityMail);
    const int logins = fixtures::ImapLogins(box);

    // Another client expunges "hello", the server renumbers the folder under a new UIDVALIDITY,
    // and new junk arrives: the next pass moves only the new junk and forwards nothing again.
    fixtures::RemoveMessageBehindBack(box, 0);
    fixtures::ChangeUidValidity(box);
    fixtures::AddMessage(box, fixtures::MessageFrom("y@spam.example", "second offer"));
    Frm->Monitor->CheckMail(-1);

    const std::vector<std::string> junk = fixtures::StoredMessagesIn(box, "Junk");
    EXPECT_EQ(junk.size(), 2u);
    EXPECT_EQ(fixtures::CountContaining(junk, "second offer"), 1);
    const std::vector<std::string> left = fixtures::StoredMessagesIn(box, "INBOX");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].find("Budget"), std::string::npos);
    EXPECT_FALSE(fixtures::AnySeen(box));
    EXPECT_EQ(fixtures::ReceivedMessagesTo(forwardTo).size(), 1u);
    EXPECT_EQ(fixtures::EmlFilesIn(inbox), 1);
    EXPECT_GT(fixtures::ImapLogins(box), logins);
}

// Over IMAP a rejected message leaves at once, so the repeat test after it lists the mailbox
// from the session that moved it: one login for the whole pass, and a Summary row and
// "LastMail.ini" that a pass in a new session finds right as they are.
TEST_F(ImapMailbox, RepeatTestAfterARemovalNeedsNoSecondLogin)
{
    fixtures::Mailbox box = fixtures::CreateMailbox("imaprepeat");
    fixtures::AddMessages(box, {fixtures::MessageFrom("a@example.org", "hello"),
                                fixtures::MessageFrom("b@example.org", "notes"),
                                fixtures::MessageFrom("x@spam.example", "cheap offer")});
    AddMailbox(box, fixtures::ImapAddress("imap://", box, box.imapPort));

    Frm->Monitor->CheckMail(-1);

    EXPECT_EQ(fixtures::CountContaining(fixtures::StoredMessagesIn(box, "Junk"), "cheap offer"), 1);
    ASSERT_TRUE(fixtures::WaitUntil([&] { return fixtures::ImapLogouts(box) >= 1; }));
    EXPECT_EQ(fixtures::ImapLogins(box), 1) << testenv::ReadFile(Utils->LogFileName);
    const std::string lastMailPath = inbox + "/" + names::LastMailFile;
    const std::string lastMail = testenv::ReadFile(lastMailPath);
    TStringList lines;
    lines.SetText(lastMail);
    ASSERT_EQ(lines.Count(), 2);
    EXPECT_EQ(SplitText(lines[1], '|')[1], "notes");
    const TListRow row = Frm->Monitor->Store.Summary[0];
    EXPECT_EQ(row.Cell(scMsgs), "2");
    EXPECT_EQ(row.Cell(scSubject), "notes");

    Frm->Monitor->CheckMail(-1);

    ASSERT_TRUE(fixtures::WaitUntil([&] { return fixtures::ImapLogouts(box) >= 2; }));
    EXPECT_EQ(fixtures::ImapLogins(box), 2);
    EXPECT_EQ(testenv::ReadFile(lastMailPath), lastMail);
    EXPECT_EQ(Frm->Monitor->Store.Summary[0].Cells, row.Cells);
}

// Without MOVE the message is copied to Junk and marked deleted; without junk and trash
// folders it is deleted outright. Either way it is handled once.
TEST_F(ImapMailbox, ServersWithoutMoveOrWithoutJunkFolderStillRemoveRejectedMailOnce)
{
    fixtures::Mailbox noMove = fixtures::CreateMailbox("imapnomove");
    fixtures::Mailbox bare = fixtures::CreateMailbox("imapbare");
    for (const fixtures::Mailbox &box : {noMove, bare})
        fixtures::AddMessages(box, {fixtures::MessageFrom("a@example.org", "keep me"),
                                    fixtures::MessageFrom("x@spam.example", "cheap offer")});
    AddMailbox(noMove, fixtures::ImapAddress("imap+tls://", noMove, noMove.imapNoMovePort));
    AddMailbox(bare, fixtures::ImapAddress("imap://", bare, bare.imapBarePort));

    Frm->Monitor->CheckMail(-1);
    Frm->Monitor->CheckMail(-1);

    EXPECT_EQ(fixtures::CountContaining(fixtures::StoredMessagesIn(noMove, "Junk"), "cheap offer"),
              1);
    std::vector<std::string> flags = fixtures::InboxFlags(noMove);
    ASSERT_EQ(flags.size(), 2u);
    EXPECT_EQ(flags[0], "");
    EXPECT_NE(flags[1].find('T'), std::string::npos) << "marked deleted, not expunged blindly";

    const std::vector<std::string> left = fixtures::StoredMessagesIn(bare, "INBOX");
    ASSERT_EQ(left.size(), 1u);
    EXPECT_NE(left[0].find("keep me"), std::string::npos);
    EXPECT_FALSE(fixtures::AnySeen(bare));
    EXPECT_EQ(fixtures::EmlFilesIn(Globals->RejectedPath), 2) << "one copy each, not one per pass";
}

TEST_F(ImapMailbox, MailListShowsTwoThousandMessagesAndDeletesOneToTrash)
{
    fixtures::Mailbox box = fixtures::CreateMailbox("imaplist");
    fixtures::AddMessages(box, fixtures::BulkMessages(2000));
    const int row = AddMailbox(box, fixtures::ImapAddress("imaps://", box, box.imapsPort));

    bool filled = false;
    QTimer::singleShot(0, [&] {
        ASSERT_NE(Frm->MailListFrm, nullptr);
        TMailListFrm &window = *Frm->MailListFrm;
        modalsteps::DrivenByTest(&window);
        window.Confirm = [](const std::string &) { return true; };
        window.OnFilled = [&] {
            filled = true;
            TMailList &list = window.List;
            EXPECT_EQ(list.Rows.size(), 2000u);
            EXPECT_EQ(list.Rows.back().Subject, "Bulk message 0001 of 2000");
            window.lvMailList->clearSelection();
            for (size_t i = 0; i < list.Rows.size(); ++i)
                if (list.Rows[i].Number == 1000)
                    window.lvMailList->selectRow(int(i));
            window.DeleteSelected();
            EXPECT_EQ(list.Rows.size(), 1999u);
            window.accept();
        };
    });
    Frm->OpenServerMailList(row);
    EXPECT_TRUE(filled);

    const std::vector<std::string> trash = fixtures::StoredMessagesIn(box, "Trash");
    ASSERT_EQ(trash.size(), 1u);
    EXPECT_NE(trash[0].find("Bulk message 1000 of 2000"), std::string::npos);
    EXPECT_EQ(fixtures::StoredMessagesIn(box, "INBOX").size(), 1999u);
    EXPECT_FALSE(fixtures::AnySeen(box));
}

TEST(ImapSession, SignsInWithAnAccessTokenOverTls)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    fixtures::Mailbox box = fixtures::CreateMailbox("imaptoken");
    fixtures::AddMessage(box, fixtures::MessageFrom("a@example.org", "hello"));
    TImapSession session;
    session.Host = fixtures::ImapAddress("imaps://", box, box.imapsPort);
    session.User = box.user;
    session.AccessToken = fixtures::IssueTokens(box.user).accessToken;
    ASSERT_TRUE(session.Connect()) << session.FailureText();
    EXPECT_EQ(session.MessageCount(), 1);
    ASSERT_TRUE(session.GetSummary(1));
    EXPECT_EQ(session.Summary.Subject, "hello");
    session.Disconnect();

    session.AccessToken = "not-a-token";
    EXPECT_FALSE(session.Connect());
    EXPECT_TRUE(session.LastFailure() == TMailFailure::SignInExpired ||
                session.LastFailure() == TMailFailure::SignInRefused)
        << session.FailureText();
}
