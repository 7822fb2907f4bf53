// The IMAP response reader and parser on whatever a hostile server sends: the input is cut
// into responses as it would arrive in two reads, each response parsed, and FETCH and LIST
// responses read out, folder names decoded and encoded again.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/net/imapresponse.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Init();
    const char *bytes = reinterpret_cast<const char *>(data);
    TImapReader reader(4096, 1 << 20, 2 << 20);
    size_t half = size / 2;
    std::string raw;
    for (size_t from : {size_t(0), half}) {
        reader.Append(bytes + from, from == 0 ? half : size - half);
        while (reader.Next(raw) == TImapReader::TResult::Response) {
            TImapResponse response;
            std::string why;
            if (!ParseImapResponse(raw, response, why))
                continue;
            TImapFetch fetch;
            ParseImapFetch(response, fetch, why);
            TImapListEntry entry;
            if (ParseImapList(response, entry))
                DecodeImapUtf7(EncodeImapUtf7(entry.DisplayName));
            for (const std::string &word : response.Code)
                FormatImapSet(ParseImapSet(word, 1000));
        }
    }
    return 0;
}
