#include "common/oauth2/provider.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrl>
#include <optional>

#include "common/names.h"
#include "common/net/imapclient.h"
#include "common/net/pop3client.h"
#include "common/platform/files.h"
#include "common/platform/folders.h"
#include "common/text.h"

// The build's client registrations (see the CMake options of the same names); empty unless a
// packager gave them.
#if __has_include("oauth2clients.h")
#include "oauth2clients.h"
#endif
#ifndef CORVEX_OAUTH2_MICROSOFT_CLIENT_ID
#define CORVEX_OAUTH2_MICROSOFT_CLIENT_ID ""
#endif
#ifndef CORVEX_OAUTH2_GOOGLE_CLIENT_ID
#define CORVEX_OAUTH2_GOOGLE_CLIENT_ID ""
#endif
#ifndef CORVEX_OAUTH2_GOOGLE_CLIENT_SECRET
#define CORVEX_OAUTH2_GOOGLE_CLIENT_SECRET ""
#endif

namespace oauth2 {

namespace {

constexpr char MicrosoftBase[] = "https://login.microsoftonline.com/common/oauth2/v2.0/";
constexpr char MicrosoftScopes[] = "https://outlook.office.com/POP.AccessAsUser.All "
                                   "https://outlook.office.com/SMTP.Send offline_access";
constexpr char MicrosoftImapScopes[] = "https://outlook.office.com/IMAP.AccessAsUser.All "
                                       "https://outlook.office.com/SMTP.Send offline_access";
constexpr char GoogleAuthorize[] = "https://accounts.google.com/o/oauth2/v2/auth";
constexpr char GoogleToken[] = "https://oauth2.googleapis.com/token";
constexpr char GoogleRevoke[] = "https://oauth2.googleapis.com/revoke";
constexpr char GoogleScopes[] = "https://mail.google.com/"; // POP3, IMAP and SMTP alike
// An issuer's scopes when the user named none: the account's address and a refresh token.
constexpr char IssuerScopes[] = "openid email offline_access";

constexpr const char *MicrosoftHosts[] = {"outlook.office365.com", "pop-mail.outlook.com",
                                          "smtp.office365.com", "smtp-mail.outlook.com",
                                          "outlook.office.com"};
constexpr const char *MicrosoftDomains[] = {".outlook.com", ".office365.com"};
constexpr const char *GoogleHosts[] = {"pop.gmail.com",       "imap.gmail.com",
                                       "smtp.gmail.com",      "pop.googlemail.com",
                                       "imap.googlemail.com", "smtp.googlemail.com"};

bool IsLoopbackHost(const std::string &host)
{
    return host == "127.0.0.1" || host == "::1" || SameText(host, "localhost");
}

// The URL parsed strictly; null when it is not one a request may go to (no host, or a user
// name or password in it).
std::optional<QUrl> RequestUrl(const std::string &url)
{
    QUrl parsed(QString::fromStdString(url), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.host().isEmpty() || !parsed.userInfo().isEmpty())
        return std::nullopt;
    return parsed;
}

bool IsLoopbackIssuer(const std::string &issuer)
{
    const std::optional<QUrl> parsed = RequestUrl(Trim(issuer));
    return parsed && (parsed->scheme() == "https" || parsed->scheme() == "http") &&
           IsLoopbackHost(parsed->host().toStdString());
}

std::string WithoutTrailingSlash(std::string url)
{
    while (!url.empty() && url.back() == '/')
        url.pop_back();
    return url;
}

// The ClientId and ClientSecret of section in the per-user clients file (an INI file).
bool ReadClientSection(const std::string &section, std::string &id, std::string &secret)
{
    std::string bytes;
    const std::string path = platform::ConfigHome() + "/" + names::KeyFolder + "/" + ClientsFile;
    if (!platform::ReadWholeFile(path, bytes))
        return false;
    bool inSection = false, found = false;
    for (std::string line : SplitText(bytes, '\n')) {
        line = Trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            inSection = SameText(WithoutTrailingSlash(Trim(line.substr(1, line.size() - 2))),
                                 WithoutTrailingSlash(section));
            found = found || inSection;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (!inSection || equals == std::string::npos)
            continue;
        const std::string key = Trim(line.substr(0, equals));
        const std::string value = Trim(line.substr(equals + 1));
        if (SameText(key, "ClientId"))
            id = value;
        else if (SameText(key, "ClientSecret"))
            secret = value;
    }
    return found;
}

std::string JsonText(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toString().toStdString();
}

// The default scopes the issuer lists as supported (all of them when it lists none of them).
std::string DefaultScopes(const QJsonArray &supported)
{
    std::vector<std::string> kept;
    for (const std::string &scope : SplitText(IssuerScopes, ' '))
        if (supported.contains(QString::fromStdString(scope)))
            kept.push_back(scope);
    return kept.empty() ? IssuerScopes : JoinText(kept, " ");
}

} // namespace

TProvider PresetProvider(const std::string &id, const std::string &issuer,
                         const std::string &server)
{
    TProvider provider;
    provider.Id = id;
    if (id == MicrosoftProvider) {
        provider.AuthorizationEndpoint = std::string(MicrosoftBase) + "authorize";
        provider.TokenEndpoint = std::string(MicrosoftBase) + "token";
        provider.Scopes = IsImapAddress(server) ? MicrosoftImapScopes : MicrosoftScopes;
    } else if (id == GoogleProvider) {
        provider.AuthorizationEndpoint = GoogleAuthorize;
        provider.TokenEndpoint = GoogleToken;
        provider.RevocationEndpoint = GoogleRevoke;
        provider.Scopes = GoogleScopes;
    } else {
        provider.Id = IssuerProvider;
        provider.Issuer = issuer;
    }
    return provider;
}

std::string ProviderForServer(const std::string &server)
{
    // Any scheme (pop3s://, imaps://, smtp+tls:// ...) goes, and an IMAP folder path after the
    // host and port.
    const std::string host = LowerCase(Trim(ParseServerAddress(server, 110).Host));
    for (const char *known : MicrosoftHosts)
        if (host == known)
            return MicrosoftProvider;
    for (const char *domain : MicrosoftDomains)
        if (EndsText(host, domain))
            return MicrosoftProvider;
    for (const char *known : GoogleHosts)
        if (host == known)
            return GoogleProvider;
    return {};
}

void FillClient(TProvider &provider)
{
    std::string id, secret;
    const std::string section = provider.Id == IssuerProvider ? provider.Issuer : provider.Id;
    if (!section.empty() && ReadClientSection(section, id, secret)) {
        if (provider.ClientId.empty() || provider.ClientId == id) {
            provider.ClientId = id;
            provider.ClientSecret = secret;
        }
        return;
    }
    if (!provider.ClientId.empty())
        return;
    if (provider.Id == MicrosoftProvider) {
        provider.ClientId = CORVEX_OAUTH2_MICROSOFT_CLIENT_ID;
    } else if (provider.Id == GoogleProvider) {
        provider.ClientId = CORVEX_OAUTH2_GOOGLE_CLIENT_ID;
        provider.ClientSecret = CORVEX_OAUTH2_GOOGLE_CLIENT_SECRET;
    }
}

std::string DiscoveryUrl(const std::string &issuer)
{
    return WithoutTrailingSlash(Trim(issuer)) + "/.well-known/openid-configuration";
}

bool ParseDiscovery(const std::string &json, TProvider &provider, std::string &error)
{
    QJsonParseError parseError{};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray::fromStdString(json), &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject()) {
        error = "the discovery document is not a JSON object";
        return false;
    }
    const QJsonObject object = document.object();
    // Endpoints are taken only from the issuer asked for, compared as text (a closing slash
    // aside, as the issuer field and the clients file take it either way).
    const std::string issuer = JsonText(object, "issuer");
    if (issuer.empty()) {
        error = "the discovery document names no issuer";
        return false;
    }
    if (WithoutTrailingSlash(issuer) != WithoutTrailingSlash(Trim(provider.Issuer))) {
        error = "the discovery document names another issuer";
        return false;
    }
    const std::string authorize = JsonText(object, "authorization_endpoint");
    const std::string token = JsonText(object, "token_endpoint");
    const std::string revoke = JsonText(object, "revocation_endpoint");
    if (authorize.empty() || token.empty()) {
        error = "the discovery document names no authorization or token endpoint";
        return false;
    }
    for (const std::string &endpoint : {authorize, token})
        if (!SafeEndpoint(endpoint, provider.Issuer)) {
            error = "the endpoint " + endpoint.substr(0, 200) +
                    " is not https (plain http is taken only from an issuer on this computer)";
            return false;
        }
    provider.AuthorizationEndpoint = authorize;
    provider.TokenEndpoint = token;
    provider.RevocationEndpoint = SafeEndpoint(revoke, provider.Issuer) ? revoke : std::string();
    if (Trim(provider.Scopes).empty())
        provider.Scopes = DefaultScopes(object.value("scopes_supported").toArray());
    return true;
}

bool SafeEndpoint(const std::string &url, const std::string &issuer)
{
    const std::optional<QUrl> parsed = RequestUrl(url);
    if (!parsed)
        return false;
    if (parsed->scheme() == "https")
        return true;
    return parsed->scheme() == "http" && IsLoopbackHost(parsed->host().toStdString()) &&
           IsLoopbackIssuer(issuer);
}

} // namespace oauth2
