// Encryption of stored mailbox data: the mailbox records of "PopSrv.cfg" and the master
// password of "Config.cfg" when "Encrypt Mailboxes" is on.
//
// A per-user wrapping key lives in a key file (0600) in the user's configuration folder, outside
// the data root, so a copied data folder does not carry it. One session key per installation is
// kept only wrapped with it, in KeyBlob of the settings record; the blob alone reveals nothing.
//
// Each encryption uses a fresh random nonce and yields an authentication tag; the data are
// transformed in place (they keep their length) and the nonce and tag go to a separate "seal"
// of SealSize bytes that the caller stores in bytes its record layout keeps zero. Opening checks
// the tag, so a damaged or altered block, or one sealed under another key, is recognised.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Room for the wrapped key in the settings record.
constexpr uint32_t KeyBlobCapacity = 128;

// Makes sure the crypto library works and the user's key file exists (creating it when missing).
bool InitCrypto();

// With length 0: makes a new session key, wraps it into blob (KeyBlobCapacity bytes) and sets
// length. With length other than 0: answers true and changes nothing.
bool MakeKey(uint8_t *blob, uint32_t &length);

// Seal layout: the 24-byte nonce, then the 16-byte tag.
constexpr std::size_t SealNonceSize = 24;
constexpr std::size_t SealTagSize = 16;
constexpr std::size_t SealSize = SealNonceSize + SealTagSize;

// What a block is; bound into its tag so one kind cannot be passed off as another.
enum class TSealedKind { MailboxRecord, MasterPassword, SmtpPassword, OAuth2Entry };

// Encrypts n bytes of data in place and writes their nonce and tag to seal. On failure (no key
// file, another user's key, a damaged blob) data and seal are left as they were.
bool SealBlock(const uint8_t *blob, uint32_t blobLength, TSealedKind kind, std::size_t n,
               void *data, uint8_t *seal);

enum class TOpenResult {
    Opened,       // data decrypted in place
    NotAuthentic, // the tag does not match: damaged, altered or sealed under another key
    KeyUnusable   // the session key cannot be unwrapped (no key file, another user's key)
};
// Checks and decrypts n bytes of data in place; unless Opened, data are left as they were.
TOpenResult OpenBlock(const uint8_t *blob, uint32_t blobLength, TSealedKind kind, std::size_t n,
                      void *data, const uint8_t *seal);

// The transform of files written before blocks were sealed: the same key stream from its start
// for every block, without nonce or tag. XOR, so it both encrypts and decrypts. Kept only to read
// such files once; they are rewritten sealed. False (buffer untouched) when the key is unusable.
bool XorOldKeyStream(const uint8_t *blob, uint32_t blobLength, std::size_t n, void *buffer);

// True when the session key in blob can be unwrapped with this user's key file.
bool KeyUsable(const uint8_t *blob, uint32_t blobLength);

// Full path of the user's key file.
std::string CryptoKeyFilePath();

// Text of the last failure of the functions above.
std::string CryptoLastError();
