// Desktop notifications of new mail: real passes against the fixture POP3 server, with a fake
// notification service on a private session bus that records every call.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QObject>
#include <QVariantMap>
#include <functional>
#include <gtest/gtest.h>
#include <memory>

#include "common/globals.h"
#include "common/names.h"
#include "common/records.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/notifier.h"
#include "korrind/popview.h"
#include "support/fixtures.h"
#include "support/notificationbus.h"
#include "support/testenv.h"
#include "tests/korrind/monitortestwindow.h"

namespace {

TListRow &AddMailbox(TCorvexMonitor &monitor, const fixtures::Mailbox &box)
{
    TMailBoxRecord record{};
    SetText(record.UserId, box.user);
    SetText(record.MailServer, box.host + ":" + std::to_string(box.pop3Port));
    SetText(record.Password, box.password);
    SetText(record.InboxPath, testenv::MakeScratchDir("inbox"));
    record.LeaveOnServer = 1;
    record.Active = 1;
    monitor.Store.Mailboxes.push_back(MailboxRow(record, false));
    monitor.Store.SetPassword(box.user, GetText(record.MailServer), box.password);
    monitor.Store.Summary.push_back(SummaryRow(box.user));
    return monitor.Store.Mailboxes.back();
}

std::string Message(const std::string &from, const std::string &subject)
{
    fixtures::MessageFields fields;
    fields.from = from;
    fields.subject = subject;
    return fixtures::BuildMessage(fields);
}

bool PumpUntil(const std::function<bool()> &done, int ms = 10000)
{
    return PumpEventsUntil(done, ms);
}

} // namespace

TEST(DesktopNotifications, OnePerPassNamingTheNewMailPriorityMarkedAndReplacingTheLast)
{
    REQUIRE_FIXTURES();
    fixtures::TrustTestCa();
    TPrivateSessionBus &bus = TPrivateSessionBus::Instance();
    ASSERT_TRUE(bus.Ready()) << "no private session bus";
    bus.Reset();
    TMonitorTestWindow window;
    auto monitor = std::make_unique<TCorvexMonitor>(window);
    monitor->PauseMs = 0;
    ASSERT_TRUE(monitor->Store.LoadSettings(false));
    Utils->LogFileName = testenv::MakeScratchDir("log") + "/Debug.txt";
    Globals->Config.TimeoutMs = 2000;

    int shown = 0;
    bool enabled = true;
    TDesktopNotifier notifier;
    notifier.Enabled = [&] { return enabled; };
    notifier.ShowMonitor = [&] { ++shown; };
    notifier.Attach(*EMailTest);

    fixtures::Mailbox box = fixtures::CreateMailbox("notify");
    fixtures::AddMessages(box, {Message("Alice Ordinary <alice@example.org>", "Lunch"),
                                Message("The Boss <boss@example.org>", "Budget <draft>")});
    TListRow &row = AddMailbox(*monitor, box);
    row.SetCell(mcPriorityActive, "1");
    testenv::WriteFile(row.Cell(mcInboxPath) + "/" + names::PriorityFile, "boss@example.org|\n");

    monitor->CheckMail(-1);
    ASSERT_TRUE(PumpUntil([&] { return bus.Server.Calls.size() == 1; }));
    const TNotifyCall first = bus.Server.Calls[0];
    EXPECT_EQ(first.ReplacesId, 0u);
    EXPECT_TRUE(first.Summary.startsWith("Priority mail: 2 new messages"))
        << first.Summary.toStdString();
    const QStringList lines = first.Body.split('\n');
    ASSERT_EQ(lines.size(), 2) << first.Body.toStdString();
    EXPECT_TRUE(lines[0].startsWith("[Priority] notify")) << "priority mail comes first";
    EXPECT_TRUE(lines[0].contains("boss@example.org") && lines[0].contains("Budget &lt;draft&gt;"));
    EXPECT_TRUE(lines[1].contains("alice@example.org") && lines[1].contains("Lunch"));
    EXPECT_FALSE(lines[1].contains("[Priority]"));
    EXPECT_EQ(first.Hints.value("urgency").toInt(), 2);
    EXPECT_TRUE(first.Actions.contains("default"));

    // The default action shows the monitor.
    bus.InvokeAction(7, "default");
    EXPECT_TRUE(PumpUntil([&] { return shown == 1; }));

    // A pass without new mail sends nothing; the next new message replaces the notification.
    monitor->CheckMail(-1);
    fixtures::AddMessage(box, Message("Carol <carol@example.org>", "Later"));
    monitor->CheckMail(-1);
    ASSERT_TRUE(PumpUntil([&] { return bus.Server.Calls.size() == 2; }));
    const TNotifyCall second = bus.Server.Calls[1];
    EXPECT_EQ(second.ReplacesId, 7u);
    EXPECT_EQ(second.Summary, "New mail: 1 new message");
    EXPECT_TRUE(second.Body.contains("carol@example.org"));
    EXPECT_EQ(second.Hints.value("urgency").toInt(), 1);

    // Switched off, or with no service on the bus: nothing is shown and the pass is as before.
    enabled = false;
    fixtures::AddMessage(box, Message("Dave <dave@example.org>", "Off"));
    monitor->CheckMail(-1);
    enabled = true;
    bus.Unregister();
    fixtures::AddMessage(box, Message("Erin <erin@example.org>", "No service"));
    monitor->CheckMail(-1);
    PumpUntil([] { return false; }, 300);
    EXPECT_EQ(bus.Server.Calls.size(), 2u);
    EXPECT_NE(monitor->Store.Summary.at(0).ImageIndex, siTimedOut);

    // A notification shows no more than the Summary list: a mailbox with its own password hides
    // the subject, a security level that hides senders and subjects hides them. A message kept
    // on the server because its rejected copy cannot be written is announced once, not at each
    // check that tries it again.
    ASSERT_TRUE(bus.Register());
    std::vector<TNotifyCall> &calls = bus.Server.Calls;
    auto check = [&](size_t expected) { // a pass; the last body once expected were sent
        const bool more = expected > calls.size();
        monitor->CheckMail(-1);
        PumpUntil([&] { return more && calls.size() >= expected; }, more ? 5000 : 300);
        EXPECT_EQ(calls.size(), expected);
        return calls.back().Body.toStdString();
    };
    monitor->Store.Mailboxes[0].SetCell(mcBoxProtected, "1");
    fixtures::AddMessage(box, Message("Fay <fay@example.org>", "Secret plans"));
    const std::string body = check(3);
    EXPECT_NE(body.find("fay@example.org"), std::string::npos) << "the Summary shows it";
    EXPECT_NE(body.find("***Password Required***"), std::string::npos);
    EXPECT_EQ(body.find("Secret"), std::string::npos);

    monitor->Store.Mailboxes[0].SetCell(mcBoxProtected, "0");
    Globals->Config.PasswordActive = 1;
    Globals->Config.SecurityLevel = 3;
    fixtures::AddMessage(box, Message("Gus <gus@example.org>", "Salary"));
    EXPECT_EQ(check(4), box.user);

    Globals->Config.PasswordActive = 0;
    Globals->Config.SaveRejected = 1;
    Globals->RejectedPath = testenv::MakeScratchDir("rules") + "/Rejected Mail";
    testenv::WriteFile(Globals->RejectedPath, "a file where the folder should be");
    testenv::WriteFile(monitor->RulesFolder() + "/" + names::MasterRejectFile, "spam.example|\n");
    fixtures::AddMessage(box, Message("Win <win@spam.example>", "Prize"));
    EXPECT_NE(check(5).find("win@spam.example"), std::string::npos);
    check(5);
    check(5);
    EXPECT_EQ(fixtures::MessageCount(box), 8);
}
