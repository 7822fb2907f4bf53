#include "korrind/signinchoice.h"

#include <algorithm>

#include "common/oauth2/signin.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

TProviderChoice ChoiceOfProvider(const std::string &providerId)
{
    if (providerId == oauth2::MicrosoftProvider)
        return TProviderChoice::Microsoft;
    if (providerId == oauth2::GoogleProvider)
        return TProviderChoice::Google;
    return TProviderChoice::Issuer;
}

std::string ProviderIdOf(TProviderChoice choice, const std::string &server)
{
    switch (choice) {
    case TProviderChoice::Automatic:
        return oauth2::ProviderForServer(server);
    case TProviderChoice::Microsoft:
        return oauth2::MicrosoftProvider;
    case TProviderChoice::Google:
        return oauth2::GoogleProvider;
    case TProviderChoice::Issuer:
        break;
    }
    return oauth2::IssuerProvider;
}

// Whether tokens granted for scopes serve server: a preset asks other scopes for IMAP than for
// POP3 (Microsoft), so a mailbox moved from one to the other signs in anew.
bool ScopesFit(const std::string &providerId, const std::string &scopes, const std::string &server)
{
    if (scopes.empty() || providerId == oauth2::IssuerProvider)
        return true;
    return scopes == oauth2::PresetProvider(providerId, "", server).Scopes;
}

// The store as it is on disk; a file set aside is reported, and the store starts empty.
oauth2::TStore LoadedStore(const std::string &dataRoot)
{
    oauth2::TStore store(dataRoot);
    store.Load();
    if (!store.LoadError().empty() && Utils)
        Utils->DebugLog("%s", store.LoadError().c_str());
    return store;
}

} // namespace

TSignInChoice StoredChoice(const std::string &dataRoot, oauth2::TPurpose purpose,
                           const std::string &userId, const std::string &server)
{
    TSignInChoice choice;
    const oauth2::TStore store = LoadedStore(dataRoot);
    const oauth2::TEntry *entry = store.Find(purpose, userId, server);
    if (entry == nullptr)
        return choice;
    choice.OAuth2 = true;
    choice.Provider = ChoiceOfProvider(entry->ProviderId);
    choice.Issuer = entry->Issuer;
    choice.ClientId = entry->ClientId;
    choice.Scopes = entry->Scopes;
    choice.Tokens = entry->Tokens;
    choice.SignInNeeded = entry->SignInNeeded;
    return choice;
}

oauth2::TProvider ChoiceProvider(const TSignInChoice &choice, const std::string &server,
                                 std::string &problem)
{
    problem.clear();
    const std::string id = ProviderIdOf(choice.Provider, server);
    if (id.empty()) {
        problem = signintext::NoProvider;
        return {};
    }
    const std::string issuer = Trim(choice.Issuer);
    if (id == oauth2::IssuerProvider && issuer.empty()) {
        problem = signintext::NoIssuer;
        return {};
    }
    oauth2::TProvider provider = oauth2::PresetProvider(id, issuer, server);
    provider.ClientId = Trim(choice.ClientId);
    oauth2::FillClient(provider);
    if (provider.ClientId.empty())
        problem = signintext::NoClientId;
    return provider;
}

std::string SignInStateText(const TSignInChoice &choice)
{
    if (!choice.SignInNeeded.empty())
        return std::string(signintext::SignInNeeded) + ": " + choice.SignInNeeded;
    if (choice.Tokens.RefreshToken.empty() && choice.Tokens.AccessToken.empty())
        return signintext::NotSignedIn;
    if (choice.Tokens.Account.empty())
        return signintext::SignedIn;
    return Format(signintext::SignedInAs, choice.Tokens.Account.c_str());
}

bool SameProvider(const TSignInChoice &a, const TSignInChoice &b, const std::string &server)
{
    const std::string id = ProviderIdOf(a.Provider, server);
    if (id != ProviderIdOf(b.Provider, server))
        return false;
    return id != oauth2::IssuerProvider ||
           (Trim(a.Issuer) == Trim(b.Issuer) && Trim(a.ClientId) == Trim(b.ClientId));
}

bool StoreChoice(const std::string &dataRoot, oauth2::TPurpose purpose,
                 const std::string &oldUserId, const std::string &oldServer,
                 const std::string &newUserId, const std::string &newServer,
                 const TSignInChoice &choice, std::string &error)
{
    oauth2::TStore store = LoadedStore(dataRoot);
    // The entry of a changed key stays until the main window's changes are saved (see
    // PruneChoices): until then the mailbox as stored may still use it.
    const bool sameKey = oldUserId == newUserId && oldServer == newServer;
    if (!choice.OAuth2)
        return !sameKey || !store.Remove(purpose, newUserId, newServer) || store.Save(error);

    oauth2::TEntry entry;
    entry.Purpose = purpose;
    entry.UserId = newUserId;
    entry.Server = newServer;
    entry.ProviderId = ProviderIdOf(choice.Provider, newServer);
    if (entry.ProviderId == oauth2::IssuerProvider) {
        entry.Issuer = Trim(choice.Issuer);
        entry.ClientId = Trim(choice.ClientId);
    }
    const oauth2::TEntry *stored = store.Find(purpose, newUserId, newServer);
    if (!stored)
        stored = store.Find(purpose, oldUserId, oldServer);
    if (choice.SignedInHere && ScopesFit(entry.ProviderId, choice.Scopes, newServer)) {
        entry.Scopes = choice.Scopes;
        entry.Tokens = choice.Tokens;
    } else if (stored && stored->ProviderId == entry.ProviderId && stored->Issuer == entry.Issuer &&
               stored->ClientId == entry.ClientId &&
               ScopesFit(stored->ProviderId, stored->Scopes, newServer)) {
        // Tokens go only to the provider and client they were issued by.
        entry.Scopes = stored->Scopes;
        entry.Tokens = stored->Tokens;
        entry.SignInNeeded = stored->SignInNeeded;
    }
    const oauth2::TEntry *current = store.Find(purpose, newUserId, newServer);
    if (current && *current == entry)
        return true;
    store.Put(entry);
    return store.Save(error);
}

bool PruneChoices(const std::string &dataRoot, const TListRows &mailboxes,
                  const std::string &smtpUserId, const std::string &smtpServer)
{
    oauth2::TStore store = LoadedStore(dataRoot);
    const std::vector<oauth2::TEntry> entries = store.Entries();
    bool changed = false;
    for (const oauth2::TEntry &entry : entries) {
        // The same key as the store's lookup: the user ID exactly, the server in any case.
        auto uses = [&entry](const std::string &userId, const std::string &server) {
            return userId == entry.UserId && SameText(Trim(server), Trim(entry.Server));
        };
        const bool used =
            entry.Purpose == oauth2::TPurpose::Outgoing
                ? uses(smtpUserId, smtpServer)
                : std::any_of(mailboxes.begin(), mailboxes.end(), [&uses](const TListRow &row) {
                      return uses(row.Caption, row.Cell(mcMailServer));
                  });
        if (!used)
            changed = store.Remove(entry.Purpose, entry.UserId, entry.Server) || changed;
    }
    std::string error;
    if (!changed || store.Save(error))
        return true;
    if (Utils)
        Utils->DebugLog("Can't remove the sign-ins no longer used: %s", error.c_str());
    return false;
}

// ---- the browser sign-in

TSignInFlow::TSignInFlow(QObject *parent)
    : QObject(parent), Discovery(std::make_unique<oauth2::TDiscovery>()),
      Browser(std::make_unique<oauth2::TSignIn>())
{
    Discovery->OnFinished = [this](bool ok, const oauth2::TProvider &provider,
                                   const std::string &error) {
        if (!Busy)
            return;
        if (ok)
            SignIn(provider);
        else
            Fail(error);
    };
    Browser->OnFinished = [this](const oauth2::TTokenResult &result) { Finish(result); };
}

TSignInFlow::~TSignInFlow() = default;

void TSignInFlow::Start(const TSignInChoice &choice, const std::string &server,
                        const std::string &loginHint)
{
    if (Busy)
        return;
    std::string problem;
    oauth2::TProvider provider = ChoiceProvider(choice, server, problem);
    Busy = true;
    LoginHint = loginHint;
    if (!problem.empty())
        Fail(problem);
    else if (provider.Id == oauth2::IssuerProvider)
        Discovery->Start(provider);
    else
        SignIn(provider);
}

void TSignInFlow::SignIn(const oauth2::TProvider &provider)
{
    Scopes = provider.Scopes;
    Browser->Start(provider, LoginHint);
}

void TSignInFlow::Cancel()
{
    if (Browser->Running())
        Browser->Cancel();
    else if (Busy)
        Fail("cancelled");
}

void TSignInFlow::Fail(const std::string &why)
{
    Finish(oauth2::FailedResult(oauth2::TTokenFailure::Invalid, why));
}

void TSignInFlow::Finish(const oauth2::TTokenResult &result)
{
    Busy = false;
    if (OnFinished)
        OnFinished(result, Scopes);
}
