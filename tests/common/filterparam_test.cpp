// Rule lines, list files, scoring and matching, and the filter editor's state.
#include "common/filterparam.h"

#include <gtest/gtest.h>

#include "common/utils.h"
#include "support/testenv.h"

namespace {

TStringList Rules(std::initializer_list<std::string> lines)
{
    return TStringList(lines);
}

int Match(const std::string &from, const std::string &subject, const TStringList &rules)
{
    TRuleActions actions;
    return MatchRules(from, subject, actions, rules);
}

TEST(Score, WholeTextAndWholeWord)
{
    // An address between an at sign and a closing bracket stands as a word.
    EXPECT_EQ(Score("example.com", "john smith <john@example.com>"), 7);
    EXPECT_EQ(Score("john@example.com", "\"john\" <john@example.com>"), 7);
    EXPECT_EQ(Score("spam", "  spam "), 10);
    // Inside a longer word it is no hit at all.
    EXPECT_EQ(Score("ample", "john@example.com"), 0);
    // A later occurrence that stands as a word still counts.
    EXPECT_EQ(Score("free", "carefree and free"), 7);
}

TEST(Score, KeywordsAndWildcards)
{
    EXPECT_EQ(Score("offer;free*;", "freebies on offer"), 2);
    EXPECT_EQ(Score("news;", "newsletter"), 0);
    EXPECT_EQ(Score("news*;", "newsletter"), 1);
    EXPECT_EQ(Score("news*;", "the renewsletter"), 0); // must begin a word
    // "?" takes the word plus exactly one more character.
    EXPECT_EQ(Score("free?;", "get freez now"), 1);
    EXPECT_EQ(Score("free?;", "get free now"), 0);
    EXPECT_EQ(Score("free?;", "get freebies"), 0);
    // Text after the last ";" is no keyword; delimiters bound words like blanks.
    EXPECT_EQ(Score("win;cash", "win cash"), 1);
    EXPECT_EQ(Score("win;cash;", "<win>, cash!"), 2);
    EXPECT_EQ(Score(";;", "anything"), 0);
    // Blanks after a ";" do not hide the next keyword.
    EXPECT_EQ(Score("offer; free*;", "freebies on offer"), 2);
    EXPECT_EQ(Score("free*;", "free."), 1);
}

TEST(MatchRules, RuleKindsAndTies)
{
    // Both fields need both hits; an empty address field never tests the address.
    TStringList rules = Rules({"bob@x.com|offer|", "|lottery|"});
    EXPECT_EQ(Match("bob@x.com", "nothing here", rules), -1);
    EXPECT_EQ(Match("someone@else.org", "you won the lottery", rules), 1);
    EXPECT_EQ(Match("bob@x.com", "special offer", rules), 0);

    // Equal scores: the earlier rule keeps the match.
    EXPECT_EQ(Match("a@spam.com", "", Rules({"spam.com|", "spam.com|"})), 0);
    // A higher score of a later rule of the same kind wins.
    EXPECT_EQ(Match("a@spam.com", "", Rules({"win;spam;|", "a@spam.com|"})), 1);
    // A subject-only hit always becomes the best, even after a better address rule.
    EXPECT_EQ(Match("a@spam.com", "cheap pills", Rules({"a@spam.com|", "|pills;|"})), 1);
    // Punctuation in the subject does not hide a keyword.
    EXPECT_EQ(Match("x@y", "(pills)", Rules({"|pills;|"})), 0);
    // Lines with neither pattern are skipped; nothing to test gives no match.
    EXPECT_EQ(Match("x@y", "", Rules({"||", "|"})), -1);
    EXPECT_EQ(Match("", "", Rules({"a|b"})), -1);
}

TEST(MatchRules, ExactMatchIgnoresOnlyBlanksAndCase)
{
    TStringList rules = Rules({" Bob@X.com |||1|0|00120||000|"});
    EXPECT_EQ(Match("bob@x.com", "", rules), 0);
    EXPECT_EQ(Match("BOB@X.COM  ", "", rules), 0);
    EXPECT_EQ(Match("Bob <bob@x.com>", "", rules), -1);
    TStringList subjectRules = Rules({"|Hello World||0|1|"});
    EXPECT_EQ(Match("x@y", "hello world", subjectRules), 0);
    EXPECT_EQ(Match("x@y", "hello world!", subjectRules), -1);
    // An unknown mode never hits.
    EXPECT_EQ(Match("bob@x.com", "", Rules({"bob@x.com|||7|"})), -1);
}

TEST(MatchRules, CaseOfEveryScriptIsIgnored)
{
    // Über; / über, and an exact address with capital accented letters.
    EXPECT_EQ(Match("x@y",
                    "\xC3\xBC"
                    "ber uns",
                    Rules({"|\xC3\x9C"
                           "ber;|"})),
              0);
    EXPECT_EQ(Match("J\xC3\x9CRGEN@X.DE", "", Rules({"j\xC3\xBCrgen@x.de|||1|"})), 0);
    // Punctuation around a non-ASCII word does not hide it; "?" counts one character, not
    // one byte.
    EXPECT_EQ(Match("x@y",
                    "\xC3\x9C"
                    "BER!!",
                    Rules({"|\xC3\xBC"
                           "ber;|"})),
              0);
    EXPECT_EQ(Score("caf?;", "un caf\xC3\xA9 noir"), 1);
    EXPECT_EQ(Score("caf?;", "un caf\xC3\xA9s noir"), 0);
    EXPECT_EQ(Score("\xC3\xBC"
                    "ber;",
                    "gr\xC3\xBC\xC3\xBC"
                    "ber"),
              0);
}

TEST(MatchRules, ActionsComeFromTheMatchedRule)
{
    TRuleActions actions;
    TStringList rules = Rules({"other|", "spam.com|||0|0|10abc|fwd@x.org|011|/alt|"});
    ASSERT_EQ(MatchRules("a@spam.com", "", actions, rules), 1);
    EXPECT_TRUE(actions.Forward);
    EXPECT_FALSE(actions.ToMobile);
    EXPECT_EQ(actions.MaxSize, 120);
    EXPECT_EQ(actions.ForwardTo, "fwd@x.org");
    EXPECT_FALSE(actions.SaveToInbox);
    EXPECT_TRUE(actions.Delete);
    EXPECT_TRUE(actions.SaveToAltFolder);
    EXPECT_EQ(actions.AltFolder, "/alt");

    TRuleActions mobile = ActionsFromRule(SplitRule("a|b||0|0|11045||100|"));
    EXPECT_TRUE(mobile.ToMobile);
    EXPECT_EQ(mobile.MaxSize, 45);
    EXPECT_TRUE(mobile.SaveToInbox);

    // A line without its last field asks for nothing; a miss resets earlier actions.
    ASSERT_EQ(MatchRules("a@spam.com", "", actions, Rules({"spam.com|||0|0|11045||111"})), 0);
    EXPECT_FALSE(actions.Forward || actions.Delete || actions.SaveToInbox);
    MatchRules("a@spam.com", "", actions, rules);
    EXPECT_EQ(MatchRules("nobody@else", "", actions, rules), -1);
    EXPECT_FALSE(actions.Forward || actions.Delete || actions.SaveToAltFolder);
}

class RuleFiles : public ::testing::Test
{
protected:
    void TearDown() override { SetRuleEditor(nullptr); }
    std::string folder = testenv::MakeScratchDir("rules");
};

TEST_F(RuleFiles, AddingTheSameRuleTwiceKeepsOneLine)
{
    // The editor accepts the prefilled rule unchanged.
    SetRuleEditor([](const std::string &caption, bool blank, TRuleFields &fields) {
        EXPECT_EQ(caption, "E-mail Rejection");
        TRuleEditState state;
        state.Open(blank, fields);
        fields = state.Fields();
        return true;
    });
    EXPECT_TRUE(AddRuleFromMessage("spam@x.com", "Cheap", true, true, "", folder));
    EXPECT_FALSE(AddRuleFromMessage("SPAM@X.COM", "cheap", true, true, "", folder));
    EXPECT_EQ(testenv::ReadFile(folder + "/mRejectMail.ini"),
              "spam@x.com|Cheap||0|0|00120||000|\n");

    // A cancelled editor writes nothing; a mailbox rule goes to the inbox folder.
    SetRuleEditor([](const std::string &, bool, TRuleFields &) { return false; });
    EXPECT_FALSE(AddRuleFromMessage("a@b", "", false, false, folder, folder));
    EXPECT_FALSE(TUtils::FileExists(folder + "/PriorityMail.ini"));
}

TEST_F(RuleFiles, ListFilesAndMerging)
{
    std::string path = ListFilePath(folder, TListKind::Priority, true);
    TStringList lines;
    EXPECT_EQ(LoadListFile(path, lines), TListLoad::Missing);
    EXPECT_TRUE(TUtils::FileExists(path)); // created empty
    testenv::WriteFile(path, "a|\r\n\r\nb|\n\n");
    EXPECT_EQ(LoadListFile(path, lines), TListLoad::Loaded);
    EXPECT_EQ(lines.Items(), (std::vector<std::string>{"a|", "b|"}));

    MergeRules(lines, Rules({"B|", "c|", "a|"}));
    EXPECT_EQ(lines.Items(), (std::vector<std::string>{"a|", "b|", "c|"}));

    EXPECT_EQ(ListFilePath("", TListKind::Reject, false), "");
    EXPECT_FALSE(AppendRule("", "x|"));
    // A separator typed into a field cannot shift the fields of the stored line.
    EXPECT_EQ(SplitRule(JoinRule({"a|b", "s"}))[1], "s");
}

TEST(RuleEditor, OpensWithDefaultsForMissingFields)
{
    TRuleEditState state;
    state.Open(false, SplitRule("a@b.c|hello"));
    EXPECT_EQ(state.AddressMode, mmContains);
    EXPECT_EQ(state.SubjectMode, mmContains);
    EXPECT_FALSE(state.Forward || state.ToMobile || state.SaveToInbox || state.DeleteFromServer ||
                 state.SaveToAltFolder || state.AltFolderEnabled);
    EXPECT_EQ(state.MaxSize, 120);
    EXPECT_EQ(state.WindowWidth(), 318);
    state.Open(false, SplitRule("|" + std::string(50, 'x')));
    EXPECT_EQ(state.WindowWidth(), 50 * 8 + 32);
    // Blanks alone are no pattern.
    state.Open(true, {});
    state.SubjectText = "   ";
    EXPECT_FALSE(state.CanApply());
}

TEST(RuleEditor, MatchByLeavesTheOtherBoxOutOfTheRule)
{
    TRuleEditState state;
    state.Open(false, SplitRule("Joe <joe@x.org>|news"));
    state.SetMatchBy(TRuleEditState::mbAddress);
    // A quick edit of the disabled subject box does not bring the subject back.
    state.SubjectQuickEdit(TRuleEditState::sqRestore);
    EXPECT_EQ(state.Fields()[rfSubject], "");
    state.SetMatchBy(TRuleEditState::mbSubject);
    state.AddressQuickEdit(TRuleEditState::aqMailerId);
    EXPECT_EQ(state.Fields()[rfAddress], "");
    EXPECT_EQ(state.Fields()[rfSubject], "news");
}

TEST(RuleEditor, AddressPiecesAndChoices)
{
    const std::string address = "\"Joe Bloggs\" <joe@mail.example.org>";
    EXPECT_EQ(MailerName(address), "Joe Bloggs");
    EXPECT_EQ(MailerId(address), "joe");
    EXPECT_EQ(MailerIsp(address), "mail.example.org");
    EXPECT_EQ(MailerId("joe@x.org"), "joe");
    EXPECT_EQ(MailerIsp("joe@x.org"), "x.org");
    EXPECT_EQ(MailerName("joe@x.org"), "");

    EXPECT_EQ(AddressChoices(address),
              (std::vector<std::string>{address, "Joe Bloggs", "joe", "mail.example.org",
                                        "Joe Bloggs;joe", "Joe Bloggs;joe;mail.example.org",
                                        "joe;mail.example.org"}));
    EXPECT_EQ(SubjectChoices(" one two "),
              (std::vector<std::string>{"one two", "one", "two", "one two"}));
    EXPECT_EQ(SubjectChoices("single"), (std::vector<std::string>{"single"}));
}

TEST(RuleEditor, HistoryListDeleteRemovesTheEntryFromTheFile)
{
    std::string path = testenv::MakeScratchDir("history") + "/AltPath.ini";
    THistoryList history(path);
    history.Load(); // missing file: empty list
    EXPECT_EQ(history.Entries.Count(), 0);
    EXPECT_TRUE(history.Save("/a"));
    EXPECT_TRUE(history.Save("/b"));
    EXPECT_TRUE(history.Save(""));
    EXPECT_TRUE(history.CanDelete("/a"));
    EXPECT_TRUE(history.Delete("/a"));
    THistoryList reread(path);
    reread.Load();
    EXPECT_EQ(reread.Entries.Items(), std::vector<std::string>{"/b"});
}

} // namespace
