// Encryption of stored mailbox data: the mailbox records of "PopSrv.cfg" and the master
// password of "Config.cfg" when "Encrypt Mailboxes" is on.
//
// A per-user wrapping key lives in a key file (0600) in the user's configuration folder, outside
// the data root, so a copied data folder does not carry it. One session key per installation is
// kept only wrapped with it, in KeyBlob of the settings record; the blob alone reveals nothing.
// Buffers are transformed in place with a stream cipher, so encrypted data keep their length.
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

// Transform n bytes of buffer in place with the session key unwrapped from blob. On failure
// (no key file, another user's key, a damaged blob) the buffer is left as it was.
bool EncryptBlock(const uint8_t *blob, uint32_t blobLength, std::size_t n, void *buffer);
bool DecryptBlock(const uint8_t *blob, uint32_t blobLength, std::size_t n, void *buffer);

// Full path of the user's key file.
std::string CryptoKeyFilePath();

// Text of the last failure of the functions above.
std::string CryptoLastError();
