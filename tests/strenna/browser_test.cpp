#include "common/globals.h"
#include "common/names.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/placement.h"
#include "common/ui/rowmodel.h"
#include "common/utils.h"
#include "strenna/browserfrm.h"
#include "strenna/mailsearchfrm.h"
#include "strenna/sendtofrm.h"
#include "support/fixtures.h"
#include "support/keyboard.h"
#include "support/modalsteps.h"
#include "support/testenv.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>
#include <thread>

namespace {

std::string Message(const std::string &from, const std::string &subject, const std::string &date,
                    const std::string &body = "Text\r\n")
{
    fixtures::MessageFields fields;
    fields.from = from;
    fields.subject = subject;
    fields.date = date;
    fields.body = body;
    return fixtures::BuildMessage(fields);
}

const TListRow *RowOfFile(const TMessageBrowser &browser, const std::string &name)
{
    for (const TListRow &row : browser.Rows)
        if (row.Cell(mcFileName) == name)
            return &row;
    return nullptr;
}

} // namespace

// What a folder lists and what each row shows, filters and the arrival-date order.
TEST(SavedMessages, ListingFactsFiltersAndDateOrder)
{
    const std::string dir = testenv::MakeScratchDir("inbox") + "/";
    testenv::WriteFile(dir + "plain.eml", fixtures::PlainSample().raw);
    testenv::WriteFile(dir + "multi.eml", fixtures::MultipartSample().raw);
    testenv::WriteFile(dir + "encoded.eml", fixtures::EncodedFromSample().raw);
    // A header that merely ends with "From:" and a body line "From:" are no sender.
    testenv::WriteFile(dir + "resent.eml", "Resent-From: relay@example.org\r\nSubject: only\r\n"
                                           "\r\nFrom: body@example.org\r\n");
    testenv::WriteFile(dir + "old.eml",
                       Message("Old <o@x>", "Old NEWS", "Tue, 30 Dec 2025 23:10:00 +0000"));
    testenv::WriteFile(dir + "new.eml",
                       Message("New <n@x>", "New news", "Fri, 02 Jan 2026 08:00:00 +0000"));
    testenv::WriteFile(dir + "empty.eml", "");
    testenv::WriteFile(dir + "upper.EML", fixtures::PlainSample().raw);
    testenv::WriteFile(dir + "long.emlx", fixtures::PlainSample().raw);

    TMessageBrowser browser;
    browser.MailboxFolder = dir;
    browser.LoadMessageList(TFilterType::None, "");
    ASSERT_EQ(browser.Rows.size(), 6u);
    EXPECT_EQ(RowOfFile(browser, "empty.eml"), nullptr);

    const TListRow *multi = RowOfFile(browser, "multi.eml");
    ASSERT_NE(multi, nullptr);
    EXPECT_EQ(multi->Caption, fixtures::MultipartSample().from);
    EXPECT_NE(multi->Cell(mcAttachments), "");
    EXPECT_NE(multi->Cell(mcAttachments).find(", "), std::string::npos) << "two attachments";
    EXPECT_EQ(multi->Cell(mcSize), std::to_string(fixtures::MultipartSample().raw.size()));
    EXPECT_EQ(RowOfFile(browser, "encoded.eml")->Caption, fixtures::EncodedFromSample().from);
    const TListRow *resent = RowOfFile(browser, "resent.eml");
    EXPECT_EQ(resent->Caption, "NA");
    EXPECT_EQ(resent->Cell(mcArrivalDate).substr(0, 10), "13.00.0000");
    EXPECT_EQ(resent->Cell(mcContentType), "NA");
    EXPECT_EQ(RowOfFile(browser, "plain.eml")->Cell(mcAttachments), "");

    // Unfiltered loads fill the value lists; the day is offered as month.day.year.
    EXPECT_EQ(browser.DateValues.count("01.02.2026"), 1u);
    EXPECT_EQ(browser.SubjectValues.count("Old NEWS"), 1u);

    // Newest first on the first sort by arrival date, across the turn of the year.
    browser.Sort(ArrivalDateColumn, false);
    EXPECT_LT(RowOfFile(browser, "new.eml"), RowOfFile(browser, "old.eml"));
    EXPECT_LT(RowOfFile(browser, "plain.eml"), RowOfFile(browser, "new.eml")); // December 2026
    browser.Sort(ArrivalDateColumn, true);
    EXPECT_GT(RowOfFile(browser, "new.eml"), RowOfFile(browser, "old.eml"));
    browser.Sort(SizeColumn, false);
    EXPECT_EQ(browser.Rows.back().Cell(mcFileName), "multi.eml");

    // Filters are case-sensitive substrings; an empty text lists nothing.
    browser.LoadMessageList(TFilterType::Subject, "NEWS");
    ASSERT_EQ(browser.Rows.size(), 1u);
    EXPECT_EQ(browser.Rows[0].Cell(mcFileName), "old.eml");
    browser.LoadMessageList(TFilterType::ArrivalDate, "01.02.2026");
    ASSERT_EQ(browser.Rows.size(), 1u);
    EXPECT_EQ(browser.Rows[0].Cell(mcFileName), "new.eml");
    browser.LoadMessageList(TFilterType::From, "");
    EXPECT_TRUE(browser.Rows.empty());

    EXPECT_EQ(MailboxNameOf("/home/joe/.local/share/Corvex Users/joe.example.com/"), "joe.example");
    EXPECT_EQ(MailboxNameOf("/home/joe/.local/share/Corvex Users/joe"), "joe");
}

class InboxWindowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        window = std::make_unique<TInboxFrm>(TStringList{launchDir, "joe@pop.example.org"});
        window->Activate();
    }
    void Select(int row)
    {
        window->lvEmailList->selectionModel()->select(window->Model->index(row, 0),
                                                      QItemSelectionModel::ClearAndSelect |
                                                          QItemSelectionModel::Rows);
    }

    std::string launchDir = testenv::MakeScratchDir("joe") + "/";
    std::unique_ptr<TInboxFrm> window;
};

// The same file name in the launch folder and in the rejected mail: a delete after switching
// deletes the confirmed file, even when the window is re-activated while it asks.
TEST_F(InboxWindowTest, DeleteAfterSwitchingRemovesExactlyTheConfirmedFile)
{
    const std::string rejected = TUtils::AddBackslash(Globals->RejectedPath);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(rejected)));
    const std::string raw = fixtures::PlainSample().raw;
    testenv::WriteFile(launchDir + "same.eml", raw);
    testenv::WriteFile(rejected + "same.eml", raw);
    testenv::WriteFile(rejected + "other.eml", raw);

    EXPECT_FALSE(PButtons->IsAvailable(window->LMDpfSend)) << "no settings, no forward";
    window->SelectRejected();
    EXPECT_FALSE(PButtons->IsAvailable(window->LMDpfSend));
    EXPECT_EQ(window->windowTitle().toStdString(), "Saved Messages For: Rejected Mail");
    ASSERT_EQ(window->Model->rowCount(), 2);
    const int row = RowOfFile(window->Browser, "same.eml") - &window->Browser.Rows[0];
    Select(row);

    std::vector<std::string> questions;
    window->Confirm = [&](const std::string &text) {
        questions.push_back(text);
        QEvent activate(QEvent::WindowActivate);
        QApplication::sendEvent(window.get(), &activate);
        return true;
    };
    window->DeleteMessages(false);
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], "\nYou are about to delete 1 messages\n\n Press OK to continue?\n");
    EXPECT_FALSE(TUtils::FileExists(rejected + "same.eml"));
    EXPECT_TRUE(TUtils::FileExists(rejected + "other.eml"));
    EXPECT_TRUE(TUtils::FileExists(launchDir + "same.eml"));
    EXPECT_EQ(window->LMDpfStatusBar->Caption(), "1 Messages");
    EXPECT_EQ(window->Model->rowCount(), 1);

    // A later activation returns to the launch folder.
    window->Activate();
    EXPECT_EQ(window->Browser.MailboxFolder, launchDir);
    EXPECT_EQ(window->Model->rowCount(), 1);

    // "All" asks once with the number of rows; Cancel deletes nothing.
    window->Confirm = [&](const std::string &text) {
        questions.push_back(text);
        return false;
    };
    window->DeleteMessages(true);
    EXPECT_EQ(questions.back(), "\nYou are about to delete 1 messages\n\n Press OK to continue?\n");
    EXPECT_TRUE(TUtils::FileExists(launchDir + "same.eml"));
}

TEST_F(InboxWindowTest, TenThousandFilesShowTenThousandRowsAndTheMailboxMenu)
{
    const std::string raw = Message("Bulk <b@x>", "Bulk", "Mon, 07 Dec 2026 09:15:00 +0000");
    for (int i = 0; i < 10000; ++i)
        testenv::WriteFile(launchDir + Format("msg%05d.eml", i), raw);
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Globals->DataRoot)));
    testenv::WriteFile(TUtils::AddBackslash(Globals->DataRoot) + names::IconMailboxFile,
                       "ann=/nowhere/ann\nbob=/nowhere/bob\nann=/nowhere/again\n");
    window->Activate();
    EXPECT_EQ(window->Model->rowCount(), 10000);
    EXPECT_EQ(window->LMDpfStatusBar->Caption(), "10000 Messages");
    EXPECT_EQ(window->windowTitle().toStdString(),
              "Saved Messages For: " + window->Browser.MailboxName);

    window->FillMailboxMenu();
    window->FillMailboxMenu();
    QStringList items;
    for (QAction *action : window->pmMailBoxes->actions())
        items << action->text();
    EXPECT_EQ(items, QStringList({"Rejected", "ann", "bob"}));
    window->SelectMailbox("bob");
    EXPECT_EQ(window->Browser.MailboxFolder, "/nowhere/bob");
    EXPECT_EQ(window->LMDpfStatusBar->Caption(), "0 Messages");
}

// The filter boxes: the type offers the values of the unfiltered loads, and the chosen day takes
// effect at the next load.
TEST_F(InboxWindowTest, ArrivalDayFilterKeepsThatDaysMessages)
{
    testenv::WriteFile(launchDir + "a.eml",
                       Message("A <a@x>", "One", "Thu, 4 Sep 2003 10:00:00 +0200"));
    testenv::WriteFile(launchDir + "b.eml",
                       Message("B <b@x>", "Two", "Thu, 4 Sep 2003 18:30:00 +0200"));
    testenv::WriteFile(launchDir + "c.eml",
                       Message("C <c@x>", "Three", "Fri, 5 Sep 2003 09:00:00 +0200"));
    window->Activate();
    ASSERT_EQ(window->Model->rowCount(), 3);
    EXPECT_EQ(window->Browser.Rows[0].Cell(mcFileName), "c.eml") << "newest first";

    window->LMDcbFilterType->setCurrentIndex(int(TFilterType::ArrivalDate));
    ASSERT_EQ(window->LMDcbFilterText->count(), 2);
    EXPECT_EQ(window->LMDcbFilterText->itemText(0), "09.04.2003");
    EXPECT_EQ(window->Model->rowCount(), 3) << "choosing a filter does not reload";
    window->LMDcbFilterText->setCurrentIndex(0);
    window->LMDpfRefresh->Click();
    ASSERT_EQ(window->Model->rowCount(), 2);
    EXPECT_EQ(window->LMDpfStatusBar->Caption(), "2 Messages");

    // An empty filter text lists nothing; the next activation shows everything again.
    window->LMDcbFilterType->setCurrentIndex(int(TFilterType::From));
    window->LMDpfRefresh->Click();
    EXPECT_EQ(window->Model->rowCount(), 0);
    window->Activate();
    EXPECT_EQ(window->Model->rowCount(), 3);

    // Each window of the program is worked by the keyboard alone: Tab reaches every control
    // and no list or text keeps it.
    for (QWidget *shown :
         {static_cast<QWidget *>(window.get()), static_cast<QWidget *>(window->SendToWindow),
          static_cast<QWidget *>(window->SearchWindow)}) {
        shown->show();
        EXPECT_EQ(keyboard::ControlsTabMisses(shown), std::vector<std::string>{})
            << shown->metaObject()->className();
    }
}

// Earlier entries are only suggestions: a typed filter or search text runs as typed, also when
// an earlier entry starts with it or differs from it in capitals only.
TEST_F(InboxWindowTest, TypedFilterAndSearchTextsRunAsTyped)
{
    testenv::WriteFile(launchDir + "a.eml",
                       Message("A <a@x>", "deadline account", "", "Your INVOICE is due\r\n"));
    testenv::WriteFile(launchDir + "b.eml",
                       Message("B <b@x>", "new deadline", "", "the invoice is attached\r\n"));
    window->Activate();
    // Typing as into a box with the focus: the focus events come by hand, not from the window
    // system.
    auto type = [](QComboBox *box, const char *text) {
        box->setEditText(QString());
        QFocusEvent focusIn(QEvent::FocusIn, Qt::TabFocusReason);
        QApplication::sendEvent(box->lineEdit(), &focusIn);
        QTest::keyClicks(box->lineEdit(), text);
        QTest::keyClick(box->lineEdit(), Qt::Key_Return);
        QFocusEvent focusOut(QEvent::FocusOut, Qt::TabFocusReason);
        QApplication::sendEvent(box->lineEdit(), &focusOut);
    };

    window->LMDcbFilterType->setCurrentIndex(int(TFilterType::Subject));
    type(window->LMDcbFilterText, "deadline");
    EXPECT_EQ(window->LMDcbFilterText->currentText().toStdString(), "deadline");
    window->LMDpfRefresh->Click();
    EXPECT_EQ(window->Model->rowCount(), 2);

    TfrmMailSearch &search = *window->SearchWindow;
    search.ShowSearch();
    search.Inform = [](const std::string &) {};
    search.LMDcbxCaseSense->setChecked(true);
    search.LMDcbSearchStr->setEditText("INVOICE");
    search.Begin();
    type(search.LMDcbSearchStr, "invoice");
    EXPECT_EQ(search.LMDcbSearchStr->currentText().toStdString(), "invoice");
    search.Begin();
    ASSERT_EQ(search.Model->rowCount(), 1);
    EXPECT_EQ(search.Rows[0].Caption, "the invoice is attached");
    search.close();
}

// Without a mail program chosen in the monitor, "Run Mail" is the desktop's default mail program,
// in the browser and in the search window, which opens with room for a dozen results.
TEST_F(InboxWindowTest, RunMailUsesTheDesktopsDefaultMailProgram)
{
    const std::string record = testenv::InstallRecordingMailProgram();
    Globals->BuildMailerList();
    testenv::WriteFile(launchDir + "a.eml", fixtures::PlainSample().raw);
    window->Activate();
    EXPECT_EQ(window->LMDpfRunMail->Caption(), "Record Mail");

    Select(0);
    window->LMDpfRunMail->Click();
    EXPECT_TRUE(
        testenv::WaitUntil([&] { return testenv::ReadFile(record) == launchDir + "a.eml"; }, 5000))
        << testenv::ReadFile(record);

    TfrmMailSearch &search = *window->SearchWindow;
    search.ShowSearch();
    EXPECT_EQ(search.LMDpfRunMail->Caption(), "Record Mail");
    const int rowHeight = search.lvSrchResult->verticalHeader()->defaultSectionSize();
    EXPECT_GE(search.lvSrchResult->viewport()->height(), 10 * rowHeight);
    search.close();
}

// A later start of the program writes the parameter file and ends at once: the running window
// switches to the mailbox it names, also to the launch mailbox again while another one is shown.
// Once the file is gone, activations keep the mailbox shown.
TEST_F(InboxWindowTest, AnotherStartOfTheProgramSwitchesTheRunningWindow)
{
    EXPECT_EQ(QApplication::applicationDisplayName().toStdString(),
              "Saved Message Manager (Inbox)");
    const std::string other = testenv::MakeScratchDir("ann") + "/";
    testenv::WriteFile(other + "a.eml", fixtures::PlainSample().raw);
    const std::string file = testenv::MakeScratchDir("program") + "/strenna.ini";
    ASSERT_TRUE(TStringList({launchDir, "joe@pop.example.org"}).SaveToFile(file));
    window->WatchParameterFile(file);
    window->Activate();
    EXPECT_EQ(window->Model->rowCount(), 0);

    const TStringList ann({other, "ann@pop.example.org"});
    ASSERT_TRUE(ann.SaveToFile(file));
    EXPECT_TRUE(fixtures::WaitUntil([&] { return window->Model->rowCount() == 1; }, 5000));
    EXPECT_EQ(window->Browser.MailboxAccount, "ann@pop.example.org");
    EXPECT_EQ(window->windowTitle().toStdString(), "Saved Messages For: " + MailboxNameOf(other));

    window->SelectRejected();
    std::this_thread::sleep_for(std::chrono::milliseconds(30)); // a write of a later moment
    ASSERT_TRUE(ann.SaveToFile(file));
    EXPECT_TRUE(fixtures::WaitUntil([&] { return window->Browser.MailboxFolder == other; }, 5000));

    ASSERT_EQ(std::remove(file.c_str()), 0);
    window->SelectRejected();
    window->Activate();
    EXPECT_EQ(window->Browser.MailboxFolder, other);
}

namespace {

// The sum of the list's column widths, and whether each cell of a row shows its whole text.
int ColumnsWidth(const QTableView *view)
{
    int sum = 0;
    for (int column = 0; column < view->model()->columnCount(); ++column)
        sum += view->horizontalHeader()->sectionSize(column);
    return sum;
}

std::vector<int> CutColumns(const QTableView *view, int row)
{
    std::vector<int> cut;
    for (int column = 0; column < view->model()->columnCount(); ++column) {
        const QString text = view->model()->index(row, column).data().toString();
        if (view->horizontalHeader()->sectionSize(column) <
            view->fontMetrics().horizontalAdvance(text))
            cut.push_back(column);
    }
    return cut;
}

} // namespace

// Started from the desktop's menu (no folder): the first mailbox's messages, the others in the
// menu. At the default size every column of a row reads whole without a horizontal scroll bar,
// within a 1366-pixel screen; Find Text shows each hit's line whole, and Esc closes it. A size and
// a column width the user chose come back at the next start.
TEST(InboxWindowStart, OpensOnTheFirstMailboxWithWholeRowsAndKeepsItsSize)
{
    const std::string ann = testenv::MakeScratchDir("ann.example") + "/";
    const std::string bob = testenv::MakeScratchDir("bob") + "/";
    fixtures::MessageFields fields;
    fields.from = "Annabel Quartermaine-Fitzgerald <annabel.quartermaine@example11.com>";
    fields.subject = "Minutes of the quarterly planning meeting, second draft";
    fields.date = "Wed, 25 Dec 2024 05:31:07 +0100";
    fields.body = "The budget line for travel is unchanged.\r\n";
    testenv::WriteFile(ann + "1734567890.12345.corvex.eml", fixtures::BuildMessage(fields));
    testenv::WriteFile(bob + "b.eml", fixtures::PlainSample().raw);
    ASSERT_GE(QApplication::primaryScreen()->availableGeometry().width(), 1366);
    auto window = std::make_unique<TInboxFrm>(TStringList{});
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(Globals->DataRoot)));
    testenv::WriteFile(TUtils::AddBackslash(Globals->DataRoot) + names::IconMailboxFile,
                       "ann=" + ann + "\nbob=" + bob + "\n");
    window->show();
    window->Activate();
    EXPECT_EQ(window->windowTitle().toStdString(), "Saved Messages For: ann");
    ASSERT_EQ(window->Model->rowCount(), 1);
    window->FillMailboxMenu();
    ASSERT_EQ(window->pmMailBoxes->actions().size(), 3);
    EXPECT_EQ(window->pmMailBoxes->actions()[2]->text().toStdString(), "bob");

    QTableView *view = window->lvEmailList;
    QApplication::processEvents();
    EXPECT_LE(window->width(), 1366);
    EXPECT_EQ(CutColumns(view, 0), std::vector<int>{});
    EXPECT_LE(ColumnsWidth(view), view->viewport()->width()) << "no horizontal scroll bar";

    // Find Text: the hit's line and the other columns whole; Esc closes the window.
    TfrmMailSearch &search = *window->SearchWindow;
    search.ShowSearch();
    search.LMDcbSearchStr->setEditText("budget");
    search.Begin();
    ASSERT_EQ(search.Model->rowCount(), 1);
    QApplication::processEvents();
    const std::vector<int> cut = CutColumns(search.lvSrchResult, 0);
    EXPECT_EQ(std::count(cut.begin(), cut.end(), 0), 0) << "the hit's line";
    EXPECT_EQ(std::count(cut.begin(), cut.end(), 1), 0) << "its arrival date";
    EXPECT_LE(ColumnsWidth(search.lvSrchResult), search.lvSrchResult->viewport()->width());
    // "Text not found!" comes in a box whose caption bar shows its whole title.
    int titleWidth = 0, boxWidth = 0;
    OnModal<QMessageBox>([&](QMessageBox *box) {
        QApplication::processEvents();
        titleWidth = TitleWidth(box);
        boxWidth = box->width();
        box->accept();
    });
    search.LMDcbSearchStr->setEditText("no such words");
    search.Begin();
    EXPECT_GT(titleWidth, 0);
    EXPECT_GE(boxWidth, titleWidth);
    QTest::keyClick(search.LMDcbSearchStr, Qt::Key_Escape);
    EXPECT_TRUE(fixtures::WaitUntil([&] { return !search.isVisible(); }, 5000));

    // The user's size and a wider "Size" column come back at the next start.
    const QSize size = window->size() + QSize(-60, 80);
    window->resize(size);
    QApplication::processEvents();
    const int sizeColumn = view->horizontalHeader()->sectionSize(SizeColumn) + 30;
    view->horizontalHeader()->resizeSection(SizeColumn, sizeColumn);
    window->close();
    window.reset();
    window = std::make_unique<TInboxFrm>(TStringList{});
    window->show();
    window->Activate();
    QApplication::processEvents();
    EXPECT_EQ(window->size(), size);
    EXPECT_EQ(window->lvEmailList->horizontalHeader()->sectionSize(SizeColumn), sizeColumn);
}
