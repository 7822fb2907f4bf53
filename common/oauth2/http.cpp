#include "common/oauth2/http.h"

#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

#include "common/net/tlstrust.h"

namespace oauth2 {

namespace {

constexpr qint64 MaxAnswerBytes = 256 * 1024;

std::string Escaped(const std::string &text)
{
    return QUrl::toPercentEncoding(QString::fromStdString(text)).toStdString();
}

} // namespace

std::string FormEncode(const TFormFields &fields)
{
    std::string encoded;
    for (const auto &[name, value] : fields) {
        if (!encoded.empty())
            encoded += '&';
        encoded += Escaped(name) + "=" + Escaped(value);
    }
    return encoded;
}

QNetworkReply *SendRequest(QNetworkAccessManager &manager, const std::string &url, bool post,
                           const TFormFields &fields, int deadlineMs,
                           std::function<void(const THttpAnswer &)> done)
{
    QNetworkRequest request(QUrl(QString::fromStdString(url)));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setSslConfiguration(TrustedTlsConfiguration());
    request.setRawHeader("Accept", "application/json");
    QNetworkReply *reply = nullptr;
    if (post) {
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/x-www-form-urlencoded");
        reply = manager.post(request, QByteArray::fromStdString(FormEncode(fields)));
    } else {
        reply = manager.get(request);
    }
    auto body = std::make_shared<QByteArray>();
    // A transfer time-out starts again with every byte; this one does not.
    auto timedOut = std::make_shared<bool>(false);
    QTimer::singleShot(deadlineMs, reply, [reply, timedOut] {
        *timedOut = true;
        reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, body] {
        body->append(reply->read(MaxAnswerBytes + 1 - body->size()));
        if (body->size() > MaxAnswerBytes)
            reply->abort();
    });
    QObject::connect(reply, &QNetworkReply::finished, reply, [reply, body, timedOut, done] {
        THttpAnswer answer;
        if (reply->isOpen() && body->size() <= MaxAnswerBytes)
            body->append(reply->read(MaxAnswerBytes + 1 - body->size()));
        answer.Status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (*timedOut)
            answer.Status = 0, answer.Failure = "the provider did not answer in time";
        else if (body->size() > MaxAnswerBytes)
            answer.Status = 0, answer.Failure = "the provider's answer is too long";
        else if (answer.Status == 0)
            answer.Failure = reply->errorString().toStdString();
        answer.Body = body->toStdString();
        reply->deleteLater();
        done(answer);
    });
    return reply;
}

void DropRequest(QNetworkReply *reply)
{
    if (!reply)
        return;
    QObject::disconnect(reply, nullptr, nullptr, nullptr);
    reply->abort();
    reply->deleteLater();
}

int64_t NowSeconds()
{
    return QDateTime::currentSecsSinceEpoch();
}

} // namespace oauth2
