#include "common/encrypt.h"
#include "common/records.h"

#include <cstdio>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

struct TKeyed
{
    uint8_t Blob[KeyBlobCapacity] = {};
    uint32_t Length = 0;
};

TMailBoxRecord SampleRecord(const char *user)
{
    TMailBoxRecord record{};
    SetText(record.UserId, user);
    SetText(record.MailServer, "pop.example.org");
    SetText(record.Password, "secret");
    record.Active = 1;
    return record;
}

class EncryptTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::remove(CryptoKeyFilePath().c_str());
        ASSERT_TRUE(InitCrypto()) << CryptoLastError();
        ASSERT_TRUE(MakeKey(Key.Blob, Key.Length)) << CryptoLastError();
    }
    TKeyed Key;
};

} // namespace

TEST_F(EncryptTest, KeyFileIsPrivateAndBlobFitsTheRecord)
{
    struct stat info
    {
    };
    ASSERT_EQ(stat(CryptoKeyFilePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_GT(Key.Length, 0u);
    EXPECT_LE(Key.Length, KeyBlobCapacity);

    TKeyed before = Key;
    EXPECT_TRUE(MakeKey(Key.Blob, Key.Length));
    EXPECT_EQ(Key.Length, before.Length);
    EXPECT_EQ(std::memcmp(Key.Blob, before.Blob, KeyBlobCapacity), 0);

    TKeyed other;
    ASSERT_TRUE(MakeKey(other.Blob, other.Length));
    EXPECT_NE(std::memcmp(Key.Blob, other.Blob, KeyBlobCapacity), 0);
}

TEST_F(EncryptTest, RecordsEncryptAloneAndDecryptBack)
{
    TMailBoxRecord plain = SampleRecord("alice");
    TMailBoxRecord first = plain, second = plain, third = SampleRecord("bob");
    ASSERT_TRUE(EncryptBlock(Key.Blob, Key.Length, sizeof first, &first));
    ASSERT_TRUE(EncryptBlock(Key.Blob, Key.Length, sizeof second, &second));
    ASSERT_TRUE(EncryptBlock(Key.Blob, Key.Length, sizeof third, &third));

    EXPECT_NE(std::memcmp(&first, &plain, sizeof plain), 0);
    EXPECT_EQ(std::memcmp(&first, &second, sizeof plain), 0) << "equal records, equal bytes";
    EXPECT_NE(std::memcmp(&first, &third, sizeof plain), 0);

    ASSERT_TRUE(DecryptBlock(Key.Blob, Key.Length, sizeof first, &first));
    EXPECT_EQ(std::memcmp(&first, &plain, sizeof plain), 0);

    char password[12] = "master";
    char stored[12];
    std::memcpy(stored, password, sizeof stored);
    ASSERT_TRUE(EncryptBlock(Key.Blob, Key.Length, sizeof stored, stored));
    ASSERT_TRUE(DecryptBlock(Key.Blob, Key.Length, sizeof stored, stored));
    EXPECT_EQ(std::memcmp(stored, password, sizeof stored), 0);
}

TEST_F(EncryptTest, MissingOrForeignKeyFailsWithoutTouchingTheBuffer)
{
    TMailBoxRecord record = SampleRecord("alice");
    ASSERT_TRUE(EncryptBlock(Key.Blob, Key.Length, sizeof record, &record));
    TMailBoxRecord stored = record;

    std::remove(CryptoKeyFilePath().c_str());
    EXPECT_FALSE(DecryptBlock(Key.Blob, Key.Length, sizeof record, &record));
    EXPECT_FALSE(CryptoLastError().empty());
    EXPECT_EQ(std::memcmp(&record, &stored, sizeof record), 0);

    // A new key file (another user, or a lost one) cannot open the old blob.
    ASSERT_TRUE(InitCrypto());
    EXPECT_FALSE(DecryptBlock(Key.Blob, Key.Length, sizeof record, &record));
    EXPECT_EQ(std::memcmp(&record, &stored, sizeof record), 0);

    TKeyed damaged = Key;
    damaged.Blob[10] ^= 1;
    EXPECT_FALSE(EncryptBlock(damaged.Blob, damaged.Length, sizeof record, &record));
    EXPECT_FALSE(DecryptBlock(Key.Blob, 0, sizeof record, &record));
    EXPECT_EQ(std::memcmp(&record, &stored, sizeof record), 0);
}
