// Header decoding of untrusted mail text: encoded words, unfolding, field look-up, the
// summary of a header, the forward of a message, and the case-insensitive text helpers.
#include <cstdlib>

#include "common/net/mimeheader.h"
#include "common/net/pop3client.h"
#include "common/smtpinterface.h"
#include "common/stringlist.h"
#include "common/text.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Init();
    const std::string text = fuzz::Text(data, size);

    TStringList lines;
    lines.SetText(text);
    const std::vector<std::string> unfolded = UnfoldHeaderLines(lines.Items());
    for (const std::string &field : unfolded) {
        const std::string decoded = DecodeHeaderWords(field);
        if (decoded.find_first_of("\r\n") != std::string::npos)
            std::abort(); // decoding never adds a line break
        if (CutUtf8(decoded, field.size() / 2).size() > field.size() / 2)
            std::abort();
        HeaderField(unfolded, field.substr(0, field.find(':')));
    }
    DecodeHeaderWords(text);
    TPop3Summary summary = SummarizeHeader(lines.Items());
    (void)summary;
    ForwardBody(lines.Items(), {});
    ForwardBody(lines.Items(), {"A note"});
    TSMTPFunc::PhoneText(lines.Items());

    // Case folding: a text equals itself and its folded form, and is found inside itself.
    const std::string folded = FoldCase(text);
    if (!SameText(text, text) || !SameText(text, folded) || FoldCase(folded) != folded)
        std::abort();
    size_t third = 0;
    while (third < size / 3)
        third = NextCharStart(text, third);
    if (FindText(text, text.substr(third)) > third)
        std::abort();
    LowerCase(text);
    UpperCase(text);
    EndsText(text, text.substr(size / 2));
    StartsText(text, folded);
    return 0;
}
