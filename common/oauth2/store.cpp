#include "common/oauth2/store.h"
#include "common/oauth2/storeread.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <cerrno>
#include <sodium.h>

#include "common/encrypt.h"
#include "common/names.h"
#include "common/platform/files.h"
#include "common/records.h"
#include "common/text.h"
#include "common/utils.h"

namespace oauth2 {

namespace {

// The first line of the file. Then the file's own session key (wrapped with the user's key
// file), and one line per entry: seal and sealed JSON, each line base64.
constexpr char FileHeader[] = "Corvex OAuth2 1";

constexpr char SetAsideText[] =
    "The sign-in file %s could not be opened (%s). It was kept as %s; the mailboxes that "
    "signed in with OAuth2 must sign in again.";
constexpr char NotSetAsideText[] =
    "The sign-in file %s could not be opened (%s) and could not be kept aside: %s.";
constexpr char ForeignKeyFault[] = "it was sealed with another user's key";
constexpr char LockedText[] =
    "The sign-in file %s is sealed with a key this account's key file %s does not open. It is "
    "kept as it is, and its sign-ins are used again once that key file is back.";
constexpr char LockedSaveText[] =
    "the sign-in file is sealed with another account's key and is kept as it is";

QJsonObject EntryJson(const TEntry &entry)
{
    auto text = [](const std::string &value) { return QString::fromStdString(value); };
    return {{"purpose", entry.Purpose == TPurpose::Outgoing ? "outgoing" : "mailbox"},
            {"user", text(entry.UserId)},
            {"server", text(entry.Server)},
            {"provider", text(entry.ProviderId)},
            {"issuer", text(entry.Issuer)},
            {"client", text(entry.ClientId)},
            {"scopes", text(entry.Scopes)},
            {"access", text(entry.Tokens.AccessToken)},
            {"refresh", text(entry.Tokens.RefreshToken)},
            {"expires", qint64(entry.Tokens.ExpiresAt)},
            {"account", text(entry.Tokens.Account)},
            {"needed", text(entry.SignInNeeded)}};
}

bool EntryFromJson(const QByteArray &json, TEntry &entry)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject object = document.object();
    auto text = [&object](const char *key) {
        return object.value(QLatin1String(key)).toString().toStdString();
    };
    entry.Purpose = text("purpose") == "outgoing" ? TPurpose::Outgoing : TPurpose::Mailbox;
    entry.UserId = text("user");
    entry.Server = text("server");
    entry.ProviderId = text("provider");
    entry.Issuer = text("issuer");
    entry.ClientId = text("client");
    entry.Scopes = text("scopes");
    entry.Tokens.AccessToken = text("access");
    entry.Tokens.RefreshToken = text("refresh");
    entry.Tokens.ExpiresAt = object.value("expires").toInteger();
    entry.Tokens.Account = text("account");
    entry.SignInNeeded = text("needed");
    return !entry.Server.empty();
}

bool SameKey(const TEntry &entry, TPurpose purpose, const std::string &userId,
             const std::string &server)
{
    return entry.Purpose == purpose && entry.UserId == userId &&
           SameText(Trim(entry.Server), Trim(server));
}

QByteArray FromBase64(const std::string &line)
{
    auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromStdString(Trim(line)),
                                                  QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? *decoded : QByteArray();
}

// The file's key (its second line); empty when the file is not a sign-in file or its key is
// damaged, with the reason in fault.
QByteArray FileKey(const std::vector<std::string> &lines, std::string &fault)
{
    if (lines.size() < 2 || Trim(lines[0]) != FileHeader) {
        fault = "it is not a sign-in file of this version";
        return {};
    }
    QByteArray blob = FromBase64(lines[1]);
    if (blob.isEmpty() || blob.size() > qsizetype(KeyBlobCapacity)) {
        fault = "its key is damaged";
        return {};
    }
    return blob;
}

bool KeyOpens(const QByteArray &blob)
{
    return KeyUsable(reinterpret_cast<const uint8_t *>(blob.constData()), uint32_t(blob.size()));
}

// What is wrong with the file's bytes ("" when every entry opened); entries gets them.
// keyUnusable: they are sealed under a key this user's key file does not open.
std::string ReadEntries(const std::string &bytes, std::vector<TEntry> &entries, bool &keyUnusable)
{
    const std::vector<std::string> lines = SplitText(bytes, '\n');
    std::string fault;
    const QByteArray blob = FileKey(lines, fault);
    if (blob.isEmpty())
        return fault;
    const auto *key = reinterpret_cast<const uint8_t *>(blob.constData());
    const auto keyLength = uint32_t(blob.size());
    if (!KeyOpens(blob)) {
        keyUnusable = true;
        return ForeignKeyFault;
    }
    for (std::size_t index = 2; index < lines.size(); ++index) {
        if (Trim(lines[index]).empty())
            continue;
        QByteArray sealed = FromBase64(lines[index]);
        if (sealed.size() <= qsizetype(SealSize))
            return "an entry is damaged";
        const auto *seal = reinterpret_cast<const uint8_t *>(sealed.constData());
        char *data = sealed.data() + SealSize;
        const std::size_t size = std::size_t(sealed.size()) - SealSize;
        if (OpenBlock(key, keyLength, TSealedKind::OAuth2Entry, size, data, seal) !=
            TOpenResult::Opened)
            return "an entry is damaged or was changed";
        TEntry entry;
        const bool read = EntryFromJson(QByteArray(data, qsizetype(size)), entry);
        sodium_memzero(sealed.data(), std::size_t(sealed.size()));
        if (!read)
            return "an entry is damaged";
        entries.push_back(entry);
    }
    return {};
}

} // namespace

bool StoredEntryExists(const std::string &dataRoot, TPurpose purpose, const std::string &userId,
                       const std::string &server)
{
    TStore store(dataRoot);
    std::string bytes;
    std::vector<TEntry> entries;
    bool keyUnusable = false;
    if (!TUtils::FileExists(store.Path()) || !platform::ReadWholeFile(store.Path(), bytes) ||
        !ReadEntries(bytes, entries, keyUnusable).empty())
        return false;
    return std::any_of(entries.begin(), entries.end(), [&](const TEntry &entry) {
        return SameKey(entry, purpose, userId, server);
    });
}

int LockedEntryCount(const std::string &dataRoot)
{
    std::string bytes, fault;
    if (!platform::ReadWholeFile(TStore(dataRoot).Path(), bytes))
        return 0;
    const std::vector<std::string> lines = SplitText(bytes, '\n');
    const QByteArray blob = FileKey(lines, fault);
    if (blob.isEmpty() || KeyOpens(blob))
        return 0;
    return int(std::count_if(lines.begin() + 2, lines.end(),
                             [](const std::string &line) { return !Trim(line).empty(); }));
}

TStore::TStore(std::string dataRoot) : DataRoot(std::move(dataRoot)) {}

std::string TStore::Path() const
{
    return TUtils::AddBackslash(DataRoot) + names::OAuth2File;
}

TStore::TLoad TStore::Load()
{
    Entries_.clear();
    LoadError_.clear();
    Locked_ = false;
    InitCrypto();
    const std::string path = Path();
    if (!TUtils::FileExists(path))
        return TLoad::Missing;
    std::string bytes;
    std::string fault;
    bool keyUnusable = false;
    if (!platform::ReadWholeFile(path, bytes))
        fault = "it can't be read: " + platform::SystemErrorText(errno);
    else
        fault = ReadEntries(bytes, Entries_, keyUnusable);
    sodium_memzero(bytes.data(), bytes.size());
    if (fault.empty())
        return TLoad::Loaded;
    Entries_.clear();
    if (keyUnusable) {
        Locked_ = true;
        LoadError_ = Format(LockedText, path.c_str(), CryptoKeyFilePath().c_str());
        return TLoad::Locked;
    }
    std::string keptAs;
    if (platform::MoveAside(path, path + DamagedFileSuffix, keptAs))
        LoadError_ = Format(SetAsideText, path.c_str(), fault.c_str(), keptAs.c_str());
    else
        LoadError_ = Format(NotSetAsideText, path.c_str(), fault.c_str(),
                            platform::SystemErrorText(errno).c_str());
    return TLoad::SetAside;
}

const TEntry *TStore::Find(TPurpose purpose, const std::string &userId,
                           const std::string &server) const
{
    for (const TEntry &entry : Entries_)
        if (SameKey(entry, purpose, userId, server))
            return &entry;
    return nullptr;
}

void TStore::Put(const TEntry &entry)
{
    for (TEntry &known : Entries_)
        if (SameKey(known, entry.Purpose, entry.UserId, entry.Server)) {
            known = entry;
            return;
        }
    Entries_.push_back(entry);
}

bool TStore::Remove(TPurpose purpose, const std::string &userId, const std::string &server)
{
    const auto before = Entries_.size();
    std::erase_if(Entries_,
                  [&](const TEntry &entry) { return SameKey(entry, purpose, userId, server); });
    return Entries_.size() != before;
}

bool TStore::SetAsideLocked(std::string &keptAs)
{
    if (!Locked_)
        return true;
    const std::string path = Path();
    if (!platform::MoveAside(path, path + SetAsideFileSuffix, keptAs)) {
        LoadError_ = Format(NotSetAsideText, path.c_str(), ForeignKeyFault,
                            platform::SystemErrorText(errno).c_str());
        return false;
    }
    Locked_ = false;
    LoadError_ = Format(SetAsideText, path.c_str(), ForeignKeyFault, keptAs.c_str());
    return true;
}

bool TStore::Save(std::string &error) const
{
    if (Locked_) {
        error = LockedSaveText;
        return false;
    }
    // Each save seals under a fresh session key that the file carries, wrapped with the
    // user's key file: the file is sealed whatever the mailbox encryption switch says.
    uint8_t key[KeyBlobCapacity] = {};
    uint32_t keyLength = 0;
    if (!InitCrypto() || !MakeKey(key, keyLength)) {
        error = "no encryption key: " + CryptoLastError();
        return false;
    }
    std::string bytes =
        std::string(FileHeader) + "\n" +
        QByteArray(reinterpret_cast<const char *>(key), keyLength).toBase64().toStdString() + "\n";
    for (const TEntry &entry : Entries_) {
        QByteArray json = QJsonDocument(EntryJson(entry)).toJson(QJsonDocument::Compact);
        QByteArray sealed(qsizetype(SealSize), '\0');
        sealed += json;
        sodium_memzero(json.data(), std::size_t(json.size()));
        if (!SealBlock(key, keyLength, TSealedKind::OAuth2Entry, std::size_t(json.size()),
                       sealed.data() + SealSize, reinterpret_cast<uint8_t *>(sealed.data()))) {
            sodium_memzero(sealed.data(), std::size_t(sealed.size()));
            error = "can't seal a sign-in: " + CryptoLastError();
            return false;
        }
        bytes += sealed.toBase64().toStdString() + "\n";
    }
    return platform::WriteFileAtomic(Path(), bytes, platform::DataFileMode, &error);
}

} // namespace oauth2
