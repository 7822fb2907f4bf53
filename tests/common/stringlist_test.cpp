#include <QDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/stringlist.h"
#include "common/text.h"
#include "support/testenv.h"

TEST(StringList, NameValueLookupIgnoresCase)
{
    TStringList list{"Alpha=1", "beta=two=2", "gamma", "=empty name", "alpha=shadowed"};
    EXPECT_EQ(list.IndexOfName("ALPHA"), 0);
    EXPECT_EQ(list.Values("alpha"), "1");    // the first line of that name
    EXPECT_EQ(list.Values("Beta"), "two=2"); // only the first "=" separates
    EXPECT_EQ(list.IndexOfName("gamma"), 2); // a line without "=" is all name
    EXPECT_EQ(list.Values("gamma"), "");
    EXPECT_EQ(list.IndexOfName(""), 3);
    EXPECT_EQ(list.IndexOfName("delta"), -1);
    EXPECT_EQ(list.Values("delta"), "");
    EXPECT_EQ(list.IndexOf("GAMMA"), 2);

    list.SetValue("BETA", "3");
    EXPECT_EQ(list[1], "beta=3"); // the stored name keeps its spelling
    list.SetValue("delta", "4");
    EXPECT_EQ(list[5], "delta=4");
    list.SetValue("alpha", ""); // an empty value removes the line
    EXPECT_EQ(list.Values("alpha"), "shadowed");
    list.Delete(99); // out of range: nothing happens
    EXPECT_EQ(list.Count(), 5);
}

TEST(StringList, TextSplitsEveryLineBreakKind)
{
    TStringList list;
    list.SetText("a\r\nb\nc\rd\r\n\r\ne");
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"a", "b", "c", "d", "", "e"}));
    list.SetText("one\n");
    EXPECT_EQ(list.Count(), 1); // a final line break does not add an empty line
    list.SetText("");
    EXPECT_TRUE(list.Empty());
    list.SetText("x\n\n");
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"x", ""}));
    EXPECT_EQ(list.Text(), "x\n\n");
    list.LineBreak = "\r\n";
    EXPECT_EQ(list.Text(), "x\r\n\r\n");
}

TEST(StringList, SaveIsAtomicOwnerOnlyAndLoadsBack)
{
    std::string dir = testenv::MakeScratchDir("lists");
    std::string path = dir + "/Alias.ini";
    TStringList list{"ann@example.com=1", "bob=2"};
    ASSERT_TRUE(list.SaveToFile(path));
    struct stat info = {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    TStringList loaded{"old"};
    ASSERT_TRUE(loaded.LoadFromFile(path));
    EXPECT_EQ(loaded.Items(), list.Items());
    EXPECT_FALSE(loaded.LoadFromFile(dir + "/missing.ini"));
    EXPECT_EQ(loaded.Count(), 2); // a failed load leaves the list as it was
    EXPECT_FALSE(list.SaveToFile(dir + "/no/such/folder/x.ini"));
    EXPECT_EQ(QDir(QString::fromStdString(dir)).entryList(QDir::Files).size(), 1);
}

TEST(StringList, SortIgnoresCaseAndKeepsOrderOfEquals)
{
    TStringList list{"b", "A=2", "a=1", "C"};
    list.Sort();
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"a=1", "A=2", "b", "C"}));
}

TEST(TextHelpers, CaseAndNumbers)
{
    EXPECT_TRUE(SameText("Hotmail", "HOTMAIL"));
    EXPECT_FALSE(SameText("Hotmail", "Hotmai"));
    EXPECT_EQ(FindText("Mail Program", "PROGRAM"), 5u);
    EXPECT_EQ(FindText("abc", "x"), std::string::npos);
    EXPECT_TRUE(EndsText("korrind.EXE", ".exe"));
    EXPECT_FALSE(StartsText("ab", "abc"));
    EXPECT_EQ(Trim("  \t x y \r\n"), "x y");
    EXPECT_EQ(StrToIntDef(" 42 ", -1), 42);
    EXPECT_EQ(StrToIntDef("00000007", -1), 7);
    EXPECT_EQ(StrToIntDef("12x", -1), -1);
    EXPECT_EQ(StrToIntDef("", -1), -1);
    EXPECT_EQ(StrToIntDef("99999999999999999999999", -1), -1);
    EXPECT_EQ(SplitText("a||b", '|'), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(JoinText({"a", "b"}, "|"), "a|b");
    EXPECT_EQ(ReplaceAll("a&&b", "&", ""), "ab");
    EXPECT_EQ(Format("%s@%s", "ann", "example.com"), "ann@example.com");
    EXPECT_EQ(Format("%s", std::string(5000, 'x').c_str()).size(), 5000u);
}

TEST(TextHelpers, CaseIsFoldedForEveryScriptAndStrayBytesStayThemselves)
{
    EXPECT_TRUE(SameText("J\xC3\xBCrgen", "J\xC3\x9CRGEN")); // Jürgen, JÜRGEN
    EXPECT_TRUE(SameText("\xCE\xA3\xCE\xBF\xCF\x86", "\xCF\x83\xCE\xBF\xCF\x86")); // Σοφ, σοφ
    EXPECT_FALSE(SameText("\xC3\xBC", "u"));
    // A folded letter may be shorter than the original (the Kelvin sign is "k"): positions
    // are those of the searched text.
    EXPECT_TRUE(SameText("\xE2\x84\xAA"
                         "elvin",
                         "KELVIN"));
    EXPECT_EQ(FindText("Gr\xC3\xBC\xC3\x9F aus K\xC3\x96LN", "k\xC3\xB6ln"), 11u);
    EXPECT_TRUE(StartsText("\xC3\x9C"
                           "ber alles",
                           "\xC3\xBC"
                           "BER"));
    EXPECT_TRUE(EndsText("caf\xC3\x89", "\xC3\xA9"));
    EXPECT_EQ(LowerCase("\xC3\x9C"
                        "BER"),
              "\xC3\xBC"
              "ber");
    EXPECT_EQ(UpperCase("stra\xC3\xA9"), "STRA\xC3\x89");
    // Bytes that are not UTF-8 (Latin-1 "Ü", a cut sequence) compare only with themselves and
    // come back unchanged, ASCII beside them still folds.
    EXPECT_TRUE(SameText("\xDC"
                         "BER",
                         "\xDC"
                         "ber"));
    EXPECT_FALSE(SameText("\xDC", "\xFC"));
    EXPECT_EQ(LowerCase("A\xC3"), "a\xC3");
    EXPECT_EQ(FindText("x\xC3 \xC3\xA9", "\xC3\x89"), 3u);
    EXPECT_EQ(PreviousCharStart("a\xC3\xA9", 3), 1u);
    EXPECT_EQ(NextCharStart("\xC3\xA9"
                            "b",
                            0),
              2u);
}
