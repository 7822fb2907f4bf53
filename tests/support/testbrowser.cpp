#include "support/testbrowser.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QUrlQuery>

namespace testenv {

namespace {

QNetworkRequest Request(const std::string &url)
{
    QNetworkRequest request(QUrl(QString::fromStdString(url)));
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(10000);
    return request;
}

} // namespace

TTestBrowser::TTestBrowser() : Network(new QNetworkAccessManager(this))
{
    platform::SetOpener(this);
}

TTestBrowser::~TTestBrowser()
{
    platform::SetOpener(nullptr);
}

bool TTestBrowser::Open(const std::string &url)
{
    Opened.push_back(url);
    Finished = false;
    QNetworkReply *reply = Network->get(Request(url));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const std::string location = reply->rawHeader("Location").toStdString();
        if (location.empty() || !FollowRedirect) {
            Finished = true;
            return;
        }
        FollowTo(location);
    });
    return true;
}

void TTestBrowser::FollowTo(const std::string &location)
{
    QUrl url(QString::fromStdString(location));
    if (!ReplaceState.empty()) {
        QUrlQuery query(url);
        query.removeAllQueryItems("state");
        query.addQueryItem("state", QString::fromStdString(ReplaceState));
        url.setQuery(query);
    }
    Redirect = url.toString().toStdString();
    QNetworkReply *reply = Network->get(Request(Redirect));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        PageStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        Page = reply->readAll().toStdString();
        Finished = true;
    });
}

} // namespace testenv
