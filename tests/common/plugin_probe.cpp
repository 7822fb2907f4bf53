// A stand-in companion for the plug-in launch tests. It reads its own parameter file as the
// companion programs do and reports what it received in "<program>.seen" beside itself: the
// number of arguments, each argument, then each line of the parameter file.
#include <fstream>
#include <string>

#include "common/platform/folders.h"
#include "common/plugins.h"

int main(int argc, char **argv)
{
    TStringList params = ReadOwnParameters();
    std::ofstream seen(platform::ExecutablePath() + ".seen", std::ios::trunc);
    seen << "argc=" << argc - 1 << "\n";
    for (int i = 1; i < argc; ++i)
        seen << "arg=" << argv[i] << "\n";
    for (const std::string &line : params)
        seen << "param=" << line << "\n";
    return 0;
}
