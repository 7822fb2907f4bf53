// A token endpoint's reply as a hostile provider may send it: the first two bytes give the
// HTTP status, the rest is the body. A reply taken as tokens has an access token, and no
// error text repeats a token the reply holds.
#include <cstdlib>

#include "common/oauth2/tokens.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Init();
    if (size < 2)
        return 0;
    const int status = (data[0] << 8 | data[1]) % 600;
    const std::string body = fuzz::Text(data + 2, size - 2);
    const oauth2::TTokenResult result = oauth2::ParseTokenReply(status, body, 1700000000);
    if (result.Ok() && (result.Tokens.AccessToken.empty() || !result.ErrorText.empty()))
        std::abort();
    if (!result.Ok() && !result.Tokens.AccessToken.empty())
        std::abort();
    return 0;
}
