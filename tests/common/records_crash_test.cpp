// A writer of "Config.cfg" and "PopSrv.cfg" killed at random points: every read afterwards sees
// one whole saved state of both files together, whichever encryption mode it was written in.
#include "common/encrypt.h"
#include "common/globals.h"
#include "common/records.h"
#include "common/utils.h"

#include <QDir>
#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <random>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

TListRow Row(const std::string &user)
{
    TMailBoxRecord record{};
    SetText(record.UserId, user);
    SetText(record.MailServer, "pop.example.org");
    SetText(record.InboxPath, "/mail/" + user);
    record.Active = 1;
    return MailboxRow(record, false);
}

// The two states the writer alternates between, as Apply saves them.
struct TState
{
    bool Encrypt;
    uint8_t CheckMinutes;
    std::vector<std::string> Users;
};
const TState StateA{false, 10, {"alice"}};
const TState StateB{true, 20, {"bob", "carol"}};

void Apply(TDataStore &store, const TState &state)
{
    const bool storedEncrypted = Globals->Config.EncryptMailboxes != 0;
    Globals->Config.EncryptMailboxes = state.Encrypt;
    Globals->Config.CheckMinutes = state.CheckMinutes;
    store.Mailboxes.clear();
    store.PasswordMap.Clear();
    for (const std::string &user : state.Users) {
        store.Mailboxes.push_back(Row(user));
        store.SetPassword(user, store.Mailboxes.back().Cell(mcMailServer), "pw-" + user);
    }
    store.SaveChanges(storedEncrypted);
}

// The writer: starts as the monitor does (reads both files), then applies the other state and
// back again, so every run changes the encryption mode at once.
[[noreturn]] void RunWriter()
{
    // Never outlive the test, even when it is itself killed.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    const auto limit = Clock::now() + std::chrono::seconds(5);
    TDataStore store;
    store.LoadSettings(false);
    store.LoadMailBoxes(Globals->Config.EncryptMailboxes != 0);
    for (bool b = Globals->Config.EncryptMailboxes == 0; Clock::now() < limit; b = !b)
        Apply(store, b ? StateB : StateA);
    ::_exit(0);
}

std::vector<std::string> Users(const TDataStore &store)
{
    std::vector<std::string> users;
    for (const TListRow &row : store.Mailboxes)
        users.push_back(row.Caption);
    return users;
}

class RecordsCrashTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!Utils)
            Utils = new TUtils;
        if (!Globals)
            Globals = new TGlobals;
        Globals->InitPaths();
        std::string home = qgetenv("XDG_DATA_HOME").toStdString() + "/";
        ASSERT_EQ(Globals->DataRoot.rfind(home, 0), 0u) << Globals->DataRoot;
        QDir(QString::fromStdString(Globals->DataRoot)).removeRecursively();
        Globals->Config = {};
        ASSERT_TRUE(InitCrypto()) << CryptoLastError();
        Globals->CryptoReady = true;
    }
};

} // namespace

TEST_F(RecordsCrashTest, KilledWriterLeavesWholeFiles)
{
    TDataStore setup;
    ASSERT_TRUE(setup.LoadSettings(false));
    SetText(Globals->Config.MasterPassword, "master");
    Apply(setup, StateA);

    // Kill points spread over the writer's start and its first two saves on this machine.
    const auto started = Clock::now();
    TDataStore probe;
    probe.LoadSettings(false);
    probe.LoadMailBoxes(Globals->Config.EncryptMailboxes != 0);
    Apply(probe, StateB);
    Apply(probe, StateA);
    const long span = std::max<long>(
        300, std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started).count());
    std::mt19937 random(std::random_device{}());
    // A forked writer on a loaded machine runs slower than the probe: the range reaches past
    // the measured span, so some kills also land after a whole save.
    std::uniform_int_distribution<long> killAfter(0, 3 * span);

    int kills = 0;
    int seenA = 0, seenB = 0;
    // 200 kills, or at least 20 once 4 s have passed (a loaded machine gets more time).
    const auto start = Clock::now();
    auto enough = [&] {
        const bool bothSeen = seenA > 0 && seenB > 0;
        return bothSeen &&
               (kills >= 200 || (kills >= 20 && Clock::now() > start + std::chrono::seconds(4)));
    };
    while (!enough() && Clock::now() < start + std::chrono::seconds(30)) {
        pid_t writer = fork();
        ASSERT_GE(writer, 0);
        if (writer == 0)
            RunWriter();
        std::this_thread::sleep_for(std::chrono::microseconds(killAfter(random)));
        ::kill(writer, SIGKILL);
        int status = 0;
        ASSERT_EQ(::waitpid(writer, &status, 0), writer);
        ++kills;

        TDataStore reader;
        ASSERT_TRUE(reader.LoadSettings(false)) << reader.LastError;
        const TConfigRecord &config = Globals->Config;
        ASSERT_TRUE(reader.Notices.empty()) << "kill " << kills << ": " << reader.Notices[0];
        ASSERT_TRUE(config.CheckMinutes == 10 || config.CheckMinutes == 20)
            << int(config.CheckMinutes);
        ASSERT_EQ(GetText(config.MasterPassword), "master") << "kill " << kills;

        TMailBoxLoad load = reader.LoadMailBoxes(config.EncryptMailboxes != 0);
        ASSERT_EQ(load.Undecryptable + load.NotAuthentic, 0) << "kill " << kills;
        const std::vector<std::string> users = Users(reader);
        ASSERT_TRUE(users == StateA.Users || users == StateB.Users) << "kill " << kills;
        ASSERT_EQ(users == StateA.Users, config.CheckMinutes == StateA.CheckMinutes)
            << "kill " << kills << ": settings and mailboxes from different saves";
        ++(users == StateA.Users ? seenA : seenB);
        std::string password;
        ASSERT_TRUE(
            reader.FindPassword(users[0], reader.Mailboxes[0].Cell(mcMailServer), password));
        ASSERT_EQ(password, "pw-" + users[0]);

        // Reading at start finished or removed what the killed writer left half-written.
        ASSERT_TRUE(QDir(QString::fromStdString(Globals->DataRoot))
                        .entryList({"*.tmp-*", "*.pending"}, QDir::Files | QDir::Hidden)
                        .isEmpty());
    }
    EXPECT_GE(kills, 20);
    EXPECT_GT(seenA, 0);
    EXPECT_GT(seenB, 0);
    EXPECT_TRUE(QDir(QString::fromStdString(Globals->DataRoot))
                    .entryList({"Config.cfg.damaged*"})
                    .isEmpty());
}
