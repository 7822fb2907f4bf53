#include "common/oauth2/tokens.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace oauth2 {

namespace {

constexpr int64_t MaxExpiresIn = int64_t(10) * 365 * 24 * 3600;

std::string JsonText(const QJsonObject &object, const char *key)
{
    return object.value(QLatin1String(key)).toString().toStdString();
}

QJsonObject JsonObject(const std::string &text)
{
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(QByteArray::fromStdString(text), &error);
    return error.error == QJsonParseError::NoError ? document.object() : QJsonObject();
}

// The account an ID token names. Its signature is not checked: the claim only labels the entry.
std::string IdTokenAccount(const std::string &idToken)
{
    const std::size_t first = idToken.find('.');
    const std::size_t second = first == std::string::npos ? first : idToken.find('.', first + 1);
    if (second == std::string::npos)
        return {};
    const QByteArray payload = QByteArray::fromBase64(
        QByteArray::fromStdString(idToken.substr(first + 1, second - first - 1)),
        QByteArray::Base64UrlEncoding);
    const QJsonObject claims = JsonObject(payload.toStdString());
    std::string account = JsonText(claims, "email");
    if (account.empty())
        account = JsonText(claims, "preferred_username");
    return account;
}

// expires_in may come as a number or, from some providers, as a string of digits.
int64_t ExpiresIn(const QJsonValue &value)
{
    int64_t seconds = 0;
    if (value.isDouble())
        seconds = value.toInteger();
    else if (value.isString())
        seconds = value.toString().toLongLong();
    return seconds > 0 && seconds < MaxExpiresIn ? seconds : 0;
}

// A short, printable text a provider gave; never echoed at length.
std::string Printable(const std::string &text)
{
    std::string clean;
    for (char c : text.substr(0, 200))
        clean += static_cast<unsigned char>(c) < 0x20 || c == 0x7f ? ' ' : c;
    return clean;
}

} // namespace

TTokenResult ParseTokenReply(int httpStatus, const std::string &body, int64_t now)
{
    const QJsonObject reply = JsonObject(body);
    const std::string error = JsonText(reply, "error");
    if (!error.empty() || httpStatus >= 400) {
        std::string text = error.empty()
                               ? "the provider answered HTTP " + std::to_string(httpStatus)
                               : Printable(error);
        const std::string description = JsonText(reply, "error_description");
        if (!description.empty())
            text += ": " + Printable(description);
        // A server fault or a busy provider may pass; a named error is a refusal; anything else
        // (a page that is no token reply) says nothing about the grant.
        const bool passing = httpStatus >= 500 || error == "temporarily_unavailable";
        return FailedResult(passing         ? TTokenFailure::Unreachable
                            : error.empty() ? TTokenFailure::Invalid
                                            : TTokenFailure::Refused,
                            text);
    }
    if (httpStatus != 200)
        return FailedResult(TTokenFailure::Invalid,
                            "the provider answered HTTP " + std::to_string(httpStatus));
    TTokenResult result;
    result.Tokens.AccessToken = JsonText(reply, "access_token");
    if (result.Tokens.AccessToken.empty())
        return FailedResult(TTokenFailure::Invalid, "the provider's answer holds no access token");
    const std::string type = JsonText(reply, "token_type");
    if (!type.empty() && QString::fromStdString(type).compare("Bearer", Qt::CaseInsensitive) != 0)
        return FailedResult(TTokenFailure::Invalid, "the provider gave a token of another type");
    result.Tokens.RefreshToken = JsonText(reply, "refresh_token");
    const int64_t lifetime = ExpiresIn(reply.value("expires_in"));
    result.Tokens.ExpiresAt = lifetime > 0 ? now + lifetime : 0;
    result.Tokens.Account = IdTokenAccount(JsonText(reply, "id_token"));
    return result;
}

TTokenResult FailedResult(TTokenFailure failure, std::string text)
{
    TTokenResult result;
    result.Failure = failure;
    result.ErrorText = std::move(text);
    return result;
}

} // namespace oauth2
