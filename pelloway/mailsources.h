// The mail programs a Linux user has, read for their POP3 and IMAP accounts and outgoing
// servers: Thunderbird (profiles.ini and each profile's prefs.js), Evolution (its .source files)
// and KMail (its POP3 and IMAP resources, mail transports and identities). Each reader only reads,
// looks only where its program keeps its files, and writes a line to the debug log for a file it
// cannot use.
#pragma once

#include <string>
#include <vector>

enum class TTlsMode { Plain, StartTls, Implicit };

// One incoming POP3 or IMAP account or one outgoing server another mail program knows.
struct TFoundAccount
{
    std::string Source; // the program it came from: "Thunderbird", "Evolution", ...
    std::string Host;
    bool Imap = false; // an IMAP account; else POP3 (or an outgoing server)
    int Port = 0;      // 0: the protocol's usual port for the TLS mode
    TTlsMode Tls = TTlsMode::Plain;
    std::string UserId;     // the login
    std::string SenderName; // outgoing servers: display name of an identity sending through it
    bool OAuth2 = false;    // signs in with OAuth2 (no password to give)
    bool Default = false;   // outgoing servers: the one the program sends through by default
};

struct TFoundAccounts
{
    std::vector<TFoundAccount> Mailboxes; // POP3 and IMAP accounts
    std::vector<TFoundAccount> SmtpServers;
};

// home: the user's home folder; configHome: $XDG_CONFIG_HOME (or ~/.config). Each program is
// looked for in its usual folders and in those of its flatpak.
void ReadThunderbird(const std::string &home, TFoundAccounts &found);
void ReadEvolution(const std::string &home, const std::string &configHome, TFoundAccounts &found);
void ReadKMail(const std::string &home, const std::string &configHome, TFoundAccounts &found);

// The POP3 server as a mailbox record keeps it: "host", "host:port", "pop3s://host[:port]", or
// "pop3+tls://host[:port]" for an account that requires STARTTLS.
std::string Pop3ServerText(const TFoundAccount &account);
// The IMAP server as a mailbox record keeps it: "imap://host[:port]" (STARTTLS when offered),
// "imaps://host[:port]", or "imap+tls://host[:port]" for an account that requires STARTTLS.
std::string ImapServerText(const TFoundAccount &account);
// The incoming server of a mailbox: ImapServerText for IMAP accounts, else Pop3ServerText.
std::string MailboxServerText(const TFoundAccount &account);
// The outgoing server as the settings keep it: "host", "host:port", "smtps://host[:port]", or
// "smtp+tls://host[:port]" for a server that requires STARTTLS.
std::string SmtpServerText(const TFoundAccount &account);

// Writes "Mailbox import: <what>" to the debug log (when the program has one).
void LogImport(const std::string &what);
