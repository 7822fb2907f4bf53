// The mail servers known to speak TLS: each offered STLS (POP3) or STARTTLS (SMTP) on a
// clear-text connection once. Such a server never gets a login in clear text again, so someone
// who takes the offer out of a later connection learns no password. The list is the file
// names::TlsServersFile in the data root, one "protocol://host:port" a line; without a data
// root (no Globals) nothing is known or remembered.
#pragma once

#include <string>

inline constexpr char TlsProtocolPop3[] = "pop3";
inline constexpr char TlsProtocolSmtp[] = "smtp";

bool KnownTlsServer(const char *protocol, const std::string &host, int port);
// Adds the server to the list (written atomically, owner-only). False, with a debug-log line,
// when the list cannot be read or written.
bool RememberTlsServer(const char *protocol, const std::string &host, int port);
