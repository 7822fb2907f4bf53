#include "common/records.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/encrypt.h"
#include "common/globals.h"
#include "common/names.h"
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

bool WriteMailBoxFile(const std::string &path, const std::vector<TMailBoxRecord> &records,
                      std::string *errorText)
{
    std::string bytes(reinterpret_cast<const char *>(records.data()),
                      records.size() * sizeof(TMailBoxRecord));
    return platform::WriteFileAtomic(path, bytes, platform::DataFileMode, errorText);
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
    if (usable)
        config = stored;
    if (GetText(config.RulesPath).empty())
        SetText(config.RulesPath, Globals->DataRoot);
    Globals->SetRejectedPath(GetText(config.RulesPath));
    if (!read)
        return Fail("Can't read " + path);
    return usable || Fail("Damaged settings file " + path);
}

namespace {

template <std::size_t N> bool AllZero(const uint8_t (&bytes)[N])
{
    return std::all_of(bytes, bytes + N, [](uint8_t byte) { return byte == 0; });
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

} // namespace

bool TDataStore::ReadSettings(const TWindowPos &window)
{
    TConfigRecord &config = Globals->Config;
    std::string path = ConfigPath();
    std::string bytes;
    if (TUtils::FileExists(path) && !platform::ReadWholeFile(path, bytes))
        return Fail("Can't read " + path);
    SweepTemporaries(Globals->DataRoot);

    ApplyNeeded = false;
    MasterPasswordLocked = false;
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
    bool keyMissing = config.KeyLength == 0;
    if (Globals->CryptoReady)
        Globals->CryptoReady = MakeKey(config.KeyBlob, config.KeyLength);
    bool keyMade = keyMissing && config.KeyLength != 0;
    bool migrated = false;
    if (usable && config.EncryptMailboxes)
        migrated = OpenMasterPassword(config);
    std::memset(config.MasterPasswordSeal, 0, sizeof config.MasterPasswordSeal);
    if (GetText(config.RulesPath).empty())
        SetText(config.RulesPath, Globals->DataRoot);
    Globals->SetRejectedPath(GetText(config.RulesPath));
    SweepTemporaries(GetText(config.RulesPath));
    if (!usable)
        return WriteSettings();
    if ((keyMade || migrated) && !WriteSettings() && keyMade) {
        std::memset(config.KeyBlob, 0, sizeof config.KeyBlob);
        config.KeyLength = 0;
        Globals->CryptoReady = false;
    }
    return true;
}

// Opens the stored master password in place; true when it was of the earlier unsealed
// encryption (the settings are then rewritten sealed). One that can't be opened stays as stored
// and is written back unchanged.
bool TDataStore::OpenMasterPassword(TConfigRecord &config)
{
    std::memcpy(LockedMasterPassword, config.MasterPassword, sizeof LockedMasterPassword);
    std::memcpy(LockedSeal, config.MasterPasswordSeal, sizeof LockedSeal);
    const bool oldStream = AllZero(config.MasterPasswordSeal);
    bool opened = false;
    if (Globals->CryptoReady && oldStream)
        opened = XorOldKeyStream(config.KeyBlob, config.KeyLength, sizeof config.MasterPassword,
                                 config.MasterPassword);
    else if (Globals->CryptoReady)
        opened = OpenBlock(config.KeyBlob, config.KeyLength, TSealedKind::MasterPassword,
                           sizeof config.MasterPassword, config.MasterPassword,
                           config.MasterPasswordSeal) == TOpenResult::Opened;
    MasterPasswordLocked = !opened;
    if (!opened)
        Log("Can't decrypt the master password: " +
            (Globals->CryptoReady ? CryptoLastError() : std::string("no usable key")));
    return opened && oldStream;
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

bool TDataStore::WriteSettings()
{
    TConfigRecord stored = Globals->Config;
    std::memset(stored.MasterPasswordSeal, 0, sizeof stored.MasterPasswordSeal);
    bool keepStoredPassword =
        MasterPasswordLocked &&
        std::memcmp(stored.MasterPassword, LockedMasterPassword, sizeof LockedMasterPassword) == 0;
    if (keepStoredPassword) {
        // Still encrypted: writing it as plain would turn it into garbage for good.
        if (!stored.EncryptMailboxes)
            return Fail(EncryptOffRefused);
        std::memcpy(stored.MasterPasswordSeal, LockedSeal, sizeof LockedSeal);
    } else if (stored.EncryptMailboxes &&
               !SealBlock(stored.KeyBlob, stored.KeyLength, TSealedKind::MasterPassword,
                          sizeof stored.MasterPassword, stored.MasterPassword,
                          stored.MasterPasswordSeal)) {
        return Fail("Can't encrypt the master password: " + CryptoLastError());
    }

    std::string error;
    std::string bytes(reinterpret_cast<const char *>(&stored), sizeof stored);
    if (!platform::WriteFileAtomic(ConfigPath(), bytes, platform::DataFileMode, &error))
        return Fail(error);
    return true;
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
    return KeptRecords.empty() && !MasterPasswordLocked;
}

bool TDataStore::SaveMailBoxes(bool encrypt, const TAskPassword &ask)
{
    LastError.clear();
    const TConfigRecord &config = Globals->Config;
    std::vector<TMailBoxRecord> records;
    for (const TListRow &row : Mailboxes) {
        const std::string &server = row.Cell(mcMailServer);
        std::string password;
        FindPassword(row.Caption, server, password);
        if (password.empty() || password == PasswordNotGiven) {
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

    std::string error;
    if (!WriteMailBoxFile(PopSrvPath(), records, &error)) {
        Log(error);
        return Fail(MailBoxFileError);
    }
    return true;
}

// A sealed record is read whatever the settings say, a plain one only where they say plain. So
// a change of mode writes its sealed side first: switching on, the mailboxes before the settings;
// switching off, the settings (and the plain master password) before the mailboxes.
bool TDataStore::SaveChanges(bool storedEncrypted, const TAskPassword &ask)
{
    TConfigRecord &config = Globals->Config;
    const bool encrypt = config.EncryptMailboxes != 0;
    if (storedEncrypted && !encrypt) {
        if (!CanStoreUnencrypted()) {
            config.EncryptMailboxes = 1;
            return Fail(EncryptOffRefused);
        }
        if (!LoadSettings(true)) {
            config.EncryptMailboxes = 1;
            return false;
        }
        return SaveMailBoxes(false, ask);
    }
    const bool mailboxesSaved = SaveMailBoxes(encrypt, ask);
    const std::string mailboxError = LastError;
    if (!mailboxesSaved && encrypt && !storedEncrypted)
        config.EncryptMailboxes = 0;
    const bool settingsSaved = LoadSettings(true);
    if (!mailboxesSaved)
        LastError = mailboxError;
    return mailboxesSaved && settingsSaved;
}
