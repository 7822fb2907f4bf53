// OAuth2 providers: the issuers a mailbox or the outgoing server can sign in with. Two presets
// (Microsoft and Google) carry fixed endpoints and the scopes of the mail server's protocol
// (POP3 or IMAP) and SMTP; any
// other issuer is given by its URL and its endpoints are read from its OpenID discovery
// document. The client ID (and the secret, where a provider wants one from desktop programs)
// comes from the build options, overridden per user by ClientsFile in the user's configuration
// folder.
#pragma once

#include <string>

namespace oauth2 {

inline constexpr char MicrosoftProvider[] = "microsoft";
inline constexpr char GoogleProvider[] = "google";
inline constexpr char IssuerProvider[] = "issuer"; // any other issuer, found by discovery

// The per-user override of client IDs, in the user's configuration folder: one section per
// provider id or issuer URL with ClientId= and ClientSecret=.
inline constexpr char ClientsFile[] = "OAuth2Clients.ini";

struct TProvider
{
    std::string Id;     // MicrosoftProvider, GoogleProvider or IssuerProvider
    std::string Issuer; // the issuer URL for IssuerProvider; empty for a preset
    std::string AuthorizationEndpoint;
    std::string TokenEndpoint;
    std::string RevocationEndpoint; // empty when the provider names none
    std::string Scopes;             // space separated
    std::string ClientId;
    std::string ClientSecret; // empty for a public client
};

// The preset of id (endpoints, and the scopes server needs: those of IMAP for an IMAP address,
// of POP3 otherwise), or for IssuerProvider a provider with only Issuer set; the client ID and
// secret filled in by FillClient.
TProvider PresetProvider(const std::string &id, const std::string &issuer = std::string(),
                         const std::string &server = std::string());

// The preset that serves a mail server ("outlook.office365.com", "pop.gmail.com",
// "imap.gmail.com", ...) given as host or in any form a server field takes; "" when none does.
std::string ProviderForServer(const std::string &server);

// The client ID and secret of provider: the per-user file first, then the build's defaults.
// A client ID already set (typed by the user for an issuer) is kept.
void FillClient(TProvider &provider);

// The URL of the OpenID discovery document of issuer.
std::string DiscoveryUrl(const std::string &issuer);

// Reads an OpenID discovery document into provider's endpoints (and Scopes, when empty, from
// what the issuer supports). False with error when it is not JSON, lacks the authorization or
// token endpoint, names no issuer or another one than provider.Issuer (the same text but for a
// closing slash), or an endpoint is not safe for that issuer (SafeEndpoint).
bool ParseDiscovery(const std::string &json, TProvider &provider, std::string &error);

// True for https URLs, and for http URLs to 127.0.0.1, [::1] or localhost when the issuer is
// itself on this computer. An issuer elsewhere (or a preset, issuer "") gets https only: any
// local program may hold a local port, and the code, verifier, tokens and client secret must
// never reach it in clear.
bool SafeEndpoint(const std::string &url, const std::string &issuer);

} // namespace oauth2
