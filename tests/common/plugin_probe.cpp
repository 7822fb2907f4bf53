// A stand-in companion for the plug-in launch tests. It reads its own parameter file as the
// companion programs do and reports what it received in "<program>.seen" beside itself (or in
// the file $CORVEX_PROBE_SEEN names, for a read-only program folder): the number of arguments,
// each argument, then each line of the parameter file.
// It ends with the exit code $CORVEX_PROBE_EXIT names (0 without it).
// Started as "probe --launch <caption> <parameter>..." it is the launcher instead: it starts the
// program registered under caption in its folder's "Extentions" with those parameters.
#include <QCoreApplication>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "common/platform/folders.h"
#include "common/plugins.h"

namespace {

int Launch(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    TPlugIns plugIns;
    TStringList list;
    plugIns.LoadExtensions("", list);
    for (int i = 3; i < argc; ++i)
        plugIns.Params.Add(argv[i]);
    return plugIns.Launch(argv[2]) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc >= 3 && std::strcmp(argv[1], "--launch") == 0)
        return Launch(argc, argv);
    TStringList params = ReadOwnParameters();
    const char *seenFile = std::getenv("CORVEX_PROBE_SEEN");
    std::ofstream seen(seenFile ? std::string(seenFile) : platform::ExecutablePath() + ".seen",
                       std::ios::trunc);
    seen << "argc=" << argc - 1 << "\n";
    for (int i = 1; i < argc; ++i)
        seen << "arg=" << argv[i] << "\n";
    for (const std::string &line : params)
        seen << "param=" << line << "\n";
    const char *exitCode = std::getenv("CORVEX_PROBE_EXIT");
    return exitCode ? std::atoi(exitCode) : 0;
}
