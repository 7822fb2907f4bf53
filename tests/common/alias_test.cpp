// The alias list and the monitor's alias test.
#include "common/alias.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

#include "common/utils.h"
#include "support/testenv.h"

namespace {

TListRow MailboxRow(const std::string &inbox, const char *aliasFlag)
{
    TListRow row;
    row.Caption = "user";
    row.SetCell(mcInboxPath, inbox);
    row.SetCell(mcAliasActive, aliasFlag);
    return row;
}

TEST(Alias, ActiveAliasesMatchAsSubstringsIgnoringCase)
{
    TStringList aliases{AliasLine("sales", true), AliasLine("support", false), "=1"};
    EXPECT_EQ(aliases[0], "sales=1");
    EXPECT_TRUE(AliasListMatches("Sales Team <orders>", aliases));
    EXPECT_TRUE(AliasListMatches("wholesales@x.org", aliases));
    // Inactive aliases stay in the list but never match; an empty name matches nothing.
    EXPECT_FALSE(AliasListMatches("support@x.org", aliases));
    EXPECT_FALSE(AliasListMatches("", aliases));
    // Letters outside ASCII too: "Jürgen" is named by "JÜRGEN".
    TStringList accented{AliasLine("J\xC3\xBCrgen", true)};
    EXPECT_TRUE(AliasListMatches("J\xC3\x9CRGEN <j@x.de>", accented));
}

TEST(Alias, MailboxGate)
{
    TUtils utils;
    Utils = &utils;
    std::string inbox = testenv::MakeScratchDir("inbox");
    EXPECT_TRUE(AliasMatches("anyone", nullptr));
    TListRow off = MailboxRow(inbox, "0");
    EXPECT_TRUE(AliasMatches("anyone", &off));

    // Alias testing on without a list: every message is rejected.
    TListRow on = MailboxRow(inbox, "1");
    EXPECT_FALSE(AliasMatches("sales@x.org", &on));
    testenv::WriteFile(AliasFilePath(inbox), "");
    EXPECT_FALSE(AliasMatches("sales@x.org", &on));
    testenv::WriteFile(AliasFilePath(inbox), "Sales=1\nOther=0\n");
    EXPECT_TRUE(AliasMatches("sales@x.org", &on));
    EXPECT_FALSE(AliasMatches("other@x.org", &on));
    // A list that is there but cannot be read is no empty list: the test is skipped.
    ASSERT_TRUE(QFile::remove(QString::fromStdString(AliasFilePath(inbox))));
    ASSERT_TRUE(QDir().mkdir(QString::fromStdString(AliasFilePath(inbox))));
    EXPECT_TRUE(AliasMatches("other@x.org", &on));
    Utils = nullptr;
}

} // namespace
