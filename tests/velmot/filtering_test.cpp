#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QProcess>
#include <QTableView>
#include <QTest>
#include <filesystem>
#include <gtest/gtest.h>

#include "common/filterparam.h"
#include "common/names.h"
#include "common/platform/locks.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "support/fixtures.h"
#include "support/keyboard.h"
#include "support/testenv.h"
#include "velmot/filteringfrm.h"

namespace fs = std::filesystem;

namespace {

class FilteringWindowTest : public ::testing::Test
{
protected:
    std::string Folder = testenv::MakeScratchDir("velmot");
    std::vector<std::string> Messages;

    std::unique_ptr<TFilteringFrm> Open(const std::string &listFile)
    {
        auto window = std::make_unique<TFilteringFrm>(listFile);
        window->ShowMessage = [this](const std::string &text) { Messages.push_back(text); };
        return window;
    }

    // The criteria editor answers with this rule (or cancels when it is empty).
    static void EditorAnswers(const TRuleFields &answer)
    {
        SetRuleEditor([answer](const std::string &, bool, TRuleFields &fields) {
            if (answer.empty())
                return false;
            fields = answer;
            return true;
        });
    }

    static std::vector<std::string> Column(const TFilteringFrm &window, int column)
    {
        std::vector<std::string> texts;
        auto *model = window.lvFilterList->model();
        for (int row = 0; row < model->rowCount(); ++row)
            texts.push_back(model->index(row, column).data().toString().toStdString());
        return texts;
    }
};

} // namespace

TEST_F(FilteringWindowTest, EditsAreWrittenSortedOnceAndRulesAddedMeanwhileSurvive)
{
    const std::string file = Folder + "/" + names::MasterRejectFile;
    // Empty and blank lines (an empty rule written out by an older copy among them) are no rules.
    testenv::WriteFile(file, "zed@x| Win big |||||||\n\nA|b|c|0|0|00120|||\n \t\n||||||||\n"
                             "a|B|c|0|0|00120|||\n");
    auto window = Open(file);
    ASSERT_TRUE(window->Activate());
    EXPECT_EQ(window->windowTitle(), "Master E-mail Rejection List");
    EXPECT_EQ(Column(*window, 0), (std::vector<std::string>{"zed@x", "A", "a"}));
    EXPECT_EQ(Column(*window, 1), (std::vector<std::string>{"Win big", "b", "B"}));
    EXPECT_FALSE(PButtons->IsAvailable(window->LMDpfApply));

    // The first click on a column puts the larger text first; the second reverses.
    window->lvFilterListColumnClick(1);
    EXPECT_EQ(Column(*window, 1).front(), "Win big");
    window->lvFilterListColumnClick(1);
    EXPECT_EQ(Column(*window, 1).back(), "Win big");

    // A cancelled editor changes nothing; an accepted one adds a row and enables Apply.
    EditorAnswers({});
    window->LMDpfAddClick();
    EXPECT_EQ(window->List.Rows.size(), 3u);
    EXPECT_FALSE(PButtons->IsAvailable(window->LMDpfApply));
    EditorAnswers({"new@y", "Hello", "", "1", "0", "00120", "", "010", ""});
    window->LMDpfAddClick();
    EXPECT_TRUE(PButtons->IsAvailable(window->LMDpfApply));

    // Edit replaces the selected row and clears the selection.
    const auto captions = Column(*window, 0);
    const int zed = int(std::find(captions.begin(), captions.end(), "zed@x") - captions.begin());
    window->lvFilterList->selectRow(zed);
    EditorAnswers({"edited@z", "Sub", "", "0", "0", "00120", "", "000", ""});
    window->LMDpfEditClick();
    EXPECT_EQ(window->List.Rows[std::size_t(zed)].Caption, "edited@z");
    EXPECT_TRUE(window->lvFilterList->selectionModel()->selectedRows().isEmpty());

    // Meanwhile the monitor adds a rule from its decision prompt.
    ASSERT_TRUE(AppendRule(file, JoinRule({"monitor@m", "Added"})));

    window->LMDpfApplyClick();
    EXPECT_TRUE(Messages.empty());
    EXPECT_FALSE(PButtons->IsAvailable(window->LMDpfApply));
    // "A|b…" and "a|B…" are one rule; the blank lines are gone; the order ignores case.
    TStringList written;
    ASSERT_TRUE(written.LoadFromFile(file));
    ASSERT_EQ(written.Count(), 4);
    EXPECT_TRUE(SameText(written[0], "A|b|c|0|0|00120|||")) << written[0];
    EXPECT_EQ(written[1], "edited@z|Sub||0|0|00120||000|");
    EXPECT_EQ(written[2], "monitor@m|Added|||||||");
    EXPECT_EQ(written[3], "new@y|Hello||1|0|00120||010|");
    // The table shows what the file holds: the monitor's rule too, "A" and "a" as one row.
    std::vector<std::string> inFile;
    for (const std::string &line : written)
        inFile.push_back(SplitRule(line)[rfAddress]);
    EXPECT_EQ(Column(*window, 0), inFile);

    // The monitor recognises velmot's rules as its own: nothing is added twice.
    EXPECT_FALSE(AppendRule(file, JoinRule({"NEW@Y", "hello", "", "1", "0", "00120", "", "010"})));

    // A removed row stays removed, even one that came from the monitor.
    const auto rows = Column(*window, 0);
    const int monitorRow = int(std::find(rows.begin(), rows.end(), "monitor@m") - rows.begin());
    window->lvFilterList->selectRow(monitorRow);
    window->LMDpfRemoveClick();
    window->LMDpfApplyClick();
    EXPECT_EQ(testenv::ReadFile(file).find("monitor@m"), std::string::npos);

    // Tab reaches every control: the list does not keep it walking its cells. Esc closes.
    window->show();
    EXPECT_EQ(keyboard::ControlsTabMisses(window.get()), std::vector<std::string>{});
    QTest::keyClick(window->lvFilterList, Qt::Key_Escape);
    EXPECT_TRUE(fixtures::WaitUntil([&] { return !window->isVisible(); }, 5000));
}

TEST_F(FilteringWindowTest, MissingListIsCreatedPrivateAndAnUncreatableOneEndsTheProgram)
{
    const std::string file = Folder + "/joe/" + names::PriorityFile;
    fs::create_directory(Folder + "/joe");
    auto window = Open(file);
    ASSERT_TRUE(window->Activate());
    EXPECT_EQ(window->windowTitle(), "E-mail Priority List");
    EXPECT_EQ(window->lvFilterList->model()->rowCount(), 0);
    ASSERT_TRUE(fs::exists(file));
    EXPECT_EQ(testenv::FileMode(file), 0600u);
    EXPECT_EQ(fs::file_size(file), 0u);

    // A folder where the list should be can be neither read nor replaced.
    const std::string blocked = Folder + "/" + names::MasterPriorityFile;
    fs::create_directory(blocked);
    auto failing = Open(blocked);
    EXPECT_FALSE(failing->Activate());
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0], "Can't Create:\n" + blocked);
    EXPECT_TRUE(fs::is_directory(blocked));
}

// The program itself: without its list file, or while another copy runs, it ends at once.
TEST(VelmotProgram, EndsAtOnceWithoutAListOrWhenAlreadyRunning)
{
    const std::string folder = testenv::MakeScratchDir("velmot-program");
    const std::string program = folder + "/velmot";
    fs::copy_file(testenv::ProgramPath("velmot"), program);
    auto run = [&] {
        QProcess velmot;
        velmot.start(QString::fromStdString(program), {});
        QElapsedTimer clock;
        clock.start();
        const bool ended = velmot.waitForFinished(8000);
        if (!ended)
            velmot.kill(), velmot.waitForFinished(2000);
        return std::make_pair(ended && velmot.exitCode() == 0, clock.elapsed());
    };

    auto [ended, ms] = run(); // no parameter file
    EXPECT_TRUE(ended);
    EXPECT_LT(ms, 5000);

    const std::string list = folder + "/" + names::MasterRejectFile;
    testenv::WriteFile(program + ".ini", list + "\n");
    auto lock = platform::AcquireNamedLock(names::Velmot); // a copy already runs
    ASSERT_TRUE(lock);
    std::tie(ended, ms) = run();
    EXPECT_TRUE(ended);
    EXPECT_LT(ms, 5000);
    EXPECT_FALSE(fs::exists(list)) << "the second copy touched the list";

    // Alone, it opens its window on the list, created empty.
    lock.reset();
    QProcess velmot;
    velmot.start(QString::fromStdString(program), {});
    ASSERT_TRUE(velmot.waitForStarted(5000));
    EXPECT_TRUE(testenv::WaitUntil([&] { return fs::exists(list); }, 8000));
    EXPECT_FALSE(velmot.waitForFinished(300)) << "it ended instead of showing its window";
    EXPECT_EQ(testenv::FileMode(list), 0600u);
    velmot.terminate();
    velmot.waitForFinished(5000);
}
