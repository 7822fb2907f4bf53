// The mail servers known to speak TLS: each offered STLS (POP3) or STARTTLS (SMTP) on a
// clear-text connection once. Such a server never gets a login in clear text again, so someone
// who takes the offer out of a later connection learns no password. The list is the file
// names::TlsServersFile in the data root, one "protocol://host:port" a line; without a data
// root (no Globals) nothing is known or remembered.
//
// The list fails closed: what this process learnt stays known even when the file cannot be
// written, and while a file that exists cannot be read every server counts as one that speaks
// TLS.
#pragma once

#include <functional>
#include <string>

inline constexpr char TlsProtocolPop3[] = "pop3";
inline constexpr char TlsProtocolImap[] = "imap";
inline constexpr char TlsProtocolSmtp[] = "smtp";

bool KnownTlsServer(const char *protocol, const std::string &host, int port);
// Why every server counts as one that speaks TLS for now (the list exists but cannot be read),
// or "" when the list answers for itself.
std::string TlsListProblem();
// Adds the server to the list (written atomically, owner-only) and to what this process knows.
// False when the file could not be written: the server is then known to this process only.
bool RememberTlsServer(const char *protocol, const std::string &host, int port);
// Told, once until a write works again, that the list cannot be written (the text says so and
// where); the monitor shows it to the user. Without a handler it is only logged.
void SetTlsListUnwritableHandler(std::function<void(const std::string &text)> handler);
