// OAuth2 sign-in: the parsers of provider answers, the sealed sign-in file, and the whole
// flow against the local authorization server (discovery, browser sign-in, refresh, revoke).
#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpSocket>
#include <QUrlQuery>
#include <gtest/gtest.h>

#include "common/encrypt.h"
#include "common/names.h"
#include "common/net/imapclient.h"
#include "common/oauth2/access.h"
#include "common/oauth2/signin.h"
#include "common/oauth2/store.h"
#include "common/oauth2/storeread.h"
#include "common/platform/folders.h"
#include "support/fixtures.h"
#include "support/testbrowser.h"
#include "support/testenv.h"

using namespace oauth2;

namespace {

std::string Jwt(const std::string &claims)
{
    auto part = [](const std::string &text) {
        return QByteArray::fromStdString(text)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
            .toStdString();
    };
    return part(R"({"alg":"none"})") + "." + part(claims) + ".";
}

// Runs starter and waits for the OnFinished of one of the request classes.
template <typename T, typename Start> TTokenResult Finished(T &request, Start start)
{
    bool done = false;
    TTokenResult result;
    request.OnFinished = [&](const TTokenResult &answer) { result = answer, done = true; };
    start();
    EXPECT_TRUE(fixtures::WaitUntil([&] { return done; }, 15000));
    return result;
}

TProvider Discovered(const std::string &issuer, const std::string &clientId)
{
    TDiscovery discovery;
    bool done = false, ok = false;
    TProvider found;
    discovery.OnFinished = [&](bool success, const TProvider &provider, const std::string &) {
        ok = success, found = provider, done = true;
    };
    TProvider wanted = PresetProvider(IssuerProvider, issuer);
    wanted.ClientId = clientId;
    discovery.Start(wanted);
    EXPECT_TRUE(fixtures::WaitUntil([&] { return done; }));
    EXPECT_TRUE(ok);
    return found;
}

QJsonObject AccountStats(const std::string &account)
{
    const QJsonObject stats =
        QJsonDocument::fromJson(QByteArray::fromStdString(fixtures::OAuthStats())).object();
    return stats.value("accounts").toObject().value(QString::fromStdString(account)).toObject();
}

int Count(const std::string &account, const char *what)
{
    return AccountStats(account).value(what).toInt();
}

// The port of the loopback redirect named in a sign-in URL.
int RedirectPort(const std::string &signInUrl)
{
    const QUrlQuery query{QUrl(QString::fromStdString(signInUrl))};
    return QUrl(query.queryItemValue("redirect_uri", QUrl::FullyDecoded)).port();
}

bool Listening(int port)
{
    QTcpSocket socket;
    socket.connectToHost("127.0.0.1", quint16(port));
    return socket.waitForConnected(2000);
}

// A GET as any local program may send it: the HTTP status and the page.
std::pair<int, std::string> Fetch(const std::string &url)
{
    QNetworkAccessManager network;
    QNetworkReply *reply = network.get(QNetworkRequest(QUrl(QString::fromStdString(url))));
    EXPECT_TRUE(fixtures::WaitUntil([reply] { return reply->isFinished(); }));
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    return {status, reply->readAll().toStdString()};
}

} // namespace

TEST(OAuth2Providers, PresetsServersAndEndpoints)
{
    EXPECT_EQ(ProviderForServer("outlook.office365.com"), MicrosoftProvider);
    EXPECT_EQ(ProviderForServer("pop3s://Pop-Mail.Outlook.com:995"), MicrosoftProvider);
    EXPECT_EQ(ProviderForServer("smtp+tls://smtp.office365.com:587"), MicrosoftProvider);
    EXPECT_EQ(ProviderForServer("smtps://smtp.gmail.com"), GoogleProvider);
    EXPECT_EQ(ProviderForServer("pop.gmail.com"), GoogleProvider);
    EXPECT_EQ(ProviderForServer("imaps://imap.gmail.com/Lists/Work"), GoogleProvider);
    EXPECT_EQ(ProviderForServer("pop.example.com"), "");
    EXPECT_EQ(ProviderForServer("gmail.com.example.org"), "");
    // IMAP addresses, with a port or a folder path that is no part of the host.
    EXPECT_EQ(ProviderForServer("imaps://imap.gmail.com/Lists/Work"), GoogleProvider);
    EXPECT_EQ(ProviderForServer("IMAP://Imap.GoogleMail.com:143"), GoogleProvider);
    EXPECT_EQ(ProviderForServer("imap+tls://outlook.office365.com/INBOX"), MicrosoftProvider);
    EXPECT_EQ(ProviderForServer("imaps://imap.example.org/pop.gmail.com"), "");
    for (const char *imap : {"imap://h", "IMAPS://h:993/Work", " Imap+Tls://h"})
        EXPECT_TRUE(IsImapAddress(imap)) << imap;
    for (const char *other : {"imap.gmail.com", "pop3s://imap.gmail.com", "h:993", "imapx://h"})
        EXPECT_FALSE(IsImapAddress(other)) << other;
    // Plain http only between an issuer on this computer and endpoints on it: an issuer
    // elsewhere (or a preset) must not send codes and tokens to whoever holds a local port.
    const std::string local = "http://127.0.0.1:8080";
    EXPECT_TRUE(SafeEndpoint("https://login.example.com/token", ""));
    EXPECT_TRUE(SafeEndpoint("http://127.0.0.1:8080/token", local));
    EXPECT_TRUE(SafeEndpoint("http://[::1]:8080/token", "https://localhost/"));
    EXPECT_FALSE(SafeEndpoint("http://localhost:40999/token", "https://id.example.com"));
    EXPECT_FALSE(SafeEndpoint("http://127.0.0.1:8080/token", ""));
    EXPECT_FALSE(SafeEndpoint("http://login.example.com/token", local));
    EXPECT_FALSE(
        SafeEndpoint("http://127.0.0.1.example.com/token", "http://127.0.0.1.example.com"));
    EXPECT_FALSE(SafeEndpoint("file:///etc/passwd", local));

    TProvider issuer = PresetProvider(IssuerProvider, "https://id.example.com/");
    std::string error;
    for (
        const char *refused :
        {R"({"issuer":"https://evil.example.com","authorization_endpoint":"https://id.example.com/a",
              "token_endpoint":"https://id.example.com/t"})",
         R"({"authorization_endpoint":"https://id.example.com/a","token_endpoint":"https://id.example.com/t"})",
         R"({"issuer":"https://id.example.com","authorization_endpoint":"https://id.example.com/a",
              "token_endpoint":"http://localhost:40999/token"})",
         R"({"issuer":"https://id.example.com","authorization_endpoint":"http://127.0.0.1:1/a",
              "token_endpoint":"https://id.example.com/t"})"})
        EXPECT_FALSE(ParseDiscovery(refused, issuer, error)) << refused;
    EXPECT_TRUE(issuer.TokenEndpoint.empty());
    ASSERT_TRUE(ParseDiscovery(R"({"issuer":"https://id.example.com",
        "authorization_endpoint":"https://id.example.com/a","token_endpoint":"https://id.example.com/t",
        "scopes_supported":["openid","email"]})",
                               issuer, error));
    EXPECT_EQ(issuer.TokenEndpoint, "https://id.example.com/t");
    EXPECT_EQ(issuer.Scopes, "openid email");

    // The user's own registrations come first (an issuer with or without its closing slash);
    // a client ID typed for an issuer stays.
    const std::string folder = platform::ConfigHome() + "/" + names::KeyFolder;
    QDir().mkpath(QString::fromStdString(folder));
    testenv::WriteFile(folder + "/" + ClientsFile,
                       "[google]\nClientId = own-google\nClientSecret = own-secret\n"
                       "[https://id.example.com]\nClientId=file-id\n");
    TProvider google = PresetProvider(GoogleProvider);
    FillClient(google);
    EXPECT_EQ(google.ClientId, "own-google");
    EXPECT_EQ(google.ClientSecret, "own-secret");
    FillClient(issuer);
    EXPECT_EQ(issuer.ClientId, "file-id");
    TProvider typed = PresetProvider(IssuerProvider, "https://id.example.com/");
    typed.ClientId = "typed-id";
    FillClient(typed);
    EXPECT_EQ(typed.ClientId, "typed-id");
    std::remove((folder + "/" + ClientsFile).c_str());
}

TEST(OAuth2Providers, TokenRepliesAndRefusals)
{
    const std::string reply = R"({"access_token":"AT-1","token_type":"Bearer","expires_in":3600,
        "refresh_token":"RT-1","id_token":")" +
                              Jwt(R"({"email":"ann@example.com"})") + "\"}";
    TTokenResult ok = ParseTokenReply(200, reply, 1000);
    ASSERT_TRUE(ok.Ok()) << ok.ErrorText;
    EXPECT_EQ(ok.Tokens.AccessToken, "AT-1");
    EXPECT_EQ(ok.Tokens.RefreshToken, "RT-1");
    EXPECT_EQ(ok.Tokens.ExpiresAt, 4600);
    EXPECT_EQ(ok.Tokens.Account, "ann@example.com");

    TTokenResult refused =
        ParseTokenReply(400, R"({"error":"invalid_grant","error_description":"revoked"})", 1000);
    EXPECT_EQ(refused.Failure, TTokenFailure::Refused);
    EXPECT_EQ(refused.ErrorText, "invalid_grant: revoked");
    EXPECT_EQ(ParseTokenReply(503, "busy", 0).Failure, TTokenFailure::Unreachable);
    EXPECT_EQ(ParseTokenReply(404, "<html>", 0).Failure, TTokenFailure::Invalid);
    EXPECT_EQ(ParseTokenReply(200, R"({"token_type":"Bearer"})", 0).Failure,
              TTokenFailure::Invalid);
    TTokenResult mac = ParseTokenReply(200, R"({"access_token":"SECRET","token_type":"mac"})", 0);
    EXPECT_EQ(mac.Failure, TTokenFailure::Invalid);
    EXPECT_EQ(mac.ErrorText.find("SECRET"), std::string::npos);
}

TEST(OAuth2Store, SealedRoundTripAndFilesSetAside)
{
    const std::string root = testenv::MakeScratchDir("oauth2store");
    TStore store(root);
    EXPECT_EQ(store.Load(), TStore::TLoad::Missing);
    TEntry entry;
    entry.UserId = "ann@example.com";
    entry.Server = "pop3s://pop.gmail.com";
    entry.ProviderId = GoogleProvider;
    entry.Tokens = {"access-token-secret", "refresh-token-secret", 1234, "ann@example.com"};
    store.Put(entry);
    TEntry outgoing = entry;
    outgoing.Purpose = TPurpose::Outgoing;
    store.Put(outgoing);
    std::string error;
    ASSERT_TRUE(store.Save(error)) << error;
    EXPECT_EQ(testenv::FileMode(store.Path()), 0600u);
    const std::string bytes = testenv::ReadFile(store.Path());
    for (const char *secret : {"token-secret", "ann@", "gmail"})
        EXPECT_EQ(bytes.find(secret), std::string::npos) << secret;

    TStore again(root);
    ASSERT_EQ(again.Load(), TStore::TLoad::Loaded);
    const TEntry *found = again.Find(TPurpose::Mailbox, "ann@example.com", "POP3S://pop.gmail.com");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->Tokens.RefreshToken, "refresh-token-secret");
    EXPECT_EQ(found->Tokens.ExpiresAt, 1234);
    EXPECT_TRUE(
        SignsInWithOAuth2(root, TPurpose::Outgoing, "ann@example.com", "pop3s://pop.gmail.com"));
    EXPECT_TRUE(again.Remove(TPurpose::Outgoing, "ann@example.com", "pop3s://pop.gmail.com"));
    ASSERT_TRUE(again.Save(error)) << error;
    EXPECT_FALSE(
        SignsInWithOAuth2(root, TPurpose::Outgoing, "ann@example.com", "pop3s://pop.gmail.com"));

    // One changed byte in an entry: the file is kept aside as damaged, never emptied in place.
    std::string damaged = testenv::ReadFile(store.Path());
    damaged[damaged.size() - 5] = damaged[damaged.size() - 5] == 'A' ? 'B' : 'A';
    testenv::WriteFile(store.Path(), damaged);
    EXPECT_FALSE(
        SignsInWithOAuth2(root, TPurpose::Mailbox, "ann@example.com", "pop3s://pop.gmail.com"));
    TStore broken(root);
    EXPECT_EQ(broken.Load(), TStore::TLoad::SetAside);
    EXPECT_TRUE(broken.Entries().empty());
    EXPECT_NE(broken.LoadError().find("OAuth2.cfg.damaged"), std::string::npos)
        << broken.LoadError();
    EXPECT_EQ(testenv::ReadFile(store.Path() + ".damaged"), damaged);
    EXPECT_EQ(broken.Load(), TStore::TLoad::Missing);

    // Sealed under another user's key file: kept as it is, never written over, and opened
    // again once this account's key file is back.
    ASSERT_TRUE(store.Save(error)) << error;
    const std::string sealed = testenv::ReadFile(store.Path());
    const QByteArray config = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(testenv::MakeScratchDir("otheruser")));
    TStore foreign(root);
    EXPECT_EQ(foreign.Load(), TStore::TLoad::Locked);
    EXPECT_EQ(LockedEntryCount(root), 2);
    foreign.Put(outgoing);
    EXPECT_FALSE(foreign.Save(error));
    EXPECT_EQ(testenv::ReadFile(store.Path()), sealed);
    qputenv("XDG_CONFIG_HOME", config);
    EXPECT_NE(foreign.LoadError().find("kept as it is"), std::string::npos) << foreign.LoadError();
    EXPECT_EQ(LockedEntryCount(root), 0);
    ASSERT_EQ(again.Load(), TStore::TLoad::Loaded);
    EXPECT_EQ(again.Entries().size(), 2u);
}

TEST(OAuth2SignIn, SignInRefreshAndRevokeAgainstTheAuthorizationServer)
{
    REQUIRE_FIXTURES();
    const fixtures::OAuthServer server = fixtures::OAuth2();
    const std::string account = "signin-" + std::to_string(::getpid()) + "@example.test";
    TProvider provider = Discovered(server.issuer, server.clientId);
    EXPECT_EQ(provider.Scopes, "openid email offline_access");

    testenv::TTestBrowser browser;
    TSignIn signIn;
    TTokenResult signedIn = Finished(signIn, [&] { signIn.Start(provider, account); });
    ASSERT_TRUE(signedIn.Ok()) << signedIn.ErrorText;
    EXPECT_EQ(signedIn.Tokens.Account, account);
    EXPECT_FALSE(signedIn.Tokens.RefreshToken.empty());
    ASSERT_TRUE(fixtures::WaitUntil([&] { return browser.Finished; }));
    EXPECT_EQ(browser.PageStatus, 200);
    EXPECT_NE(browser.Page.find("Sign-in complete"), std::string::npos);
    EXPECT_FALSE(Listening(RedirectPort(browser.Opened.at(0))));
    EXPECT_NE(browser.Opened[0].find("code_challenge_method=S256"), std::string::npos);

    const std::string root = testenv::MakeScratchDir("oauth2flow");
    TStore store(root);
    TEntry entry;
    entry.UserId = account;
    entry.Server = "127.0.0.1:110";
    entry.ProviderId = IssuerProvider;
    entry.Issuer = server.issuer;
    entry.ClientId = server.clientId;
    entry.Tokens = signedIn.Tokens;
    store.Put(entry);
    std::string error;
    ASSERT_TRUE(store.Save(error)) << error;

    // A living token is given as stored.
    TAccess access(root);
    auto fresh = [&] {
        return Finished(access, [&] { access.Start(TPurpose::Mailbox, account, entry.Server); });
    };
    TTokenResult stored = fresh();
    ASSERT_TRUE(stored.Ok()) << stored.ErrorText;
    EXPECT_EQ(stored.Tokens.AccessToken, signedIn.Tokens.AccessToken);
    EXPECT_EQ(Count(account, "refresh"), 0);

    // Expired: one refresh grant, its rotated tokens saved.
    fixtures::ExpireAccessTokens(account);
    entry.Tokens.ExpiresAt = 1;
    store.Put(entry);
    ASSERT_TRUE(store.Save(error)) << error;
    TTokenResult refreshed = fresh();
    ASSERT_TRUE(refreshed.Ok()) << refreshed.ErrorText;
    EXPECT_NE(refreshed.Tokens.AccessToken, signedIn.Tokens.AccessToken);
    EXPECT_EQ(Count(account, "refresh"), 1);
    ASSERT_EQ(store.Load(), TStore::TLoad::Loaded);
    const TEntry *saved = store.Find(TPurpose::Mailbox, account, entry.Server);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->Tokens.AccessToken, refreshed.Tokens.AccessToken);
    EXPECT_NE(saved->Tokens.RefreshToken, signedIn.Tokens.RefreshToken);
    EXPECT_EQ(saved->Tokens.Account, account);
    EXPECT_EQ(fresh().Tokens.AccessToken, refreshed.Tokens.AccessToken);
    EXPECT_EQ(Count(account, "refresh"), 1);

    // Revoked: refused once, then the entry waits for a sign-in without asking again.
    fixtures::RevokeTokens(account);
    TTokenResult revoked =
        Finished(access, [&] { access.Start(TPurpose::Mailbox, account, entry.Server, true); });
    EXPECT_EQ(revoked.Failure, TTokenFailure::Refused);
    ASSERT_EQ(store.Load(), TStore::TLoad::Loaded);
    EXPECT_FALSE(store.Find(TPurpose::Mailbox, account, entry.Server)->SignInNeeded.empty());
    EXPECT_EQ(fresh().Failure, TTokenFailure::Refused);
    EXPECT_EQ(Count(account, "refresh_refused"), 1);
    EXPECT_EQ(Count(account, "refresh"), 1);
    for (const char *secret :
         {signedIn.Tokens.RefreshToken.c_str(), refreshed.Tokens.AccessToken.c_str()})
        EXPECT_EQ(testenv::ReadFile(server.log).find(secret), std::string::npos);
}

// Any local program can find the listener's port: requests without the sign-in's state are
// turned away while the sign-in goes on to the browser's own redirect. Cancel ends the
// listener; a provider without a client ID opens no browser.
TEST(OAuth2SignIn, ForgedRequestsAreTurnedAwayAndCancelEndsTheListener)
{
    REQUIRE_FIXTURES();
    const fixtures::OAuthServer server = fixtures::OAuth2();
    const std::string account = "state-" + std::to_string(::getpid()) + "@example.test";
    TProvider provider = Discovered(server.issuer, server.clientId);

    testenv::TTestBrowser browser;
    browser.FollowRedirect = false;
    TSignIn signIn;
    TTokenResult signedIn = Finished(signIn, [&] {
        signIn.Start(provider, account);
        ASSERT_TRUE(fixtures::WaitUntil([&] { return browser.Finished; }));
        const std::string listener =
            "http://127.0.0.1:" + std::to_string(RedirectPort(browser.Opened.at(0))) + "/";
        for (const std::string query : {"?state=forged&code=stolen", "?code=stolen", "?error=x"}) {
            const auto [status, page] = Fetch(listener + query);
            EXPECT_EQ(status, 400) << query;
            EXPECT_NE(page.find("Sign-in refused"), std::string::npos) << page;
        }
        EXPECT_TRUE(signIn.Running());
        browser.Follow();
    });
    ASSERT_TRUE(signedIn.Ok()) << signedIn.ErrorText;
    ASSERT_TRUE(fixtures::WaitUntil([&] { return browser.Finished; }));
    EXPECT_EQ(browser.PageStatus, 200);
    EXPECT_NE(browser.Page.find("Sign-in complete"), std::string::npos);
    EXPECT_FALSE(Listening(RedirectPort(browser.Opened.at(0))));
    EXPECT_EQ(Count(account, "authorization_code"), 1);

    // The user closes the window: the listener goes, nothing comes later.
    TTokenResult cancelled = Finished(signIn, [&] {
        signIn.Start(provider, account);
        EXPECT_TRUE(signIn.Running());
        EXPECT_TRUE(Listening(RedirectPort(browser.Opened.at(1))));
        signIn.Cancel();
    });
    EXPECT_EQ(cancelled.Failure, TTokenFailure::Cancelled);
    EXPECT_FALSE(signIn.Running());
    EXPECT_FALSE(Listening(RedirectPort(browser.Opened.at(1))));

    // A provider without a client ID opens no browser.
    provider.ClientId.clear();
    TTokenResult noClient = Finished(signIn, [&] { signIn.Start(provider, account); });
    EXPECT_EQ(noClient.Failure, TTokenFailure::Invalid);
    EXPECT_EQ(browser.Opened.size(), 2u);
}

// A code the token endpoint refuses never shows "Sign-in complete" in the browser, and a
// discovery document that trickles in byte by byte ends at the request's deadline.
TEST(OAuth2SignIn, HostileIssuersEndInAFailure)
{
    REQUIRE_FIXTURES();
    const fixtures::OAuthServer server = fixtures::OAuth2();
    const std::string account = "hostile-" + std::to_string(::getpid()) + "@example.test";
    testenv::TTestBrowser browser;
    TSignIn signIn;
    const TProvider refusing = Discovered(server.issuer + "/hostile/badtoken", server.clientId);
    const TTokenResult refused = Finished(signIn, [&] { signIn.Start(refusing, account); });
    EXPECT_EQ(refused.Failure, TTokenFailure::Refused) << refused.ErrorText;
    ASSERT_TRUE(fixtures::WaitUntil([&] { return browser.Finished; }));
    EXPECT_NE(browser.Page.find("Sign-in failed"), std::string::npos) << browser.Page;

    TDiscovery discovery;
    discovery.DeadlineMs = 300;
    bool done = false;
    std::string error;
    discovery.OnFinished = [&](bool ok, const TProvider &, const std::string &why) {
        EXPECT_FALSE(ok);
        error = why, done = true;
    };
    discovery.Start(PresetProvider(IssuerProvider, server.issuer + "/hostile/drip"));
    EXPECT_TRUE(fixtures::WaitUntil([&] { return done; }, 15000));
    EXPECT_NE(error.find("did not answer in time"), std::string::npos) << error;
}
