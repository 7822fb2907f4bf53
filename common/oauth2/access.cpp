#include "common/oauth2/access.h"

#include <QTimer>

#include "common/oauth2/http.h"
#include "common/oauth2/signin.h"
#include "common/oauth2/storeread.h"

namespace oauth2 {

namespace {

constexpr char NoEntryText[] = "no OAuth2 sign-in is stored for this server";
constexpr char FirstSignInText[] = "a first sign-in is needed";
constexpr char RefusedText[] = "the provider refused to renew the sign-in";

TProvider EntryProvider(const TEntry &entry)
{
    TProvider provider = PresetProvider(entry.ProviderId, entry.Issuer, entry.Server);
    provider.ClientId = entry.ClientId;
    if (!entry.Scopes.empty())
        provider.Scopes = entry.Scopes;
    FillClient(provider);
    return provider;
}

} // namespace

struct TAccess::TState
{
    TAccess &Owner;
    std::string DataRoot;
    TPurpose Purpose = TPurpose::Mailbox;
    std::string UserId;
    std::string Server;
    TDiscovery *Discovery = nullptr;
    TRefresh *Refresh = nullptr;

    TState(TAccess &owner, std::string dataRoot) : Owner(owner), DataRoot(std::move(dataRoot)) {}
    void FinishLater(const TTokenResult &result);
    void Finish(const TTokenResult &result);
    void RefreshWith(const TProvider &provider, const std::string &refreshToken);
    std::string Save(const TTokenResult &result);
};

TAccess::TAccess(std::string dataRoot, QObject *parent)
    : QObject(parent), State(std::make_unique<TState>(*this, std::move(dataRoot)))
{
    State->Discovery = new TDiscovery(this);
    State->Refresh = new TRefresh(this);
}

TAccess::~TAccess() = default;

void TAccess::Start(TPurpose purpose, const std::string &userId, const std::string &server,
                    bool forceRefresh)
{
    TState &state = *State;
    state.Purpose = purpose;
    state.UserId = userId;
    state.Server = server;
    TStore store(state.DataRoot);
    store.Load();
    if (!store.LoadError().empty()) // set aside, or sealed with another key file
        return state.FinishLater(FailedResult(TTokenFailure::Refused, store.LoadError()));
    const TEntry *found = store.Find(purpose, userId, server);
    if (!found)
        return state.FinishLater(FailedResult(TTokenFailure::Invalid, NoEntryText));
    const TEntry entry = *found;
    if (!entry.SignInNeeded.empty())
        return state.FinishLater(FailedResult(TTokenFailure::Refused, entry.SignInNeeded));
    const TTokens &tokens = entry.Tokens;
    const bool lives =
        tokens.ExpiresAt == 0 || tokens.ExpiresAt - NowSeconds() >= MinLifetimeSeconds;
    if (!tokens.AccessToken.empty() && lives && !forceRefresh) {
        TTokenResult result;
        result.Tokens = tokens;
        return state.FinishLater(result);
    }
    if (tokens.RefreshToken.empty())
        return state.FinishLater(FailedResult(TTokenFailure::Refused, FirstSignInText));

    TProvider provider = EntryProvider(entry);
    if (provider.Id != IssuerProvider)
        return state.RefreshWith(provider, tokens.RefreshToken);
    state.Discovery->OnFinished = [this, refreshToken = tokens.RefreshToken](
                                      bool ok, const TProvider &found, const std::string &error) {
        if (!ok)
            return State->Finish(FailedResult(TTokenFailure::Unreachable, error));
        State->RefreshWith(found, refreshToken);
    };
    state.Discovery->Start(provider);
}

void TAccess::TState::RefreshWith(const TProvider &provider, const std::string &refreshToken)
{
    Refresh->OnFinished = [this](const TTokenResult &result) {
        TTokenResult saved = result;
        const std::string error = Save(result);
        if (!error.empty())
            saved.ErrorText = error;
        Finish(saved);
    };
    Refresh->Start(provider, refreshToken);
}

// The outcome of a refresh goes to the entry as stored now: new tokens, or the refusal that
// makes the entry wait for a sign-in. A provider that could not be reached changes nothing.
// Answers why the outcome could not be saved ("" when it was, or needed no saving).
std::string TAccess::TState::Save(const TTokenResult &result)
{
    if (!result.Ok() && result.Failure != TTokenFailure::Refused)
        return {};
    TStore store(DataRoot);
    store.Load();
    if (!store.LoadError().empty())
        return store.LoadError();
    const TEntry *found = store.Find(Purpose, UserId, Server);
    if (!found)
        return {}; // removed meanwhile: the mailbox no longer signs in with OAuth2
    TEntry entry = *found;
    if (result.Ok()) {
        const std::string account = entry.Tokens.Account;
        entry.Tokens = result.Tokens;
        if (entry.Tokens.Account.empty())
            entry.Tokens.Account = account;
        entry.SignInNeeded.clear();
    } else {
        entry.SignInNeeded = result.ErrorText.empty() ? RefusedText : result.ErrorText;
    }
    store.Put(entry);
    std::string error;
    if (!store.Save(error))
        return "the renewed sign-in could not be saved in " + store.Path() + ": " + error;
    return {};
}

void TAccess::TState::FinishLater(const TTokenResult &result)
{
    QTimer::singleShot(0, &Owner, [this, result] { Finish(result); });
}

void TAccess::TState::Finish(const TTokenResult &result)
{
    const auto finished = Owner.OnFinished;
    if (finished)
        finished(result);
}

bool SignsInWithOAuth2(const std::string &dataRoot, TPurpose purpose, const std::string &userId,
                       const std::string &server)
{
    return StoredEntryExists(dataRoot, purpose, userId, server);
}

} // namespace oauth2
