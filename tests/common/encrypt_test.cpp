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

TEST_F(EncryptTest, EachSealIsFreshAndOpensOnlyUnchangedData)
{
    const TMailBoxRecord plain = SampleRecord("alice");
    TMailBoxRecord first = plain, second = plain;
    ASSERT_TRUE(SealBlock(Key.Blob, Key.Length, TSealedKind::MailboxRecord, MailboxSealedBytes,
                          &first, first.Seal));
    ASSERT_TRUE(SealBlock(Key.Blob, Key.Length, TSealedKind::MailboxRecord, MailboxSealedBytes,
                          &second, second.Seal));
    EXPECT_NE(std::memcmp(&first, &plain, MailboxSealedBytes), 0);
    EXPECT_NE(std::memcmp(&first, &second, sizeof plain), 0) << "equal records, new bytes";

    // The plain text of one record does not give the key stream of another.
    TMailBoxRecord guessed = first;
    for (std::size_t i = 0; i < MailboxSealedBytes; ++i)
        reinterpret_cast<uint8_t *>(&guessed)[i] ^= reinterpret_cast<const uint8_t *>(&plain)[i] ^
                                                    reinterpret_cast<const uint8_t *>(&second)[i];
    EXPECT_NE(GetText(guessed.MailServer), "pop.example.org");

    // Any changed byte, in the data or the seal, or the wrong kind fails and leaves the data.
    for (std::size_t at : {std::size_t(0), std::size_t(900), offsetof(TMailBoxRecord, Seal),
                           sizeof(TMailBoxRecord) - 1}) {
        TMailBoxRecord changed = first;
        reinterpret_cast<uint8_t *>(&changed)[at] ^= 0x01;
        const TMailBoxRecord stored = changed;
        EXPECT_EQ(OpenBlock(Key.Blob, Key.Length, TSealedKind::MailboxRecord, MailboxSealedBytes,
                            &changed, changed.Seal),
                  TOpenResult::NotAuthentic)
            << at;
        EXPECT_EQ(std::memcmp(&changed, &stored, sizeof stored), 0);
    }
    TMailBoxRecord other = first;
    EXPECT_EQ(OpenBlock(Key.Blob, Key.Length, TSealedKind::MasterPassword, MailboxSealedBytes,
                        &other, other.Seal),
              TOpenResult::NotAuthentic);

    ASSERT_EQ(OpenBlock(Key.Blob, Key.Length, TSealedKind::MailboxRecord, MailboxSealedBytes,
                        &first, first.Seal),
              TOpenResult::Opened);
    EXPECT_EQ(std::memcmp(&first, &plain, MailboxSealedBytes), 0);
}

TEST_F(EncryptTest, MissingOrForeignKeyFailsWithoutTouchingTheBuffer)
{
    TMailBoxRecord record = SampleRecord("alice");
    ASSERT_TRUE(SealBlock(Key.Blob, Key.Length, TSealedKind::MailboxRecord, MailboxSealedBytes,
                          &record, record.Seal));
    const TMailBoxRecord stored = record;
    auto open = [&](const TKeyed &key) {
        return OpenBlock(key.Blob, key.Length, TSealedKind::MailboxRecord, MailboxSealedBytes,
                         &record, record.Seal);
    };

    std::remove(CryptoKeyFilePath().c_str());
    EXPECT_EQ(open(Key), TOpenResult::KeyUnusable);
    EXPECT_FALSE(CryptoLastError().empty());
    EXPECT_FALSE(KeyUsable(Key.Blob, Key.Length));

    // A new key file (another user, or a lost one) cannot open the old blob.
    ASSERT_TRUE(InitCrypto());
    EXPECT_EQ(open(Key), TOpenResult::KeyUnusable);
    EXPECT_FALSE(XorOldKeyStream(Key.Blob, Key.Length, sizeof record, &record));

    TKeyed damaged = Key;
    damaged.Blob[10] ^= 1;
    EXPECT_FALSE(SealBlock(damaged.Blob, damaged.Length, TSealedKind::MailboxRecord,
                           MailboxSealedBytes, &record, record.Seal));
    TKeyed none;
    EXPECT_EQ(open(none), TOpenResult::KeyUnusable);
    EXPECT_EQ(std::memcmp(&record, &stored, sizeof record), 0);
}
