// What the mail clients keep about a server from one connection to the next, in this process
// only: the TLS session ticket of the last connection, so the next one resumes the session
// (the server skips sending and proving its certificate again), and whether the short login is
// used at all. Nothing here is written to disk: a ticket is a key to a session and stays in
// memory. Servers are told apart by protocol, host and port as the user wrote them, so a
// ticket is only offered to the name it was issued under, and only while the certificates
// trusted are those that verified the server then (a resumed session is not verified again).
#pragma once

#include <string>

class QSslSocket;

// The short login: pipelined login commands, the initial SASL response, no command whose
// answer is known and TLS session resumption. On by default; off gives the login of one
// command at a time (benchmarks compare the two in one run).
bool ShortLogin();
void SetShortLogin(bool on);

// The key of a server in the memory: "pop3://host:port".
std::string LoginMemoryKey(const char *protocol, const std::string &host, int port);

// Prepares the socket to resume the session last held with the server under key and to keep
// each new ticket the server sends. Call before the connection starts; does nothing when the
// short login is off.
void ResumeTlsSession(QSslSocket &socket, const std::string &key);
// Forgets every ticket (the next connection to each server makes a full handshake).
void ForgetTlsSessions();
