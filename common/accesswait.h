// A fresh access token for a session that is about to log in, waited for the way the mail
// sessions wait: events keep running, and the wait ends when the program quits.
#pragma once

#include <string>

#include "common/oauth2/store.h"
#include "common/oauth2/tokens.h"

// The longest wait for the provider; it usually answers within a second.
inline constexpr unsigned AccessWaitMs = 60000;

oauth2::TTokenResult AwaitAccessToken(const std::string &dataRoot, oauth2::TPurpose purpose,
                                      const std::string &userId, const std::string &server,
                                      bool forceRefresh = false);
