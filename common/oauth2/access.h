// A usable access token before each session: the stored one while it lives at least
// MinLifetimeSeconds more, else a refresh grant whose tokens are saved at once. A refused
// refresh marks the entry "sign-in needed" (saved, with the provider's reason) and is not
// tried again until the user signs in; a provider that cannot be reached leaves the entry as
// it is. Never opens a browser.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

#include "common/oauth2/store.h"

namespace oauth2 {

class TAccess : public QObject
{
public:
    static constexpr int64_t MinLifetimeSeconds = 120;
    explicit TAccess(std::string dataRoot, QObject *parent = nullptr);
    ~TAccess() override;

    // Tokens.AccessToken is set on success. Refused: the entry now needs a sign-in.
    std::function<void(const TTokenResult &)> OnFinished;

    // forceRefresh: the server refused the stored token although it had not expired.
    void Start(TPurpose purpose, const std::string &userId, const std::string &server,
               bool forceRefresh = false);

private:
    struct TState;
    std::unique_ptr<TState> State;
};

// Whether the mailbox or outgoing server signs in with OAuth2 (an entry exists).
bool SignsInWithOAuth2(const std::string &dataRoot, TPurpose purpose, const std::string &userId,
                       const std::string &server);

} // namespace oauth2
