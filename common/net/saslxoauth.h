// SASL sign-in with an OAuth2 access token, for the POP3 and SMTP clients: OAUTHBEARER
// (RFC 7628) and XOAUTH2, the older form Microsoft and Google accept. Builds the client's
// response and reads the error a server sends, as a challenge, when it refuses the token.
#pragma once

#include <string>

enum class TBearerMechanism { XOAuth2, OAuthBearer };

// The mechanism's name in AUTH commands and capability lists.
const char *BearerMechanismName(TBearerMechanism mechanism);

// The client response, base64-encoded. host and port go into OAUTHBEARER only.
std::string BearerResponse(TBearerMechanism mechanism, const std::string &user,
                           const std::string &token, const std::string &host, int port);

// What the client answers to the error challenge so the server ends the exchange with its
// failure reply: an empty line for XOAUTH2, a single %x01 ("AQ==") for OAUTHBEARER.
const char *BearerErrorAnswer(TBearerMechanism mechanism);

// The server's error challenge: base64 of a JSON object such as
// {"status":"401","schemes":"bearer","scope":"..."}. Holds no token: servers send none.
struct TBearerError
{
    bool Json = false; // the challenge was a JSON object
    std::string Status;
    std::string Schemes;
    std::string Scope;
    std::string OpenIdConfiguration; // discovery address the server names, if any

    // The server called the token invalid or expired (HTTP status 401, or the RFC 6750
    // "invalid_token"): a fresh access token may mend it, the same token will not.
    bool Expired() const;
    // The fields for a log line or error text, e.g. `status "401", scope "mail"`; printable
    // ASCII only and cut short; "no error details" without JSON.
    std::string Describe() const;
};

// Reads the challenge text (what follows "+ " or "334 "). Never fails: an unreadable
// challenge gives Json == false.
TBearerError ParseBearerError(const std::string &challenge);
