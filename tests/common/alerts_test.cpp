#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/stringlist.h"
#include "common/utils.h"
#include "common/alerts.h"
#include "support/testenv.h"

namespace {

class AlertsTest : public ::testing::Test
{
protected:
    std::string Root = testenv::MakeScratchDir("alerts");
    std::string Rules = Root + "/rules";
    std::string Media = Root + "/Program/Media";
    std::string MyAlerts = Root + "/Documents/My Alerts";
    TUtils OwnUtils;

    void SetUp() override
    {
        for (const std::string &folder :
             {Rules, Root + "/Program", Media, Root + "/Documents", MyAlerts})
            ::mkdir(folder.c_str(), 0700);
        Utils = &OwnUtils;
        Utils->LogFileName = Root + "/Debug.txt";
    }
    void TearDown() override { Utils = nullptr; }

    std::vector<std::string> Lines() const { return ReadAlerts(Rules).Items(); }
    void Touch(const std::string &path) const { testenv::WriteFile(path, "RIFF"); }
};

} // namespace

TEST_F(AlertsTest, MissingListIsCreatedAndFilledFromBothSoundFolders)
{
    Touch(Media + "/chime.wav");
    Touch(Media + "/Bell.WAV");
    Touch(Media + "/readme.txt");
    Touch(MyAlerts + "/alarm.wav");

    ASSERT_TRUE(LoadAlerts(Rules, {Media, MyAlerts}));
    // Sorted ignoring case, file names kept as they are on disk.
    EXPECT_EQ(Lines(), (std::vector<std::string>{
                           "ALARM=" + MyAlerts + "/alarm.wav", "BELL=" + Media + "/Bell.WAV",
                           "CHIME=" + Media + "/chime.wav", "~NONE~=~none~"}));
    struct stat info;
    ASSERT_EQ(::stat(AlertsFilePath(Rules).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(AlertsTest, ReloadKeepsUserLinesDropsBlankOnesAndAddsNothingTwice)
{
    Touch(Media + "/chime.wav");
    testenv::WriteFile(AlertsFilePath(Rules), "ZAP=/elsewhere/zap.wav\n\n~NONE~=~none~\n\n");
    ASSERT_TRUE(LoadAlerts(Rules, {Media}));
    ASSERT_TRUE(LoadAlerts(Rules, {Media, Root + "/no such folder"}));
    EXPECT_EQ(Lines(), (std::vector<std::string>{"CHIME=" + Media + "/chime.wav",
                                                 "ZAP=/elsewhere/zap.wav", "~NONE~=~none~"}));
}

TEST_F(AlertsTest, AlertFileFindsByNameOrByPath)
{
    Touch(Media + "/chime.wav");
    ASSERT_TRUE(LoadAlerts(Rules, {Media}));
    const std::string chime = Media + "/chime.wav";
    EXPECT_EQ(AlertFile(Rules, "CHIME"), chime);
    EXPECT_EQ(AlertFile(Rules, "Chime"), chime);
    EXPECT_EQ(AlertFile(Rules, chime), chime);
    EXPECT_EQ(AlertFile(Rules, "~NONE~"), "~none~");
    EXPECT_EQ(AlertFile(Rules, "GONG"), "");
    EXPECT_EQ(AlertFile(Rules, ""), "");
}

TEST_F(AlertsTest, SameNameInTwoFoldersPrefersTheFileThatExists)
{
    Touch(MyAlerts + "/chime.wav");
    testenv::WriteFile(AlertsFilePath(Rules), "CHIME=/a/removed/chime.wav\n");
    ASSERT_TRUE(LoadAlerts(Rules, {MyAlerts}));
    EXPECT_EQ(AlertFile(Rules, "CHIME"), MyAlerts + "/chime.wav");
}

TEST_F(AlertsTest, AlertNameForEntersTheFileAtOnce)
{
    EXPECT_EQ(AlertNameFor(Rules, ""), "");
    const std::string picked = Root + "/Documents/Door Bell.wav";
    Touch(picked);
    EXPECT_EQ(AlertNameFor(Rules, picked), "DOOR BELL");
    EXPECT_EQ(AlertNameFor(Rules, picked), "DOOR BELL");
    EXPECT_EQ(Lines(), (std::vector<std::string>{"DOOR BELL=" + picked, "~NONE~=~none~"}));
    EXPECT_EQ(AlertFile(Rules, "door bell"), picked);
}

TEST_F(AlertsTest, FileNamesThatCannotBeListedAreRefused)
{
    Touch(Media + "/a=b.wav");
    ASSERT_TRUE(LoadAlerts(Rules, {Media}));
    EXPECT_EQ(Lines(), (std::vector<std::string>{"~NONE~=~none~"}));
    EXPECT_EQ(AlertNameFor(Rules, Media + "/a=b.wav"), "");
    EXPECT_EQ(AlertNameFor(Rules, Media + "/.wav"), "");
}

TEST_F(AlertsTest, UnwritableRulesFolderIsLoggedNotFatal)
{
    const std::string missing = Root + "/no rules here";
    EXPECT_FALSE(LoadAlerts(missing, {Media}));
    EXPECT_EQ(AlertFile(missing, "CHIME"), "");
    Touch(Media + "/chime.wav");
    EXPECT_EQ(AlertNameFor(missing, Media + "/chime.wav"), "") << "a name that was not saved";
    std::string log = testenv::ReadFile(Root + "/Debug.txt");
    EXPECT_NE(log.find("Alert file missing: " + AlertsFilePath(missing)), std::string::npos);
}

TEST(AlertSounds, ShippedSoundsAreInTheProgramsMediaFolder)
{
    const std::string media = std::string(CORVEX_BIN_DIR) + "/Media";
    for (const char *name : {"chime", "ding", "priority", "knock"})
        EXPECT_TRUE(TUtils::FileExists(media + "/" + name + ".wav")) << name;
}
