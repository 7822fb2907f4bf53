// The guide answers every help topic: each help context number a control can carry and each
// window's keyword has exactly one section anchored for it.
#include <gtest/gtest.h>
#include <string>

#include "common/helptopics.h"
#include "support/testenv.h"

namespace {

int Count(const std::string &text, const std::string &piece)
{
    int count = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1))
        ++count;
    return count;
}

TEST(HelpTopics, TheGuideHasOneSectionForEveryTopic)
{
    const std::string guide = testenv::ReadFile(CORVEX_SOURCE_DIR "/dist/Help/index.html");
    ASSERT_FALSE(guide.empty());
    for (help::TContext context : help::Contexts)
        EXPECT_EQ(Count(guide, "id=\"" + help::GuideAnchor(context, "") + "\""), 1)
            << "help context " << int(context);
    for (const char *keyword : help::Windows)
        EXPECT_EQ(Count(guide, "id=\"" + help::GuideAnchor(0, keyword) + "\""), 1)
            << "window " << keyword;
}

} // namespace
