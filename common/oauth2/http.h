// The requests to a provider's endpoints: TLS verified against the trusted certificates, no
// redirect followed, every request bounded in time (one deadline for the whole request, however
// slowly its answer trickles in) and in the size of its answer.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;

namespace oauth2 {

inline constexpr int RequestDeadlineMs = 30 * 1000;

struct THttpAnswer
{
    int Status = 0;      // the HTTP status; 0 when no answer came
    std::string Body;    // at most MaxAnswerBytes
    std::string Failure; // why no answer came (network, TLS, time-out); "" when one came
};

using TFormFields = std::vector<std::pair<std::string, std::string>>;

// application/x-www-form-urlencoded, every reserved character escaped.
std::string FormEncode(const TFormFields &fields);

// A POST of fields as a form, or (fields empty, post false) a GET, ended with a time-out
// failure when its whole answer has not come deadlineMs after it was sent. done runs once,
// from the event loop; the reply is owned by the manager and deleted after done. Returns the
// reply so that the caller can drop it with DropRequest.
QNetworkReply *SendRequest(QNetworkAccessManager &manager, const std::string &url, bool post,
                           const TFormFields &fields, int deadlineMs,
                           std::function<void(const THttpAnswer &)> done);

// Ends a request without calling its done; null is ignored.
void DropRequest(QNetworkReply *reply);

// Seconds since the epoch.
int64_t NowSeconds();

} // namespace oauth2
