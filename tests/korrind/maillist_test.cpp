// The server mail list and the main window's server mail commands, driven through the real
// main window against the fixture dovecot: listing a big mailbox in one session, deleting in
// one session exactly the messages listed, never another mailbox's or a renumbered message,
// saving, opening in a mail program, and Check Now while a command holds the session.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QScreen>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <memory>
#include <set>

#include "common/globals.h"
#include "common/names.h"
#include "common/password.h"
#include "common/platform/files.h"
#include "common/records.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/utils.h"
#include "korrind/engine/popinterface.h"
#include "korrind/maillistfrm.h"
#include "korrind/popviewfrm.h"
#include "support/fakeserver.h"
#include "support/fixtures.h"
#include "support/modalsteps.h"
#include "support/testenv.h"

namespace {

std::string Server(const fixtures::Mailbox &box)
{
    return box.host + ":" + std::to_string(box.pop3Port);
}

std::string Message(const std::string &from, const std::string &subject, const std::string &id)
{
    fixtures::MessageFields fields;
    fields.from = from;
    fields.subject = subject;
    fields.messageId = id;
    return fixtures::BuildMessage(fields);
}

// The Message-IDs still in the maildir.
std::set<std::string> StoredIds(const fixtures::Mailbox &box)
{
    std::set<std::string> ids;
    for (const std::string &raw : fixtures::StoredMessages(box)) {
        size_t at = raw.find("Message-ID: ");
        if (at == std::string::npos)
            at = raw.find("Message-Id: ");
        if (at != std::string::npos)
            ids.insert(raw.substr(at + 12, raw.find("\r\n", at) - at - 12));
    }
    return ids;
}

// A mailbox on the scripted server, as a mailbox row names it.
fixtures::Mailbox FakeBox(const FakePop3Mailbox &fake)
{
    fixtures::Mailbox box;
    box.user = "fake";
    box.password = FakePop3Mailbox::Password;
    box.host = "127.0.0.1";
    box.pop3Port = fake.port();
    return box;
}

class ServerMailList : public ::testing::Test
{
protected:
    void SetUp() override
    {
        REQUIRE_FIXTURES();
        fixtures::TrustTestCa();
        Frm = std::make_unique<TCorvexFrm>();
        Frm->Monitor->Activated = true;
        Frm->Monitor->PauseMs = 0;
        Globals->InitPaths();
        Globals->CreateDataFolders();
        TConfigRecord &config = Globals->Config;
        config.PasswordActive = 0;
        config.SecurityLevel = 0;
        config.TimeoutMs = 5000;
        config.SmartRejection = 0;
    }
    void TearDown() override { Frm.reset(); }

    int AddMailbox(const fixtures::Mailbox &box)
    {
        TMailBoxRecord record{};
        SetText(record.UserId, box.user);
        SetText(record.MailServer, Server(box));
        SetText(record.Password, box.password);
        SetText(record.InboxPath, testenv::MakeScratchDir("inbox"));
        record.LeaveOnServer = 1;
        record.Active = 1;
        TDataStore &store = Frm->Monitor->Store;
        store.Mailboxes.push_back(MailboxRow(record, false));
        store.SetPassword(box.user, Server(box), box.password);
        store.Summary.push_back(SummaryRow(box.user));
        Frm->RowsChanged(true);
        return int(store.Mailboxes.size()) - 1;
    }

    // Opens the list for a mailbox row (−1: all) and runs work once it is filled; the window
    // is closed afterwards. Answers the window's result.
    int WithList(int mailboxRow, const std::function<void(TMailListFrm &)> &work)
    {
        bool filled = false;
        QTimer::singleShot(0, [&] {
            ASSERT_NE(Frm->MailListFrm, nullptr);
            ASSERT_TRUE(Frm->MailListVisible());
            TMailListFrm &window = *Frm->MailListFrm;
            modalsteps::DrivenByTest(&window);
            window.Confirm = [](const std::string &) { return true; };
            window.OnFilled = [&] {
                filled = true;
                work(window);
                window.accept();
            };
        });
        int result = Frm->OpenServerMailList(mailboxRow);
        EXPECT_TRUE(filled);
        EXPECT_FALSE(Frm->MailListVisible());
        return result;
    }

    static void Select(TMailListFrm &window, const std::function<bool(const TMailListRow &)> &pick)
    {
        window.lvMailList->clearSelection();
        QItemSelectionModel *selection = window.lvMailList->selectionModel();
        for (size_t i = 0; i < window.List.Rows.size(); ++i)
            if (pick(window.List.Rows[i]))
                selection->select(window.lvMailList->model()->index(int(i), 0),
                                  QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    std::unique_ptr<TCorvexFrm> Frm;
};

} // namespace

TEST_F(ServerMailList, BigMailboxIsListedInOneSessionAndDeletesExactlyTheChosenMessages)
{
    fixtures::Mailbox box = fixtures::CreateMailbox("biglist");
    std::vector<std::string> messages = fixtures::BulkMessages(2000);
    messages.push_back(fixtures::MultipartSample().raw);
    fixtures::AddMessages(box, messages);
    const int row = AddMailbox(box);

    std::set<std::string> deletedIds;
    int fillSessions = -1;
    int from = 0;
    QSize size;
    bool checkNowTried = false;
    const int result = WithList(row, [&](TMailListFrm &window) {
        TMailList &list = window.List;
        ASSERT_EQ(list.Rows.size(), 2001u);
        EXPECT_EQ(window.LMDpfStatusBar->text().toStdString(), "Message Count: 2001");
        EXPECT_EQ(window.windowTitle().toStdString(), " Mail for: " + box.user);
        EXPECT_EQ(list.Rows.front().Number, 2001) << "newest on top";
        EXPECT_TRUE(list.Rows.front().Multipart);
        EXPECT_EQ(window.lvMailList->model()->index(0, 0).data(Qt::UserRole).toInt(), 1);
        EXPECT_FALSE(list.Rows[1].Multipart);
        EXPECT_EQ(list.Rows.back().Number, 1);
        EXPECT_EQ(list.Rows.back().Subject, "Bulk message 0001 of 2000");
        EXPECT_EQ(list.Rows[1].Subject, "Bulk message 2000 of 2000");

        // One line per row and at least MailListMinRows rows in view; the columns as wide as
        // their texts, the Subject taking the width left.
        QTableView *view = window.lvMailList;
        QHeaderView *header = view->horizontalHeader();
        auto textWidth = [&](int column) {
            return view->fontMetrics().horizontalAdvance(
                QString::fromStdString(list.Rows[1].Text(column)));
        };
        auto columnsWidth = [&] {
            int sum = 0;
            for (int column = 0; column < MailListColumnCount; ++column)
                sum += header->sectionSize(column);
            return sum;
        };
        ASSERT_LT(view->rowHeight(0), 2 * view->fontMetrics().lineSpacing());
        EXPECT_GE(view->viewport()->height() / view->rowHeight(0), MailListMinRows);
        for (int column : {mlFrom, mlSubject, mlDate, mlTo})
            EXPECT_GT(header->sectionSize(column), textWidth(column)) << column;
        EXPECT_LT(header->sectionSize(mlSize), header->sectionSize(mlFrom) / 2);
        EXPECT_GE(columnsWidth(), view->viewport()->width());
        // Wider than the columns need, the Subject takes the width left; a column the user
        // widens takes it from the Subject.
        const int subject = header->sectionSize(mlSubject);
        from = header->sectionSize(mlFrom);
        const int spare = 300 + columnsWidth() - view->viewport()->width();
        size = window.size() + QSize(spare, -40);
        window.resize(size);
        ASSERT_TRUE(
            fixtures::WaitUntil([&] { return view->viewport()->width() == columnsWidth(); }));
        // (A column that gave up width to fit the default size gets it back first.)
        const int widened = header->sectionSize(mlSubject);
        EXPECT_GT(widened, subject);
        EXPECT_LE(widened, subject + 300);
        EXPECT_EQ(header->sectionSize(mlFrom), from);
        header->resizeSection(mlFrom, from + 40);
        EXPECT_EQ(header->sectionSize(mlSubject), widened - 40);
        EXPECT_EQ(columnsWidth(), view->viewport()->width());

        // Size sorts as a number: the largest first, then reversed by a second click.
        list.SortByColumn(mlSize);
        list.SortByColumn(mlSize);
        EXPECT_LE(list.Rows.front().Size, list.Rows[1000].Size);
        list.SortByColumn(mlNumber);

        const uint32_t before = Mail->Session();
        Select(window, [&](const TMailListRow &r) {
            if (r.Number == 5 || r.Number == 1000 || r.Number == 1999) {
                deletedIds.insert(r.MessageId);
                return true;
            }
            return false;
        });
        ASSERT_EQ(window.SelectedRows().size(), 3u);
        view->scrollToBottom();
        ASSERT_GT(view->verticalScrollBar()->value(), 0);
        window.DeleteSelected();
        // One session for the three deletions, one for the list filled again, shown from the
        // top.
        EXPECT_EQ(Mail->Session() - before, 2u);
        EXPECT_EQ(list.Rows.size(), 1998u);
        EXPECT_EQ(view->verticalScrollBar()->value(), 0);
        EXPECT_EQ(header->sectionSize(mlFrom), from + 40);
    });
    EXPECT_EQ(result, 2);

    std::set<std::string> left = StoredIds(box);
    EXPECT_EQ(left.size(), 1998u);
    ASSERT_EQ(deletedIds.size(), 3u);
    for (const std::string &id : deletedIds)
        EXPECT_EQ(left.count(id), 0u) << id;

    // The fill again, with Check Now (window and tray alike) pressed while the fill holds the
    // session: the pass waits, the fill ends whole and the mailbox is not "Timed Out".
    const uint32_t sessionsBefore = Mail->Session();
    int rowsListed = 0;
    WithList(row, [&](TMailListFrm &window) {
        fillSessions = int(Mail->Session() - sessionsBefore);
        rowsListed = int(window.List.Rows.size());
        // The window opens as the user left it (within the screen).
        EXPECT_EQ(window.size(),
                  size.boundedTo(QApplication::primaryScreen()->availableGeometry().size()));
        EXPECT_EQ(window.lvMailList->horizontalHeader()->sectionSize(mlFrom), from + 40);
        window.showMaximized();
    });
    EXPECT_EQ(fillSessions, 1);
    EXPECT_EQ(rowsListed, 1998);

    Frm->Monitor->LastCheck = Frm->Monitor->Now(); // a check just ran
    QTimer::singleShot(0, [&] {
        TMailListFrm &window = *Frm->MailListFrm;
        modalsteps::DrivenByTest(&window);
        auto connect = window.List.OnConnectMailbox;
        window.List.OnConnectMailbox = [&, connect](int mailbox) {
            bool connected = connect(mailbox);
            checkNowTried = true;
            Frm->LMDpfCheckNowClick();
            EXPECT_TRUE(Mail->IsConnected()) << "the pass dropped the fill's session";
            return connected;
        };
        window.OnFilled = [&] {
            rowsListed = int(window.List.Rows.size());
            EXPECT_TRUE(window.isMaximized());
            window.accept();
        };
    });
    Frm->OpenServerMailList(row);
    EXPECT_TRUE(checkNowTried);
    EXPECT_EQ(rowsListed, 1998);
    EXPECT_NE(Frm->Monitor->Store.Summary[0].Cell(scFrom), "Timed Out");
    EXPECT_EQ(Frm->Monitor->SessionOwner(), TCorvexMonitor::TSessionOwner::None);
    // The pass that was put off runs at the next tick.
    Frm->Monitor->MainTimerTick();
    EXPECT_EQ(Frm->Monitor->Store.Summary[0].Cell(scMsgs), "1998");
}

TEST_F(ServerMailList, RowsActOnTheirOwnMailboxAndMessageOnly)
{
    fixtures::Mailbox a = fixtures::CreateMailbox("lista");
    fixtures::Mailbox b = fixtures::CreateMailbox("listb");
    fixtures::AddMessages(a, {Message("One <one@a.example>", "a one", "<a1@corvex.test>"),
                              Message("Two <two@a.example>", "a two", "<a2@corvex.test>"),
                              Message("Three <three@a.example>", "a three", "<a3@corvex.test>")});
    fixtures::AddMessages(b, {Message("John Smith <jsmith@b.example>", "b one", "<b1@corvex.test>"),
                              Message("Other <other@b.example>", "b two", "<b2@corvex.test>")});
    AddMailbox(a);
    const int rowB = AddMailbox(b);
    const std::string inboxB = Frm->Monitor->Store.Mailboxes[size_t(rowB)].Cell(mcInboxPath);

    const std::string record = testenv::InstallRecordingMailProgram();
    Globals->BuildMailerList();
    ASSERT_EQ(Globals->DefaultMailer, "Record Mail");

    const int result = WithList(-1, [&](TMailListFrm &window) {
        TMailList &list = window.List;
        EXPECT_EQ(window.windowTitle().toStdString(), "Mail for: All Listed");
        ASSERT_EQ(list.Rows.size(), 5u);

        // Save on B's #1 while A also has a #1: B's message is written, under the sender's
        // name, and never over an existing file.
        Select(window, [&](const TMailListRow &r) { return r.Mailbox == rowB && r.Number == 1; });
        const std::string name = list.DefaultSaveName(window.SelectedRows().front());
        EXPECT_EQ(name.rfind("JohnSmithJsmith", 0), 0u) << name;
        testenv::WriteFile(inboxB + "/" + name, "keep me");
        window.SaveMessages(false);
        EXPECT_EQ(testenv::ReadFile(inboxB + "/" + name), "keep me");
        const std::string saved = inboxB + "/" + name.substr(0, name.size() - 4) + "-001.eml";
        EXPECT_NE(testenv::ReadFile(saved).find("Subject: b one\r\n"), std::string::npos);
        EXPECT_TRUE(window.SelectedRows().empty());

        // A double click hands the mail program the scratch file and marks the row read.
        Select(window, [&](const TMailListRow &r) { return r.Mailbox == rowB && r.Number == 2; });
        const QModelIndex cell =
            window.lvMailList->model()->index(int(window.SelectedRows().front()), 0);
        emit window.lvMailList->doubleClicked(cell);
        const std::string temp = Globals->DataRoot + "/" + names::TempMessageFile;
        // The shell creates the record before it writes into it.
        EXPECT_TRUE(fixtures::WaitUntil([&] { return !testenv::ReadFile(record).empty(); }));
        EXPECT_EQ(testenv::ReadFile(record), temp);
        EXPECT_NE(testenv::ReadFile(temp).find("Subject: b two\r\n"), std::string::npos);
        EXPECT_EQ(cell.siblingAtColumn(mlRead).data().toString().toStdString(), "Read");

        // Another client deletes A's #1; the row that was #2 then deletes that message, now
        // at #1, and nothing else.
        TPop3 other;
        other.Host = Server(a);
        other.User = a.user;
        other.Password = a.password;
        ASSERT_TRUE(other.Connect());
        ASSERT_TRUE(other.DeleteMessage(1));
        other.Disconnect();
        Select(window, [&](const TMailListRow &r) { return r.Mailbox != rowB && r.Number == 2; });
        window.DeleteSelected();
        EXPECT_EQ(list.Rows.size(), 3u);
    });
    EXPECT_EQ(result, 2);
    EXPECT_EQ(StoredIds(a), std::set<std::string>{"<a3@corvex.test>"});
    EXPECT_EQ(fixtures::MessageCount(b), 2);
}

// Rows act on the message they show, told by its content, on a server that reorders its
// messages behind rows filled from the check's cache, gives one id to two messages, or gives a
// gone message's id to a new one.
TEST_F(ServerMailList, RowsFindTheirMessageByContentOnAServerThatReordersOrReusesIds)
{
    FakePop3Mailbox fake;
    std::vector<std::string> raw;
    for (int i = 1; i <= 6; ++i)
        raw.push_back(Message(Format("Sender%d <s%d@x.example>", i, i), Format("subject %d", i),
                              Format("<m%d@corvex.test>", i)));
    for (int i = 0; i < 5; ++i)
        fake.Add(raw[size_t(i)]);
    const int row = AddMailbox(FakeBox(fake));
    const std::string inbox = Frm->Monitor->Store.Mailboxes[size_t(row)].Cell(mcInboxPath);
    Globals->Config.NewMailNotification = 1; // the check keeps its cache
    Frm->Monitor->CheckMailFrom(TPassSource::CheckNow, -1);
    ASSERT_TRUE(TUtils::FileExists(inbox + "/" + names::LastMailFile));

    auto select = [](TMailListFrm &window, const std::string &subject) {
        Select(window, [&](const TMailListRow &r) { return r.Subject == subject; });
        ASSERT_EQ(window.SelectedRows().size(), 1u) << subject;
    };
    // The server swaps messages 2 and 3 after the check; the newest is still last, so the
    // rows come from the check's cache. Save and Delete each reach the message shown.
    fake.Swap(2, 3);
    auto tops = [&] {
        const std::vector<std::string> lines = fake.server().commands();
        return std::count_if(lines.begin(), lines.end(),
                             [](const std::string &line) { return StartsText(line, "TOP "); });
    };
    const auto topsBefore = tops();
    std::string savedAs;
    WithList(row, [&](TMailListFrm &window) {
        ASSERT_EQ(window.List.Rows.size(), 5u);
        EXPECT_EQ(tops() - topsBefore, 1) << "not from the cache";
        select(window, "subject 3");
        savedAs = inbox + "/" + window.List.DefaultSaveName(window.SelectedRows().front());
        window.SaveMessages(false);
        select(window, "subject 2");
        window.DeleteSelected();
    });
    EXPECT_NE(testenv::ReadFile(savedAs).find("Subject: subject 3\r\n"), std::string::npos);
    EXPECT_EQ(fake.removed(), std::vector<std::string>{raw[1]});

    // Two messages share an id: each row deletes its own. Then another message goes and a new
    // one arrives under its id: its row deletes nothing and says so.
    fake.SetUid(raw[0], "shared");
    fake.SetUid(raw[4], "shared");
    fake.SetUid(raw[3], "reused");
    WithList(row, [&](TMailListFrm &window) {
        ASSERT_EQ(window.List.Rows.size(), 4u);
        select(window, "subject 1");
        window.DeleteSelected();
        EXPECT_EQ(fake.removed().back(), raw[0]);

        TPop3 other;
        other.Host = Server(FakeBox(fake));
        other.User = "other";
        other.Password = FakePop3Mailbox::Password;
        ASSERT_TRUE(other.Connect());
        ASSERT_TRUE(other.DeleteMessage(2)); // message 4, after 3
        other.Disconnect();
        fake.Add(raw[5]);
        fake.SetUid(raw[5], "reused");
        select(window, "subject 4");
        window.DeleteSelected();
        EXPECT_EQ(window.LMDpfStatusBar->text().toStdString(),
                  "Deleted 0 - 1 no longer on the server as listed");
    });
    EXPECT_EQ(fake.removed(), (std::vector<std::string>{raw[1], raw[0], raw[3]}));
    EXPECT_EQ(fake.messages(), (std::vector<std::string>{raw[2], raw[4], raw[5]}));
}

// At its default size on a laptop screen the list shows every column whole, long senders
// included (the Subject gives up width first), without a horizontal scroll bar; with no mail
// program set, Run Mail names the desktop's default. The size and a column the user widened come
// back after a restart.
TEST_F(ServerMailList, DefaultSizeShowsEveryColumnWholeAndTheSizeOutlivesTheMonitor)
{
    ASSERT_GE(QApplication::primaryScreen()->availableGeometry().width(), 1366);
    fixtures::Mailbox box = fixtures::CreateMailbox("widelist");
    fixtures::AddMessages(
        box, {Message("Annabel Quartermaine <annabel.quartermaine@example11.com>",
                      "Minutes of the quarterly planning meeting", "<wide-1@example11.com>"),
              Message("bob@example.org", "Lunch?", "<wide-2@example.org>")});
    const int row = AddMailbox(box);
    Globals->DefaultMailer.clear();

    QSize size;
    int dateWidth = 0;
    WithList(row, [&](TMailListFrm &window) {
        ASSERT_EQ(window.List.Rows.size(), 2u);
        EXPECT_EQ(window.LMDpfRunMail->Caption(), "Default Mail Program");
        QTableView *view = window.lvMailList;
        QHeaderView *header = view->horizontalHeader();
        QApplication::processEvents();
        int columns = 0;
        for (int column = 0; column < MailListColumnCount; ++column) {
            columns += header->sectionSize(column);
            if (column == mlSubject)
                continue; // gives up width first, when not all fit
            for (const TMailListRow &listed : window.List.Rows)
                EXPECT_GE(header->sectionSize(column),
                          view->fontMetrics().horizontalAdvance(
                              QString::fromStdString(listed.Text(column))))
                    << maillisttext::Columns[column];
        }
        EXPECT_LE(columns, view->viewport()->width()) << "no horizontal scroll bar";
        EXPECT_FALSE(view->horizontalScrollBar()->isVisible());

        size = window.size() - QSize(40, 30);
        window.resize(size);
        dateWidth = header->sectionSize(mlDate) + 25;
        header->resizeSection(mlDate, dateWidth);
    });

    // A new monitor (the kept layout of the old one is gone with it) opens the list as left.
    Frm.reset();
    Frm = std::make_unique<TCorvexFrm>();
    Frm->Monitor->Activated = true;
    Frm->Monitor->PauseMs = 0;
    const int again = AddMailbox(box);
    WithList(again, [&](TMailListFrm &window) {
        EXPECT_EQ(window.size(), size);
        EXPECT_EQ(window.lvMailList->horizontalHeader()->sectionSize(mlDate), dateWidth);
    });
}
