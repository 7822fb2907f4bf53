#include "korrind/about.h"

#include "common/platform/folders.h"
#include "common/text.h"
#include "common/utils.h"

std::vector<std::string> AboutLines()
{
    return {"Corvex: a mail monitor and server-side mail filter", "for your POP3 mailboxes.",
            "Rules act on mail while it is still on the server.", "",
            "Free software under the GNU General Public License, version 3 or later."};
}

std::string BuildStamp(std::time_t fileTime)
{
    std::tm local{};
    if (fileTime <= 0 || !localtime_r(&fileTime, &local))
        return abouttext::BuildPrefix;
    return abouttext::BuildPrefix + Format("%02d.%02d.%04d.%d.%02d", local.tm_mon + 1,
                                           local.tm_mday, local.tm_year + 1900, local.tm_hour,
                                           local.tm_min);
}

std::string ProgramBuildStamp()
{
    return BuildStamp(TUtils::GetFileDate(platform::ExecutablePath()));
}
