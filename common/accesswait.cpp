#include "common/accesswait.h"

#include <optional>

#include "common/oauth2/access.h"
#include "common/utils.h"

oauth2::TTokenResult AwaitAccessToken(const std::string &dataRoot, oauth2::TPurpose purpose,
                                      const std::string &userId, const std::string &server,
                                      bool forceRefresh)
{
    std::optional<oauth2::TTokenResult> answer;
    oauth2::TAccess access(dataRoot);
    access.OnFinished = [&answer](const oauth2::TTokenResult &result) { answer = result; };
    access.Start(purpose, userId, server, forceRefresh);
    if (!answer && Utils)
        Utils->WaitFor([&answer] { return answer.has_value() || TUtils::Terminating(); },
                       AccessWaitMs);
    if (answer)
        return *answer;
    return oauth2::FailedResult(oauth2::TTokenFailure::Unreachable,
                                TUtils::Terminating() ? "the program is ending"
                                                      : "the sign-in provider did not answer");
}
