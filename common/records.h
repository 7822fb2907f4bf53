// The two binary data records shared by every program: the settings record ("Config.cfg")
// and the mailbox record (back to back in "PopSrv.cfg"). Both are little-endian, fixed size,
// with zero-terminated single-byte texts in fixed fields and zeros after each terminator.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>

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
    uint8_t Pad736[288];
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
    char Password[659];
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
static_assert(offsetof(TConfigRecord, Pad736) == 736);

static_assert(sizeof(TMailBoxRecord) == 1536);
static_assert(offsetof(TMailBoxRecord, BoxPassword) == 48);
static_assert(offsetof(TMailBoxRecord, UserId) == 64);
static_assert(offsetof(TMailBoxRecord, ArrivalAlert) == 106);
static_assert(offsetof(TMailBoxRecord, InboxPath) == 361);
static_assert(offsetof(TMailBoxRecord, PriorityAlert) == 616);
static_assert(offsetof(TMailBoxRecord, LeaveOnServer) == 871);
static_assert(offsetof(TMailBoxRecord, BoxProtected) == 876);
static_assert(offsetof(TMailBoxRecord, Password) == 877);

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
