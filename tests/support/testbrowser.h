// A browser for sign-in tests: opening the sign-in page fetches it, takes the provider's
// redirect (never followed by itself) and fetches that too, so that it reaches the program's
// loopback listener. The requests run while the caller's event loop runs.
#pragma once

#include <QObject>
#include <string>
#include <vector>

#include "common/platform/opener.h"

class QNetworkAccessManager;

namespace testenv {

class TTestBrowser : public QObject, public platform::TOpener
{
public:
    // Installs itself as the opener for its lifetime.
    TTestBrowser();
    ~TTestBrowser() override;

    bool Open(const std::string &url) override;

    std::vector<std::string> Opened; // every URL opened, in order
    bool FollowRedirect = true;      // false: only the sign-in page is fetched (see Follow)

    // Takes the provider's redirect of the last Open that did not follow it.
    void Follow();

    std::string Location; // the provider's redirect ("" until one came), taken or not
    int PageStatus = 0;   // the loopback listener's answer: HTTP status and page
    std::string Page;
    bool Finished = false; // the last request of the last Open has ended

private:
    void FollowTo(const std::string &location);
    QNetworkAccessManager *Network;
};

} // namespace testenv
