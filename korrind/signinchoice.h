// How a mailbox or the outgoing server signs in: with its password, or with OAuth2 through a
// provider. The choice of an OAuth2 sign-in lives in the sign-in store (oauth2::TStore), keyed
// by purpose, user ID and server; the record's password then stays empty. TSignInFlow runs the
// browser sign-in for a choice (reading an issuer's discovery document first). No window code
// here: the editors show a TSignInBox that reads and writes a TSignInChoice.
#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

#include "common/listrows.h"
#include "common/oauth2/provider.h"
#include "common/oauth2/store.h"
#include "common/oauth2/tokens.h"

namespace signintext {
inline constexpr char GroupTitle[] = "Sign In";
inline constexpr char MethodCaption[] = "Sign in with:";
inline constexpr char PasswordChoice[] = "Password";
inline constexpr char OAuth2Choice[] = "OAuth2";
inline constexpr char ProviderCaption[] = "Provider:";
inline constexpr char IssuerCaption[] = "Issuer URL:";
inline constexpr char ClientIdCaption[] = "Client ID:";
inline constexpr char SignInButton[] = "Sign in";
inline constexpr char SignedInAs[] = "Signed in as %s";
inline constexpr char SignedIn[] = "Signed in";
inline constexpr char NotSignedIn[] = "Not signed in yet";
inline constexpr char SigningIn[] = "Finish the sign-in in your browser";
inline constexpr char SignInFailed[] = "Sign-in failed: %s";
inline constexpr char NoProvider[] = "no provider is known for the server: choose one";
inline constexpr char NoIssuer[] = "the issuer URL is missing";
inline constexpr char NoClientId[] = "no client ID for this provider";
inline constexpr char SignInNeeded[] = "Sign-in Needed";
inline constexpr char SignInMenuItem[] = "Sign In…";
} // namespace signintext

// The providers offered, in the order the editors list them.
enum class TProviderChoice { Automatic, Microsoft, Google, Issuer };
inline constexpr const char *ProviderChoiceNames[] = {"Automatic", "Microsoft", "Google",
                                                      "Other issuer"};

struct TSignInChoice
{
    bool OAuth2 = false;
    TProviderChoice Provider = TProviderChoice::Automatic;
    std::string Issuer;   // for TProviderChoice::Issuer
    std::string ClientId; // typed for an issuer; empty: the build's or the per-user file's
    std::string Scopes;   // those the sign-in asked for
    oauth2::TTokens Tokens;
    std::string SignInNeeded; // why the stored sign-in must be renewed; "" when it need not
    // Scopes and Tokens come from a sign-in the editor ran for this provider, issuer and
    // client; otherwise they are only what the store held when the editor opened.
    bool SignedInHere = false;
};

// Whether a and b sign in with the same provider, issuer and client for server.
bool SameProvider(const TSignInChoice &a, const TSignInChoice &b, const std::string &server);

// What the store holds for the key: a password sign-in when it holds no entry.
TSignInChoice StoredChoice(const std::string &dataRoot, oauth2::TPurpose purpose,
                           const std::string &userId, const std::string &server);

// The provider the choice signs in with for server, its client filled in (FillClient); an
// automatic choice resolves by the server name. problem says why it cannot sign in ("" when
// it can; discovery may still fail for an issuer).
oauth2::TProvider ChoiceProvider(const TSignInChoice &choice, const std::string &server,
                                 std::string &problem);

// The line the editors show under the sign-in button for the choice.
std::string SignInStateText(const TSignInChoice &choice);

// Writes the choice for the key (newUserId, newServer): an OAuth2 choice puts its entry, a
// password choice removes the entry of an unchanged key. The entry of the key the record had
// (oldUserId, oldServer) is kept for PruneChoices. The entry gets the choice's tokens only when
// it signed in here; otherwise it keeps the tokens stored now (those of the new key, else of
// the old one), which the monitor may have renewed while the editor was open, and none when
// the provider, issuer or client changed or the tokens' scopes are not those a preset asks for
// newServer (a mailbox moved between POP3 and IMAP). Nothing is written when nothing changed.
// False with error when the store could not be written.
bool StoreChoice(const std::string &dataRoot, oauth2::TPurpose purpose,
                 const std::string &oldUserId, const std::string &oldServer,
                 const std::string &newUserId, const std::string &newServer,
                 const TSignInChoice &choice, std::string &error);

// Removes the entries that neither a mailbox nor the outgoing server uses (a mailbox removed,
// renamed or moved to another server). Called once the main window's changes are saved, so
// that changes thrown away never cost a mailbox its sign-in.
bool PruneChoices(const std::string &dataRoot, const TListRows &mailboxes,
                  const std::string &smtpUserId, const std::string &smtpServer);

namespace oauth2 {
class TDiscovery;
class TSignIn;
} // namespace oauth2

// One browser sign-in for a choice: the discovery document of an issuer first, then the
// authorization in the browser. Finishes once per Start through OnFinished, with the tokens
// and the scopes the provider was asked for.
class TSignInFlow : public QObject
{
public:
    explicit TSignInFlow(QObject *parent = nullptr);
    ~TSignInFlow() override;

    std::function<void(const oauth2::TTokenResult &result, const std::string &scopes)> OnFinished;

    void Start(const TSignInChoice &choice, const std::string &server,
               const std::string &loginHint);
    void Cancel();
    bool Running() const { return Busy; }

private:
    void SignIn(const oauth2::TProvider &provider);
    void Finish(const oauth2::TTokenResult &result);
    void Fail(const std::string &why);

    std::unique_ptr<oauth2::TDiscovery> Discovery;
    std::unique_ptr<oauth2::TSignIn> Browser;
    std::string LoginHint;
    std::string Scopes;
    bool Busy = false;
};
