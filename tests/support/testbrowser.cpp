#include "support/testbrowser.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

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
        Location = reply->rawHeader("Location").toStdString();
        if (Location.empty() || !FollowRedirect) {
            Finished = true;
            return;
        }
        FollowTo(Location);
    });
    return true;
}

void TTestBrowser::Follow()
{
    Finished = false;
    FollowTo(Location);
}

void TTestBrowser::FollowTo(const std::string &location)
{
    QNetworkReply *reply = Network->get(Request(location));
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        PageStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        Page = reply->readAll().toStdString();
        Finished = true;
    });
}

} // namespace testenv
