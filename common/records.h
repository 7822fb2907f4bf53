// The two binary data records shared by every program: the settings record ("Config.cfg")
// and the mailbox record (back to back in "PopSrv.cfg"). Both are little-endian, fixed size,
// with zero-terminated single-byte texts in fixed fields and zeros after each terminator.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/encrypt.h"
#include "common/listrows.h"
#include "common/stringlist.h"

static_assert(
    std::endian::native == std::endian::little,
    "the data records are stored in the machine's byte order, which must be little-endian");

// Copies a text into a fixed field. A text longer than the field leaves room for the
// terminating zero and is cut; every byte after the text is zeroed.
void SetRecordText(char *field, std::size_t size, const std::string &text);
// Reads a fixed text field up to its first zero (or its full size when it has none).
std::string GetRecordText(const char *field, std::size_t size);

template <std::size_t N> void SetText(char (&field)[N], const std::string &text)
{
    SetRecordText(field, N, text);
}
template <std::size_t N> std::string GetText(const char (&field)[N])
{
    return GetRecordText(field, N);
}

#pragma pack(push, 1)

// Settings record, exactly 1024 bytes.
struct TConfigRecord
{
    int16_t Reserved0;
    int16_t Reserved2;
    uint8_t EncryptMailboxes;
    uint8_t Pad5[3];
    uint32_t KeyLength;
    uint8_t KeyBlob[128];
    char SmtpServer[32];
    char SmtpPassword[16];
    char SmtpUserName[32];
    char SmtpUserId[74];
    char ProxyHost[16];
    uint16_t ProxyPort;
    uint8_t ProxyActive;
    uint8_t Pad313[13];
    uint8_t SmartRejection;
    uint8_t SaveRejected;
    uint8_t ClearRejections30;
    uint8_t ClearRejectionsWeekly;
    uint8_t DataVisible;
    uint8_t SmartMailRead;
    uint8_t WarnLargeMail;
    uint8_t Pad333[62];
    char DefaultMailerName[32];
    char MasterPassword[12];
    uint8_t SecurityLevel;
    uint8_t Pad440;
    uint8_t CheckMinutes;
    uint8_t TimerSeconds;
    uint8_t Retries;
    uint8_t RestoreAction;
    uint8_t MasterPriorityActive;
    uint8_t MasterRejectActive;
    uint8_t MasterPriorityGlobal;
    uint8_t MasterRejectGlobal;
    uint8_t PasswordActive;
    uint8_t HideOnStartup;
    uint8_t LoadAtStartup;
    uint8_t KeepOnTop;
    uint8_t RememberPosition;
    uint8_t NewMailNotification;
    uint8_t DisplayPasswords;
    uint16_t TimeoutMs;
    uint8_t Pad458[2];
    int16_t Version;
    char RulesPath[256];
    uint8_t Pad718[2];
    int32_t WinTop;
    int32_t WinLeft;
    int32_t WinHeight;
    int32_t WinWidth;
    uint8_t MasterPasswordSeal[40]; // zero unless MasterPassword is stored encrypted
    uint8_t SmtpPasswordSeal[40];   // zero unless SmtpPassword is stored encrypted
    uint8_t Pad816[208];
};

// Mailbox record, exactly 1536 bytes.
struct TMailBoxRecord
{
    char MailServer[48];
    char BoxPassword[16];
    char UserId[42];
    char ArrivalAlert[255];
    char InboxPath[255];
    char PriorityAlert[255];
    uint8_t LeaveOnServer;
    uint8_t Active;
    uint8_t RejectActive;
    uint8_t PriorityActive;
    uint8_t AliasActive;
    uint8_t BoxProtected;
    char Password[619];
    uint8_t Seal[40]; // zero in a plain record; nonce and tag of an encrypted one
};

#pragma pack(pop)

static_assert(sizeof(TConfigRecord) == 1024);
static_assert(offsetof(TConfigRecord, EncryptMailboxes) == 4);
static_assert(offsetof(TConfigRecord, KeyLength) == 8);
static_assert(offsetof(TConfigRecord, KeyBlob) == 12);
static_assert(offsetof(TConfigRecord, SmtpServer) == 140);
static_assert(offsetof(TConfigRecord, SmtpPassword) == 172);
static_assert(offsetof(TConfigRecord, SmtpUserName) == 188);
static_assert(offsetof(TConfigRecord, SmtpUserId) == 220);
static_assert(offsetof(TConfigRecord, ProxyHost) == 294);
static_assert(offsetof(TConfigRecord, ProxyPort) == 310);
static_assert(offsetof(TConfigRecord, ProxyActive) == 312);
static_assert(offsetof(TConfigRecord, SmartRejection) == 326);
static_assert(offsetof(TConfigRecord, WarnLargeMail) == 332);
static_assert(offsetof(TConfigRecord, DefaultMailerName) == 395);
static_assert(offsetof(TConfigRecord, MasterPassword) == 427);
static_assert(offsetof(TConfigRecord, SecurityLevel) == 439);
static_assert(offsetof(TConfigRecord, CheckMinutes) == 441);
static_assert(offsetof(TConfigRecord, MasterPriorityActive) == 445);
static_assert(offsetof(TConfigRecord, PasswordActive) == 449);
static_assert(offsetof(TConfigRecord, DisplayPasswords) == 455);
static_assert(offsetof(TConfigRecord, TimeoutMs) == 456);
static_assert(offsetof(TConfigRecord, Version) == 460);
static_assert(offsetof(TConfigRecord, RulesPath) == 462);
static_assert(offsetof(TConfigRecord, WinTop) == 720);
static_assert(offsetof(TConfigRecord, WinWidth) == 732);
static_assert(offsetof(TConfigRecord, MasterPasswordSeal) == 736);
static_assert(offsetof(TConfigRecord, SmtpPasswordSeal) == 776);
static_assert(offsetof(TConfigRecord, Pad816) == 816);

static_assert(sizeof(TMailBoxRecord) == 1536);
static_assert(offsetof(TMailBoxRecord, BoxPassword) == 48);
static_assert(offsetof(TMailBoxRecord, UserId) == 64);
static_assert(offsetof(TMailBoxRecord, ArrivalAlert) == 106);
static_assert(offsetof(TMailBoxRecord, InboxPath) == 361);
static_assert(offsetof(TMailBoxRecord, PriorityAlert) == 616);
static_assert(offsetof(TMailBoxRecord, LeaveOnServer) == 871);
static_assert(offsetof(TMailBoxRecord, BoxProtected) == 876);
static_assert(offsetof(TMailBoxRecord, Password) == 877);
static_assert(offsetof(TMailBoxRecord, Seal) == 1496);
static_assert(sizeof(TMailBoxRecord::Seal) == SealSize);
static_assert(sizeof(TConfigRecord::MasterPasswordSeal) == SealSize);
static_assert(sizeof(TConfigRecord::SmtpPasswordSeal) == SealSize);
// An encrypted mailbox record: everything before Seal is encrypted, Seal holds nonce and tag.
constexpr std::size_t MailboxSealedBytes = offsetof(TMailBoxRecord, Seal);

// Record version written by this program; 464 records with an empty rules path are upgraded.
constexpr int16_t ConfigVersion = 720;
constexpr int16_t UpgradableConfigVersion = 464;
// Offset and size of the remembered window position inside "Config.cfg".
constexpr std::size_t WindowPositionOffset = offsetof(TConfigRecord, WinTop);
constexpr std::size_t WindowPositionSize = 16;

struct TWindowPos
{
    int32_t Top = 0;
    int32_t Left = 0;
    int32_t Height = 0;
    int32_t Width = 0;
};

// Zeroes the record and sets every default, the window position from the window's current one.
// The rules path is left empty: the caller fills it with the data root.
void SetConfigDefaults(TConfigRecord &config, const TWindowPos &window);

// ---- The settings and mailbox files in the data root, and the mailbox list in memory.

// Fixed texts of the mailbox list's file operations, shown by the windows.
inline constexpr char MailBoxFileError[] = "Can't Open Mail Box File";
inline constexpr char MailBoxEncryptError[] = "Can't Encrypt Mail Box File";
inline constexpr char PasswordPromptTitle[] = "Invalid E-mail Password for %s"; // the user ID
inline constexpr char PasswordPromptText[] = "Please Enter a Vailid Password";
inline constexpr char IconMailboxError[] = "Can't save to file Icon Mailbox";
inline constexpr char UndecryptableNotice[] =
    "%d mailboxes can't be decrypted with this user's key. They are not listed and are kept "
    "in the mailbox file as they are.";
inline constexpr char NotAuthenticNotice[] =
    "%d mailbox records fail their integrity check (damaged, changed outside Corvex or "
    "encrypted with another key). They are not listed and are kept in the mailbox file as "
    "they are.";
inline constexpr char DamagedSettingsNotice[] =
    "The settings file was damaged and has been replaced by the defaults.\nThe damaged file "
    "was kept as %s.";
inline constexpr char DamagedSettingsKeyNotice[] =
    "The encryption key of the damaged settings file was kept.";
inline constexpr char EncryptOffRefused[] =
    "Encryption can't be switched off: some mailbox data can't be decrypted with this user's "
    "key and would be lost.";
// Suffix of a damaged settings file kept beside the new one ("-1", "-2" … when taken).
inline constexpr char DamagedFileSuffix[] = ".damaged";

// Data sealed with a key this user's key file can't open, or a master password that can't be
// opened: the question at start, what was done, and the way out when nothing was done.
inline constexpr char LockedKeyQuestion[] =
    "The encryption key stored in the settings can't be opened with this account's key file: "
    "the data folder was copied from another account or machine, or the key was changed.\n"
    "Sealed with it and unreadable here: %s.\n\n"
    "Start a new key? Copies of the files as they are now are kept in the data folder, and the "
    "sealed data are no longer used.\n"
    "Answer No to keep them: then copy the key file %s from the account the data came from and "
    "start Corvex again.";
inline constexpr char LockedMasterPasswordQuestion[] =
    "The master password stored in the settings can't be opened: it was changed or damaged.\n\n"
    "Switch password protection off? A copy of the settings file as it is now is kept in the "
    "data folder; the Password button then sets a new master password.";
inline constexpr char LockedMasterPasswordText[] =
    "The stored master password can't be opened on this account, so Corvex can't ask for it and "
    "ends now.\n"
    "It was sealed with a key this account's key file does not open, or the settings file was "
    "changed.\n\n"
    "What you can do: copy the key file %s from the account or machine the data folder came "
    "from, then start Corvex again; or start Corvex again and answer Yes when it offers to set "
    "the sealed data aside (password protection is then switched off, and copies of the old "
    "files are kept in the data folder).";
inline constexpr char SetAsideNotice[] =
    "The data that could not be opened were set aside: the files as they were are kept as %s.";
inline constexpr char NewKeyNotice[] = "A new encryption key was started.";
inline constexpr char ProtectionOffNotice[] =
    "Password protection was switched off: set a new master password with the Password button.";
// Suffix of the copies kept when sealed data are set aside ("-1", "-2" … when taken).
inline constexpr char SetAsideFileSuffix[] = ".old-key";

// Reads every full record of a mailbox file; a short last record is ignored. False when the
// file cannot be read.
bool ReadMailBoxFile(const std::string &path, std::vector<TMailBoxRecord> &records);
// Replaces the file with the records, safely (the old file stays on any failure).
bool WriteMailBoxFile(const std::string &path, const std::vector<TMailBoxRecord> &records,
                      std::string *errorText = nullptr);

// A Mailboxes row for a record, and the record for a row with the given POP3 password.
TListRow MailboxRow(const TMailBoxRecord &record, bool displayPasswords);
TMailBoxRecord MailboxRecord(const TListRow &row, const std::string &password);
// A Summary row for an active mailbox: "0" messages and five empty cells.
TListRow SummaryRow(const std::string &userId);

// The Preferences options, by their index in the "Options" list.
enum TOptionIndex : std::size_t {
    opHideOnStartup,
    opKeepOnTop,
    opLoadAtStartup,
    opSmartRejection,
    opSmartMailRead,
    opWarnLargeMail,
    opRememberPosition,
    opDataVisible,
    opNewMailNotification,
    opDisplayPasswords,
    opSaveRejected,
    opClearRejections30,
    opClearRejectionsWeekly,
    opEncryptMailboxes,
    OptionCount
};
inline constexpr const char *OptionCaptions[OptionCount] = {
    "Hide On Startup",         "Keep On Top",
    "Load At Startup",         "Smart Rejection",
    "Smart Mail Read",         "Warn on Large E-mails",
    "Remember Last Position",  "Application Data Visible",
    "New Mail Notification",   "Display Passwords",
    "Save Rejected Mail",      "Clear Rejections 30 Days",
    "Clear Rejections Weekly", "Encrypt Mailboxes"};

// The values of the window's settings controls (Operation and Preferences pages).
struct TSettingsControls
{
    int TimeoutSeconds = 0; // "Connection Timeout", 0 to 1000 in the box
    int CheckMinutes = 0;   // "Check For Mail Every", 3 to 255
    int TimerSeconds = 0;   // "Timer Frequency", 1 to 60
    int Retries = 0;        // "Retries On Timeout", 1 to 10
    int RestoreAction = 0;  // "Activate On": 0 Disabled, 1 New Mail, 2 Priority Mail
    int SecurityLevel = 0;  // security track bar
    bool MasterPriorityActive = false;
    bool MasterPriorityGlobal = false;
    bool MasterRejectActive = false;
    bool MasterRejectGlobal = false;
    std::array<bool, OptionCount> Options{};

    int MainTimerIntervalMs() const { return TimerSeconds * 1000; }
};

// What WindowToSettings changed that needs an action of the window: a new check interval for
// the temporary interval box, the start-up shortcut, the topmost state.
struct TSettingsChanges
{
    bool CheckMinutes = false;
    bool LoadAtStartup = false;
    bool KeepOnTop = false;
};

// Control values shown for a settings record (values outside a control's range are brought
// into it, so a damaged file cannot stop the timer). The window also sets the rejected-mail
// folder again (Globals->SetRejectedPath) and applies "Application Data Visible".
TSettingsControls SettingsToWindow(const TConfigRecord &config);
// Copies the control values back; the time-out is limited to what the record holds (65535 ms).
TSettingsChanges WindowToSettings(const TSettingsControls &controls,
                                  const std::string &defaultMailer, TConfigRecord &config);

// Asks the user for the password of a mailbox that has none (empty answer: none given).
using TAskPassword = std::function<std::string(const std::string &userId)>;

// What a load of the mailbox list found.
struct TMailBoxLoad
{
    bool FileRead = false; // "PopSrv.cfg" existed and was read
    int Undecryptable = 0; // encrypted records this user's key can't open (not listed)
    int NotAuthentic = 0;  // encrypted records that fail their integrity check (not listed)
    int Migrated = 0;      // records of the earlier unsealed encryption, rewritten sealed
};

// A sealed text field of the settings that could not be opened: empty in memory; while it stays
// empty its stored bytes and seal are written back unchanged, so they are never lost.
struct TLockedField
{
    bool Locked = false;
    std::string Stored;
    uint8_t Seal[SealSize] = {};
};

// The settings file and the mailbox list of the data root, read and written for the process-wide
// Globals (data root, Config, CryptoReady, RejectedPath). The monitor's main window owns one and
// hands its lists to the engines; the companion programs that edit these files use it too.
class TDataStore
{
public:
    TListRows Mailboxes;     // one row per mailbox record, in list order
    TListRows Summary;       // one row per active mailbox
    TStringList PasswordMap; // PasswordKey(user, server)=password
    TStringList InboxMap;    // user=inbox folder

    std::string LastError;    // why the last operation failed
    bool ApplyNeeded = false; // set when a read upgraded the settings record
    // Texts for the user about what a read found (damaged settings, records that can't be
    // opened); already logged. The window shows and clears them.
    std::vector<std::string> Notices;

    // Reading (write false): computes the paths, creates the data folders, reads "Config.cfg"
    // into Globals->Config (defaults when it is empty, short or of an unknown version, written
    // back at once). window is the window's current position, used for the defaults. The
    // caller loads the alert list afterwards. Writing (write true): writes the whole record,
    // the master password encrypted when "Encrypt Mailboxes" is set. False when the file cannot
    // be read or written; the previous file then stays as it was.
    bool LoadSettings(bool write, const TWindowPos &window = {});
    // Reading for a companion program, which never writes the settings: computes the paths
    // and reads "Config.cfg" into Globals->Config without creating folders, keys or files. A
    // missing, short or unknown file leaves the defaults in memory and answers false
    // (LastError says why).
    bool LoadSettingsReadOnly();
    // Stores the window position in Globals->Config and in the 16 position bytes of the
    // existing "Config.cfg".
    bool SavePosition(const TWindowPos &window);

    // Reads "PopSrv.cfg" into the lists and rewrites "IconMailbox.ini"; decrypt tells whether
    // the records are encrypted (normally Globals->Config.EncryptMailboxes).
    TMailBoxLoad LoadMailBoxes(bool decrypt);
    // Writes the Mailboxes rows to "PopSrv.cfg", each record encrypted when encrypt is set.
    // A mailbox without a password is asked for one through ask (none given: "Add PW"). False
    // (LastError is MailBoxFileError or MailBoxEncryptError) leaves the previous file.
    bool SaveMailBoxes(bool encrypt, const TAskPassword &ask = nullptr);

    // PasswordMap keeps one line per mailbox, keyed on user ID and server together: the same
    // user ID on two servers is two mailboxes with two passwords.
    static std::string PasswordKey(const std::string &userId, const std::string &mailServer);
    void SetPassword(const std::string &userId, const std::string &mailServer,
                     const std::string &password);
    // False when the mailbox has no line in PasswordMap.
    bool FindPassword(const std::string &userId, const std::string &mailServer,
                      std::string &password) const;
    void RemovePassword(const std::string &userId, const std::string &mailServer);

    // Apply: writes the mailbox list and the settings record Globals->Config, whose
    // EncryptMailboxes is the mode wanted; storedEncrypted is the mode the files are in now.
    // Both files are one change: a crash between them is finished by the next read of the
    // settings, and until then the writes' order keeps both files readable. A
    // change of mode that fails (or can't be made, see CanStoreUnencrypted) keeps the old one in
    // Globals->Config. False when something was not saved; LastError says what.
    bool SaveChanges(bool storedEncrypted, const TAskPassword &ask = nullptr);
    // False while mailbox records or the settings' passwords could not be decrypted: writing
    // them unencrypted would lose them, so encryption must stay on.
    bool CanStoreUnencrypted() const;

    // After a read of the settings: the stored key can't be opened with this user's key file
    // and data are sealed with it (with nothing sealed a new key was made at once).
    bool KeyLocked() const { return !LockedKeyData.empty(); }
    // The stored master password could not be opened; it is empty in memory.
    bool MasterPasswordLocked() const { return MasterPasswordLock.Locked; }
    // The question to put to the user when data that can't be opened are in the way: a locked
    // key, or a master password guarding the monitor that can't be opened. Empty when none.
    std::string LockedDataQuestion() const;
    // The user's yes to that question: copies of the files as they are are kept in the data
    // root; with a locked key a new key is started and what it sealed is no longer used; a
    // master password that can't be opened is dropped and protection switched off. Notices
    // say what was done. False (LastError says why) leaves everything as it was.
    bool SetAsideLockedData();

    std::string ConfigPath() const;
    std::string PopSrvPath() const;
    std::string IconMailboxPath() const;

private:
    struct TSealedData;

    bool ReadSettings(const TWindowPos &window);
    bool WriteSettings();
    bool BuildSettingsFile(std::string &bytes);
    bool BuildMailBoxFile(bool encrypt, const TAskPassword &ask, std::string &bytes);
    bool CommitFiles(const std::string &settings, const std::string &mailboxes, bool settingsFirst);
    void FinishInterruptedCommit();
    bool EnsureUsableKey(TConfigRecord &config);
    TSealedData FindSealedData(const TConfigRecord &config) const;
    bool Fail(const std::string &text);
    void Notice(const std::string &text);
    void WriteIconMailbox();
    bool KeepDamagedSettings(const std::string &bytes);
    void RewriteSealed(const std::vector<TMailBoxRecord> &records);
    void SweepTemporaries(const std::string &folder);
    TLockedField MasterPasswordLock;
    TLockedField SmtpPasswordLock;
    // What is sealed with a stored key that can't be opened; empty while the key opens.
    std::string LockedKeyData;
    // Encrypted records that can't be opened; kept in the file as they are on every save.
    std::vector<TMailBoxRecord> KeptRecords;
    bool InboxesSwept = false; // inbox folders are swept of temporaries once per process
};
