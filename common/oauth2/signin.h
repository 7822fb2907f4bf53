// The browser sign-in of a desktop program: authorization code with PKCE (S256). The sign-in
// page opens in the user's browser through platform::Opener(); the provider redirects to
// http://127.0.0.1:<free port>/ where a listener waits for the one request that carries this
// sign-in's state (others are answered 400 and the listener waits on), then closes. The code
// is then exchanged for tokens, and the browser's page tells whether that worked. The listener
// also closes on Cancel and after TimeOutMs. Each request to the provider ends within
// DeadlineMs. Nothing here blocks: results come through OnFinished while the caller's event
// loop runs.
//
// TRefresh and TDiscovery are the two other requests to a provider: a refresh grant and the
// reading of an issuer's discovery document.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

#include "common/oauth2/http.h"
#include "common/oauth2/provider.h"
#include "common/oauth2/tokens.h"

class QNetworkAccessManager;
class QTcpServer;

namespace oauth2 {

struct TPkce
{
    std::string Verifier;  // 43..128 characters of [A-Za-z0-9-._~]
    std::string Challenge; // BASE64URL(SHA256(Verifier)) without padding
};
TPkce MakePkce();

// The authorization request URL (response_type=code, S256 challenge, state; login_hint when
// loginHint is not empty).
std::string AuthorizationUrl(const TProvider &provider, const std::string &redirectUri,
                             const std::string &state, const TPkce &pkce,
                             const std::string &loginHint);

class TSignIn : public QObject
{
public:
    static constexpr int TimeOutMs = 5 * 60 * 1000;
    explicit TSignIn(QObject *parent = nullptr);
    ~TSignIn() override;

    int DeadlineMs = RequestDeadlineMs; // of the code's exchange for tokens

    // Called once per Start: tokens, or why there are none.
    std::function<void(const TTokenResult &)> OnFinished;

    // provider must be complete (endpoints and client ID). loginHint pre-fills the account.
    void Start(const TProvider &provider, const std::string &loginHint);
    void Cancel(); // finishes with Cancelled when a sign-in runs
    bool Running() const;

private:
    struct TState;
    std::unique_ptr<TState> State;
};

// One refresh grant.
class TRefresh : public QObject
{
public:
    explicit TRefresh(QObject *parent = nullptr);
    ~TRefresh() override;
    int DeadlineMs = RequestDeadlineMs;
    std::function<void(const TTokenResult &)> OnFinished;
    void Start(const TProvider &provider, const std::string &refreshToken);

private:
    struct TState;
    std::unique_ptr<TState> State;
};

// Reads the discovery document of an issuer into a provider.
class TDiscovery : public QObject
{
public:
    explicit TDiscovery(QObject *parent = nullptr);
    ~TDiscovery() override;
    int DeadlineMs = RequestDeadlineMs;
    std::function<void(bool ok, const TProvider &provider, const std::string &error)> OnFinished;
    void Start(const TProvider &issuerProvider); // Id IssuerProvider, Issuer set

private:
    struct TState;
    std::unique_ptr<TState> State;
};

} // namespace oauth2
