// Decoding of encoded header words and header unfolding.
#include <gtest/gtest.h>

#include "common/net/mimeheader.h"

TEST(EncodedWords, DecodeBAndQInSeveralCharsets)
{
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?B?R3LDvMOfZSBhdXMgS8O2bG4=?="), "Grüße aus Köln");
    EXPECT_EQ(DecodeHeaderWords("=?utf-8?q?Caf=C3=A9_au_lait?="), "Café au lait");
    EXPECT_EQ(DecodeHeaderWords("=?iso-8859-1?q?Sch=F6ne_Gr=FC=DFe?="), "Schöne Grüße");
    EXPECT_EQ(DecodeHeaderWords("=?koi8-r?B?8NLJ18XU?="), "Привет");
    EXPECT_EQ(DecodeHeaderWords("=?windows-1252?Q?=80_5_=96_cheap?="), "€ 5 – cheap");
    // Lower-case encoding letter and a language suffix on the charset.
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8*en?b?SGk=?="), "Hi");
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?B?SGk?="), "Hi"); // padding left off
}

TEST(EncodedWords, AdjacentWordsJoinWithoutTheBlankButPlainTextKeepsIt)
{
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?Q?Hello?= =?UTF-8?Q?_World?="), "Hello World");
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?Q?a?=\t  =?UTF-8?Q?b?="), "ab");
    EXPECT_EQ(DecodeHeaderWords("Re: =?UTF-8?Q?Gr=C3=BC=C3=9Fe?= from Bob"), "Re: Grüße from Bob");
    EXPECT_EQ(DecodeHeaderWords("Price =?utf-8?q?=E2=82=AC?= 5"), "Price € 5");
    // A character split over two words of the same charset still comes out whole.
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?B?w6==?= =?UTF-8?B?pA==?="), "ä");
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?Q?=C3?= =?UTF-8?Q?=A4?="), "ä");
    // Different charsets next to each other are decoded each on its own.
    EXPECT_EQ(DecodeHeaderWords("=?iso-8859-1?q?=E4?= =?utf-8?q?=C3=A4?="), "ää");
}

TEST(EncodedWords, MalformedOrUnknownWordsStayAsTheyStand)
{
    for (const char *text :
         {"=?x-no-such-charset?Q?abc?=", "=?UTF-8?X?abc?=", "=?UTF-8?Q?abc",
          "=?UTF-8?B?###?=", "=?UTF-8?Q?=ZZ?=", "=??Q?abc?=", "plain text", "a =? b ?= c", ""})
        EXPECT_EQ(DecodeHeaderWords(text), text) << text;
}

TEST(EncodedWords, HostileValuesStayLinear)
{
    // Many openings without a close: each is looked for within a bounded window only.
    std::string hostile;
    for (int i = 0; i < 200000; ++i)
        hostile += "=?a?Q?";
    EXPECT_EQ(DecodeHeaderWords(hostile), hostile);
}

TEST(EncodedWords, DecodedLineBreaksAndControlsBecomeBlanks)
{
    // Otherwise a subject could smuggle a line into the line-based summary files.
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?Q?one=0D=0Atwo=00three?="), "one  two three");
    EXPECT_EQ(DecodeHeaderWords("=?UTF-8?B?YQpi?="), "a b");
}

TEST(HeaderUnfolding, ContinuationLinesJoinAndTheBodyIsNotRead)
{
    std::vector<std::string> lines = {"Subject: a long",         "\tsubject line",
                                      "To: x@example.org,",      " y@example.org",
                                      "From: \"Bob\" <b@x.org>", "",
                                      "Subject: body text"};
    std::vector<std::string> fields = UnfoldHeaderLines(lines);
    ASSERT_EQ(fields.size(), 3u);
    EXPECT_EQ(fields[0], "Subject: a long\tsubject line");
    EXPECT_EQ(HeaderField(fields, "subject"), "a long\tsubject line");
    EXPECT_EQ(HeaderField(fields, "TO"), "x@example.org, y@example.org");
    EXPECT_EQ(HeaderField(fields, "Received"), "");
    // A field name must match whole, not as a prefix.
    EXPECT_EQ(HeaderField({"X-Subject: no", "Subject : yes"}, "Subject"), "yes");
}

TEST(HeaderUnfolding, CutUtf8NeverSplitsACharacter)
{
    EXPECT_EQ(CutUtf8("abc", 5), "abc");
    EXPECT_EQ(CutUtf8("aé", 2), "a");
    EXPECT_EQ(CutUtf8("aé", 3), "aé");
    EXPECT_EQ(CutUtf8("€", 2), "");
}
