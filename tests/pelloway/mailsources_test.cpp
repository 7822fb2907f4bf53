// The sources the import reads, each from files written here into the private home.
#include <QDir>
#include <filesystem>
#include <gtest/gtest.h>

#include "common/names.h"
#include "common/platform/folders.h"
#include "common/platform/registry.h"
#include "common/utils.h"
#include "pelloway/emailsetup.h"
#include "pelloway/keyfile.h"
#include "support/testenv.h"

namespace {

std::string Home()
{
    return platform::HomeFolder();
}

void Write(const std::string &path, const std::string &text)
{
    QDir().mkpath(QString::fromStdString(std::filesystem::path(path).parent_path().string()));
    testenv::WriteFile(path, text);
}

std::vector<std::string> Captions(const std::vector<TImportEntry> &entries)
{
    std::vector<std::string> captions;
    for (const TImportEntry &entry : entries)
        captions.push_back(entry.Caption());
    return captions;
}

// Removes what an earlier test of this process wrote into the home and the log.
class MailSources : public ::testing::Test
{
protected:
    TUtils utils;
    std::string log = testenv::MakeScratchDir("log") + "/Debug.txt";

    void SetUp() override
    {
        for (const char *folder : {".thunderbird", ".mozilla-thunderbird", ".config", ".var"})
            QDir(QString::fromStdString(Home() + "/" + folder)).removeRecursively();
        QDir(QString::fromStdString(platform::DataHome())).removeRecursively();
        utils.LogFileName = log;
        Utils = &utils;
    }
    void TearDown() override { Utils = nullptr; }
};

TEST_F(MailSources, Pop3AndImapAccountsOfEveryProgramAreListedWithPortAndTlsMode)
{
    const std::string tb = Home() + "/.thunderbird";
    Write(tb + "/profiles.ini", "[General]\nStartWithLastProfile=1\n\n[Profile0]\nName=default\n"
                                "IsRelative=1\nPath=abcd.default\nDefault=1\n");
    Write(tb + "/abcd.default/prefs.js",
          "// Mozilla User Preferences\n"
          "user_pref(\"mail.server.server1.type\", \"none\");\n"
          "user_pref(\"mail.server.server1.hostname\", \"Local Folders\");\n"
          "user_pref(\"mail.server.server1.userName\", \"nobody\");\n"
          "user_pref(\"mail.server.server2.hostname\", \"pop.example.com\");\n"
          "user_pref(\"mail.server.server2.port\", 995);\n"
          "user_pref(\"mail.server.server2.socketType\", 3);\n"
          "user_pref(\"mail.server.server2.type\", \"pop3\");\n"
          "user_pref(\"mail.server.server2.userName\", \"ann\");\n"
          "user_pref(\"mail.server.server3.hostname\", \"imap.example.com\");\n"
          "user_pref(\"mail.server.server3.type\", \"imap\");\n"
          "user_pref(\"mail.server.server3.userName\", \"ann\");\n"
          "user_pref(\"mail.server.server4.hostname\", \"Feeds\");\n"
          "user_pref(\"mail.server.server4.type\", \"rss\");\n"
          "user_pref(\"mail.server.server4.userName\", \"nobody\");\n"
          "user_pref(\"mail.server.server5.hostname\", \"old.example.net\");\n"
          "user_pref(\"mail.server.server5.realhostname\", \"mail.example.net\");\n"
          "user_pref(\"mail.server.server5.port\", 1110);\n"
          "user_pref(\"mail.server.server5.socketType\", 2);\n"
          "user_pref(\"mail.server.server5.type\", \"pop3\");\n"
          "user_pref(\"mail.server.server5.userName\", \"c\\u00e4rl \\\"x\\\"\");\n"
          "user_pref(\"mail.server.server6.authMethod\", 10);\n"
          "user_pref(\"mail.server.server6.hostname\", \"imap.gmail.com\");\n"
          "user_pref(\"mail.server.server6.port\", 993);\n"
          "user_pref(\"mail.server.server6.socketType\", 3);\n"
          "user_pref(\"mail.server.server6.type\", \"imap\");\n"
          "user_pref(\"mail.server.server6.userName\", \"ann@gmail.com\");\n"
          "user_pref(\"mail.server.server7.hostname\", \"mail.example.net\");\n"
          "user_pref(\"mail.server.server7.port\", 1143);\n"
          "user_pref(\"mail.server.server7.socketType\", 2);\n"
          "user_pref(\"mail.server.server7.type\", \"imap\");\n"
          "user_pref(\"mail.server.server7.userName\", \"carl\");\n"
          "user_pref(\"mail.server.server10.authMethod\", 10);\n"
          "user_pref(\"mail.server.server10.hostname\", \"pop.gmail.com\");\n"
          "user_pref(\"mail.server.server10.socketType\", 3);\n"
          "user_pref(\"mail.server.server10.type\", \"pop3\");\n"
          "user_pref(\"mail.server.server10.userName\", \"ann@gmail.com\");\n"
          "user_pref(\"mail.identity.id1.fullName\", \"Ann Example\");\n"
          "user_pref(\"mail.identity.id1.smtpServer\", \"smtp1\");\n"
          "user_pref(\"mail.smtpserver.smtp1.hostname\", \"smtp.example.com\");\n"
          "user_pref(\"mail.smtpserver.smtp1.port\", 587);\n"
          "user_pref(\"mail.smtpserver.smtp1.try_ssl\", 2);\n"
          "user_pref(\"mail.smtpserver.smtp1.username\", \"ann\");\n");

    const std::string sources = Home() + "/.config/evolution/sources/";
    Write(sources + "pop1.source", "[Data Source]\nDisplayName=dora@example.org\nEnabled=true\n\n"
                                   "[Mail Account]\nBackendName=pop\nIdentityUid=id1\n\n"
                                   "[Authentication]\nHost=pop.example.org\nMethod=PLAIN\n"
                                   "Port=110\nUser=dora\n\n"
                                   "[Security]\nMethod=starttls-on-standard-port\n");
    Write(sources + "imap1.source", "[Mail Account]\nBackendName=imapx\n\n"
                                    "[Authentication]\nHost=imap.example.org\nUser=dora\n");
    Write(sources + "imap2.source", "[Mail Account]\nBackendName=imapx\n\n"
                                    "[Authentication]\nHost=mail.example.org\nPort=9993\n"
                                    "User=dora\n\n[Security]\nMethod=ssl-on-alternate-port\n");
    Write(sources + "imap3.source", "[Mail Account]\nBackendName=imapx\n\n"
                                    "[Authentication]\nHost=imap.example.org\nPort=143\n"
                                    "User=dora\n\n[Security]\nMethod=starttls-on-standard-port\n");
    Write(sources + "id1.source",
          "[Mail Identity]\nName=Dora Example\n\n[Mail Submission]\nTransportUid=smtp1\n");
    Write(sources + "smtp1.source", "[Mail Transport]\nBackendName=smtp\n\n"
                                    "[Authentication]\nHost=smtp.example.org\nPort=465\n"
                                    "User=dora\n\n[Security]\nMethod=ssl-on-alternate-port\n");

    Write(Home() + "/.config/akonadi_pop3_resource_0rc",
          "[General]\nhost=pop.kmail.test\nport=995\nlogin=erik\nuseSSL=true\nuseTLS=false\n"
          "authenticationMethod=7\n");
    Write(Home() + "/.config/akonadi_imap_resource_0rc",
          "[network]\nImapServer=imap.kmail.test\nImapPort=993\nUserName=erik\nSafety=SSL\n"
          "Authentication=1\n");
    Write(Home() + "/.config/akonadi_imap_resource_1rc",
          "[network]\nImapServer=imap.kmail.test\nImapPort=143\nUserName=erik\n"
          "Safety=STARTTLS\n");
    Write(Home() + "/.config/akonadi_imap_resource_2rc",
          "[network]\nImapServer=old.kmail.test:1143\nUserName=erik\nSafety=None\n");
    Write(Home() + "/.config/mailtransports", "[Transport 1234]\nhost=smtp.kmail.test\nport=587\n"
                                              "encryption=TLS\nuser=erik\nname=Work\n");

    // The readers the mail-client registry had keep working beside them.
    platform::TRegistryFile registry;
    const std::string account = "\\Software\\Microsoft\\Internet Account Manager\\Accounts\\1";
    registry.SetString(platform::TRegRoot::User, account, "POP3 Server", "pop.oe.test");
    registry.SetString(platform::TRegRoot::User, account, "POP3 User Name", "olga");
    ASSERT_TRUE(registry.Save());
    Write(platform::DataHome() + "/Qualcomm/eudora/eudora.ini",
          "LoginName=fred\nPopServer=pop.eudora.test\n");

    TMailImport import;
    import.Scan();
    EXPECT_EQ(
        Captions(import.Mailboxes),
        (std::vector<std::string>{
            "olga@pop.oe.test", "fred@pop.eudora.test", "ann@pop3s://pop.example.com",
            "ann@imap://imap.example.com", "c\xc3\xa4rl \"x\"@pop3+tls://mail.example.net:1110",
            "ann@gmail.com@imaps://imap.gmail.com", "carl@imap+tls://mail.example.net:1143",
            "ann@gmail.com@pop3s://pop.gmail.com", "dora@imap://imap.example.org",
            "dora@imaps://mail.example.org:9993", "dora@imap+tls://imap.example.org",
            "dora@pop3+tls://pop.example.org", "erik@imaps://imap.kmail.test",
            "erik@imap+tls://imap.kmail.test", "erik@imap://old.kmail.test:1143",
            "erik@pop3s://pop.kmail.test"}));
    for (int oauth2 : {5, 7}) {
        EXPECT_TRUE(import.Mailboxes[oauth2].Importable()) << "OAuth2 with a known provider";
        EXPECT_TRUE(import.Mailboxes[oauth2].Account.OAuth2);
    }
    EXPECT_EQ(import.Mailboxes[4].Account.Tls, TTlsMode::StartTls);
    EXPECT_TRUE(import.Mailboxes[6].Account.Imap);
    EXPECT_FALSE(import.Mailboxes[7].Account.Imap);

    ASSERT_EQ(
        Captions(import.SmtpServers),
        (std::vector<std::string>{"smtp+tls://smtp.example.com:587", "smtps://smtp.example.org",
                                  "smtp+tls://smtp.kmail.test:587"}));
    EXPECT_EQ(import.SmtpServers[0].Account.SenderName, "Ann Example");
    EXPECT_EQ(import.SmtpServers[0].Account.UserId, "ann");
    EXPECT_EQ(import.SmtpServers[1].Account.SenderName, "Dora Example");

    // A second scan adds nothing twice.
    import.Scan();
    EXPECT_EQ(import.Mailboxes.size(), 16u);
    EXPECT_EQ(import.SmtpServers.size(), 3u);
}

// The flatpaks' folders are read too; Evolution's port 0 is the usual port and what the user
// switched off is not offered; KMail's identities name the senders; each program's default
// outgoing server is the one offered, the desktop's default program's first.
TEST_F(MailSources, FlatpaksSwitchedOffSourcesSenderNamesAndDefaultServers)
{
    const std::string evolution =
        Home() + "/.var/app/org.gnome.Evolution/config/evolution/sources/";
    Write(evolution + "pop1.source",
          "[Data Source]\nEnabled=true\n\n[Mail Account]\nBackendName=pop\n"
          "\n[Authentication]\nHost=pop.flat.test\nPort=0\nUser=fay\n\n"
          "[Security]\nMethod=ssl-on-alternate-port\n");
    Write(evolution + "pop2.source",
          "[Data Source]\nEnabled=false\n\n[Mail Account]\n"
          "BackendName=pop\n\n[Authentication]\nHost=pop.off.test\nUser=fay\n");
    Write(evolution + "smtp1.source", "[Data Source]\nEnabled=false\n\n[Mail Transport]\n"
                                      "BackendName=smtp\n\n[Authentication]\nHost=smtp.off.test\n");
    const std::string kmail = Home() + "/.var/app/org.kde.kmail2/config/";
    Write(kmail + "akonadi_pop3_resource_0rc", "[General]\nhost=pop.kmail.test\nlogin=kai\n");
    Write(kmail + "mailtransports", "[General]\ndefault-transport=22\n\n[Transport 11]\nid=11\n"
                                    "host=smtp.first.test\n\n[Transport 22]\nid=22\n"
                                    "host=smtp.second.test\n");
    Write(kmail + "emailidentities", "[Identity #0]\nName=Kai Example\nTransport=\n\n"
                                     "[Identity #1]\nName=Kai at Work\nTransport=11\n");
    Write(Home() + "/.config/mailtransports", "[Transport 5]\nid=5\nhost=smtp.plain.test\n");

    TMailImport import;
    import.Scan();
    EXPECT_EQ(Captions(import.Mailboxes),
              (std::vector<std::string>{"fay@pop3s://pop.flat.test", "kai@pop.kmail.test"}));
    ASSERT_EQ(Captions(import.SmtpServers),
              (std::vector<std::string>{"smtp.plain.test", "smtp.first.test", "smtp.second.test"}));
    EXPECT_EQ(import.SmtpServers[1].Account.SenderName, "Kai at Work");
    EXPECT_EQ(import.SmtpServers[2].Account.SenderName, "Kai Example");
    EXPECT_EQ(import.DefaultSmtpIndex(), 0) << "the first program's default";
    // As if the first came from another program, and KMail were the desktop's mail program.
    import.SmtpServers[0].Account.Source = "Thunderbird";
    import.DefaultHandler = "org.kde.kmail2";
    EXPECT_EQ(import.DefaultSmtpIndex(), 2);
}

TEST_F(MailSources, BrokenOrHostileFilesAreLoggedAndSkipped)
{
    const std::string tb = Home() + "/.thunderbird";
    Write(tb + "/profiles.ini",
          "garbage\n[Profile0]\nPath=missing.default\n[Profile1]\nPath=bad.default\n"
          "[Profile2]\nIsRelative=0\nPath=" +
              tb + "/bad.default\n[Profile3]\n");
    Write(tb + "/bad.default/prefs.js",
          std::string("\x01\x02\0\xff binary", 12) + "\n" +
              "user_pref(\"mail.server.server1.type\", \"pop3\n"
              "user_pref(\"mail.server.server1.hostname\", \"pop.ok.test\");\n"
              "user_pref(\"mail.server.server1.type\", \"pop3\");\n"
              "user_pref(\"mail.server.server1.userName\", \"ok\");\n"
              "user_pref(\"mail.server.server2.type\", \"pop3\");\n"
              "user_pref(\"mail.server.server2.hostname\", \"pop.bad.test\");\n"
              "user_pref(\"mail.server.server2.port\", 99999);\n"
              "user_pref(\"mail.server.server3.type\", \"pop3\");\n"
              "user_pref(\"mail.server.server3.userName\", \"nohost\");\n"
              "user_pref(\"mail.server.server4.type\", \"pop3\");\n"
              "user_pref(\"mail.server.server4.hostname\", \"evil.test\\n\");\n"
              "user_pref(\"mail.server.server4.userName\", \"a=b\");\n"
              "user_pref(\"mail.server.server\\u0035.type\", \"pop3\");\n"
              "user_pref(\"mail.server.server5.hostname\", \"pop.esc.test\");\n"
              "user_pref(\"mail.server.server5.userName\", \"" +
              std::string(60, 'x') + "\");\n");
    // Far too large to be a profile list; never read into memory.
    const std::string huge = Home() + "/.mozilla-thunderbird/profiles.ini";
    Write(huge, "[Profile0]\n");
    std::filesystem::resize_file(huge, MaxSettingsFileSize + 1);
    Write(Home() + "/.config/evolution/sources/x.source", std::string("[[[=\0\0]\n=", 10));
    Write(Home() + "/.config/akonadi_pop3_resource_1rc", "[General]\nhost=\nlogin=x\n");
    Write(Home() + "/.config/mailtransports", "[Transport 1]\nhost=smtp.t\nport=abc\n");

    TMailImport import;
    import.Scan();
    std::vector<std::string> captions = Captions(import.Mailboxes);
    ASSERT_EQ(captions.size(), 3u);
    EXPECT_EQ(captions[0], "ok@pop.ok.test");
    EXPECT_EQ(captions[1], "a=b@evil.test  (the server name is not usable)");
    EXPECT_EQ(captions[2], std::string(60, 'x') + "@pop.esc.test  (user name longer than 41 "
                                                  "characters)");
    EXPECT_TRUE(import.SmtpServers.empty());

    std::string written = testenv::ReadFile(log);
    for (const char *expected : {"larger than a settings file can be", "99999\" is not a number",
                                 "names no server", "no prefs.js", "unreadable lines",
                                 "akonadi_pop3_resource_1rc", "\"abc\" is not a number"})
        EXPECT_NE(written.find(expected), std::string::npos) << expected << "\n" << written;
}

} // namespace
