// The installed mail programs: XDG desktop entries that handle "mailto:" links.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct TMailProgram
{
    std::string Id;      // desktop file id without ".desktop", e.g. "thunderbird"
    std::string Name;    // the entry's Name
    std::string Command; // the entry's Exec with its field codes removed
};

// Desktop entries whose MimeType lists x-scheme-handler/mailto, from the user's application
// folder ($XDG_DATA_HOME/applications) and then the system ones ($XDG_DATA_DIRS/*/applications);
// an id found in an earlier folder hides the same id later. Hidden entries are skipped.
// Ordered by id.
std::vector<TMailProgram> ListMailPrograms();

// Id (without ".desktop") of the default mailto handler from mimeapps.list (user config
// first, then the system config and data folders); "" when none is set.
std::string DefaultMailProgramId();

// An Exec value with field codes handled: %u %U %f %F %i %c %k and the deprecated codes are
// removed (with the argument they form), "%%" becomes "%". Quoting is kept.
std::string ExecWithoutFieldCodes(const std::string &exec);

} // namespace platform
