#include "common/encrypt.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/oauth2/access.h"
#include "common/oauth2/provider.h"
#include "common/oauth2/store.h"
#include "common/records.h"
#include "common/utils.h"
#include "support/testenv.h"

#include <QDir>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

template <typename T> T At(const std::string &bytes, std::size_t offset)
{
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

TListRow Row(const std::string &user, bool active, bool protectedBox = false)
{
    TMailBoxRecord record{};
    SetText(record.UserId, user);
    SetText(record.MailServer, "pop.example.org");
    SetText(record.InboxPath, "/mail/" + user);
    SetText(record.ArrivalAlert, "Chime");
    record.Active = active;
    record.LeaveOnServer = 1;
    record.BoxProtected = protectedBox;
    SetText(record.BoxPassword, protectedBox ? "boxpw" : "");
    return MailboxRow(record, false);
}

class RecordsTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!Utils)
            Utils = new TUtils;
        if (!Globals)
            Globals = new TGlobals;
        Globals->InitPaths();
        // The data root must lie in the private test home before anything is removed.
        std::string home = qgetenv("XDG_DATA_HOME").toStdString() + "/";
        ASSERT_EQ(Globals->DataRoot.rfind(home, 0), 0u) << Globals->DataRoot;
        QDir(QString::fromStdString(Globals->DataRoot)).removeRecursively();
        QDir().mkpath(QString::fromStdString(Globals->DataRoot));
        Globals->CryptoReady = false;
        Globals->Config = {};
    }
    std::string Path(const char *name) { return Globals->DataRoot + "/" + name; }

    // Two mailboxes saved, the second protected and inactive.
    void SaveTwo(bool encrypt)
    {
        Store.Mailboxes = {Row("alice", true), Row("bob", false, true)};
        Store.PasswordMap.SetText("alice@pop.example.org=pa\nbob@pop.example.org=pb\n");
        ASSERT_TRUE(Store.SaveMailBoxes(encrypt)) << Store.LastError;
    }
    void TurnOnEncryption()
    {
        ASSERT_TRUE(InitCrypto()) << CryptoLastError();
        Globals->CryptoReady = true;
        ASSERT_TRUE(Store.LoadSettings(false));
        Globals->Config.EncryptMailboxes = 1;
    }
    // An OAuth2 sign-in of alice, sealed with this account's key file; answers the file.
    std::string SaveSignIn()
    {
        oauth2::TStore signIns(Globals->DataRoot);
        oauth2::TEntry entry;
        entry.UserId = "alice";
        entry.Server = "pop.example.org";
        entry.ProviderId = oauth2::GoogleProvider;
        entry.Tokens.RefreshToken = "alice-refresh";
        signIns.Put(entry);
        std::string error;
        EXPECT_TRUE(signIns.Save(error)) << error;
        return testenv::ReadFile(Path(names::OAuth2File));
    }
    TDataStore Store;
};

} // namespace

TEST(RecordTexts, LongTextsAreCutAndUnterminatedFieldsStayInside)
{
    TMailBoxRecord record;
    std::memset(&record, 'x', sizeof record);
    SetText(record.BoxPassword, "a-password-of-twenty");
    EXPECT_EQ(GetText(record.BoxPassword), "a-password-of-t"); // 15 characters and the zero
    SetText(record.UserId, "me");
    for (std::size_t i = 2; i < sizeof record.UserId; ++i)
        ASSERT_EQ(record.UserId[i], 0);
    EXPECT_EQ(GetText(record.MailServer), std::string(48, 'x'));
}

TEST_F(RecordsTest, EmptySettingsFileBecomesDefaults)
{
    testenv::WriteFile(Path("Config.cfg"), "");
    ASSERT_TRUE(Store.LoadSettings(false, {10, 20, 300, 400}));

    std::string bytes = testenv::ReadFile(Path("Config.cfg"));
    ASSERT_EQ(bytes.size(), 1024u);
    EXPECT_EQ(At<int16_t>(bytes, 0), 1000);
    EXPECT_EQ(At<uint8_t>(bytes, 330), 1); // Application Data Visible
    EXPECT_EQ(At<uint8_t>(bytes, 441), 15);
    EXPECT_EQ(At<uint8_t>(bytes, 442), 1);
    EXPECT_EQ(At<uint8_t>(bytes, 443), 5);
    EXPECT_EQ(At<uint16_t>(bytes, 456), 5000);
    EXPECT_EQ(At<int16_t>(bytes, 460), 720);
    EXPECT_EQ(std::string(bytes.c_str() + 462), Globals->DataRoot);
    EXPECT_EQ(At<int32_t>(bytes, 720), 10);
    EXPECT_EQ(At<int32_t>(bytes, 732), 400);
    EXPECT_EQ(Globals->RejectedPath.find(Globals->DataRoot), 0u);
    struct stat info
    {
    };
    ASSERT_EQ(stat(Path("Config.cfg").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_FALSE(Store.ApplyNeeded);
}

TEST_F(RecordsTest, OldVersionIsUpgradedOnlyWithAnEmptyRulesPath)
{
    ASSERT_TRUE(Store.LoadSettings(false));
    TConfigRecord old = Globals->Config;
    old.Version = 464;
    old.CheckMinutes = 42;
    SetText(old.RulesPath, "");
    testenv::WriteFile(Path("Config.cfg"), std::string(reinterpret_cast<char *>(&old), 1024));

    ASSERT_TRUE(Store.LoadSettings(false));
    EXPECT_TRUE(Store.ApplyNeeded);
    EXPECT_EQ(Globals->Config.Version, 720);
    EXPECT_EQ(Globals->Config.CheckMinutes, 42);
    EXPECT_EQ(GetText(Globals->Config.RulesPath), Globals->DataRoot);

    SetText(old.RulesPath, "/rules");
    testenv::WriteFile(Path("Config.cfg"), std::string(reinterpret_cast<char *>(&old), 1024));
    ASSERT_TRUE(Store.LoadSettings(false));
    EXPECT_FALSE(Store.ApplyNeeded);
    EXPECT_EQ(Globals->Config.CheckMinutes, 15) << "an unknown version is replaced by defaults";
}

TEST_F(RecordsTest, PositionIsTheOnlyChangeSavePositionMakes)
{
    ASSERT_TRUE(Store.LoadSettings(false));
    std::string before = testenv::ReadFile(Path("Config.cfg"));
    Globals->Config.CheckMinutes = 99; // unsaved change stays out of the file
    ASSERT_TRUE(Store.SavePosition({1, 2, 3, 4}));
    std::string after = testenv::ReadFile(Path("Config.cfg"));
    ASSERT_EQ(after.size(), 1024u);
    EXPECT_EQ(after.substr(0, 720), before.substr(0, 720));
    EXPECT_EQ(after.substr(736), before.substr(736));
    EXPECT_EQ(At<int32_t>(after, 728), 3);
}

TEST_F(RecordsTest, MailboxesRoundTripWithMapsAndIconFile)
{
    SaveTwo(false);
    std::string saved = testenv::ReadFile(Path("PopSrv.cfg"));
    ASSERT_EQ(saved.size(), 2 * 1536u);
    // A blank record is skipped and a short last record is ignored.
    testenv::WriteFile(Path("PopSrv.cfg"), saved + std::string(1536, '\0') + "partial");

    TDataStore loaded;
    TMailBoxLoad result = loaded.LoadMailBoxes(false);
    EXPECT_TRUE(result.FileRead);
    ASSERT_EQ(loaded.Mailboxes.size(), 2u);
    EXPECT_EQ(loaded.Mailboxes[0].Cells, Store.Mailboxes[0].Cells);
    EXPECT_EQ(loaded.Mailboxes[1].Cell(mcBoxPassword), "boxpw");
    EXPECT_EQ(loaded.Mailboxes[0].Cell(mcPassword), "********");
    EXPECT_EQ(loaded.PasswordMap.Text(), "alice@pop.example.org=pa\nbob@pop.example.org=pb\n");
    EXPECT_EQ(loaded.InboxMap.Text(), "alice=/mail/alice\nbob=/mail/bob\n");
    ASSERT_EQ(loaded.Summary.size(), 1u);
    EXPECT_EQ(loaded.Summary[0].Caption, "alice");
    EXPECT_EQ(loaded.Summary[0].Cells, (std::vector<std::string>{"0", "", "", "", "", ""}));
    EXPECT_EQ(testenv::ReadFile(Path("IconMailbox.ini")), "alice=/mail/alice\n");

    EXPECT_TRUE(loaded.Notices.empty());

    // Reloading keeps one password line per user, and saving again gives the same bytes. A
    // sign-in file that cannot be opened is kept aside and reported.
    testenv::WriteFile(Path("OAuth2.cfg"), "not a sign-in file");
    loaded.LoadMailBoxes(false);
    ASSERT_EQ(loaded.Notices.size(), 1u);
    EXPECT_NE(loaded.Notices[0].find("OAuth2.cfg.damaged"), std::string::npos) << loaded.Notices[0];
    EXPECT_EQ(testenv::ReadFile(Path("OAuth2.cfg.damaged")), "not a sign-in file");
    EXPECT_EQ(loaded.PasswordMap.Count(), 2);
    ASSERT_TRUE(loaded.SaveMailBoxes(false));
    EXPECT_EQ(testenv::ReadFile(Path("PopSrv.cfg")), saved);
}

TEST_F(RecordsTest, MissingPasswordIsAskedForAndEmptyAnswerStoresAddPw)
{
    Store.Mailboxes = {Row("alice", true), Row("bob", true)};
    Store.PasswordMap.SetText("bob@pop.example.org=Add PW\n");
    std::vector<std::string> asked;
    ASSERT_TRUE(Store.SaveMailBoxes(false, [&](const std::string &user) {
        asked.push_back(user);
        return user == "alice" ? std::string("typed") : std::string();
    }));
    EXPECT_EQ(asked, (std::vector<std::string>{"alice", "bob"}));
    std::vector<TMailBoxRecord> records;
    ASSERT_TRUE(ReadMailBoxFile(Path("PopSrv.cfg"), records));
    EXPECT_EQ(GetText(records[0].Password), "typed");
    EXPECT_EQ(GetText(records[1].Password), "Add PW");
}

TEST_F(RecordsTest, EncryptedRecordsAndMasterPasswordRoundTrip)
{
    TurnOnEncryption();
    Store.Mailboxes = {Row("alice", true), Row("alice", true)};
    Store.PasswordMap.SetText("alice@pop.example.org=pa\n");
    ASSERT_TRUE(Store.SaveMailBoxes(true)) << Store.LastError;
    std::string bytes = testenv::ReadFile(Path("PopSrv.cfg"));
    ASSERT_EQ(bytes.size(), 2 * 1536u);
    EXPECT_NE(bytes.substr(0, 1536), bytes.substr(1536)) << "equal records, new bytes";
    EXPECT_EQ(bytes.find("alice"), std::string::npos);

    SetText(Globals->Config.MasterPassword, "open sesame");
    ASSERT_TRUE(Store.LoadSettings(true));
    std::string config = testenv::ReadFile(Path("Config.cfg"));
    EXPECT_EQ(config.find("open sesame"), std::string::npos);
    EXPECT_EQ(GetText(Globals->Config.MasterPassword), "open sesame");

    // With only the two files: the key stream under a guessed server name does not open the
    // master password.
    const std::string server = "pop.example.org";
    std::string guessed = config.substr(427, 12);
    for (std::size_t i = 0; i < guessed.size(); ++i)
        guessed[i] ^= bytes[i] ^ (i < server.size() ? server[i] : '\0');
    EXPECT_NE(guessed.substr(0, 11), "open sesame");

    TDataStore loaded;
    ASSERT_TRUE(loaded.LoadSettings(false));
    EXPECT_EQ(GetText(Globals->Config.MasterPassword), "open sesame");
    loaded.LoadMailBoxes(true);
    ASSERT_EQ(loaded.Mailboxes.size(), 2u);
    EXPECT_EQ(loaded.Mailboxes[1].Cells, Store.Mailboxes[1].Cells);
}

TEST_F(RecordsTest, LostKeyNeitherListsGarbageNorWritesPlainRecords)
{
    TurnOnEncryption();
    SaveTwo(true);
    std::string stored = testenv::ReadFile(Path("PopSrv.cfg"));
    std::remove(CryptoKeyFilePath().c_str());

    TDataStore loaded;
    TMailBoxLoad result = loaded.LoadMailBoxes(true);
    EXPECT_EQ(result.Undecryptable, 2);
    EXPECT_TRUE(loaded.Mailboxes.empty());

    Store.Mailboxes.push_back(Row("carol", true));
    EXPECT_FALSE(Store.SaveMailBoxes(true));
    EXPECT_EQ(Store.LastError, MailBoxEncryptError);
    EXPECT_EQ(testenv::ReadFile(Path("PopSrv.cfg")), stored);
}

TEST_F(RecordsTest, EncryptionStaysOnWhileDataCannotBeDecrypted)
{
    TurnOnEncryption();
    SetText(Globals->Config.MasterPassword, "master");
    ASSERT_TRUE(Store.SaveChanges(false)) << Store.LastError;
    SaveTwo(true);
    const std::string config = testenv::ReadFile(Path("Config.cfg"));
    const std::string mailboxes = testenv::ReadFile(Path("PopSrv.cfg"));
    std::remove(CryptoKeyFilePath().c_str());
    Globals->CryptoReady = InitCrypto(); // a new, different key file

    TDataStore loaded;
    ASSERT_TRUE(loaded.LoadSettings(false));
    TMailBoxLoad result = loaded.LoadMailBoxes(true);
    EXPECT_EQ(result.Undecryptable, 2);
    EXPECT_FALSE(loaded.CanStoreUnencrypted());

    // Switching encryption off is refused: nothing is written, the option stays on.
    Globals->Config.EncryptMailboxes = 0;
    EXPECT_FALSE(loaded.SaveChanges(true));
    EXPECT_EQ(loaded.LastError, EncryptOffRefused);
    EXPECT_EQ(Globals->Config.EncryptMailboxes, 1);
    EXPECT_EQ(testenv::ReadFile(Path("Config.cfg")), config);
    EXPECT_EQ(testenv::ReadFile(Path("PopSrv.cfg")), mailboxes);

    // Other changes are saved with the undecryptable data kept as they were.
    Globals->Config.CheckMinutes = 33;
    ASSERT_TRUE(loaded.LoadSettings(true)) << loaded.LastError;
    EXPECT_EQ(testenv::ReadFile(Path("Config.cfg")).substr(427, 12), config.substr(427, 12));
    EXPECT_EQ(testenv::ReadFile(Path("Config.cfg")).substr(736, 40), config.substr(736, 40));
}

TEST_F(RecordsTest, KeyThatCannotBeOpenedIsReplacedAtOnceWhenNothingIsSealedWithIt)
{
    TurnOnEncryption();
    Globals->Config.EncryptMailboxes = 0;
    Store.Mailboxes = {Row("alice", true)};
    Store.PasswordMap.SetText("alice@pop.example.org=pa\n");
    ASSERT_TRUE(Store.SaveChanges(false)) << Store.LastError;

    // One byte of the stored key changed, then the folder copied to an account with another key.
    std::string config = testenv::ReadFile(Path("Config.cfg"));
    config[12 + 30] ^= 1;
    testenv::WriteFile(Path("Config.cfg"), config);
    for (bool otherAccount : {false, true}) {
        if (otherAccount) {
            std::remove(CryptoKeyFilePath().c_str());
            ASSERT_TRUE(InitCrypto());
        }
        TDataStore copied;
        ASSERT_TRUE(copied.LoadSettings(false)) << copied.LastError;
        EXPECT_FALSE(copied.KeyLocked());
        EXPECT_TRUE(copied.Notices.empty());
        EXPECT_EQ(copied.LockedDataQuestion(), "");
        const std::string stored = testenv::ReadFile(Path("Config.cfg"));
        EXPECT_TRUE(KeyUsable(reinterpret_cast<const uint8_t *>(stored.data()) + 12,
                              At<uint32_t>(stored, 8)));

        // Encryption can be switched on, and the mailbox stays.
        EXPECT_EQ(copied.LoadMailBoxes(false).Undecryptable, 0);
        Globals->Config.EncryptMailboxes = 1;
        ASSERT_TRUE(copied.SaveChanges(false)) << copied.LastError;
        TDataStore again;
        ASSERT_TRUE(again.LoadSettings(false));
        EXPECT_EQ(again.LoadMailBoxes(true).Undecryptable, 0);
        ASSERT_EQ(again.Mailboxes.size(), 1u);
        Globals->Config.EncryptMailboxes = 0; // the next round copies a folder without seals
        ASSERT_TRUE(again.SaveChanges(true)) << again.LastError;
    }
}

// Sign-ins alone are reason enough to ask. After No nothing is moved, so that copying the key
// file back and starting again brings the sign-ins back.
TEST_F(RecordsTest, SignInsOfAKeyThatCannotBeOpenedAreKeptWhenTheUserAnswersNo)
{
    TurnOnEncryption();
    ASSERT_TRUE(Store.SaveChanges(false)) << Store.LastError;
    const std::string signIns = SaveSignIn();
    const std::string ownKeyFile = testenv::ReadFile(CryptoKeyFilePath());
    std::remove(CryptoKeyFilePath().c_str());
    ASSERT_TRUE(InitCrypto()); // another account's key file

    TDataStore copied;
    ASSERT_TRUE(copied.LoadSettings(false));
    EXPECT_NE(copied.LockedDataQuestion().find("unreadable here: 1 OAuth2 sign-in."),
              std::string::npos)
        << copied.LockedDataQuestion();
    copied.LoadMailBoxes(true); // the monitor goes on after No
    EXPECT_EQ(testenv::ReadFile(Path(names::OAuth2File)), signIns);
    EXPECT_FALSE(TUtils::FileExists(Path("OAuth2.cfg.old-key")));

    testenv::WriteFile(CryptoKeyFilePath(), ownKeyFile);
    TDataStore restarted;
    ASSERT_TRUE(restarted.LoadSettings(false));
    EXPECT_FALSE(restarted.KeyLocked());
    restarted.LoadMailBoxes(true);
    EXPECT_TRUE(restarted.Notices.empty());
    EXPECT_TRUE(oauth2::SignsInWithOAuth2(Globals->DataRoot, oauth2::TPurpose::Mailbox, "alice",
                                          "pop.example.org"));
}

TEST_F(RecordsTest, DataSealedWithAKeyThatCannotBeOpenedAreSetAsideOnlyWhenAsked)
{
    TurnOnEncryption();
    TConfigRecord &config = Globals->Config;
    config.PasswordActive = 1;
    config.SecurityLevel = 5;
    SetText(config.MasterPassword, "master");
    SetText(config.SmtpServer, "smtp.example.org");
    SetText(config.SmtpPassword, "smtp-pw");
    Store.Mailboxes = {Row("alice", true), Row("bob", false)};
    Store.PasswordMap.SetText("alice@pop.example.org=pa\nbob@pop.example.org=pb\n");
    ASSERT_TRUE(Store.SaveChanges(false)) << Store.LastError;
    const std::string oldConfig = testenv::ReadFile(Path("Config.cfg"));
    const std::string oldMailboxes = testenv::ReadFile(Path("PopSrv.cfg"));
    const std::string oldSignIns = SaveSignIn();
    std::remove(CryptoKeyFilePath().c_str());
    ASSERT_TRUE(InitCrypto()); // another account's key file

    TDataStore copied;
    ASSERT_TRUE(copied.LoadSettings(false));
    EXPECT_TRUE(copied.KeyLocked());
    EXPECT_TRUE(copied.MasterPasswordLocked());
    EXPECT_EQ(GetText(config.MasterPassword), "");
    EXPECT_EQ(GetText(config.SmtpPassword), "");
    const std::string question = copied.LockedDataQuestion();
    EXPECT_NE(question.find("2 mailbox records, 1 OAuth2 sign-in, the master password and the "
                            "outgoing server password"),
              std::string::npos)
        << question;
    EXPECT_NE(question.find(CryptoKeyFilePath()), std::string::npos);
    EXPECT_EQ(testenv::ReadFile(Path("Config.cfg")), oldConfig) << "nothing changes unasked";
    EXPECT_EQ(testenv::ReadFile(Path("PopSrv.cfg")), oldMailboxes);

    ASSERT_TRUE(copied.SetAsideLockedData()) << copied.LastError;
    EXPECT_FALSE(copied.KeyLocked());
    EXPECT_EQ(testenv::ReadFile(Path("Config.cfg.old-key")), oldConfig);
    EXPECT_EQ(testenv::ReadFile(Path("PopSrv.cfg.old-key")), oldMailboxes);
    EXPECT_EQ(testenv::ReadFile(Path("PopSrv.cfg")), "");
    EXPECT_EQ(testenv::ReadFile(Path("OAuth2.cfg.old-key")), oldSignIns);
    EXPECT_FALSE(TUtils::FileExists(Path(names::OAuth2File)));
    ASSERT_EQ(copied.Notices.size(), 1u);
    EXPECT_NE(copied.Notices[0].find("PopSrv.cfg.old-key"), std::string::npos);
    EXPECT_NE(copied.Notices[0].find("OAuth2.cfg.old-key"), std::string::npos);
    EXPECT_NE(copied.Notices[0].find(ProtectionOffNotice), std::string::npos);

    // From now on the monitor works with the new key: a mailbox is added, encrypted, read back.
    TDataStore next;
    ASSERT_TRUE(next.LoadSettings(false));
    EXPECT_EQ(next.LockedDataQuestion(), "");
    EXPECT_EQ(config.PasswordActive, 0);
    EXPECT_EQ(config.EncryptMailboxes, 1);
    next.Mailboxes = {Row("carol", true)};
    next.PasswordMap.SetText("carol@pop.example.org=pc\n");
    ASSERT_TRUE(next.SaveChanges(true)) << next.LastError;
    TDataStore last;
    ASSERT_TRUE(last.LoadSettings(false));
    TMailBoxLoad load = last.LoadMailBoxes(true);
    EXPECT_EQ(load.Undecryptable + load.NotAuthentic, 0);
    ASSERT_EQ(last.Mailboxes.size(), 1u);
    EXPECT_EQ(last.Mailboxes[0].Caption, "carol");
}

TEST_F(RecordsTest, OutgoingServerPasswordIsSealedUnderEncryption)
{
    TurnOnEncryption();
    TConfigRecord &config = Globals->Config;
    SetText(config.SmtpServer, "smtp.example.org");
    SetText(config.SmtpPassword, "smtp-secret");
    ASSERT_TRUE(Store.LoadSettings(true)) << Store.LastError;
    // As earlier versions stored it: plain, no seal.
    std::string older = testenv::ReadFile(Path("Config.cfg"));
    older.replace(172, 16, std::string("smtp-secret") + std::string(5, '\0'));
    older.replace(776, 40, std::string(40, '\0'));
    testenv::WriteFile(Path("Config.cfg"), older);

    TDataStore loaded;
    ASSERT_TRUE(loaded.LoadSettings(false)) << loaded.LastError;
    EXPECT_EQ(GetText(config.SmtpPassword), "smtp-secret");
    std::string stored = testenv::ReadFile(Path("Config.cfg"));
    EXPECT_EQ(stored.find("smtp-secret"), std::string::npos) << "rewritten sealed at once";
    EXPECT_NE(stored.substr(776, 40), std::string(40, '\0'));

    // A companion reads it too; the seal does not open on a changed password.
    TDataStore companion;
    SetText(config.SmtpPassword, "");
    ASSERT_TRUE(companion.LoadSettingsReadOnly());
    EXPECT_EQ(GetText(config.SmtpPassword), "smtp-secret");
    stored[172] ^= 1;
    testenv::WriteFile(Path("Config.cfg"), stored);
    ASSERT_TRUE(companion.LoadSettingsReadOnly());
    EXPECT_EQ(GetText(config.SmtpPassword), "");
    stored[172] ^= 1;
    testenv::WriteFile(Path("Config.cfg"), stored);

    // Switched off, it is stored plain again.
    ASSERT_TRUE(loaded.LoadSettings(false));
    config.EncryptMailboxes = 0;
    ASSERT_TRUE(loaded.SaveChanges(true)) << loaded.LastError;
    stored = testenv::ReadFile(Path("Config.cfg"));
    EXPECT_EQ(stored.substr(172, 12), std::string("smtp-secret") + '\0');
    EXPECT_EQ(stored.substr(776, 40), std::string(40, '\0'));
}

TEST_F(RecordsTest, AlteredRecordIsRecognisedAndKept)
{
    TurnOnEncryption();
    SaveTwo(true);
    std::string bytes = testenv::ReadFile(Path("PopSrv.cfg"));
    bytes[1536 + 70] ^= 0x20; // a letter of the second user ID
    testenv::WriteFile(Path("PopSrv.cfg"), bytes);

    TDataStore loaded;
    TMailBoxLoad result = loaded.LoadMailBoxes(true);
    EXPECT_EQ(result.NotAuthentic, 1);
    ASSERT_EQ(loaded.Mailboxes.size(), 1u);
    EXPECT_EQ(loaded.Mailboxes[0].Caption, "alice");
    ASSERT_EQ(loaded.Notices.size(), 1u);
    EXPECT_EQ(loaded.Notices[0], Format(NotAuthenticNotice, 1));

    ASSERT_TRUE(loaded.SaveMailBoxes(true));
    std::string saved = testenv::ReadFile(Path("PopSrv.cfg"));
    ASSERT_EQ(saved.size(), 2 * 1536u);
    EXPECT_EQ(saved.substr(1536), bytes.substr(1536)) << "kept as it was";
}

TEST_F(RecordsTest, FilesOfTheUnsealedEncryptionAreRewrittenSealedOnce)
{
    TurnOnEncryption();
    TConfigRecord &config = Globals->Config;
    // Files as the earlier encryption wrote them: one key stream, nothing in the seal bytes.
    TConfigRecord oldConfig = config;
    SetText(oldConfig.MasterPassword, "master");
    ASSERT_TRUE(XorOldKeyStream(config.KeyBlob, config.KeyLength, 12, oldConfig.MasterPassword));
    testenv::WriteFile(Path("Config.cfg"), std::string(reinterpret_cast<char *>(&oldConfig), 1024));
    std::vector<TMailBoxRecord> records;
    for (const char *user : {"alice", "bob"}) {
        records.push_back(MailboxRecord(Row(user, true), "pw"));
        ASSERT_TRUE(XorOldKeyStream(config.KeyBlob, config.KeyLength, 1536, &records.back()));
    }
    ASSERT_TRUE(WriteMailBoxFile(Path("PopSrv.cfg"), records));
    const std::string oldMailboxes = testenv::ReadFile(Path("PopSrv.cfg"));

    TDataStore loaded;
    ASSERT_TRUE(loaded.LoadSettings(false));
    EXPECT_EQ(GetText(config.MasterPassword), "master");
    std::string newConfig = testenv::ReadFile(Path("Config.cfg"));
    EXPECT_NE(newConfig.substr(736, 40), std::string(40, '\0')) << "sealed";
    EXPECT_NE(newConfig.substr(427, 12), std::string(oldConfig.MasterPassword, 12));

    TMailBoxLoad result = loaded.LoadMailBoxes(true);
    EXPECT_EQ(result.Migrated, 2);
    ASSERT_EQ(loaded.Mailboxes.size(), 2u);
    EXPECT_EQ(loaded.PasswordMap.Text(), "alice@pop.example.org=pw\nbob@pop.example.org=pw\n");
    std::string newMailboxes = testenv::ReadFile(Path("PopSrv.cfg"));
    ASSERT_EQ(newMailboxes.size(), oldMailboxes.size());
    EXPECT_NE(newMailboxes.substr(1496, 40), oldMailboxes.substr(1496, 40));

    TDataStore again;
    ASSERT_TRUE(again.LoadSettings(false));
    EXPECT_EQ(GetText(config.MasterPassword), "master");
    result = again.LoadMailBoxes(true);
    EXPECT_EQ(result.Migrated, 0);
    EXPECT_EQ(again.Mailboxes.size(), 2u);
    EXPECT_EQ(testenv::ReadFile(Path("PopSrv.cfg")), newMailboxes);
}

TEST_F(RecordsTest, DamagedSettingsFileIsKeptAndEncryptedMailboxesStayUnreadableAsPlain)
{
    TurnOnEncryption();
    SaveTwo(true);
    ASSERT_TRUE(Store.LoadSettings(true));
    const std::string whole = testenv::ReadFile(Path("Config.cfg"));
    const std::string mailboxes = testenv::ReadFile(Path("PopSrv.cfg"));

    // Cut short after the key: the file is kept aside, its key and mode are carried over.
    testenv::WriteFile(Path("Config.cfg"), whole.substr(0, 500));
    TDataStore first;
    ASSERT_TRUE(first.LoadSettings(false));
    EXPECT_EQ(testenv::ReadFile(Path("Config.cfg.damaged")), whole.substr(0, 500));
    ASSERT_EQ(first.Notices.size(), 2u);
    EXPECT_NE(first.Notices[0].find("Config.cfg.damaged"), std::string::npos);
    EXPECT_EQ(Globals->Config.EncryptMailboxes, 1);
    EXPECT_EQ(Globals->Config.CheckMinutes, 15);
    EXPECT_EQ(first.LoadMailBoxes(true).Undecryptable, 0);
    EXPECT_EQ(first.Mailboxes.size(), 2u);

    // Damaged before the key: a new key, the earlier kept file is not overwritten, and the
    // records are neither listed as plain nor dropped by the next save.
    testenv::WriteFile(Path("Config.cfg"), whole.substr(0, 60));
    TDataStore second;
    ASSERT_TRUE(second.LoadSettings(false));
    EXPECT_EQ(testenv::ReadFile(Path("Config.cfg.damaged")), whole.substr(0, 500));
    EXPECT_EQ(testenv::ReadFile(Path("Config.cfg.damaged-1")), whole.substr(0, 60));
    EXPECT_EQ(Globals->Config.EncryptMailboxes, 0);
    TMailBoxLoad result = second.LoadMailBoxes(false);
    EXPECT_EQ(result.NotAuthentic, 2);
    EXPECT_TRUE(second.Mailboxes.empty());
    second.Mailboxes = {Row("carol", true)};
    second.PasswordMap.SetText("carol=pc\n");
    ASSERT_TRUE(second.SaveMailBoxes(false));
    EXPECT_EQ(testenv::ReadFile(Path("PopSrv.cfg")).substr(1536), mailboxes);
}

TEST_F(RecordsTest, SaveFailingPartWayKeepsThePreviousFile)
{
    SaveTwo(false);
    std::string stored = testenv::ReadFile(Path("PopSrv.cfg"));
    for (int i = 0; i < 4; ++i)
        Store.Mailboxes.push_back(Row("more" + std::to_string(i), true));

    // The disk "fills up" after 2 KB: the new file is cut short mid-write.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit small = old;
    small.rlim_cur = 2048;
    setrlimit(RLIMIT_FSIZE, &small);
    bool saved = Store.SaveMailBoxes(false);
    setrlimit(RLIMIT_FSIZE, &old);

    EXPECT_FALSE(saved);
    EXPECT_EQ(Store.LastError, MailBoxFileError);
    EXPECT_EQ(testenv::ReadFile(Path("PopSrv.cfg")), stored);
    EXPECT_EQ(QDir(QString::fromStdString(Globals->DataRoot)).entryList({"PopSrv.cfg*"}).size(), 1);
}

TEST(SettingsControls, RoundTripAndLimits)
{
    TConfigRecord config;
    SetConfigDefaults(config, {});
    TSettingsControls controls = SettingsToWindow(config);
    EXPECT_EQ(controls.TimeoutSeconds, 5);
    EXPECT_EQ(controls.MainTimerIntervalMs(), 1000);
    EXPECT_TRUE(controls.Options[opDataVisible]);

    controls.TimeoutSeconds = 1000;
    controls.CheckMinutes = 30;
    controls.Options[opKeepOnTop] = true;
    controls.Options[opEncryptMailboxes] = true;
    TSettingsChanges changes = WindowToSettings(controls, "Thunderbird", config);
    EXPECT_TRUE(changes.CheckMinutes && changes.KeepOnTop);
    EXPECT_FALSE(changes.LoadAtStartup);
    EXPECT_EQ(config.TimeoutMs, 65535);
    EXPECT_EQ(config.EncryptMailboxes, 1);
    EXPECT_EQ(GetText(config.DefaultMailerName), "Thunderbird");

    config.TimerSeconds = 0; // a damaged file must not give a zero timer
    EXPECT_EQ(SettingsToWindow(config).TimerSeconds, 1);
}
