#include "common/cmdline.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/names.h"

#ifndef CORVEX_VERSION
#define CORVEX_VERSION "unknown"
#endif

namespace {

struct TProgramPurpose
{
    const char *Program;
    const char *Purpose;
    const char *Arguments = ""; // the program's own arguments, listed before the options
};

// What each program is for, and how it is normally started.
constexpr TProgramPurpose Purposes[] = {
    {"korrind",
     "Corvex mail monitor: watches POP3 and IMAP mailboxes and filters their mail on the server.",
     "  debug=LEVEL  write mail server conversations to the status bar and to Debug.txt up to\n"
     "               LEVEL, from 0 (failures only) to 4 (every protocol line)\n"},
    {"velmot",
     "Corvex rules manager: edits a priority or rejection list (started by the monitor)."},
    {"strenna", "Corvex saved message manager: lists, searches, forwards and deletes saved "
                "messages (started by the monitor)."},
    {"drasset", "Corvex rules synchronisation with another installation (started by the monitor)."},
    {"pelloway", "Corvex mailbox import from installed mail programs."},
    {"fennick", "Corvex alias manager: edits a mailbox's alias list (started by the monitor)."},
    {"quintor", "Corvex restart tool: restarts the monitor (started by the monitor)."},
};

std::string FileName(const char *path)
{
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

TProgramPurpose ProgramPurpose(const std::string &program)
{
    for (const TProgramPurpose &entry : Purposes)
        if (program == entry.Program)
            return entry;
    return {"", "A program of the Corvex mail monitor."};
}

} // namespace

void AnswerInformationOptions(int argc, char **argv)
{
    const std::string program = argc > 0 ? FileName(argv[0]) : std::string(names::MonitorExe);
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s (%s) %s\n", program.c_str(), names::AppTitle, CORVEX_VERSION);
            std::exit(0);
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            const TProgramPurpose purpose = ProgramPurpose(program);
            std::printf("Usage: %s [OPTION]...\n%s\n\n"
                        "%s"
                        "  --help     show this help and end\n"
                        "  --version  show the version and end\n\n"
                        "The user guide is in the program folder's \"%s\" folder.\n",
                        program.c_str(), purpose.Purpose, purpose.Arguments, names::HelpFolder);
            std::exit(0);
        }
    }
}
