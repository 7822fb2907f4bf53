#include "common/globals.h"
#include "common/text.h"
#include "common/ui/rowmodel.h"
#include "common/utils.h"
#include "strenna/browserfrm.h"
#include "strenna/mailsearchfrm.h"
#include "support/fixtures.h"
#include "support/testenv.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QItemSelectionModel>
#include <QTableView>
#include <algorithm>
#include <cctype>
#include <gtest/gtest.h>
#include <random>

namespace {

std::string Message(const std::string &subject, const std::string &body)
{
    fixtures::MessageFields fields;
    fields.subject = subject;
    fields.body = body;
    return fixtures::BuildMessage(fields);
}

} // namespace

// The search window driven through the browser's search routine: case, whole words, a folder
// whose name holds "=", several hits in one file, a far line, "Text not found!" and delete.
TEST(MailSearch, FindsEveryMatchingLineAndKeepsRowsWhenNothingIsFound)
{
    const std::string dir = testenv::MakeScratchDir("box=one") + "/";
    testenv::WriteFile(dir + "a.eml", Message("Greeting", "Hello Corvex\r\nhello corvex\r\n"
                                                          "HELLO again\r\nsay hello there\r\n"));
    std::string longBody;
    for (int i = 0; i < 12400; ++i)
        longBody += i == 12330 ? "the needle line\r\n" : "filler\r\n";
    testenv::WriteFile(dir + "b.eml", Message("Long one", longBody));

    TInboxFrm browser(TStringList{dir, "joe@pop.example.org"});
    browser.Activate();
    ASSERT_EQ(browser.Model->rowCount(), 2);
    TfrmMailSearch &search = *browser.SearchWindow;
    std::vector<std::string> informed;
    search.Inform = [&](const std::string &text) { informed.push_back(text); };
    search.ShowSearch();

    // Ignoring case, the word is found in capitals, lower case and as typed: one row per line.
    search.LMDcbSearchStr->setEditText("Hello");
    search.WhereButtons->button(int(TSearchWhere::CurrentInbox))->setChecked(true);
    search.Begin();
    ASSERT_EQ(search.Model->rowCount(), 4);
    EXPECT_EQ(search.Hits[0].Path, dir + "a.eml") << "a path with '=' keeps its hits";
    EXPECT_EQ(search.Rows[1].Caption, "hello corvex");
    EXPECT_EQ(search.Rows[0].Cell(2), "Greeting");
    EXPECT_EQ(search.Hits[3].Position, 5);

    search.LMDcbxCaseSense->setChecked(true);
    search.Begin();
    EXPECT_EQ(search.Model->rowCount(), 1);
    search.LMDcbxCaseSense->setChecked(false);
    search.LMDcbxWholeWord->setChecked(true); // between two blanks only
    search.Begin();
    ASSERT_EQ(search.Model->rowCount(), 1);
    EXPECT_EQ(search.Rows[0].Caption, "say hello there");
    EXPECT_EQ(search.LMDcbSearchStr->count(), 1) << "the text is kept once";

    // Nothing found: the message, and the previous rows stay.
    search.LMDcbxWholeWord->setChecked(false);
    search.LMDcbSearchStr->setEditText("absent-word");
    search.Begin();
    EXPECT_EQ(informed, std::vector<std::string>{"Text not found!"});
    EXPECT_EQ(search.Model->rowCount(), 1);

    // The listed messages: a hit far into a long message shows its own line.
    search.WhereButtons->button(int(TSearchWhere::Listed))->setChecked(true);
    search.LMDcbSearchStr->setEditText("needle");
    search.Begin();
    ASSERT_EQ(search.Model->rowCount(), 1);
    EXPECT_EQ(search.Rows[0].Caption, "the needle line");
    const std::string b = testenv::ReadFile(dir + "b.eml");
    EXPECT_EQ(search.Hits[0].Line, std::count(b.begin(), b.begin() + b.find("the needle"), '\n'));

    // Delete asks with the full path, deletes the file and searches again.
    std::string asked;
    search.Confirm = [&](const std::string &text) {
        asked = text;
        return true;
    };
    search.lvSrchResult->selectionModel()->select(
        search.Model->index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    search.DeleteSelected();
    EXPECT_EQ(asked, Format("\nYou are about to delete:\n\n %s\n\n Press OK to continue?\n",
                            (dir + "b.eml").c_str()));
    EXPECT_FALSE(TUtils::FileExists(dir + "b.eml"));

    // Many hits: every one is counted, the rows are capped.
    TSearchOptions options;
    options.Text = "filler";
    testenv::WriteFile(dir + "c.eml", Message("Again", longBody));
    TSearchResult capped = SearchFiles({dir + "c.eml"}, options, 100);
    EXPECT_EQ(capped.Hits.size(), 100u);
    EXPECT_EQ(capped.HitCount, 12399);
}

// Ignoring case, the search finds line for line and place for place what lower-casing both texts
// finds: texts of one to twelve bytes taken from anywhere in a file (letters in both cases,
// blanks, digits, tabs, UTF-8), with the case of their letters changed, and some found nowhere.
TEST(MailSearch, IgnoringCaseFindsWhatLowerCasingFinds)
{
    const std::string path = testenv::MakeScratchDir("fold") + "/m.eml";
    const std::string alphabet = "aAbBzZ 9\t\xC3\xA9";
    std::mt19937 random(7);
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += random() % 41 == 0 ? '\n' : alphabet[random() % alphabet.size()];
    testenv::WriteFile(path, text);
    const std::vector<std::string> lines = SplitText(text, '\n');

    for (int round = 0; round < 300; ++round) {
        TSearchOptions options;
        options.Text = text.substr(random() % (text.size() - 12), 1 + random() % 12);
        options.Text = options.Text.substr(0, options.Text.find('\n'));
        for (char &c : options.Text)
            if (random() % 2)
                c = char(std::toupper(static_cast<unsigned char>(c)));
        if (round % 10 == 0)
            options.Text += "q"; // in no line
        std::vector<std::pair<int, int>> expected, found;
        for (size_t line = 0; line < lines.size(); ++line) {
            const size_t at = LowerCase(lines[line]).find(LowerCase(options.Text));
            if (at != std::string::npos && !options.Text.empty())
                expected.emplace_back(int(line), int(at) + 1);
        }
        for (const TSearchHit &hit : SearchFiles({path}, options, 1000000).Hits)
            found.emplace_back(hit.Line, hit.Position);
        ASSERT_EQ(found, expected) << "'" << options.Text << "'";
    }
}
