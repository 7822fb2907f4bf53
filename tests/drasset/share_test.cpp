// Drasset against real network shares: a private smbd on 127.0.0.1 mounted through GVFS in
// its own D-Bus session (tests/fixtures/smbshare.sh), reached as a desktop user reaches one,
// and a private sshd's folder mounted with sshfs (tests/fixtures/sshshare.sh).
#include <QInputDialog>
#include <QLabel>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRadioButton>
#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "common/globals.h"
#include "common/names.h"
#include "common/platform/shares.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"
#include "drasset/syncrulesmain.h"
#include "support/modalsteps.h"
#include "support/testenv.h"

namespace fs = std::filesystem;

namespace {

// A share started by one of the fixture scripts for the whole suite, stopped at its end.
template <const char *Script> class ShareFixtureTest : public ::testing::Test
{
protected:
    static inline std::string FixtureDir, SkipReason;
    static inline QProcessEnvironment Share;

    static bool RunFixture(const char *action, QString *output = nullptr)
    {
        QProcess script;
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(QString(CORVEX_SOURCE_DIR) + "/tests/fixtures/" + Script,
                     {action, QString::fromStdString(FixtureDir)});
        const bool ended = script.waitForFinished(90000);
        if (output)
            *output = QString::fromUtf8(script.readAll()).trimmed();
        return ended && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
    }

    static void SetUpTestSuite()
    {
        FixtureDir = testenv::MakeScratchDir("share");
        QString output;
        if (!RunFixture("start", &output)) {
            SkipReason = "the test share could not be set up: " + output.toStdString();
            return;
        }
        for (const QString &line :
             QString::fromStdString(testenv::ReadFile(FixtureDir + "/share.env")).split('\n'))
            if (line.contains('='))
                Share.insert(line.section('=', 0, 0), line.section('=', 1));
    }

    static void TearDownTestSuite()
    {
        RunFixture("stop"); // unmounts the share and stops its server
    }

    static std::string Value(const char *name) { return Share.value(name).toStdString(); }

    void SetUp() override
    {
        if (!SkipReason.empty())
            GTEST_SKIP() << SkipReason;
    }

    // A file of the served folder as the server holds it.
    static std::string Served(const std::string &relative)
    {
        return Value("SHARE_FOLDER") + "/" + relative;
    }
};

constexpr char SmbShareScript[] = "smbshare.sh";
constexpr char SshShareScript[] = "sshshare.sh";
using RealShareTest = ShareFixtureTest<SmbShareScript>;
using SshShareTest = ShareFixtureTest<SshShareScript>;

const std::string RemoteRoot = "home/joe/.local/share/Corvex Users/";

// Answers the two questions of the next logon: the user name, then the password.
void AnswerLogon(const std::string &user, const std::string &password)
{
    OnModal<QInputDialog>([user, password](QInputDialog *dialog) {
        dialog->setTextValue(QString::fromStdString(user));
        dialog->accept();
        OnModal<QInputDialog>([password](QInputDialog *second) {
            second->setTextValue(QString::fromStdString(password));
            second->accept();
        });
    });
}

} // namespace

// One case, as each case pays for its own share (a few seconds to set up and tear down).
TEST_F(RealShareTest, SynchronisesWithAnInstallationOnAMountedShare)
{
    const std::string mount = Value("SHARE_MOUNT");
    std::string root;
    ASSERT_TRUE(platform::ShareRootOf(mount + "/home", root));
    EXPECT_EQ(root, mount);

    // The other installation, written through the share as its owner would.
    const std::string remote = mount + "/" + RemoteRoot;
    fs::create_directories(remote + "joe");
    testenv::WriteFile(remote + names::PopSrvFile, "records");
    testenv::WriteFile(remote + names::MasterRejectFile, "b\nC\n");

    TSyncRulesFrm window;
    const std::string local = Globals->DataRoot;
    fs::create_directories(local + "/joe");
    testenv::WriteFile(local + "/" + names::MasterRejectFile, "A\nB\n");
    testenv::WriteFile(local + "/joe/" + names::RejectFile, "J\n");
    std::vector<std::string> messages;
    window.ShowMessage = [&](const std::string &text) { messages.push_back(text); };
    // The user types the share's address; it is found where GVFS mounted it.
    window.ChooseRulesSource = [] { return Value("SHARE_URI"); };
    ASSERT_TRUE(window.Activate(
        {local + "/" + names::MasterRejectFile, local + "/joe/" + names::RejectFile}));
    window.show();
    window.LMDrbCombine->click();
    window.LMDpfContinue->Click();
    ASSERT_TRUE(Utils->WaitFor([&] { return !window.isVisible(); }, 20000))
        << window.StatusBar->text().toStdString();

    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_EQ(testenv::ReadFile(local + "/" + names::MasterRejectFile), "A\nB\nC\n");
    EXPECT_EQ(testenv::ReadFile(Served(RemoteRoot + names::MasterRejectFile)), "b\nC\nA\n");
    EXPECT_EQ(testenv::ReadFile(Served(RemoteRoot + "joe/" + names::RejectFile)), "J\n");

    TSyncRules &sync = window.Sync;
    sync.Skipped.Clear();
    sync.RulesSource = mount;

    // Local := remote with no remote file: the local file stays byte for byte.
    const std::string priority = local + "/" + names::MasterPriorityFile;
    testenv::WriteFile(priority, "keep|this\r\n");
    fs::remove(remote + names::MasterPriorityFile);
    sync.SyncMode = smReplaceLocal;
    EXPECT_TRUE(sync.SyncRulesFile(priority)) << sync.LastError;
    EXPECT_EQ(testenv::ReadFile(priority), "keep|this\r\n");
    EXPECT_EQ(sync.Skipped.Count(), 1);

    // A remote file its owner cannot read is left unchanged and the run stops.
    testenv::WriteFile(remote + names::MasterPriorityFile, "theirs\n");
    const std::string served = Served(RemoteRoot + names::MasterPriorityFile);
    ASSERT_EQ(::chmod(served.c_str(), 0), 0);
    sync.SyncFiles.Assign({priority});
    window.show();
    window.LMDrbReplaceDest->click();
    window.ChooseRulesSource = [&] { return mount; };
    window.LMDpfContinue->Click();
    ASSERT_TRUE(Utils->WaitFor(
        [&] { return window.StatusBar->text().toStdString() == SyncErrorStatus; }, 10000));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("Can't read"), std::string::npos) << messages[0];
    EXPECT_TRUE(PButtons->IsAvailable(window.LMDpfContinue));
    EXPECT_EQ(sync.SyncFiles.Count(), 1);
    EXPECT_EQ(testenv::FileMode(served), 0u);
    EXPECT_EQ(testenv::ReadFile(served), "theirs\n");

    // Once readable again it is replaced whole, although the share refuses mode changes. The
    // temporary file a failed write left long ago goes; one of a write under way stays.
    ASSERT_EQ(::chmod(served.c_str(), 0640), 0);
    const std::string leftover = ".tmp-a1B2c3", underWay = ".tmp-d4E5f6";
    for (const std::string &name : {leftover, underWay})
        testenv::WriteFile(served + name, "");
    fs::last_write_time(served + leftover,
                        fs::file_time_type::clock::now() - std::chrono::hours(1));
    EXPECT_TRUE(sync.SyncNext()) << sync.LastError;
    EXPECT_EQ(testenv::ReadFile(served), "keep|this\n");
    EXPECT_FALSE(fs::exists(served + leftover));
    EXPECT_TRUE(fs::exists(served + underWay));

    // A share that is not mounted yet is mounted with the logon the user gives; the user the
    // typed address names is offered, and a cancelled logon says so.
    qputenv("DBUS_SESSION_BUS_ADDRESS", Share.value("SHARE_BUS").toUtf8());
    QProcess::execute("gio", {"mount", "-u", Share.value("SHARE_URI")});
    ASSERT_TRUE(testenv::WaitUntil([&] { return !fs::exists(mount); }, 10000));
    const std::string user = Value("SHARE_USER");
    const std::string withUser = "smb://" + user + "@" + Value("SHARE_URI").substr(6);
    sync.RulesSource = withUser + "/home";
    std::string offered;
    OnModal<QInputDialog>([&](QInputDialog *dialog) {
        offered = dialog->textValue().toStdString();
        dialog->reject();
    });
    EXPECT_FALSE(sync.SyncRulesFile(priority));
    EXPECT_EQ(offered, user);
    EXPECT_EQ(sync.LastError, "Logon to " + withUser + " cancelled");
    AnswerLogon(user, "wrong");
    EXPECT_FALSE(sync.SyncRulesFile(priority));
    EXPECT_EQ(sync.LastError, withUser + " refused the user name or password");
    AnswerLogon(user, Value("SHARE_PASSWORD"));
    EXPECT_TRUE(sync.SyncRulesFile(priority)) << sync.LastError;
    EXPECT_EQ(testenv::ReadFile(served), "keep|this\n");

    // A guest needs no password.
    const std::string guestRoot = Value("SHARE_GUEST_FOLDER") + "/Corvex Users";
    fs::create_directories(guestRoot);
    fs::permissions(guestRoot, fs::perms::all);
    testenv::WriteFile(guestRoot + "/" + names::PopSrvFile, "records");
    sync.RulesSource = Value("SHARE_GUEST_URI");
    sync.SyncMode = smReplaceDestination;
    AnswerLogon("", "");
    EXPECT_TRUE(sync.SyncRulesFile(priority)) << sync.LastError;
    EXPECT_EQ(testenv::ReadFile(guestRoot + "/" + names::MasterPriorityFile), "keep|this\n");

    // A folder on this machine is not a share.
    sync.RulesSource = local;
    sync.SyncMode = smCombine;
    EXPECT_FALSE(sync.SyncRulesFile(priority));
    EXPECT_EQ(sync.LastError, MustBeNetworkDrive);
}

// The share is a user's home mounted with sshfs, which lets files keep their modes.
TEST_F(SshShareTest, AHomeMountedWithSshfsIsAShareAndWrittenFilesKeepTheirMode)
{
    const std::string mount = Value("SHARE_MOUNT");
    const std::string remote = mount + "/.local/share/Corvex Users/";
    fs::create_directories(remote);
    testenv::WriteFile(remote + names::PopSrvFile, "records");
    testenv::WriteFile(remote + names::MasterPriorityFile, "old\n");
    const std::string served =
        Served(".local/share/Corvex Users/" + std::string(names::MasterPriorityFile));
    ASSERT_EQ(::chmod(served.c_str(), 0644), 0);

    TUtils utils;
    Utils = &utils;
    const std::string local = testenv::MakeScratchDir("local");
    testenv::WriteFile(local + "/" + names::MasterPriorityFile, "new\n");
    TSyncRules sync;
    sync.LocalDataRoot = local;
    sync.RulesSource = mount;
    sync.SyncMode = smReplaceDestination;
    sync.SyncFiles.Assign({local + "/" + names::MasterPriorityFile});
    EXPECT_TRUE(sync.SyncNext()) << sync.LastError;
    EXPECT_EQ(sync.ShareRoot, mount + "/");
    EXPECT_EQ(testenv::ReadFile(served), "new\n");
    EXPECT_EQ(testenv::FileMode(served), 0644u);
    Utils = nullptr;
}
