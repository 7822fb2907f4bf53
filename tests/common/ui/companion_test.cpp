#include "common/globals.h"
#include "common/records.h"
#include "common/ui/companion.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"
#include "support/testenv.h"

#include <QDir>
#include <cstring>
#include <gtest/gtest.h>

// A companion reads the monitor's settings but never writes or creates anything.
TEST(CompanionStart, ObjectsExistForTheWindowsLifeAndSettingsAreOnlyRead)
{
    {
        TCompanionObjects objects;
        ASSERT_NE(Utils, nullptr);
        ASSERT_NE(Globals, nullptr);
        ASSERT_NE(PButtons, nullptr);
        const QString root = QString::fromStdString(Globals->DataRoot);
        QDir(root).removeRecursively();

        TDataStore store;
        EXPECT_FALSE(store.LoadSettingsReadOnly()); // no file: defaults in memory
        EXPECT_EQ(GetText(Globals->Config.RulesPath), Globals->DataRoot);
        EXPECT_FALSE(QDir(root).exists()) << "a read-only load created the data root";

        // The monitor's file is read as it is and left byte-identical.
        QDir().mkpath(root);
        ASSERT_TRUE(store.LoadSettings(true)) << store.LastError;
        TConfigRecord written{};
        std::string before = testenv::ReadFile(store.ConfigPath());
        ASSERT_EQ(before.size(), sizeof written);
        std::memcpy(&written, before.data(), sizeof written);
        EXPECT_TRUE(store.LoadSettingsReadOnly()) << store.LastError;
        EXPECT_EQ(std::memcmp(&Globals->Config, &written, sizeof written), 0);
        EXPECT_EQ(testenv::ReadFile(store.ConfigPath()), before);

        testenv::WriteFile(store.ConfigPath(), "short");
        EXPECT_FALSE(store.LoadSettingsReadOnly());
        EXPECT_EQ(testenv::ReadFile(store.ConfigPath()), "short");
    }
    EXPECT_EQ(Utils, nullptr);
    EXPECT_EQ(Globals, nullptr);
    EXPECT_EQ(PButtons, nullptr);
}
