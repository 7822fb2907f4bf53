// Helpers for integration tests against the real test servers that tests/fixtures/start.sh
// runs (dovecot for POP3 and IMAP, aiosmtpd for SMTP): private mailboxes, message delivery into
// them, what the SMTP server received, and generated sample messages.
//
// Every function that needs the servers throws std::runtime_error with a clear text when they
// are not running or a step fails; call REQUIRE_FIXTURES() first in such tests.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "common/records.h"

class QProcess;

namespace fixtures {

// ---- waiting ---------------------------------------------------------------------------

// Runs the Qt event loop for ms milliseconds (sockets, timers and fake servers go on working).
void PumpEvents(int ms);

// Pumps events until done() answers true (→ true) or timeoutMs passed (→ false).
bool WaitUntil(const std::function<bool()> &done, int timeoutMs = 10000);

// ---- mailboxes (POP3 and IMAP) -----------------------------------------------------------

struct Mailbox
{
    std::string user;       // unique per call, e.g. "hint-1a2b3c4d"
    std::string password;   // plain; works for USER/PASS, APOP, IMAP LOGIN and SASL PLAIN
    std::string maildir;    // folder holding cur/ new/ tmp/ (the INBOX)
    std::string host;       // 127.0.0.1
    int pop3Port = 0;       // clear text, offers STLS
    int pop3sPort = 0;      // implicit TLS
    int imapPort = 0;       // IMAP, clear text, offers STARTTLS; Junk and Trash flagged
    int imapsPort = 0;      // IMAP over implicit TLS, as imapPort otherwise
    int imapNoMovePort = 0; // as imapPort, but the capabilities lack MOVE and UIDPLUS
    int imapBarePort = 0;   // as imapPort, but no Junk, no Trash, no special-use flags
};

// A fresh mailbox no other test uses, known to dovecot at once. hint is a readable part of
// the user name.
Mailbox CreateMailbox(const std::string &hint);

// Delivers one message (bytes as given). Messages are numbered by POP3 in the order added.
void AddMessage(const Mailbox &box, const std::string &raw);
void AddMessages(const Mailbox &box, const std::vector<std::string> &raws);

// A mailbox record as the monitor checks it: active, rejection and priority rules on, mail
// left on the server, "BELL" on arrival and "CHIME" for priority mail. server is "host:port".
TMailBoxRecord MonitoredMailbox(const std::string &user, const std::string &server,
                                const std::string &password, const std::string &inbox);

// Messages in the maildir (new/ and cur/), and their bytes in delivery order.
int MessageCount(const Mailbox &box);
std::vector<std::string> StoredMessages(const Mailbox &box);

// ---- IMAP ----------------------------------------------------------------------------------
// Every listener serves the same users and the same INBOX (the maildir AddMessage writes).

// An IMAP Mail Server address: scheme ("imap://", "imaps://" or "imap+tls://") + host:port,
// and "/folder" when folder is not empty.
std::string ImapAddress(const std::string &scheme, const Mailbox &box, int port,
                        const std::string &folder = "");

// The bytes of the messages in folder ("INBOX", "Junk", "Trash", or another folder the
// session created) in delivery order, as the listeners with Junk and Trash store them.
std::vector<std::string> StoredMessagesIn(const Mailbox &box, const std::string &folder);

// The maildir flag letters of each INBOX message in delivery order: "" for none, else e.g.
// "S" (\Seen), "T" (\Deleted), "FS" (\Flagged \Seen). dovecot moves new mail from new/ to
// cur/ once a session has seen it; messages in either count.
std::vector<std::string> InboxFlags(const Mailbox &box);
bool AnySeen(const Mailbox &box);

// dovecot hands out a new, higher UIDVALIDITY for INBOX at the next session, with new UIDs
// for the messages it holds. Call only while no session of box is open.
void ChangeUidValidity(const Mailbox &box);

// Another client expunged the INBOX message at index (0-based, delivery order, as in
// StoredMessages): its file goes; a session sees it gone at its next look.
void RemoveMessageBehindBack(const Mailbox &box, int index);

// dovecot's log, and how often it logged an IMAP login of box ("Login: user=<...>", any
// listener) and a session of box that ended by LOGOUT ("Disconnected: Logged out"). dovecot
// writes its log through a process of its own, so a line can come a moment after the event:
// wait with WaitUntil for the count expected.
std::string DovecotLog();
int ImapLogins(const Mailbox &box);
int ImapLogouts(const Mailbox &box);
// Makes dovecot drop every session of box (doveadm kick), as a restart of the server would;
// false when doveadm failed.
bool KickImapSessions(const Mailbox &box);

// ---- TLS ---------------------------------------------------------------------------------

std::string CaFile();      // the CA that signed the servers' certificate
std::string WrongCaFile(); // an unrelated CA: verification against it must fail

// Points SSL_CERT_FILE at CaFile() (or at file), which the mail clients add to the system
// CAs at each connection. Qt itself does not read SSL_CERT_FILE.
void TrustTestCa(const std::string &file = "");

// ---- SMTP --------------------------------------------------------------------------------

struct SmtpServer
{
    std::string host;  // 127.0.0.1 (the certificate also names "localhost")
    int port = 0;      // STARTTLS; AUTH required and refused before TLS
    int smtpsPort = 0; // implicit TLS; AUTH required
    int plainPort = 0; // no TLS, no AUTH
    std::string user;  // AUTH PLAIN / LOGIN credentials
    std::string password;
};
SmtpServer Smtp();

// The server refuses any recipient whose local part starts with this (550), and any
// message whose header has a line starting with RejectHeader (554).
inline constexpr char RefusedRecipientPrefix[] = "nosuchuser";
inline constexpr char RejectHeader[] = "X-Fixture-Reject:";

struct ReceivedMessage
{
    int number = 0;                      // arrival order, from 1
    std::string raw;                     // bytes as received, after dot-unstuffing
    std::string mailFrom;                // envelope sender
    std::vector<std::string> recipients; // envelope recipients that were accepted
    std::string listener;                // "starttls", "smtps" or "plain"
    bool tls = false;                    // the session was encrypted
    std::string authUser;                // "" when the session did not authenticate
    std::string authMechanism;           // "PLAIN", "LOGIN", "XOAUTH2", "OAUTHBEARER" or ""
};

// A recipient address no other test uses: "hint-1a2b3c4d@corvex.test".
std::string UniqueAddress(const std::string &hint);

// Everything the SMTP server stored, in arrival order (all tests share the server).
std::vector<ReceivedMessage> ReceivedMessages();
size_t ReceivedCount();

// Messages with recipient among their envelope recipients (compared ignoring case).
std::vector<ReceivedMessage> ReceivedMessagesTo(const std::string &recipient);

// Pumps events until at least count messages to recipient arrived or timeoutMs passed;
// answers what arrived (compare its size with count).
std::vector<ReceivedMessage> WaitForMessagesTo(const std::string &recipient, size_t count,
                                               int timeoutMs = 10000);

// Pumps events until the server stored at least count messages in all.
bool WaitForReceivedCount(size_t count, int timeoutMs = 10000);

// ---- OAuth2 -------------------------------------------------------------------------------
// The authorization server start.sh runs. Its tokens sign in to dovecot (XOAUTH2 and
// OAUTHBEARER, the account being the POP3 user, e.g. a CreateMailbox user) and to the SMTP
// server (any account).

struct OAuthServer
{
    std::string issuer;   // http://127.0.0.1:PORT; discovery below /.well-known/
    std::string clientId; // the registered client (no secret)
    std::string log;      // its log: request lines, never a token
};
OAuthServer OAuth2();

struct OAuthTokens
{
    std::string accessToken;
    std::string refreshToken;
    int expiresIn = 0; // seconds
};
// A fresh token pair for account, as if it had signed in in the browser. tokenBytes random
// bytes make the access token (about 4/3 as many characters): large ones test long tokens.
OAuthTokens IssueTokens(const std::string &account, int tokenBytes = 32);
// Every access token of account issued so far becomes inactive (refresh tokens stay valid).
// Other accounts keep theirs, so tests running side by side do not disturb each other.
void ExpireAccessTokens(const std::string &account);
// Every refresh and access token of account is revoked.
void RevokeTokens(const std::string &account);
// The server's counts as JSON text: "authorization_code", "refresh", "refresh_refused",
// "introspections", and the same per account below "accounts".
std::string OAuthStats();

// ---- sample messages ---------------------------------------------------------------------
// Generated here, CRLF line ends unless said otherwise. Each knows what a reader should see.

struct Sample
{
    std::string name;    // short description for test output
    std::string raw;     // message bytes
    std::string from;    // From header as it should read decoded (UTF-8)
    std::string to;      // To header value
    std::string subject; // Subject as it should read decoded (UTF-8), unfolded
};

// Fields for building a plain message; every field has a usable default.
struct MessageFields
{
    std::string from = "Alice Example <alice@example.org>";
    std::string to = "Bob Example <bob@example.net>";
    std::string subject = "Quarterly figures";
    std::string date = "Mon, 07 Dec 2026 09:15:00 +0000";
    std::string messageId;                 // "" → a unique one
    std::vector<std::string> extraHeaders; // whole lines without line end
    std::string body = "Hello Bob,\r\n\r\nthe figures are attached.\r\n\r\nAlice\r\n";
};

// A single-part text/plain message from fields (header lines joined with CRLF).
std::string BuildMessage(const MessageFields &fields);
// The same with only sender and subject given.
std::string MessageFrom(const std::string &from, const std::string &subject);
// How many of the raw messages contain text.
int CountContaining(const std::vector<std::string> &messages, const std::string &text);
// How many "*.eml" files lie in folder (saved or rejected copies).
int EmlFilesIn(const std::string &folder);

Sample PlainSample();       // short text/plain, CRLF
Sample BareLfSample();      // the same kind of message with bare LF line ends
Sample MultipartSample();   // text part, HTML alternative and two base64 attachments
Sample LongHeadersSample(); // folded Subject/To/References, a 998-character header line
Sample DotLinesSample();    // body lines ".", "..", ".x", and "." + CRLF sequences
Sample EncodedFromSample(); // From with an encoded display name
// Subjects as RFC 2047 encoded words: UTF-8 B and Q, iso-8859-1, koi8-r, windows-1252,
// adjacent encoded words, and encoded words mixed with plain text.
std::vector<Sample> EncodedSubjectSamples();
// Every sample above in one list.
std::vector<Sample> AllSamples();

// count messages for benchmarks: distinct senders and subjects ("Bulk message 0001 of 1000"),
// bodies of varying length (about 0.5 to 4 KB).
std::vector<std::string> BulkMessages(int count);

} // namespace fixtures
