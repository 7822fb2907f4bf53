#include "common/encrypt.h"

#include "common/names.h"
#include "common/platform/files.h"
#include "common/platform/folders.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Blob layout: magic, the nonce of the wrapping, then the session key sealed (encrypted and
// authenticated) under the key file's key. A blob from another user's key file fails the seal.
constexpr unsigned char BlobMagic[4] = {'C', 'V', 'K', '1'};
constexpr std::size_t WrapNonceSize = crypto_secretbox_NONCEBYTES;
constexpr std::size_t SessionKeySize = crypto_stream_xchacha20_KEYBYTES;
constexpr std::size_t BlobSize =
    sizeof(BlobMagic) + WrapNonceSize + crypto_secretbox_MACBYTES + SessionKeySize;
static_assert(BlobSize <= KeyBlobCapacity);
static_assert(crypto_secretbox_KEYBYTES == SessionKeySize);
static_assert(crypto_aead_xchacha20poly1305_ietf_KEYBYTES == SessionKeySize);
static_assert(crypto_aead_xchacha20poly1305_ietf_NPUBBYTES == SealNonceSize);
static_assert(crypto_aead_xchacha20poly1305_ietf_ABYTES == SealTagSize);

std::string g_lastError;

bool Fail(const std::string &text)
{
    g_lastError = text;
    return false;
}

std::string KeyFolderPath()
{
    return platform::ConfigHome() + "/" + names::KeyFolder;
}

// Secret bytes that are wiped when they go out of scope.
template <std::size_t N> struct TSecret
{
    unsigned char Bytes[N];
    TSecret() { sodium_memzero(Bytes, N); }
    ~TSecret() { sodium_memzero(Bytes, N); }
    TSecret(const TSecret &) = delete;
    TSecret &operator=(const TSecret &) = delete;
};
using TKey = TSecret<crypto_secretbox_KEYBYTES>;

bool ReadKeyFile(TKey &key)
{
    int fd = ::open(CryptoKeyFilePath().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return Fail("no key file " + CryptoKeyFilePath() + ": " + std::strerror(errno));
    unsigned char extra;
    ssize_t got = ::read(fd, key.Bytes, sizeof key.Bytes);
    bool longer = got == ssize_t(sizeof key.Bytes) && ::read(fd, &extra, 1) > 0;
    ::close(fd);
    if (got != ssize_t(sizeof key.Bytes) || longer)
        return Fail("key file " + CryptoKeyFilePath() + " is damaged");
    return true;
}

// Writes a new random key to a private temporary file and links it into place, so a second
// program creating the key at the same moment cannot leave a half-written file behind.
bool CreateKeyFile()
{
    std::string folder = KeyFolderPath();
    if (!platform::MakePrivateFolder(folder))
        return Fail("can't create " + folder);

    std::string temp = folder + "/.record.key.XXXXXX";
    int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return Fail("can't create a key file in " + folder + ": " + std::strerror(errno));
    ::fchmod(fd, 0600);
    TKey key;
    crypto_secretbox_keygen(key.Bytes);
    bool written =
        ::write(fd, key.Bytes, sizeof key.Bytes) == ssize_t(sizeof key.Bytes) && ::fsync(fd) == 0;
    ::close(fd);
    bool linked = written && ::link(temp.c_str(), CryptoKeyFilePath().c_str()) == 0;
    int linkError = errno;
    ::unlink(temp.c_str());
    if (linked || (written && linkError == EEXIST))
        return true;
    return Fail("can't write the key file " + CryptoKeyFilePath());
}

bool Ready()
{
    if (sodium_init() < 0)
        return Fail("the crypto library can't be initialised");
    return true;
}

bool UnwrapSessionKey(const uint8_t *blob, uint32_t blobLength, TKey &sessionKey)
{
    if (!Ready())
        return false;
    if (blob == nullptr || blobLength != BlobSize ||
        std::memcmp(blob, BlobMagic, sizeof BlobMagic) != 0)
        return Fail("the stored key is missing or damaged");
    TKey wrappingKey;
    if (!ReadKeyFile(wrappingKey))
        return false;
    const uint8_t *nonce = blob + sizeof BlobMagic;
    const uint8_t *sealed = nonce + WrapNonceSize;
    if (crypto_secretbox_open_easy(sessionKey.Bytes, sealed,
                                   crypto_secretbox_MACBYTES + SessionKeySize, nonce,
                                   wrappingKey.Bytes) != 0)
        return Fail("the stored key does not belong to this user's key file");
    return true;
}

const char *KindContext(TSealedKind kind)
{
    switch (kind) {
    case TSealedKind::MailboxRecord:
        return "Corvex mailbox record";
    case TSealedKind::MasterPassword:
        return "Corvex master password";
    case TSealedKind::SmtpPassword:
        return "Corvex outgoing server password";
    case TSealedKind::OAuth2Entry:
        return "Corvex OAuth2 sign-in";
    }
    return "";
}

} // namespace

std::string CryptoKeyFilePath()
{
    return KeyFolderPath() + "/" + names::KeyFile;
}

std::string CryptoLastError()
{
    return g_lastError;
}

bool InitCrypto()
{
    if (!Ready())
        return false;
    if (::access(CryptoKeyFilePath().c_str(), F_OK) != 0 && !CreateKeyFile())
        return false;
    TKey key;
    return ReadKeyFile(key);
}

bool MakeKey(uint8_t *blob, uint32_t &length)
{
    if (length != 0)
        return true;
    if (!Ready())
        return false;
    TKey wrappingKey;
    if (!ReadKeyFile(wrappingKey))
        return false;
    TKey sessionKey;
    crypto_stream_xchacha20_keygen(sessionKey.Bytes);

    uint8_t made[BlobSize];
    std::memcpy(made, BlobMagic, sizeof BlobMagic);
    uint8_t *nonce = made + sizeof BlobMagic;
    randombytes_buf(nonce, WrapNonceSize);
    crypto_secretbox_easy(nonce + WrapNonceSize, sessionKey.Bytes, SessionKeySize, nonce,
                          wrappingKey.Bytes);
    std::memset(blob, 0, KeyBlobCapacity);
    std::memcpy(blob, made, BlobSize);
    length = BlobSize;
    return true;
}

bool KeyUsable(const uint8_t *blob, uint32_t blobLength)
{
    TKey sessionKey;
    return UnwrapSessionKey(blob, blobLength, sessionKey);
}

bool SealBlock(const uint8_t *blob, uint32_t blobLength, TSealedKind kind, std::size_t n,
               void *data, uint8_t *seal)
{
    TKey sessionKey;
    if (!UnwrapSessionKey(blob, blobLength, sessionKey))
        return false;
    const char *context = KindContext(kind);
    uint8_t *nonce = seal;
    uint8_t *tag = seal + SealNonceSize;
    randombytes_buf(nonce, SealNonceSize);
    auto *bytes = static_cast<unsigned char *>(data);
    crypto_aead_xchacha20poly1305_ietf_encrypt_detached(
        bytes, tag, nullptr, bytes, n, reinterpret_cast<const unsigned char *>(context),
        std::strlen(context), nullptr, nonce, sessionKey.Bytes);
    return true;
}

TOpenResult OpenBlock(const uint8_t *blob, uint32_t blobLength, TSealedKind kind, std::size_t n,
                      void *data, const uint8_t *seal)
{
    TKey sessionKey;
    if (!UnwrapSessionKey(blob, blobLength, sessionKey))
        return TOpenResult::KeyUnusable;
    const char *context = KindContext(kind);
    // Decrypt into a copy: a block that fails its check must stay as it was stored.
    std::vector<unsigned char> plain(n);
    if (crypto_aead_xchacha20poly1305_ietf_decrypt_detached(
            plain.data(), nullptr, static_cast<const unsigned char *>(data), n,
            seal + SealNonceSize, reinterpret_cast<const unsigned char *>(context),
            std::strlen(context), seal, sessionKey.Bytes) != 0) {
        Fail("a stored block does not authenticate");
        return TOpenResult::NotAuthentic;
    }
    std::memcpy(data, plain.data(), n);
    sodium_memzero(plain.data(), n);
    return TOpenResult::Opened;
}

bool XorOldKeyStream(const uint8_t *blob, uint32_t blobLength, std::size_t n, void *buffer)
{
    TKey sessionKey;
    if (!UnwrapSessionKey(blob, blobLength, sessionKey))
        return false;
    static const unsigned char context[] = "Corvex record stream";
    unsigned char nonce[crypto_stream_xchacha20_NONCEBYTES];
    crypto_generichash(nonce, sizeof nonce, context, sizeof context - 1, sessionKey.Bytes,
                       sizeof sessionKey.Bytes);
    auto *bytes = static_cast<unsigned char *>(buffer);
    crypto_stream_xchacha20_xor(bytes, bytes, n, nonce, sessionKey.Bytes);
    return true;
}
