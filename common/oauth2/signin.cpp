#include "common/oauth2/signin.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>
#include <algorithm>
#include <sodium.h>

#include "common/oauth2/http.h"
#include "common/platform/opener.h"

namespace oauth2 {

namespace {

constexpr qint64 MaxRedirectRequestBytes = 8 * 1024;
constexpr int RedirectConnectionMs = 5000;

constexpr char DonePage[] = "Sign-in complete. You may close this page and return to Corvex.";
constexpr char WrongStatePage[] =
    "Sign-in refused: this answer does not belong to the sign-in Corvex is waiting for. You may "
    "close this page.";
constexpr char FailedPage[] = "Sign-in failed. You may close this page and return to Corvex.";

std::string Base64Url(const QByteArray &bytes)
{
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals)
        .toStdString();
}

std::string RandomText(std::size_t bytes)
{
    QByteArray random(qsizetype(bytes), '\0');
    randombytes_buf(random.data(), bytes);
    return Base64Url(random);
}

// Why provider cannot be used for a sign-in or refresh ("" when it can).
std::string ProviderFault(const TProvider &provider)
{
    if (provider.ClientId.empty())
        return "no client ID is known for this provider";
    if (!SafeEndpoint(provider.TokenEndpoint, provider.Issuer))
        return "the token endpoint is not https";
    return {};
}

void AddClient(TFormFields &fields, const TProvider &provider)
{
    fields.emplace_back("client_id", provider.ClientId);
    if (!provider.ClientSecret.empty())
        fields.emplace_back("client_secret", provider.ClientSecret);
}

TTokenResult TokenResult(const THttpAnswer &answer)
{
    if (answer.Status == 0)
        return FailedResult(TTokenFailure::Unreachable, answer.Failure);
    return ParseTokenReply(answer.Status, answer.Body, NowSeconds());
}

void AnswerPage(QTcpSocket *socket, int status, const char *reason, const std::string &text)
{
    const std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Corvex"
                             "</title></head><body><p>" +
                             text + "</p></body></html>\n";
    const std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                               "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                               std::to_string(page.size()) +
                               "\r\nCache-Control: no-store\r\nConnection: close\r\n\r\n" + page;
    socket->write(answer.data(), qint64(answer.size()));
    socket->disconnectFromHost();
}

} // namespace

TPkce MakePkce()
{
    TPkce pkce;
    pkce.Verifier = RandomText(32); // 43 characters
    pkce.Challenge = Base64Url(QCryptographicHash::hash(QByteArray::fromStdString(pkce.Verifier),
                                                        QCryptographicHash::Sha256));
    return pkce;
}

std::string AuthorizationUrl(const TProvider &provider, const std::string &redirectUri,
                             const std::string &state, const TPkce &pkce,
                             const std::string &loginHint)
{
    TFormFields fields = {{"response_type", "code"},
                          {"client_id", provider.ClientId},
                          {"redirect_uri", redirectUri},
                          {"scope", provider.Scopes},
                          {"state", state},
                          {"code_challenge", pkce.Challenge},
                          {"code_challenge_method", "S256"}};
    if (!loginHint.empty())
        fields.emplace_back("login_hint", loginHint);
    const std::string &endpoint = provider.AuthorizationEndpoint;
    const char separator = endpoint.find('?') == std::string::npos ? '?' : '&';
    return endpoint + separator + FormEncode(fields);
}

// ---- TSignIn

struct TSignIn::TState
{
    TSignIn &Owner;
    TProvider Provider;
    TPkce Pkce;
    std::string StateText;
    std::string RedirectUri;
    bool Running = false;
    QTcpServer *Listener = nullptr;
    QTimer *Timer = nullptr;
    QNetworkAccessManager *Network = nullptr;
    QNetworkReply *Reply = nullptr;
    // The browser's redirect, held open until the sign-in has ended so that its page tells
    // how it ended.
    QPointer<QTcpSocket> Browser;

    explicit TState(TSignIn &owner) : Owner(owner) {}
    void Begin(const TProvider &provider, const std::string &loginHint);
    void FinishLater(const TTokenResult &result);
    void Finish(const TTokenResult &result);
    void CloseListener();
    void TakeConnections();
    void ReadRedirect(QTcpSocket *socket);
    void RedeemCode(const std::string &code);
    void AnswerBrowser(const TTokenResult &result);
};

TSignIn::TSignIn(QObject *parent) : QObject(parent), State(std::make_unique<TState>(*this))
{
    State->Timer = new QTimer(this);
    State->Timer->setSingleShot(true);
    connect(State->Timer, &QTimer::timeout, this, [this] {
        State->Finish(
            FailedResult(TTokenFailure::TimedOut, "the browser did not come back in time"));
    });
    State->Network = new QNetworkAccessManager(this);
}

TSignIn::~TSignIn()
{
    DropRequest(State->Reply);
}

bool TSignIn::Running() const
{
    return State->Running;
}

void TSignIn::Cancel()
{
    if (State->Running)
        State->Finish(FailedResult(TTokenFailure::Cancelled, "the sign-in was cancelled"));
}

void TSignIn::Start(const TProvider &provider, const std::string &loginHint)
{
    Cancel();
    State->Begin(provider, loginHint);
}

void TSignIn::TState::Begin(const TProvider &provider, const std::string &loginHint)
{
    Running = true;
    Provider = provider;
    std::string fault = ProviderFault(provider);
    if (fault.empty() && !SafeEndpoint(provider.AuthorizationEndpoint, provider.Issuer))
        fault = "the sign-in page is not https";
    if (!fault.empty())
        return FinishLater(FailedResult(TTokenFailure::Invalid, fault));

    Listener = new QTcpServer(&Owner);
    if (!Listener->listen(QHostAddress::LocalHost, 0))
        return FinishLater(
            FailedResult(TTokenFailure::Unreachable,
                         "can't wait for the browser: " + Listener->errorString().toStdString()));
    QObject::connect(Listener, &QTcpServer::newConnection, &Owner, [this] { TakeConnections(); });
    RedirectUri = "http://127.0.0.1:" + std::to_string(Listener->serverPort()) + "/";
    Pkce = MakePkce();
    StateText = RandomText(16);
    Timer->start(TimeOutMs);
    const std::string url = AuthorizationUrl(provider, RedirectUri, StateText, Pkce, loginHint);
    if (!platform::Opener().Open(url))
        FinishLater(FailedResult(TTokenFailure::Unreachable, "no browser could be started"));
}

void TSignIn::TState::FinishLater(const TTokenResult &result)
{
    QTimer::singleShot(0, &Owner, [this, result] {
        if (Running)
            Finish(result);
    });
}

void TSignIn::TState::Finish(const TTokenResult &result)
{
    Running = false;
    Timer->stop();
    CloseListener();
    DropRequest(Reply);
    Reply = nullptr;
    AnswerBrowser(result);
    const auto finished = Owner.OnFinished;
    if (finished)
        finished(result);
}

void TSignIn::TState::CloseListener()
{
    if (!Listener)
        return;
    Listener->close();
    Listener->deleteLater(); // its unanswered connections go with it
    Listener = nullptr;
}

void TSignIn::TState::TakeConnections()
{
    while (Listener && Listener->hasPendingConnections()) {
        QTcpSocket *socket = Listener->nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // A connection that sends no request in time goes; the browser's redirect, once
        // taken, waits for the end of the sign-in instead.
        QTimer::singleShot(RedirectConnectionMs, socket, [this, socket] {
            if (socket != Browser)
                socket->abort();
        });
        QObject::connect(socket, &QTcpSocket::readyRead, &Owner,
                         [this, socket] { ReadRedirect(socket); });
    }
}

// A request to the listener: its first line carries the redirect with code and state. Any
// local program can reach the listener, so a request without this sign-in's state is turned
// away and the listener waits on for the browser's.
void TSignIn::TState::ReadRedirect(QTcpSocket *socket)
{
    if (socket == Browser)
        return void(socket->readAll()); // the rest of the browser's request tells nothing
    if (!Running || Browser)
        return socket->abort();
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > MaxRedirectRequestBytes)
            socket->abort();
        return;
    }
    const QByteArray line = socket->readLine(MaxRedirectRequestBytes).trimmed();
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || parts[0] != "GET" || !parts[1].startsWith('/'))
        return AnswerPage(socket, 400, "Bad Request", FailedPage);
    const QUrl target(QString::fromLatin1("http://127.0.0.1") + QString::fromLatin1(parts[1]));
    if (target.path() != "/")
        return AnswerPage(socket, 404, "Not Found", "Not found.");
    const QUrlQuery query(target);
    auto value = [&query](const char *key) {
        return query.queryItemValue(key, QUrl::FullyDecoded).toStdString();
    };
    if (value("state") != StateText)
        return AnswerPage(socket, 400, "Bad Request", WrongStatePage);
    // The one request this listener takes; whatever it holds, the sign-in ends with it.
    Browser = socket;
    socket->setParent(&Owner);
    CloseListener();
    if (!value("error").empty()) {
        std::string text = "the provider refused the sign-in: " + value("error");
        std::string description = value("error_description");
        std::replace(description.begin(), description.end(), '+', ' ');
        if (!description.empty())
            text += " (" + description.substr(0, 200) + ")";
        return Finish(FailedResult(TTokenFailure::Refused, text));
    }
    const std::string code = value("code");
    if (code.empty())
        return Finish(FailedResult(TTokenFailure::Invalid, "the browser's answer holds no code"));
    RedeemCode(code);
}

void TSignIn::TState::RedeemCode(const std::string &code)
{
    TFormFields fields = {{"grant_type", "authorization_code"},
                          {"code", code},
                          {"redirect_uri", RedirectUri},
                          {"code_verifier", Pkce.Verifier}};
    AddClient(fields, Provider);
    Reply = SendRequest(*Network, Provider.TokenEndpoint, true, fields, Owner.DeadlineMs,
                        [this](const THttpAnswer &answer) {
                            Reply = nullptr;
                            if (Running)
                                Finish(TokenResult(answer));
                        });
}

// "Sign-in complete" only once the tokens are here.
void TSignIn::TState::AnswerBrowser(const TTokenResult &result)
{
    if (!Browser)
        return;
    if (result.Ok())
        AnswerPage(Browser, 200, "OK", DonePage);
    else if (result.Failure == TTokenFailure::Invalid)
        AnswerPage(Browser, 400, "Bad Request", FailedPage);
    else
        AnswerPage(Browser, 200, "OK", FailedPage);
    Browser = nullptr;
}

// ---- TRefresh

struct TRefresh::TState
{
    QNetworkAccessManager *Network = nullptr;
    QNetworkReply *Reply = nullptr;
};

TRefresh::TRefresh(QObject *parent) : QObject(parent), State(std::make_unique<TState>())
{
    State->Network = new QNetworkAccessManager(this);
}

TRefresh::~TRefresh()
{
    DropRequest(State->Reply);
}

void TRefresh::Start(const TProvider &provider, const std::string &refreshToken)
{
    DropRequest(State->Reply);
    State->Reply = nullptr;
    auto finish = [this](const TTokenResult &result) {
        const auto finished = OnFinished;
        if (finished)
            finished(result);
    };
    std::string fault = ProviderFault(provider);
    if (fault.empty() && refreshToken.empty())
        fault = "there is no refresh token";
    if (!fault.empty()) {
        const TTokenResult result = FailedResult(TTokenFailure::Invalid, fault);
        QTimer::singleShot(0, this, [finish, result] { finish(result); });
        return;
    }
    TFormFields fields = {{"grant_type", "refresh_token"}, {"refresh_token", refreshToken}};
    AddClient(fields, provider);
    State->Reply = SendRequest(*State->Network, provider.TokenEndpoint, true, fields, DeadlineMs,
                               [this, finish, refreshToken](const THttpAnswer &answer) {
                                   State->Reply = nullptr;
                                   TTokenResult result = TokenResult(answer);
                                   if (result.Ok() && result.Tokens.RefreshToken.empty())
                                       result.Tokens.RefreshToken = refreshToken;
                                   finish(result);
                               });
}

// ---- TDiscovery

struct TDiscovery::TState
{
    QNetworkAccessManager *Network = nullptr;
    QNetworkReply *Reply = nullptr;
};

TDiscovery::TDiscovery(QObject *parent) : QObject(parent), State(std::make_unique<TState>())
{
    State->Network = new QNetworkAccessManager(this);
}

TDiscovery::~TDiscovery()
{
    DropRequest(State->Reply);
}

void TDiscovery::Start(const TProvider &issuerProvider)
{
    DropRequest(State->Reply);
    State->Reply = nullptr;
    const TProvider given = issuerProvider;
    auto finish = [this](bool ok, const TProvider &provider, const std::string &error) {
        const auto finished = OnFinished;
        if (finished)
            finished(ok, provider, error);
    };
    const std::string url = DiscoveryUrl(given.Issuer);
    if (given.Issuer.empty() || !SafeEndpoint(url, given.Issuer)) {
        QTimer::singleShot(0, this, [finish, given] {
            finish(false, given, "the issuer is not an https address");
        });
        return;
    }
    State->Reply =
        SendRequest(*State->Network, url, false, {}, DeadlineMs,
                    [this, finish, given](const THttpAnswer &answer) {
                        State->Reply = nullptr;
                        TProvider provider = given;
                        std::string error;
                        if (answer.Status == 0)
                            error = "the issuer can't be reached: " + answer.Failure;
                        else if (answer.Status != 200)
                            error = "the issuer answered HTTP " + std::to_string(answer.Status);
                        const bool ok =
                            error.empty() && ParseDiscovery(answer.Body, provider, error);
                        finish(ok, ok ? provider : given, error);
                    });
}

} // namespace oauth2
