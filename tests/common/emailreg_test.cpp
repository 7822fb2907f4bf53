#include <QDir>
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/emailreg.h"
#include "common/platform/files.h"
#include "common/platform/registry.h"
#include "support/testenv.h"

namespace {

// Private system folders for desktop entries and mimeapps.list, and an empty registry file.
class EMailRegTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        System = testenv::MakeScratchDir("sys");
        qputenv("XDG_DATA_DIRS", QByteArray::fromStdString(System));
        qputenv("XDG_CONFIG_DIRS", QByteArray::fromStdString(System));
        Applications = qEnvironmentVariable("XDG_DATA_HOME").toStdString() + "/applications";
        QDir(QString::fromStdString(Applications)).removeRecursively();
        platform::MakeFolderPath(Applications);
        ::unlink(platform::TRegistryFile::DefaultPath().c_str());
        ::unlink(
            (qEnvironmentVariable("XDG_CONFIG_HOME").toStdString() + "/mimeapps.list").c_str());
    }

    void AddMailProgram(const std::string &id, const std::string &name, const std::string &exec)
    {
        std::string nameLine = name.empty() ? "" : "Name=" + name + "\n";
        testenv::WriteFile(Applications + "/" + id + ".desktop",
                           "[Desktop Entry]\nType=Application\n" + nameLine + "Exec=" + exec +
                               "\nMimeType=x-scheme-handler/mailto;\n");
    }

    void SetDefault(const std::string &id)
    {
        testenv::WriteFile(qEnvironmentVariable("XDG_CONFIG_HOME").toStdString() + "/mimeapps.list",
                           "[Default Applications]\nx-scheme-handler/mailto=" + id + ".desktop\n");
    }

    std::string System, Applications;
};

} // namespace

TEST_F(EMailRegTest, NoMailProgramsLeavesListUntouched)
{
    TEMailReg reg;
    TStringList list;
    EXPECT_EQ(reg.ListMailClients(list), 0);
    list.Add("keep me");
    EXPECT_EQ(reg.ListMailClients(list), 1);
    EXPECT_EQ(list[0], "keep me");
    EXPECT_EQ(reg.ReadOpenCommand("anything"), "");
}

TEST_F(EMailRegTest, ListsProgramsWithDefaultAndOpenCommand)
{
    AddMailProgram("writer", "Writer Mail", "writer %u");
    AddMailProgram("zmail", "", "zmail");
    SetDefault("writer");
    TEMailReg reg;
    TStringList list{"stale line"};
    EXPECT_EQ(reg.ListMailClients(list), 3);
    EXPECT_EQ(list.Items(),
              (std::vector<std::string>{"default=writer", "writer=Writer Mail", "zmail=zmail"}));
    EXPECT_EQ(reg.ReadOpenCommand("writer"), "writer %u");
    EXPECT_EQ(reg.ReadOpenCommand("WRITER"), "writer %u");
    EXPECT_EQ(reg.ReadOpenCommand("nothing"), "");
}

TEST_F(EMailRegTest, DefaultThatIsNotInstalledStillListed)
{
    SetDefault("absent");
    TEMailReg reg;
    TStringList list;
    EXPECT_EQ(reg.ListMailClients(list), 1);
    EXPECT_EQ(list[0], "default=absent");

    AddMailProgram("writer", "Writer", "writer");
    list.Clear();
    reg.ListMailClients(list);
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"default=absent", "writer=Writer"}));
}

TEST_F(EMailRegTest, OutlookExpressAccountsFromRegistryFile)
{
    const std::string accounts = "\\Software\\Microsoft\\Internet Account Manager\\Accounts";
    platform::TRegistryFile file;
    file.SetString(platform::TRegRoot::User, accounts + "\\00000002", "POP3 Server",
                   "pop.example.com");
    file.SetString(platform::TRegRoot::User, accounts + "\\00000002", "POP3 User Name", "ann");
    file.SetInteger(platform::TRegRoot::User, accounts + "\\00000002", "POP3 Port", 110);
    file.SetBinary(platform::TRegRoot::User, accounts + "\\00000002", "SMTP Display Name", "Ann B");
    file.SetBinary(platform::TRegRoot::User, accounts + "\\00000002", "Cut",
                   std::string("ab\0cd", 5));
    file.SetExpandString(platform::TRegRoot::User, accounts + "\\00000002", "Store",
                         "%APPDATA%\\x");
    file.SetString(platform::TRegRoot::User, accounts + "\\0", "POP3 Server", "zero");
    file.SetString(platform::TRegRoot::User, accounts + "\\News", "POP3 Server", "text");
    file.SetString(platform::TRegRoot::User, accounts + "\\7", "POP3 Server", "seven");
    ASSERT_TRUE(file.Save());

    TEMailReg reg;
    std::vector<TAccountEntry> list;
    EXPECT_EQ(reg.ReadOutlookExpressAccounts(list), 2);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0].Name, "00000002");
    EXPECT_EQ(list[0].Values.Values("POP3 Server"), "pop.example.com");
    EXPECT_EQ(list[0].Values.Values("POP3 User Name"), "ann");
    EXPECT_EQ(list[0].Values.Values("POP3 Port"), "110");
    EXPECT_EQ(list[0].Values.Values("SMTP Display Name"), "Ann B"); // five bytes, no zero
    EXPECT_EQ(list[0].Values.Values("Cut"), "ab");                  // up to the first zero
    EXPECT_EQ(list[0].Values.Values("Store"), "%APPDATA%\\x");      // not expanded
    EXPECT_EQ(list[1].Name, "7");
}

TEST_F(EMailRegTest, NoAccountsKeyLeavesListUnchanged)
{
    TEMailReg reg;
    std::vector<TAccountEntry> list(1);
    EXPECT_EQ(reg.ReadOutlookExpressAccounts(list), 1);
}

TEST_F(EMailRegTest, EudoraAccount)
{
    TEMailReg reg;
    TStringList list;
    std::string folder = qEnvironmentVariable("XDG_DATA_HOME").toStdString() + "/Qualcomm/eudora";
    ::unlink((folder + "/eudora.ini").c_str());
    EXPECT_FALSE(reg.ReadEudoraAccount(list));
    EXPECT_TRUE(list.Empty());

    platform::MakeFolderPath(folder);
    testenv::WriteFile(
        folder + "/eudora.ini",
        "[Settings]\r\nloginname=ann\r\nLoginName=second\r\nPOPSERVER=pop.example.com\r\n");
    EXPECT_TRUE(reg.ReadEudoraAccount(list));
    testenv::WriteFile(folder + "/eudora.ini", "[Settings]\nOther=1\n");
    EXPECT_TRUE(reg.ReadEudoraAccount(list));
    EXPECT_EQ(list.Items(), (std::vector<std::string>{"ann=pop.example.com", ""}));
}
