// The tokens of one sign-in and the replies of a token endpoint. ParseTokenReply is pure so
// that hostile replies can be fuzzed; no error text it makes ever holds a token or secret.
#pragma once

#include <cstdint>
#include <string>

namespace oauth2 {

struct TTokens
{
    std::string AccessToken;
    std::string RefreshToken;
    int64_t ExpiresAt = 0; // seconds since the epoch; 0 when the provider did not say
    std::string Account;   // the account signed in (from the ID token), "" when not told
    bool operator==(const TTokens &) const = default;
};

enum class TTokenFailure {
    None,
    Refused,     // the provider refused the grant (invalid_grant, revoked): sign in again
    Unreachable, // no answer, a network error or a server error: try again later
    Invalid,     // an answer that is not a token reply
    Cancelled,   // the user ended the sign-in
    TimedOut     // the browser never came back
};

struct TTokenResult
{
    TTokenFailure Failure = TTokenFailure::None;
    TTokens Tokens;
    std::string ErrorText; // why it failed, in words; never a token or secret
    bool Ok() const { return Failure == TTokenFailure::None; }
};

// A result that failed for the reason text (never a token or secret).
TTokenResult FailedResult(TTokenFailure failure, std::string text);

// Reads a token endpoint's reply. now gives ExpiresAt from expires_in. A refresh reply without
// a refresh token keeps the old one (the caller merges). The account comes from the ID token's
// email or preferred_username claim (its signature is not checked: it only labels the entry).
TTokenResult ParseTokenReply(int httpStatus, const std::string &body, int64_t now);

} // namespace oauth2
