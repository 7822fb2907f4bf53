#include "common/platform/mailprograms.h"

namespace platform {

std::vector<TMailProgram> ListMailPrograms()
{
    return {};
}
std::string DefaultMailProgramId()
{
    return {};
}
std::string ExecWithoutFieldCodes(const std::string &exec)
{
    return exec;
}

} // namespace platform
