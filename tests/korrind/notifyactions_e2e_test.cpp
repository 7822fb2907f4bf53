// The actions of new-mail notifications end to end: the real main window and monitor against
// the fixture dovecot, a notification server on a private session bus that invokes them, and
// the real rule editor answered as a user would. Also the commands asked for during a pass: those
// that need no session run at once, the others (a notification's action included) right after.
#include <QDir>
#include <QTableView>
#include <gtest/gtest.h>
#include <memory>

#include "common/filterparam.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/records.h"
#include "common/ui/captionpanel.h"
#include "common/ui/filtercriteriafrm.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/mailboxeditfrm.h"
#include "korrind/maillistfrm.h"
#include "korrind/monitoronservers.h"
#include "korrind/notifier.h"
#include "korrind/outgoingedit.h"
#include "korrind/popviewfrm.h"
#include "support/fixtures.h"
#include "support/modalsteps.h"
#include "support/notificationbus.h"
#include "support/testenv.h"

namespace {

std::string Message(const std::string &from, const std::string &subject)
{
    fixtures::MessageFields fields;
    fields.from = from;
    fields.subject = subject;
    return fixtures::BuildMessage(fields);
}

int Containing(const std::vector<std::string> &messages, const std::string &text)
{
    return int(std::count_if(messages.begin(), messages.end(), [&](const std::string &raw) {
        return raw.find(text) != std::string::npos;
    }));
}

int FilesIn(const std::string &folder)
{
    return int(QDir(QString::fromStdString(folder)).entryList({"*.eml"}, QDir::Files).size());
}

// The next rule editor is accepted as it opens, the rule as offered; passDuring notes whether
// a pass ran then.
void AcceptNextRule(bool *passDuring = nullptr, TCorvexMonitor *monitor = nullptr)
{
    OnModal<TfrmFilterCriteria>([passDuring, monitor](TfrmFilterCriteria *editor) {
        if (passDuring != nullptr)
            *passDuring = monitor->PassRunning();
        editor->LMDpfAccept->Click();
    });
}

class NotificationActions : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_FIXTURES();
        fixtures::TrustTestCa();
        ASSERT_TRUE(Bus.Ready()) << "no private session bus";
        Bus.Reset();
        Frm = std::make_unique<TCorvexFrm>();
        Rules = SetUpMonitorOnServers(*Frm);
        // Only the checks the tests start run; a push watch would add checks of its own.
        Frm->Monitor->SetPushEnabled(false);
        Frm->AttachNotifier(Notifier);
        TfrmFilterCriteria::Install([this] { return Rules; });
    }
    void TearDown() override { Frm.reset(); }

    TListRow &AddMailbox(const fixtures::Mailbox &box, const std::string &server)
    {
        return Frm->Monitor->Store.Mailboxes[size_t(AddMonitoredMailbox(*Frm, box, server, Inbox))];
    }

    // A pass, then the notification it sent naming sender, once the notifier knows its id. (A
    // pass after a rejection rule was added announces the older messages once more: its
    // notification may come in between.)
    TNotifyCall PassAndNotification(const std::string &sender)
    {
        Frm->Monitor->CheckMail(-1);
        std::vector<TNotifyCall> &calls = Bus.Server.Calls;
        auto names = [&] {
            return !calls.empty() && calls.back().Body.contains(QString::fromStdString(sender)) &&
                   Notifier.LastNotificationId() == calls.back().Id;
        };
        EXPECT_TRUE(PumpEventsUntil(names)) << "no notification names " << sender;
        return calls.empty() ? TNotifyCall() : calls.back();
    }

    std::string Log() const { return testenv::ReadFile(Utils->LogFileName); }
    std::string RejectionList() const
    {
        return testenv::ReadFile(ListFilePath(Inbox, TListKind::Reject, false));
    }

    TPrivateSessionBus &Bus = TPrivateSessionBus::Instance();
    TDesktopNotifier Notifier;
    std::unique_ptr<TCorvexFrm> Frm;
    std::string Rules;
    std::string Inbox = testenv::MakeScratchDir("inbox");
};

} // namespace

TEST_F(NotificationActions, ShowAndRejectSenderActOnTheNotedImapMessageFoundByContent)
{
    fixtures::Mailbox box = fixtures::CreateMailbox("noteimap");
    fixtures::AddMessage(box, Message("Friend <friend@example.org>", "hello"));
    TListRow &mailbox = AddMailbox(box, fixtures::ImapAddress("imap://", box, box.imapPort));
    const std::string caption = mailbox.Caption;

    const TNotifyCall first = PassAndNotification("friend@example.org");
    EXPECT_EQ(first.ActionKeys(), (QStringList{"default", "show", "reject"}));
    EXPECT_EQ(first.ActionLabel("show"), "Show");
    EXPECT_EQ(first.ActionLabel("reject"), "Reject Sender");

    // "Show" opens the server mail list on the newest message, the one the notification leads
    // with.
    fixtures::AddMessage(box, Message("Pest <pest@annoy.example>", "buy now"));
    const TNotifyCall pest = PassAndNotification("pest@annoy.example");
    ASSERT_TRUE(pest.Body.startsWith(QString::fromStdString(caption) + ": Pest"))
        << pest.Body.toStdString();
    std::vector<std::string> shown;
    Frm->MailListFilled = [&](TMailListFrm &window) {
        for (size_t row : window.SelectedRows())
            shown.push_back(window.List.Rows[row].From);
        window.reject();
    };
    Bus.InvokeAction(pest.Id, "show");
    ASSERT_TRUE(PumpEventsUntil([&] { return !shown.empty(); }));
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_NE(shown[0].find("pest@annoy.example"), std::string::npos);
    // A click on the body does the same.
    shown.clear();
    Bus.InvokeAction(pest.Id, "default");
    ASSERT_TRUE(PumpEventsUntil([&] { return !shown.empty(); }));
    EXPECT_NE(shown[0].find("pest@annoy.example"), std::string::npos);

    // "Reject Sender": a rule in the mailbox's list, the message to Junk with its copy kept.
    AcceptNextRule();
    Bus.InvokeAction(pest.Id, "reject");
    ASSERT_TRUE(PumpEventsUntil([&] {
        return Containing(fixtures::StoredMessagesIn(box, "Junk"), "buy now") == 1;
    })) << Log();
    EXPECT_NE(RejectionList().find("pest@annoy.example"), std::string::npos);
    EXPECT_EQ(Containing(fixtures::StoredMessagesIn(box, "INBOX"), "buy now"), 0);
    EXPECT_EQ(FilesIn(Globals->RejectedPath), 1);
    EXPECT_EQ(Frm->Monitor->CommandsWaiting(), 0u);

    // Priority mail offers "Show" only.
    Frm->Monitor->Store.Mailboxes[0].SetCell(mcPriorityActive, "1");
    testenv::WriteFile(Inbox + "/" + names::PriorityFile, "boss@example.org|\n");
    fixtures::AddMessage(box, Message("The Boss <boss@example.org>", "Budget"));
    const TNotifyCall boss = PassAndNotification("boss@example.org");
    EXPECT_EQ(boss.ActionKeys(), (QStringList{"default", "show"}));

    // A message gone from the server before the action is left alone, and so is every other.
    fixtures::AddMessage(box, Message("Gone <gone@annoy.example>", "soon gone"));
    const TNotifyCall gone = PassAndNotification("gone@annoy.example");
    const std::vector<std::string> inbox = fixtures::StoredMessagesIn(box, "INBOX");
    ASSERT_EQ(inbox.size(), 3u);
    fixtures::RemoveMessageBehindBack(box, 2);
    AcceptNextRule();
    Bus.InvokeAction(gone.Id, "reject");
    ASSERT_TRUE(PumpEventsUntil(
        [&] { return Log().find("is no longer on the server as listed") != std::string::npos; }));
    EXPECT_EQ(fixtures::StoredMessagesIn(box, "Junk").size(), 1u);
    EXPECT_EQ(fixtures::StoredMessagesIn(box, "INBOX").size(), 2u);

    // A mailbox with its own password offers no action on its messages.
    Frm->Monitor->Store.Mailboxes[0].SetCell(mcBoxProtected, "1");
    fixtures::AddMessage(box, Message("Quiet <quiet@example.org>", "private"));
    const TNotifyCall guarded = PassAndNotification("quiet@example.org");
    EXPECT_EQ(guarded.ActionKeys(), (QStringList{"default"}));
    EXPECT_EQ(guarded.ActionLabel("default"), "Show Corvex");
}

// During a pass: the outgoing server window and the mailbox editor open at once; List Mail and
// a notification's "Reject Sender" wait for the pass and run right after it, over POP3 the
// rejected message deleted with its copy kept.
TEST_F(NotificationActions, CommandsDuringAPassRunAtOnceOrRightAfterItWithoutBeingLost)
{
    fixtures::Mailbox box = fixtures::CreateMailbox("notepop");
    fixtures::AddMessage(box, Message("Alice <alice@spam.example>", "Lunch"));
    AddMailbox(box, box.host + ":" + std::to_string(box.pop3Port));
    const TNotifyCall lunch = PassAndNotification("alice@spam.example");
    Frm->lvSummary->selectRow(0);

    TCorvexMonitor &monitor = *Frm->Monitor;
    bool armed = true, outgoingInPass = false, editorInPass = false, listInPass = true,
         ruleInPass = true, waited = false, actionWaited = false;
    int listed = 0;
    Frm->MailListFilled = [&](TMailListFrm &window) {
        ++listed;
        listInPass = monitor.PassRunning();
        window.reject();
    };
    auto announce = EMailTest->OnNewMailTested;
    EMailTest->OnNewMailTested = [&](TEMailTest &test) {
        announce(test);
        if (!armed)
            return;
        armed = false;
        OnModal<TfrmOutgoingServer>([&](TfrmOutgoingServer *window) {
            outgoingInPass = monitor.PassRunning();
            window->LMDpfClose->Click();
        });
        Frm->LMDpfOutGoing->Click();
        OnModal<TMailBoxEditFrm>([&](TMailBoxEditFrm *editor) {
            editorInPass = monitor.PassRunning();
            editor->LMDpfClose->Click();
        });
        Frm->LMDpfAdd->Click();
        Frm->LMDpfListMail->Click();
        waited = monitor.CommandsWaiting() == 1 && listed == 0;
        AcceptNextRule(&ruleInPass, &monitor);
        Bus.InvokeAction(lunch.Id, "reject");
        // The action arrives while the pass still runs, and waits.
        actionWaited = PumpEventsUntil([&] { return monitor.CommandsWaiting() == 2; });
    };
    fixtures::AddMessage(box, Message("Bob <bob@example.org>", "Later"));
    monitor.CheckMail(-1);

    EXPECT_TRUE(outgoingInPass);
    EXPECT_TRUE(editorInPass);
    EXPECT_TRUE(waited) << "List Mail during the pass";
    EXPECT_TRUE(actionWaited) << "the notification's action during the pass";
    ASSERT_TRUE(PumpEventsUntil([&] { return listed == 1 && fixtures::MessageCount(box) == 1; }))
        << Log();
    EXPECT_FALSE(listInPass);
    EXPECT_FALSE(ruleInPass);
    EXPECT_EQ(Containing(fixtures::StoredMessages(box), "Later"), 1);
    EXPECT_EQ(FilesIn(Globals->RejectedPath), 1) << "the rejected message's copy";
    EXPECT_NE(RejectionList().find("alice@spam.example"), std::string::npos);
}
