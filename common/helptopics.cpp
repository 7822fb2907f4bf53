#include "common/helptopics.h"

namespace help {

std::string GuideAnchor(int context, const std::string &keyword)
{
    if (Answered(context))
        return "help-" + std::to_string(context);
    return keyword;
}

} // namespace help
