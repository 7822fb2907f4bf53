#include "common/sessionlog.h"

#include "common/net/mimeheader.h"
#include "common/text.h"
#include "common/utils.h"

std::string WriteSessionLogV(int level, int debugLevel, const TStatusDisplay &bar,
                             const TStatusDisplay &label, const char *format, va_list args)
{
    std::string text = CutUtf8(FormatV(format, args), MaxSessionLogText);
    if (level > debugLevel)
        return text;
    if (bar)
        bar(text);
    if (label)
        label(text);
    if (Utils)
        Utils->DebugLog("%s", text.c_str());
    return text;
}
