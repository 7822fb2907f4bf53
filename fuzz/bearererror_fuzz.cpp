// The error a mail server sends when it refuses an access token (the SASL challenge after
// AUTH XOAUTH2 or OAUTHBEARER): the input is the JSON inside it, read once as the server
// encodes it (base64) and once as raw challenge text. Whatever it holds, the description
// stays one line of printable ASCII, fit for a log.
#include <QByteArray>
#include <cstdlib>

#include "common/net/saslxoauth.h"
#include "fuzzsupport.h"

namespace {

void Check(const TBearerError &error)
{
    const std::string text = error.Describe();
    if (text.empty() || text.size() > 2000)
        std::abort();
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7f)
            std::abort();
    if (!error.Json && (error.Expired() || !error.Status.empty()))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Init();
    const std::string text = fuzz::Text(data, size);
    Check(ParseBearerError(QByteArray::fromStdString(text).toBase64().toStdString()));
    Check(ParseBearerError(text));
    return 0;
}
