// The installed mail programs: XDG desktop entries that handle "mailto:" links.
#pragma once

#include <string>
#include <vector>

namespace platform {

struct TMailProgram
{
    std::string Id;   // desktop file id without ".desktop", e.g. "thunderbird"
    std::string Name; // the entry's Name
    std::string Exec; // the entry's Exec, field codes still in it
};

// Desktop entries whose MimeType lists x-scheme-handler/mailto, from the user's application
// folder ($XDG_DATA_HOME/applications) and then the system ones ($XDG_DATA_DIRS/*/applications);
// an id found in an earlier folder hides the same id later. Hidden entries are skipped.
// Ordered by id.
std::vector<TMailProgram> ListMailPrograms();

// Id (without ".desktop") of the default mailto handler from mimeapps.list (user config
// first, then the system config and data folders); "" when none is set.
std::string DefaultMailProgramId();

// The argument list of an Exec value (desktop-entry quoting undone) with its field codes
// handled: %u %U %f %F become file (or are dropped when file is empty), "%%" is "%", every other
// code is dropped. A file given to an Exec without a file code is appended.
std::vector<std::string> ExpandExec(const std::string &exec, const std::string &file = "");

} // namespace platform
