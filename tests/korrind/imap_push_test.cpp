// Push end to end through the real main window against the fixture dovecot, with no scheduled
// check due: new mail is filtered as soon as the server reports it, after a window command that
// held the session, after many IDLE renewals and after the server dropped every session; a
// server without IDLE leaves the schedule to it and says so; twenty mailboxes watched at once
// all log out when the monitor closes. One watch alone against a scripted server for what
// dovecot does not show: a silent drop found by the keep-alive, and a refused login.
#include <QDir>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

#include "common/globals.h"
#include "common/names.h"
#include "common/platform/registry.h"
#include "common/records.h"
#include "common/utils.h"
#include "korrind/engine/imappush.h"
#include "korrind/monitoronservers.h"
#include "korrind/popviewfrm.h"
#include "support/fakeserver.h"
#include "support/fixtures.h"
#include "support/testenv.h"

namespace {

constexpr int EventWaitMs = 10000; // generous bound on each awaited event

class ImapPush : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_FIXTURES();
        fixtures::TrustTestCa();
        Frm = std::make_unique<TCorvexFrm>();
        Monitor = Frm->Monitor.get();
        Monitor->SetQueryInterval(15); // no scheduled check comes during a test
        rules = SetUpMonitorOnServers(*Frm);
        TConfigRecord &config = Globals->Config;
        config.MasterRejectActive = 1;
        config.MasterPriorityActive = 1;
        SetText(config.SmtpServer, "127.0.0.1:" + std::to_string(fixtures::Smtp().plainPort));
        testenv::WriteFile(rules + "/" + names::MasterRejectFile, "spam.example|\n");
    }
    void TearDown() override
    {
        Frm.reset();
        TUtils::ResetTerminating();
    }

    void AddMailbox(const fixtures::Mailbox &box, const std::string &server)
    {
        AddMonitoredMailbox(*Frm, box, server, inbox);
    }

    std::string Tip(const fixtures::Mailbox &box) const
    {
        const int row = FindRow(Monitor->Store.Summary, box.user);
        return row < 0 ? "" : Monitor->RowTip(Monitor->Store.Summary[size_t(row)]);
    }

    bool Idling(const fixtures::Mailbox &box) const
    {
        const TImapPush *push = Monitor->Pushes.Find(box.user);
        return push != nullptr && push->Idling();
    }

    std::string Log() const { return testenv::ReadFile(Utils->LogFileName); }

    std::unique_ptr<TCorvexFrm> Frm;
    TCorvexMonitor *Monitor = nullptr;
    std::string rules;
    std::string inbox = testenv::MakeScratchDir("inbox");
};

} // namespace

TEST_F(ImapPush, NewMailIsFilteredAtOnceAcrossRenewalsAndAfterTheServerDroppedTheSession)
{
    const std::string forwardTo = fixtures::UniqueAddress("forward");
    testenv::WriteFile(rules + "/" + names::MasterPriorityFile,
                       "boss@example.org|||0|0|10120|" + forwardTo + "|100|\n");
    fixtures::Mailbox box = fixtures::CreateMailbox("imappush");
    fixtures::AddMessage(box, fixtures::MessageFrom("a@example.org", "hello"));
    AddMailbox(box, fixtures::ImapAddress("imap://", box, box.imapPort));
    Monitor->PushRenewSeconds = 1; // many renewals within the test

    Monitor->CheckMail(-1); // the first pass starts the watch
    QTRY_VERIFY_WITH_TIMEOUT(Idling(box), EventWaitMs);
    EXPECT_NE(Tip(box).find(pushtext::Push), std::string::npos) << Tip(box);

    fixtures::AddMessage(box, fixtures::MessageFrom("x@spam.example", "cheap offer"));
    QTRY_COMPARE_WITH_TIMEOUT(
        fixtures::CountContaining(fixtures::StoredMessagesIn(box, "Junk"), "cheap"), 1,
        EventWaitMs);
    fixtures::AddMessage(box, fixtures::MessageFrom("boss@example.org", "Budget"));
    QTRY_COMPARE_WITH_TIMEOUT(fixtures::EmlFilesIn(inbox), 1, EventWaitMs);
    EXPECT_EQ(fixtures::WaitForMessagesTo(forwardTo, 1).size(), 1u);
    EXPECT_EQ(Monitor->Store.Summary[0].ImageIndex, siPriorityMail);
    const TImapPush *push = Monitor->Pushes.Find(box.user);
    ASSERT_NE(push, nullptr);

    // While a window command holds the session the report waits, and is checked right after.
    ASSERT_TRUE(Monitor->HoldSessionForCommand());
    const int64_t reported = push->LastArrivalMs();
    fixtures::AddMessage(box, fixtures::MessageFrom("w@spam.example", "held offer"));
    QTRY_VERIFY_WITH_TIMEOUT(push->LastArrivalMs() != reported, EventWaitMs);
    EXPECT_FALSE(Monitor->PassRunning());
    EXPECT_EQ(fixtures::CountContaining(fixtures::StoredMessagesIn(box, "INBOX"), "held offer"), 1);
    Monitor->ReleaseCommandSession();
    QTRY_COMPARE_WITH_TIMEOUT(
        fixtures::CountContaining(fixtures::StoredMessagesIn(box, "Junk"), "held"), 1, EventWaitMs);

    // Renewed several times (DONE + IDLE), and still reporting.
    const int idles = push->IdleCommands();
    QTRY_VERIFY_WITH_TIMEOUT(push->IdleCommands() >= idles + 3 && push->Idling(), EventWaitMs);
    fixtures::AddMessage(box, fixtures::MessageFrom("y@spam.example", "second offer"));
    QTRY_COMPARE_WITH_TIMEOUT(
        fixtures::CountContaining(fixtures::StoredMessagesIn(box, "Junk"), "second"), 1,
        EventWaitMs);

    // The server drops the session: the watch comes back on its own and acts on the next mail.
    const int connects = push->Connects();
    ASSERT_TRUE(fixtures::KickImapSessions(box));
    QTRY_VERIFY_WITH_TIMEOUT(push->Connects() > connects && push->Idling(), EventWaitMs);
    fixtures::AddMessage(box, fixtures::MessageFrom("z@spam.example", "third offer"));
    QTRY_COMPARE_WITH_TIMEOUT(
        fixtures::CountContaining(fixtures::StoredMessagesIn(box, "Junk"), "third"), 1,
        EventWaitMs);
    const std::vector<std::string> left = fixtures::StoredMessagesIn(box, "INBOX");
    EXPECT_EQ(left.size(), 2u) << Log();
    EXPECT_FALSE(fixtures::AnySeen(box));
    EXPECT_EQ(fixtures::ReceivedMessagesTo(forwardTo).size(), 1u) << "forwarded once only";
}

TEST_F(ImapPush, ServerWithoutIdleIsLeftToTheScheduleAndPushCanBeSwitchedOff)
{
    fixtures::Mailbox bare = fixtures::CreateMailbox("imapnoidle");
    AddMailbox(bare, fixtures::ImapAddress("imap://", bare, bare.imapBarePort));

    Monitor->CheckMail(-1);
    QTRY_VERIFY_WITH_TIMEOUT(Tip(bare).find(pushtext::NoIdle) != std::string::npos, EventWaitMs);

    fixtures::AddMessage(bare, fixtures::MessageFrom("x@spam.example", "cheap offer"));
    Monitor->LastCheck = 0; // the schedule's check is due
    Monitor->MainTimerTick();
    EXPECT_EQ(fixtures::CountContaining(fixtures::StoredMessagesIn(bare, "INBOX"), "cheap offer"),
              0)
        << Log();
    EXPECT_NE(Tip(bare).find(pushtext::NoIdle), std::string::npos) << "not tried again";

    // Off: no watch, no connection, and the preference is kept for the next start.
    ASSERT_TRUE(Monitor->SetPushEnabled(false));
    EXPECT_EQ(Monitor->Pushes.Size(), 0u);
    EXPECT_NE(Tip(bare).find(pushtext::Off), std::string::npos);
    platform::TRegistry registry;
    registry.SetRootKey(platform::TRegRoot::User);
    ASSERT_TRUE(registry.OpenKeyReadOnly(MonitorRegistryKey));
    EXPECT_EQ(registry.ReadInteger(PushValue), 0);
    Monitor->CheckMail(-1);
    EXPECT_EQ(Monitor->Pushes.Size(), 0u);
    ASSERT_TRUE(Monitor->SetPushEnabled(true));
    EXPECT_EQ(Monitor->Pushes.Size(), 1u);
}

TEST_F(ImapPush, TwentyMailboxesAreWatchedAtOnceAndAllLogOutWhenTheMonitorCloses)
{
    std::vector<fixtures::Mailbox> boxes;
    for (int i = 0; i < 20; ++i) {
        boxes.push_back(fixtures::CreateMailbox("imappush20"));
        AddMailbox(boxes.back(),
                   fixtures::ImapAddress("imap://", boxes.back(), boxes.back().imapPort));
    }
    Monitor->CheckMail(-1);
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(boxes.begin(), boxes.end(),
                                         [&](const fixtures::Mailbox &box) { return Idling(box); }),
                             EventWaitMs);
    EXPECT_EQ(Monitor->Pushes.Size(), 20u);

    // Mail for two of them at once: both are checked, one pass after the other.
    fixtures::AddMessage(boxes[7], fixtures::MessageFrom("x@spam.example", "offer seven"));
    fixtures::AddMessage(boxes[13], fixtures::MessageFrom("x@spam.example", "offer thirteen"));
    QTRY_VERIFY_WITH_TIMEOUT(fixtures::StoredMessagesIn(boxes[7], "Junk").size() == 1 &&
                                 fixtures::StoredMessagesIn(boxes[13], "Junk").size() == 1,
                             EventWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(!Monitor->PassRunning(), EventWaitMs);

    Globals->QuietExit = true;
    ASSERT_TRUE(Monitor->Exit(false));
    EXPECT_EQ(Monitor->Pushes.Size(), 0u);
    // Every session that logged in ended with LOGOUT: the checks' and the watches'.
    for (const fixtures::Mailbox &box : boxes)
        EXPECT_TRUE(fixtures::WaitUntil(
            [&] { return fixtures::ImapLogouts(box) == fixtures::ImapLogins(box); }, EventWaitMs))
            << box.user << ": " << fixtures::ImapLogins(box) << " logins, "
            << fixtures::ImapLogouts(box) << " logouts";
}

// A server whose answer to DONE never comes on the first connection (a silent drop): the
// keep-alive finds it, the watch reconnects after its pause and goes back into IDLE, and Stop
// ends that IDLE with DONE and LOGOUT. A refused login stops the watch for good.
TEST(ImapPushWatch, KeepAliveFindsASilentDropReconnectsAndStopsCleanly)
{
    FakeServer server;
    server.Greeting("* OK [CAPABILITY IMAP4rev1 IDLE] ready");
    std::map<int, std::string> idleTags;
    server.Handle([&](int connection, const std::string &line) -> FakeServer::Reply {
        if (line == "DONE")
            return connection == 1 ? FakeServer::Stall()
                                   : FakeServer::Reply(idleTags[connection] + " OK idle done");
        const std::string tag = line.substr(0, line.find(' '));
        const std::string command = line.substr(tag.size() + 1);
        if (command.rfind("LOGIN", 0) == 0)
            return tag + " OK [CAPABILITY IMAP4rev1 IDLE] logged in";
        if (command.rfind("EXAMINE", 0) == 0)
            return "* 0 EXISTS\r\n* OK [UIDVALIDITY 7] ok\r\n" + tag + " OK [READ-ONLY] done";
        if (command == "IDLE") {
            idleTags[connection] = tag;
            return "+ idling";
        }
        if (command == "LOGOUT")
            return "* BYE bye\r\n" + tag + " OK logged out";
        return tag + " BAD unexpected";
    });
    TImapPush push("someone", "imap://127.0.0.1:" + std::to_string(server.port()));
    push.RenewSeconds = 1;
    push.OnPrepare = [](TImapPush::TLogin &login) {
        login.Password = "secret";
        login.TimeOutMs = 2000;
        return true;
    };
    std::vector<std::string> states;
    push.OnStateChanged = [&] { states.push_back(push.StateText()); };

    push.Start();
    QTRY_VERIFY_WITH_TIMEOUT(push.Connects() == 2 && push.Idling(), EventWaitMs);
    EXPECT_NE(std::find(states.begin(), states.end(), "reconnecting in 1 s"), states.end());
    EXPECT_EQ(push.StateText(), pushtext::Push);

    push.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(push.Stopped(), EventWaitMs);
    const std::vector<std::string> commands = server.commands();
    ASSERT_GE(commands.size(), 2u);
    EXPECT_EQ(commands[commands.size() - 2], "DONE");
    EXPECT_NE(commands.back().find("LOGOUT"), std::string::npos);

    FakeServer refusing;
    refusing.Greeting("* OK [CAPABILITY IMAP4rev1 IDLE] ready");
    refusing.Handle([](int, const std::string &line) -> FakeServer::Reply {
        return line.substr(0, line.find(' ')) + " NO [AUTHENTICATIONFAILED] wrong password";
    });
    TImapPush refused("someone", "imap://127.0.0.1:" + std::to_string(refusing.port()));
    refused.OnPrepare = push.OnPrepare;
    refused.Start();
    QTRY_VERIFY_WITH_TIMEOUT(refused.Failed(), EventWaitMs);
    EXPECT_NE(refused.StateText().find("wrong password"), std::string::npos) << refused.StateText();
    EXPECT_EQ(refusing.connectionCount(), 1);
}
