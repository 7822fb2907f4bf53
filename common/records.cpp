#include "common/records.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "common/encrypt.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/oauth2/access.h"
#include "common/oauth2/store.h"
#include "common/oauth2/storeread.h"
#include "common/platform/files.h"
#include "common/text.h"
#include "common/utils.h"

void SetRecordText(char *field, std::size_t size, const std::string &text)
{
    std::size_t length = text.size() < size ? text.size() : size - 1;
    std::memset(field, 0, size);
    std::memcpy(field, text.data(), length);
}

std::string GetRecordText(const char *field, std::size_t size)
{
    const void *end = std::memchr(field, 0, size);
    return std::string(field, end ? static_cast<const char *>(end) - field : size);
}

void SetConfigDefaults(TConfigRecord &config, const TWindowPos &window)
{
    std::memset(&config, 0, sizeof config);
    config.Reserved0 = 1000;
    config.Reserved2 = 10;
    config.DataVisible = 1;
    config.SmartMailRead = 1;
    config.WarnLargeMail = 1;
    config.CheckMinutes = 15;
    config.TimerSeconds = 1;
    config.Retries = 5;
    config.MasterPriorityActive = 1;
    config.MasterRejectActive = 1;
    config.MasterPriorityGlobal = 1;
    config.MasterRejectGlobal = 1;
    config.NewMailNotification = 1;
    config.TimeoutMs = 5000;
    config.Version = ConfigVersion;
    config.WinTop = window.Top;
    config.WinLeft = window.Left;
    config.WinHeight = window.Height;
    config.WinWidth = window.Width;
}

// ---- mailbox file and rows

bool ReadMailBoxFile(const std::string &path, std::vector<TMailBoxRecord> &records)
{
    std::string bytes;
    if (!platform::ReadWholeFile(path, bytes))
        return false;
    records.resize(bytes.size() / sizeof(TMailBoxRecord));
    if (!records.empty()) // an empty vector may have no buffer to copy into
        std::memcpy(records.data(), bytes.data(), records.size() * sizeof(TMailBoxRecord));
    return true;
}

namespace {
std::string MailBoxFileBytes(const std::vector<TMailBoxRecord> &records)
{
    return std::string(reinterpret_cast<const char *>(records.data()),
                       records.size() * sizeof(TMailBoxRecord));
}
} // namespace

bool WriteMailBoxFile(const std::string &path, const std::vector<TMailBoxRecord> &records,
                      std::string *errorText)
{
    return platform::WriteFileAtomic(path, MailBoxFileBytes(records), platform::DataFileMode,
                                     errorText);
}

namespace {

const char *FlagText(uint8_t flag)
{
    return flag ? FlagOn : FlagOff;
}

void Log(const std::string &text)
{
    if (Utils)
        Utils->DebugLog("%s", text.c_str());
}

template <typename T> T Clamp(int value, int low, int high)
{
    return static_cast<T>(std::clamp(value, low, high));
}

} // namespace

TListRow MailboxRow(const TMailBoxRecord &record, bool displayPasswords)
{
    TListRow row;
    row.Caption = GetText(record.UserId);
    row.Cells.resize(MailboxCellCount);
    row.Cells[mcMailServer] = GetText(record.MailServer);
    row.Cells[mcPassword] = PasswordCellText(GetText(record.Password), displayPasswords);
    row.Cells[mcDel] = record.LeaveOnServer ? DelNo : DelYes;
    row.Cells[mcInboxPath] = GetText(record.InboxPath);
    row.Cells[mcArrivalAlert] = GetText(record.ArrivalAlert);
    row.Cells[mcPriorityAlert] = GetText(record.PriorityAlert);
    row.Cells[mcRejectActive] = FlagText(record.RejectActive);
    row.Cells[mcPriorityActive] = FlagText(record.PriorityActive);
    row.Cells[mcAliasActive] = FlagText(record.AliasActive);
    row.Cells[mcBoxProtected] = FlagText(record.BoxProtected);
    row.Cells[mcBoxPassword] = GetText(record.BoxPassword);
    row.Checked = record.Active != 0;
    return row;
}

TMailBoxRecord MailboxRecord(const TListRow &row, const std::string &password)
{
    TMailBoxRecord record{};
    SetText(record.UserId, row.Caption);
    SetText(record.MailServer, row.Cell(mcMailServer));
    SetText(record.Password, password);
    record.LeaveOnServer = SameText(row.Cell(mcDel), DelNo);
    SetText(record.InboxPath, row.Cell(mcInboxPath));
    SetText(record.ArrivalAlert, row.Cell(mcArrivalAlert));
    SetText(record.PriorityAlert, row.Cell(mcPriorityAlert));
    record.RejectActive = FlagCellSet(row.Cell(mcRejectActive));
    record.PriorityActive = FlagCellSet(row.Cell(mcPriorityActive));
    record.AliasActive = FlagCellSet(row.Cell(mcAliasActive));
    record.BoxProtected = FlagCellSet(row.Cell(mcBoxProtected));
    SetText(record.BoxPassword, row.Cell(mcBoxPassword));
    record.Active = row.Checked;
    return record;
}

TListRow SummaryRow(const std::string &userId)
{
    TListRow row;
    row.Caption = userId;
    row.Cells.assign(SummaryCellCount, "");
    row.Cells[scMsgs] = "0";
    return row;
}

// ---- settings shown in the window

TSettingsControls SettingsToWindow(const TConfigRecord &config)
{
    TSettingsControls controls;
    controls.TimeoutSeconds = config.TimeoutMs / 1000;
    controls.CheckMinutes = std::clamp<int>(config.CheckMinutes, 3, 255);
    controls.TimerSeconds = std::clamp<int>(config.TimerSeconds, 1, 60);
    controls.Retries = std::clamp<int>(config.Retries, 1, 10);
    controls.RestoreAction = std::clamp<int>(config.RestoreAction, 0, 2);
    controls.SecurityLevel = config.SecurityLevel;
    controls.MasterPriorityActive = config.MasterPriorityActive;
    controls.MasterPriorityGlobal = config.MasterPriorityGlobal;
    controls.MasterRejectActive = config.MasterRejectActive;
    controls.MasterRejectGlobal = config.MasterRejectGlobal;
    auto &options = controls.Options;
    options[opHideOnStartup] = config.HideOnStartup;
    options[opKeepOnTop] = config.KeepOnTop;
    options[opLoadAtStartup] = config.LoadAtStartup;
    options[opSmartRejection] = config.SmartRejection;
    options[opSmartMailRead] = config.SmartMailRead;
    options[opWarnLargeMail] = config.WarnLargeMail;
    options[opRememberPosition] = config.RememberPosition;
    options[opDataVisible] = config.DataVisible;
    options[opNewMailNotification] = config.NewMailNotification;
    options[opDisplayPasswords] = config.DisplayPasswords;
    options[opSaveRejected] = config.SaveRejected;
    options[opClearRejections30] = config.ClearRejections30;
    options[opClearRejectionsWeekly] = config.ClearRejectionsWeekly;
    options[opEncryptMailboxes] = config.EncryptMailboxes;
    return controls;
}

TSettingsChanges WindowToSettings(const TSettingsControls &controls,
                                  const std::string &defaultMailer, TConfigRecord &config)
{
    TSettingsChanges changes;
    auto &options = controls.Options;
    uint8_t checkMinutes = Clamp<uint8_t>(controls.CheckMinutes, 3, 255);
    changes.CheckMinutes = checkMinutes != config.CheckMinutes;
    changes.LoadAtStartup = options[opLoadAtStartup] != (config.LoadAtStartup != 0);
    changes.KeepOnTop = options[opKeepOnTop] != (config.KeepOnTop != 0);

    config.TimeoutMs = Clamp<uint16_t>(std::min(controls.TimeoutSeconds, 1000) * 1000, 0, 65535);
    config.CheckMinutes = checkMinutes;
    config.TimerSeconds = Clamp<uint8_t>(controls.TimerSeconds, 1, 60);
    config.Retries = Clamp<uint8_t>(controls.Retries, 1, 10);
    config.RestoreAction = Clamp<uint8_t>(controls.RestoreAction, 0, 2);
    config.SecurityLevel = Clamp<uint8_t>(controls.SecurityLevel, 0, 255);
    config.MasterPriorityActive = controls.MasterPriorityActive;
    config.MasterPriorityGlobal = controls.MasterPriorityGlobal;
    config.MasterRejectActive = controls.MasterRejectActive;
    config.MasterRejectGlobal = controls.MasterRejectGlobal;
    config.HideOnStartup = options[opHideOnStartup];
    config.KeepOnTop = options[opKeepOnTop];
    config.LoadAtStartup = options[opLoadAtStartup];
    config.SmartRejection = options[opSmartRejection];
    config.SmartMailRead = options[opSmartMailRead];
    config.WarnLargeMail = options[opWarnLargeMail];
    config.RememberPosition = options[opRememberPosition];
    config.DataVisible = options[opDataVisible];
    config.NewMailNotification = options[opNewMailNotification];
    config.DisplayPasswords = options[opDisplayPasswords];
    config.SaveRejected = options[opSaveRejected];
    config.ClearRejections30 = options[opClearRejections30];
    config.ClearRejectionsWeekly = options[opClearRejectionsWeekly];
    config.EncryptMailboxes = options[opEncryptMailboxes];
    SetText(config.DefaultMailerName, defaultMailer);
    return changes;
}

// ---- TDataStore

namespace {
std::string DataFile(const char *name)
{
    return TUtils::AddBackslash(Globals->DataRoot) + name;
}
} // namespace

std::string TDataStore::ConfigPath() const
{
    return DataFile(names::ConfigFile);
}
std::string TDataStore::PopSrvPath() const
{
    return DataFile(names::PopSrvFile);
}
std::string TDataStore::IconMailboxPath() const
{
    return DataFile(names::IconMailboxFile);
}

std::string TDataStore::PasswordKey(const std::string &userId, const std::string &mailServer)
{
    return Format("%s@%s", userId.c_str(), mailServer.c_str());
}

void TDataStore::SetPassword(const std::string &userId, const std::string &mailServer,
                             const std::string &password)
{
    const std::string key = PasswordKey(userId, mailServer);
    std::string line = Format("%s=%s", key.c_str(), password.c_str());
    int index = PasswordMap.IndexOfName(key);
    if (index < 0)
        PasswordMap.Add(line);
    else
        PasswordMap[index] = line;
}

bool TDataStore::FindPassword(const std::string &userId, const std::string &mailServer,
                              std::string &password) const
{
    int index = PasswordMap.IndexOfName(PasswordKey(userId, mailServer));
    if (index < 0)
        return false;
    password = PasswordMap.ValueFromIndex(index);
    return true;
}

void TDataStore::RemovePassword(const std::string &userId, const std::string &mailServer)
{
    int index = PasswordMap.IndexOfName(PasswordKey(userId, mailServer));
    if (index >= 0)
        PasswordMap.Delete(index);
}

bool TDataStore::Fail(const std::string &text)
{
    LastError = text;
    Log(text);
    return false;
}

void TDataStore::Notice(const std::string &text)
{
    Log(text);
    Notices.push_back(text);
}

void TDataStore::SweepTemporaries(const std::string &folder)
{
    if (folder.empty())
        return;
    int removed = platform::RemoveStaleTemporaries(folder);
    if (removed > 0)
        Log(Format("Removed %d temporary files left by an interrupted save in %s", removed,
                   folder.c_str()));
}

namespace {

bool AllZero(const void *bytes, std::size_t n)
{
    const auto *first = static_cast<const uint8_t *>(bytes);
    return std::all_of(first, first + n, [](uint8_t byte) { return byte == 0; });
}
template <std::size_t N> bool AllZero(const uint8_t (&bytes)[N])
{
    return AllZero(bytes, N);
}

// How a stored mailbox record was read.
enum class TRecordState { Plain, Sealed, OldStream, KeyUnusable, NotAuthentic };

// Opens a stored record in place. A sealed record is recognised by its tag whatever the
// settings say (so a crash between writing the mailbox file and the settings that name its mode
// cannot make it read as plain); a plain record is taken only where the settings say plain. A
// record of the earlier unsealed encryption decrypts with the old key stream to zeros in its
// seal bytes, as every plain record has them.
TRecordState OpenMailboxRecord(const TConfigRecord &config, bool encrypted, TMailBoxRecord &record)
{
    if (!encrypted && AllZero(record.Seal))
        return TRecordState::Plain;
    switch (OpenBlock(config.KeyBlob, config.KeyLength, TSealedKind::MailboxRecord,
                      MailboxSealedBytes, &record, record.Seal)) {
    case TOpenResult::Opened:
        std::memset(record.Seal, 0, sizeof record.Seal);
        return TRecordState::Sealed;
    case TOpenResult::KeyUnusable:
        return TRecordState::KeyUnusable;
    case TOpenResult::NotAuthentic:
        break;
    }
    TMailBoxRecord old = record;
    if (XorOldKeyStream(config.KeyBlob, config.KeyLength, sizeof old, &old) && AllZero(old.Seal)) {
        record = old;
        return TRecordState::OldStream;
    }
    return TRecordState::NotAuthentic;
}

bool SealMailboxRecord(const TConfigRecord &config, TMailBoxRecord &record)
{
    return SealBlock(config.KeyBlob, config.KeyLength, TSealedKind::MailboxRecord,
                     MailboxSealedBytes, &record, record.Seal);
}

// A text field of the settings that is sealed under "Encrypt Mailboxes", with its seal.
struct TSealedField
{
    char *Text;
    std::size_t Size;
    uint8_t *Seal;
    TSealedKind Kind;
    const char *Name; // in log lines
};

TSealedField MasterPasswordField(TConfigRecord &config)
{
    return {config.MasterPassword, sizeof config.MasterPassword, config.MasterPasswordSeal,
            TSealedKind::MasterPassword, "master password"};
}

TSealedField SmtpPasswordField(TConfigRecord &config)
{
    return {config.SmtpPassword, sizeof config.SmtpPassword, config.SmtpPasswordSeal,
            TSealedKind::SmtpPassword, "outgoing server password"};
}

// Whether a stored field holds sealed bytes: a seal, or a master password of the earlier
// unsealed encryption (no seal, under the encryption option; an all-zero field is empty).
bool FieldSealed(const TConfigRecord &config, const TSealedField &field)
{
    return !AllZero(field.Seal, SealSize) ||
           (config.EncryptMailboxes && field.Kind == TSealedKind::MasterPassword &&
            !AllZero(field.Text, field.Size));
}

// Opens a stored field in place and clears its seal. One that can't be opened is kept as
// stored in lock and emptied. True when the field is to be rewritten sealed: it is of the
// earlier unsealed encryption, or a password stored plain under the encryption option before
// this field was sealed.
bool OpenSettingsField(TConfigRecord &config, const TSealedField &field, TLockedField &lock)
{
    lock = {};
    if (!FieldSealed(config, field))
        return config.EncryptMailboxes && !AllZero(field.Text, field.Size);
    const bool oldStream = AllZero(field.Seal, SealSize);
    const bool opened =
        oldStream ? XorOldKeyStream(config.KeyBlob, config.KeyLength, field.Size, field.Text)
                  : OpenBlock(config.KeyBlob, config.KeyLength, field.Kind, field.Size, field.Text,
                              field.Seal) == TOpenResult::Opened;
    if (!opened) {
        lock.Locked = true;
        lock.Stored.assign(field.Text, field.Size);
        std::memcpy(lock.Seal, field.Seal, SealSize);
        std::memset(field.Text, 0, field.Size);
        Log(Format("Can't decrypt the %s: %s", field.Name, CryptoLastError().c_str()));
    }
    std::memset(field.Seal, 0, SealSize);
    return opened && oldStream;
}

// The pending-save file: a mark, the settings record, then the mailbox file.
constexpr char PendingSaveMark[8] = {'C', 'V', 'X', 'S', 'A', 'V', 'E', '1'};

std::string PendingSave(const std::string &settings, const std::string &mailboxes)
{
    return std::string(PendingSaveMark, sizeof PendingSaveMark) + settings + mailboxes;
}

bool SplitPendingSave(const std::string &bytes, std::string &settings, std::string &mailboxes)
{
    const std::size_t head = sizeof PendingSaveMark + sizeof(TConfigRecord);
    if (bytes.size() < head ||
        bytes.compare(0, sizeof PendingSaveMark, PendingSaveMark, sizeof PendingSaveMark) != 0 ||
        (bytes.size() - head) % sizeof(TMailBoxRecord) != 0)
        return false;
    settings = bytes.substr(sizeof PendingSaveMark, sizeof(TConfigRecord));
    mailboxes = bytes.substr(head);
    return true;
}

// "a", "a and b", "a, b and c".
std::string JoinWithAnd(const std::vector<std::string> &items)
{
    std::string text;
    for (std::size_t i = 0; i < items.size(); ++i)
        text += (i == 0 ? "" : i + 1 == items.size() ? " and " : ", ") + items[i];
    return text;
}

} // namespace

// What is sealed with the stored key, counted only where it matters: a master password while
// protection is on, an outgoing server password while there is a server.
struct TDataStore::TSealedData
{
    int Records = 0;
    bool MailboxFileUnread = false;
    int SignIns = 0;
    bool MasterPassword = false;
    bool SmtpPassword = false;

    std::string Describe() const
    {
        std::vector<std::string> items;
        if (Records > 0)
            items.push_back(
                Format(Records == 1 ? "%d mailbox record" : "%d mailbox records", Records));
        if (MailboxFileUnread)
            items.push_back("the mailbox file");
        if (SignIns > 0)
            items.push_back(
                Format(SignIns == 1 ? "%d OAuth2 sign-in" : "%d OAuth2 sign-ins", SignIns));
        if (MasterPassword)
            items.push_back("the master password");
        if (SmtpPassword)
            items.push_back("the outgoing server password");
        return JoinWithAnd(items);
    }
};

TDataStore::TSealedData TDataStore::FindSealedData(const TConfigRecord &config) const
{
    TSealedData sealed;
    std::vector<TMailBoxRecord> records;
    if (ReadMailBoxFile(PopSrvPath(), records)) {
        for (const TMailBoxRecord &record : records)
            sealed.Records += config.EncryptMailboxes || !AllZero(record.Seal);
    } else {
        sealed.MailboxFileUnread = TUtils::FileExists(PopSrvPath());
    }
    sealed.SignIns = oauth2::LockedEntryCount(Globals->DataRoot);
    TConfigRecord copy = config;
    sealed.MasterPassword = config.PasswordActive && FieldSealed(copy, MasterPasswordField(copy));
    sealed.SmtpPassword =
        !GetText(config.SmtpServer).empty() && FieldSealed(copy, SmtpPasswordField(copy));
    return sealed;
}

bool TDataStore::LoadSettings(bool write, const TWindowPos &window)
{
    LastError.clear();
    Globals->InitPaths();
    Globals->CreateDataFolders();
    return write ? WriteSettings() : ReadSettings(window);
}

bool TDataStore::LoadSettingsReadOnly()
{
    LastError.clear();
    Globals->InitPaths();
    TConfigRecord &config = Globals->Config;
    SetConfigDefaults(config, {});
    const std::string path = ConfigPath();
    std::string bytes;
    const bool read = platform::ReadWholeFile(path, bytes);
    TConfigRecord stored{};
    if (read && bytes.size() >= sizeof stored)
        std::memcpy(&stored, bytes.data(), sizeof stored);
    const bool usable =
        stored.Version == ConfigVersion || stored.Version == UpgradableConfigVersion;
    if (usable) {
        config = stored;
        // The companions send mail with the outgoing server password.
        OpenSettingsField(config, SmtpPasswordField(config), SmtpPasswordLock);
    }
    if (GetText(config.RulesPath).empty())
        SetText(config.RulesPath, Globals->DataRoot);
    Globals->SetRejectedPath(GetText(config.RulesPath));
    if (!read)
        return Fail("Can't read " + path);
    return usable || Fail("Damaged settings file " + path);
}

bool TDataStore::ReadSettings(const TWindowPos &window)
{
    FinishInterruptedCommit();
    TConfigRecord &config = Globals->Config;
    std::string path = ConfigPath();
    std::string bytes;
    if (TUtils::FileExists(path) && !platform::ReadWholeFile(path, bytes))
        return Fail("Can't read " + path);
    SweepTemporaries(Globals->DataRoot);

    ApplyNeeded = false;
    LockedKeyData.clear();
    MasterPasswordLock = {};
    SmtpPasswordLock = {};
    bool usable = false;
    if (bytes.size() >= sizeof config) {
        std::memcpy(&config, bytes.data(), sizeof config);
        if (config.Version == UpgradableConfigVersion && GetText(config.RulesPath).empty()) {
            config.Version = ConfigVersion;
            ApplyNeeded = true;
        }
        usable = config.Version == ConfigVersion;
    }

    if (!usable) {
        SetConfigDefaults(config, window);
        Globals->SetDataVisible(true);
        if (!bytes.empty() && !KeepDamagedSettings(bytes))
            return false;
    }
    // A new key is made for fresh defaults too, so "Encrypt Mailboxes" works from the start,
    // and is stored at once: records encrypted with it must never outlive it.
    const bool keyMade = Globals->CryptoReady && EnsureUsableKey(config);
    bool rewrite = false;
    if (usable) {
        rewrite = OpenSettingsField(config, MasterPasswordField(config), MasterPasswordLock);
        rewrite = OpenSettingsField(config, SmtpPasswordField(config), SmtpPasswordLock) || rewrite;
    }
    if (GetText(config.RulesPath).empty())
        SetText(config.RulesPath, Globals->DataRoot);
    Globals->SetRejectedPath(GetText(config.RulesPath));
    SweepTemporaries(GetText(config.RulesPath));
    if (!usable)
        return WriteSettings();
    if ((keyMade || rewrite) && !WriteSettings() && keyMade) {
        std::memset(config.KeyBlob, 0, sizeof config.KeyBlob);
        config.KeyLength = 0;
        Globals->CryptoReady = false;
    }
    return true;
}

// Makes a key when there is none. A stored key that this user's key file can't open is
// replaced when nothing that matters is sealed with it (the sealed settings fields then hold
// nothing of use and are emptied); one that sealed data is kept (KeyLocked) for the user to
// decide. True when a new key was made.
bool TDataStore::EnsureUsableKey(TConfigRecord &config)
{
    if (config.KeyLength != 0 && !KeyUsable(config.KeyBlob, config.KeyLength)) {
        const std::string why = CryptoLastError();
        const TSealedData sealed = FindSealedData(config);
        LockedKeyData = sealed.Describe();
        if (!LockedKeyData.empty()) {
            Log("The stored encryption key can't be opened (" + why +
                "); sealed with it: " + LockedKeyData);
            return false;
        }
        Log("The stored encryption key can't be opened (" + why +
            "); nothing is sealed with it, so a new key is made");
        for (const TSealedField &field : {MasterPasswordField(config), SmtpPasswordField(config)})
            if (FieldSealed(config, field)) {
                std::memset(field.Text, 0, field.Size);
                std::memset(field.Seal, 0, SealSize);
            }
        std::memset(config.KeyBlob, 0, sizeof config.KeyBlob);
        config.KeyLength = 0;
    }
    const bool missing = config.KeyLength == 0;
    Globals->CryptoReady = MakeKey(config.KeyBlob, config.KeyLength);
    return missing && config.KeyLength != 0;
}

std::string TDataStore::LockedDataQuestion() const
{
    if (KeyLocked())
        return Format(LockedKeyQuestion, LockedKeyData.c_str(), CryptoKeyFilePath().c_str());
    if (MasterPasswordLock.Locked && Globals->Config.PasswordActive)
        return LockedMasterPasswordQuestion;
    return "";
}

bool TDataStore::SetAsideLockedData()
{
    LastError.clear();
    const bool newKey = KeyLocked();
    const bool dropPassword = MasterPasswordLock.Locked;
    if (!newKey && !dropPassword)
        return true;

    // Copies of the files as they are: what can't be opened stays in them.
    std::vector<std::string> paths = {ConfigPath()};
    if (newKey)
        paths.push_back(PopSrvPath());
    std::vector<std::string> keptAs;
    for (const std::string &path : paths) {
        std::string bytes, kept;
        if (!TUtils::FileExists(path))
            continue;
        if (!platform::ReadWholeFile(path, bytes) ||
            !platform::KeepCopy(bytes, path + SetAsideFileSuffix, kept))
            return Fail("Can't keep a copy of " + path + ": " + platform::SystemErrorText(errno));
        keptAs.push_back(kept);
    }

    TConfigRecord &config = Globals->Config;
    const TConfigRecord before = config;
    const TLockedField masterLock = MasterPasswordLock;
    const TLockedField smtpLock = SmtpPasswordLock;
    auto undo = [&] {
        config = before;
        MasterPasswordLock = masterLock;
        SmtpPasswordLock = smtpLock;
        return false;
    };
    // With a new key the mailbox file keeps only its plain records.
    std::vector<TMailBoxRecord> readable;
    if (newKey) {
        std::vector<TMailBoxRecord> stored;
        ReadMailBoxFile(PopSrvPath(), stored);
        for (const TMailBoxRecord &record : stored)
            if (!config.EncryptMailboxes && AllZero(record.Seal))
                readable.push_back(record);
        std::memset(config.KeyBlob, 0, sizeof config.KeyBlob);
        config.KeyLength = 0;
        if (!MakeKey(config.KeyBlob, config.KeyLength)) {
            undo();
            return Fail("Can't make a new encryption key: " + CryptoLastError());
        }
        SmtpPasswordLock = {};
    }
    const bool protectionOff = dropPassword && config.PasswordActive;
    if (dropPassword) {
        MasterPasswordLock = {};
        config.PasswordActive = 0;
        std::memset(config.MasterPassword, 0, sizeof config.MasterPassword);
    }
    std::string settings;
    if (!BuildSettingsFile(settings))
        return undo();
    std::string error;
    const bool written = newKey ? CommitFiles(settings, MailBoxFileBytes(readable), false)
                                : platform::WriteFileAtomic(ConfigPath(), settings,
                                                            platform::DataFileMode, &error) ||
                                      Fail(error);
    if (!written)
        return undo();

    std::string signInsNotice;
    if (newKey) {
        LockedKeyData.clear();
        KeptRecords.clear();
        Globals->CryptoReady = true;
        // The sign-ins of the old key file go with its other data.
        oauth2::TStore signIns(Globals->DataRoot);
        std::string kept;
        if (signIns.Load() == oauth2::TStore::TLoad::Locked && signIns.SetAsideLocked(kept))
            keptAs.push_back(kept);
        else if (signIns.Locked())
            signInsNotice = "\n" + signIns.LoadError();
    }
    std::string notice = newKey ? std::string(NewKeyNotice) + " " : "";
    notice += Format(SetAsideNotice, JoinWithAnd(keptAs).c_str());
    if (protectionOff)
        notice += std::string("\n") + ProtectionOffNotice;
    Notice(notice + signInsNotice);
    return true;
}

// Keeps a damaged settings file beside the new one, never overwriting an earlier one. The key it
// holds is carried over, with the encryption option, when this user's key file still opens it:
// an encrypted mailbox file then stays readable. False when the file could not be kept (it is
// then not replaced either).
bool TDataStore::KeepDamagedSettings(const std::string &bytes)
{
    std::string path = ConfigPath();
    std::string keptAs;
    if (!platform::MoveAside(path, path + DamagedFileSuffix, keptAs))
        return Fail("Can't keep the damaged settings file " + path + ": " +
                    platform::SystemErrorText(errno));
    Notice(Format(DamagedSettingsNotice, keptAs.c_str()));

    TConfigRecord damaged{};
    if (bytes.size() < offsetof(TConfigRecord, KeyBlob) + sizeof damaged.KeyBlob)
        return true;
    std::memcpy(&damaged, bytes.data(), std::min(bytes.size(), sizeof damaged));
    if (damaged.KeyLength == 0 || damaged.KeyLength > sizeof damaged.KeyBlob ||
        !KeyUsable(damaged.KeyBlob, damaged.KeyLength))
        return true;
    TConfigRecord &config = Globals->Config;
    std::memcpy(config.KeyBlob, damaged.KeyBlob, sizeof config.KeyBlob);
    config.KeyLength = damaged.KeyLength;
    config.EncryptMailboxes = damaged.EncryptMailboxes != 0;
    Notice(DamagedSettingsKeyNotice);
    return true;
}

// The settings record as stored: the passwords sealed under the encryption option.
bool TDataStore::BuildSettingsFile(std::string &bytes)
{
    TConfigRecord stored = Globals->Config;
    const std::pair<TSealedField, TLockedField *> fields[] = {
        {MasterPasswordField(stored), &MasterPasswordLock},
        {SmtpPasswordField(stored), &SmtpPasswordLock}};
    for (const auto &[field, lock] : fields) {
        std::memset(field.Seal, 0, SealSize);
        if (lock->Locked && AllZero(field.Text, field.Size)) {
            // Still sealed: writing it as plain would turn it into garbage for good.
            if (!stored.EncryptMailboxes)
                return Fail(EncryptOffRefused);
            std::memcpy(field.Text, lock->Stored.data(), field.Size);
            std::memcpy(field.Seal, lock->Seal, SealSize);
            continue;
        }
        *lock = {}; // a new value takes the place of the one that could not be opened
        if (stored.EncryptMailboxes && !SealBlock(stored.KeyBlob, stored.KeyLength, field.Kind,
                                                  field.Size, field.Text, field.Seal))
            return Fail(Format("Can't encrypt the %s: %s", field.Name, CryptoLastError().c_str()));
    }
    bytes.assign(reinterpret_cast<const char *>(&stored), sizeof stored);
    return true;
}

bool TDataStore::WriteSettings()
{
    std::string bytes;
    if (!BuildSettingsFile(bytes))
        return false;
    std::string error;
    if (!platform::WriteFileAtomic(ConfigPath(), bytes, platform::DataFileMode, &error))
        return Fail(error);
    return true;
}

// Both files as one change: their images go first to the pending-save file, then each to its
// own file, and the pending-save file is removed last. A crash in between leaves it for the
// next read to finish (FinishInterruptedCommit), so the two files never stay from different
// saves.
bool TDataStore::CommitFiles(const std::string &settings, const std::string &mailboxes,
                             bool settingsFirst)
{
    const std::string pending = DataFile(names::PendingSaveFile);
    std::string error;
    if (!platform::WriteFileAtomic(pending, PendingSave(settings, mailboxes),
                                   platform::DataFileMode, &error))
        return Fail(error);
    for (bool settingsTurn : {settingsFirst, !settingsFirst}) {
        const bool written = platform::WriteFileAtomic(settingsTurn ? ConfigPath() : PopSrvPath(),
                                                       settingsTurn ? settings : mailboxes,
                                                       platform::DataFileMode, &error);
        if (!written && settingsTurn)
            return Fail(error);
        if (!written) {
            Log(error);
            return Fail(MailBoxFileError);
        }
    }
    if (std::remove(pending.c_str()) != 0)
        Log("Can't remove " + pending + ": " + platform::SystemErrorText(errno));
    return true;
}

void TDataStore::FinishInterruptedCommit()
{
    const std::string pending = DataFile(names::PendingSaveFile);
    if (!TUtils::FileExists(pending))
        return;
    std::string bytes, settings, mailboxes, error;
    if (!platform::ReadWholeFile(pending, bytes) || !SplitPendingSave(bytes, settings, mailboxes)) {
        Log("Removed " + pending + ": it can't be read or is damaged");
        std::remove(pending.c_str());
        return;
    }
    if (platform::WriteFileAtomic(ConfigPath(), settings, platform::DataFileMode, &error) &&
        platform::WriteFileAtomic(PopSrvPath(), mailboxes, platform::DataFileMode, &error)) {
        std::remove(pending.c_str());
        Log("Finished saving the settings and the mailbox list, which was interrupted");
    } else {
        Log("Can't finish the interrupted save of the settings and the mailbox list: " + error);
    }
}

bool TDataStore::SavePosition(const TWindowPos &window)
{
    TConfigRecord &config = Globals->Config;
    config.WinTop = window.Top;
    config.WinLeft = window.Left;
    config.WinHeight = window.Height;
    config.WinWidth = window.Width;

    std::string path = ConfigPath();
    std::string bytes;
    if (!TUtils::FileExists(path) || !platform::ReadWholeFile(path, bytes))
        return Fail("Can't read " + path);
    if (bytes.size() < WindowPositionOffset + WindowPositionSize)
        bytes.resize(WindowPositionOffset + WindowPositionSize, '\0');
    std::memcpy(bytes.data() + WindowPositionOffset, &config.WinTop, WindowPositionSize);
    std::string error;
    if (!platform::WriteFileAtomic(path, bytes, platform::DataFileMode, &error))
        return Fail(error);
    return true;
}

TMailBoxLoad TDataStore::LoadMailBoxes(bool decrypt)
{
    TMailBoxLoad result;
    LastError.clear();
    std::string path = PopSrvPath();
    if (!TUtils::FileExists(path))
        return result;
    std::vector<TMailBoxRecord> records;
    if (!ReadMailBoxFile(path, records)) {
        Fail("Can't read " + path);
        return result;
    }
    result.FileRead = true;
    Mailboxes.clear();
    Summary.clear();
    InboxMap.Clear();
    KeptRecords.clear();

    const TConfigRecord &config = Globals->Config;
    // The file as it is, with the records of the earlier encryption sealed anew.
    std::vector<TMailBoxRecord> resealed;
    bool resealFailed = false;
    for (TMailBoxRecord &record : records) {
        const TMailBoxRecord stored = record;
        resealed.push_back(stored);
        switch (OpenMailboxRecord(config, decrypt, record)) {
        case TRecordState::KeyUnusable:
            // Listing the stored bytes would show garbage and save it back on the next Apply.
            ++result.Undecryptable;
            KeptRecords.push_back(stored);
            continue;
        case TRecordState::NotAuthentic:
            ++result.NotAuthentic;
            KeptRecords.push_back(stored);
            continue;
        case TRecordState::OldStream:
            ++result.Migrated;
            resealed.back() = record;
            resealFailed = resealFailed || !SealMailboxRecord(config, resealed.back());
            break;
        case TRecordState::Plain:
        case TRecordState::Sealed:
            break;
        }
        std::string user = GetText(record.UserId);
        if (user.empty() && GetText(record.MailServer).empty())
            continue;
        Mailboxes.push_back(MailboxRow(record, config.DisplayPasswords));
        SetPassword(user, GetText(record.MailServer), GetText(record.Password));
        InboxMap.Add(Format("%s=%s", user.c_str(), GetText(record.InboxPath).c_str()));
        if (record.Active)
            Summary.push_back(SummaryRow(user));
    }
    if (result.Undecryptable > 0)
        Notice(Format(UndecryptableNotice, result.Undecryptable) + " (" + CryptoLastError() + ")");
    if (result.NotAuthentic > 0)
        Notice(Format(NotAuthenticNotice, result.NotAuthentic));
    // A sign-in file that cannot be opened is set aside now, and the user told, rather than
    // its mailboxes quietly falling back to a password they do not have. One sealed with
    // another key file stays while the user keeps the data of that key (the key question
    // answered No): it opens again once the key file is copied back.
    oauth2::TStore signIns(Globals->DataRoot);
    const oauth2::TStore::TLoad signInsLoad = signIns.Load();
    if (signInsLoad == oauth2::TStore::TLoad::Locked && KeyLocked()) {
        Log(signIns.LoadError());
    } else if (signInsLoad == oauth2::TStore::TLoad::Locked) {
        std::string keptAs;
        signIns.SetAsideLocked(keptAs);
        Notice(signIns.LoadError());
    } else if (signInsLoad == oauth2::TStore::TLoad::SetAside) {
        Notice(signIns.LoadError());
    }
    if (result.Migrated > 0 && resealFailed)
        Log("Can't seal the mailbox records of the earlier encryption: " + CryptoLastError());
    else if (result.Migrated > 0)
        RewriteSealed(resealed);
    WriteIconMailbox();
    if (!InboxesSwept) {
        InboxesSwept = true;
        for (int i = 0; i < InboxMap.Count(); ++i)
            SweepTemporaries(InboxMap.ValueFromIndex(i));
    }
    return result;
}

// Rewrites the mailbox file once its records of the earlier unsealed encryption are sealed.
void TDataStore::RewriteSealed(const std::vector<TMailBoxRecord> &records)
{
    std::string error;
    if (!WriteMailBoxFile(PopSrvPath(), records, &error))
        Log("Can't rewrite the mailbox file with sealed records: " + error);
    else
        Log("The mailbox file was rewritten with sealed records");
}

void TDataStore::WriteIconMailbox()
{
    TStringList lines;
    for (int i = 0; i < InboxMap.Count() && i < int(Mailboxes.size()); ++i)
        if (Mailboxes[i].Cell(mcBoxProtected) != FlagOn)
            lines.Add(InboxMap[i]);
    if (!lines.SaveToFile(IconMailboxPath()))
        Log(IconMailboxError);
}

bool TDataStore::CanStoreUnencrypted() const
{
    return KeptRecords.empty() && !MasterPasswordLock.Locked && !SmtpPasswordLock.Locked;
}

bool TDataStore::BuildMailBoxFile(bool encrypt, const TAskPassword &ask, std::string &bytes)
{
    const TConfigRecord &config = Globals->Config;
    std::vector<TMailBoxRecord> records;
    for (const TListRow &row : Mailboxes) {
        const std::string &server = row.Cell(mcMailServer);
        std::string password;
        FindPassword(row.Caption, server, password);
        // A mailbox that signs in with OAuth2 has no password to ask for.
        if ((password.empty() || password == PasswordNotGiven) &&
            !oauth2::SignsInWithOAuth2(Globals->DataRoot, oauth2::TPurpose::Mailbox, row.Caption,
                                       server)) {
            std::string answer = ask ? ask(row.Caption) : "";
            password = answer.empty() ? PasswordNotGiven : answer;
            SetPassword(row.Caption, server, password);
        }
        records.push_back(MailboxRecord(row, password));
        // A record that cannot be encrypted is never written plain under the encryption option.
        if (encrypt && !SealMailboxRecord(config, records.back())) {
            Log("Can't encrypt the mailbox records: " + CryptoLastError());
            return Fail(MailBoxEncryptError);
        }
    }
    records.insert(records.end(), KeptRecords.begin(), KeptRecords.end());
    bytes = MailBoxFileBytes(records);
    return true;
}

bool TDataStore::SaveMailBoxes(bool encrypt, const TAskPassword &ask)
{
    LastError.clear();
    std::string bytes, error;
    if (!BuildMailBoxFile(encrypt, ask, bytes))
        return false;
    if (!platform::WriteFileAtomic(PopSrvPath(), bytes, platform::DataFileMode, &error)) {
        Log(error);
        return Fail(MailBoxFileError);
    }
    return true;
}

// A sealed record is read whatever the settings say, a plain one only where they say plain. So
// a change of mode writes its sealed side first: switching on, the mailboxes before the settings;
// switching off, the settings (and the plain passwords) before the mailboxes.
bool TDataStore::SaveChanges(bool storedEncrypted, const TAskPassword &ask)
{
    LastError.clear();
    TConfigRecord &config = Globals->Config;
    const bool encrypt = config.EncryptMailboxes != 0;
    const bool switchingOff = storedEncrypted && !encrypt;
    if (switchingOff && !CanStoreUnencrypted()) {
        config.EncryptMailboxes = 1;
        return Fail(EncryptOffRefused);
    }
    Globals->InitPaths();
    Globals->CreateDataFolders();

    std::string mailboxes;
    const bool mailboxesBuilt = BuildMailBoxFile(encrypt, ask, mailboxes);
    if (!mailboxesBuilt) {
        // The settings are saved with the mode they are stored in.
        const std::string mailboxError = LastError;
        config.EncryptMailboxes = storedEncrypted;
        WriteSettings();
        LastError = mailboxError;
        return false;
    }
    std::string settings;
    if (!BuildSettingsFile(settings) || !CommitFiles(settings, mailboxes, switchingOff)) {
        config.EncryptMailboxes = storedEncrypted;
        return false;
    }
    return true;
}
