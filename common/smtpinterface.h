// TSMTPFunc: the mail sender. A plain send of a prepared message (the short text for a mobile
// phone) and a forward of a received message, whose stored header is taken off the text and
// which may carry note lines above it. Every wait pumps events and ends on Esc or quit.
#pragma once

class QObject;
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/net/smtpclient.h"
#include "common/records.h"
#include "common/sessionlog.h"
#include "common/stringlist.h"

// The address a mailbox sends as: a user ID that is an address already ("jo@example.net") as it
// is, else the user ID "@" the server's host name, without scheme or port ("pop3s://host:995"
// gives "jo@host"): an SMTP server refuses a sender with either.
std::string MailboxSenderAddress(const std::string &userId, const std::string &mailServer);

// The message the callers fill before sending.
struct TOutgoingMessage
{
    std::string Sender;
    std::string Date; // a mail date; any other text (such as a time stamp) gives the current time
    std::string Subject;
    TStringList Recipients; // one address per line
    TStringList Text;       // the message text, one entry per line
};

// Values of LastResult: 0 after a success report, else the code of the last failure report.
namespace smtpresult {
inline constexpr int16_t Ok = 0;
inline constexpr int16_t AttachmentNotFound = 1;
inline constexpr int16_t InvalidHost = 2;
inline constexpr int16_t HeaderIncomplete = 3;
inline constexpr int16_t ConnectionFailed = 4;
inline constexpr int16_t AuthenticationFailed = 5;
inline constexpr int16_t Failure = 6; // refused message, lost connection, time-out, Esc
} // namespace smtpresult

// Number of lines at the top of a message that make its stored header: up to the first empty
// line, or the second when the header names a multipart "boundary". The empty line that ends
// the count stays with the text. When header is given, the lines are copied into it.
int StoredHeaderLineCount(const std::vector<std::string> &lines, TStringList *header = nullptr);

// What a forward sends in place of a received message.
struct TForwardBody
{
    std::vector<std::string> ContentHeader; // the body's own Content-* lines; empty: plain text
    std::vector<std::string> Lines;
};
// The forward of a message (header and text) with notes above its text. A message without
// MIME fields loses its stored header and gets the notes above the rest. A MIME body keeps its
// Content-* fields so it reads as it did; notes go above a plain text body, while an encoded
// or multipart body becomes the second part of a multipart/mixed after a text part of notes.
TForwardBody ForwardBody(const std::vector<std::string> &message,
                         const std::vector<std::string> &notes);

class TSMTPFunc
{
public:
    // Esc hook as in the POP3 session: called with true once before each wait, then with false
    // while waiting; true means stop. When unset, the program's Esc key (TGlobals) is asked.
    using TCancelCheck = std::function<bool(bool reset)>;
    using TStatusDisplay = ::TStatusDisplay;

    explicit TSMTPFunc(QObject *owner = nullptr, const uint16_t *debugLevel = nullptr);
    ~TSMTPFunc();
    TSMTPFunc(const TSMTPFunc &) = delete;
    TSMTPFunc &operator=(const TSMTPFunc &) = delete;

    int16_t LastResult = smtpresult::Ok;
    std::string LogText;     // last formatted log line
    std::string LastProblem; // why the last failure happened, in words ("" after a success)
    int Port = 25;           // used when the server setting names no port
    const uint16_t *DebugLevelRef;
    TOutgoingMessage Outgoing;
    TStringList HeaderLines; // the header lines taken off the last forwarded text
    // Receivers of each shown log line (the window's status bar and label); either may be unset.
    TStatusDisplay StatusBar;
    TStatusDisplay StatusLabel;
    TCancelCheck CancelCheck;

    // The longest wait for one server reply; a silent server fails the send after it.
    void SetReplyTimeout(int ms) { client->TimeoutMs = ms; }

    bool SendPlain(const TConfigRecord &settings);
    bool Forward(const TConfigRecord &settings, const std::vector<std::string> *noteLines);
    bool Forward(const TConfigRecord &settings, const TStringList &noteLines)
    {
        return Forward(settings, &noteLines.Items());
    }
    static std::string PhoneText(const std::vector<std::string> &lines);
    static std::string PhoneText(const TStringList &lines) { return PhoneText(lines.Items()); }

    void Log(int level, const char *format, ...) __attribute__((format(printf, 3, 4)));

private:
    bool Busy();
    bool Prelude(const TConfigRecord &settings);
    bool Connect(bool again); // again: with a renewed access token
    // The outgoing server signs in with OAuth2: a fresh access token for the session.
    bool TakeAccessToken(bool forceRefresh);
    bool SendAndDisconnect();
    bool WaitWhile(const std::function<bool()> &busy, unsigned ms);
    bool Cancelled(bool reset);
    void OnReport(TSmtpReport report, int code, const std::string &text);

    uint16_t ownLevel = 0;
    std::unique_ptr<TSmtpClient> client;
    bool sendSucceeded = false;
    bool sending = false; // a send is running (its waits let other commands run)
    std::string senderName;
    std::string serverAsWritten;            // the settings' server field, as the sign-in is keyed
    bool tokenExpired = false;              // the server refused the access token as expired
    std::vector<std::string> contentHeader; // the running forward's body description
};

extern TSMTPFunc *SMTPFunc;
