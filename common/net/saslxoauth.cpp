#include "common/net/saslxoauth.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cmath>

#include "common/text.h"

namespace {

constexpr size_t MaxChallenge = 16384; // bytes of base64 read; real ones are ~100
constexpr size_t MaxField = 200;       // bytes of a field kept for logs

std::string Base64(const std::string &bytes)
{
    return QByteArray::fromStdString(bytes).toBase64().toStdString();
}

// The user in the GS2 header of OAUTHBEARER, where "," and "=" are written =2C and =3D.
std::string SaslName(const std::string &user)
{
    return ReplaceAll(ReplaceAll(user, "=", "=3D"), ",", "=2C");
}

// A JSON field as text: strings as they are, numbers (some servers send status 401 as a
// number) in decimal; printable ASCII only and cut short, since it ends up in logs.
std::string Field(const QJsonObject &object, const char *name)
{
    QJsonValue value = object.value(QLatin1String(name));
    std::string text;
    if (value.isString())
        text = value.toString().toStdString();
    else if (value.isDouble() && std::fabs(value.toDouble()) < 1e15)
        text = Format("%lld", static_cast<long long>(value.toDouble()));
    std::string out;
    for (char c : text.substr(0, MaxField)) {
        unsigned char u = static_cast<unsigned char>(c);
        out += (u >= 0x20 && u < 0x7f) ? c : '?';
    }
    return out;
}

} // namespace

const char *BearerMechanismName(TBearerMechanism mechanism)
{
    return mechanism == TBearerMechanism::OAuthBearer ? "OAUTHBEARER" : "XOAUTH2";
}

std::string BearerResponse(TBearerMechanism mechanism, const std::string &user,
                           const std::string &token, const std::string &host, int port)
{
    const std::string auth = "auth=Bearer " + token + "\x01\x01";
    if (mechanism == TBearerMechanism::XOAuth2)
        return Base64("user=" + user + "\x01" + auth);
    return Base64("n,a=" + SaslName(user) + ",\x01" + "host=" + host + "\x01" +
                  "port=" + std::to_string(port) + "\x01" + auth);
}

const char *BearerErrorAnswer(TBearerMechanism mechanism)
{
    return mechanism == TBearerMechanism::OAuthBearer ? "AQ==" : "";
}

bool TBearerError::Expired() const
{
    return Status == "401" || SameText(Status, "invalid_token");
}

std::string TBearerError::Describe() const
{
    if (!Json)
        return "no error details";
    std::string text;
    auto add = [&text](const char *name, const std::string &value) {
        if (!value.empty())
            text += (text.empty() ? "" : ", ") + std::string(name) + " \"" + value + "\"";
    };
    add("status", Status);
    add("schemes", Schemes);
    add("scope", Scope);
    add("openid-configuration", OpenIdConfiguration);
    return text.empty() ? "no error details" : text;
}

TBearerError ParseBearerError(const std::string &challenge)
{
    TBearerError error;
    std::string encoded = Trim(challenge.substr(0, MaxChallenge));
    auto decoded = QByteArray::fromBase64Encoding(QByteArray::fromStdString(encoded),
                                                  QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return error;
    QJsonParseError parseError;
    QJsonDocument document = QJsonDocument::fromJson(*decoded, &parseError);
    if (parseError.error != QJsonParseError::NoError || !document.isObject())
        return error;
    QJsonObject object = document.object();
    error.Json = true;
    error.Status = Field(object, "status");
    error.Schemes = Field(object, "schemes");
    error.Scope = Field(object, "scope");
    error.OpenIdConfiguration = Field(object, "openid-configuration");
    return error;
}
