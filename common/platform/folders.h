// Where the desktop keeps the user's folders (XDG base directories) and who the user is.
#pragma once

#include <string>

namespace platform {

// $XDG_DATA_HOME, else ~/.local/share. No trailing "/".
std::string DataHome();
// $XDG_CONFIG_HOME, else ~/.config.
std::string ConfigHome();
// The XDG documents folder ($XDG_DOCUMENTS_DIR, user-dirs.dirs, else ~/Documents).
std::string DocumentsFolder();
// ConfigHome()/autostart.
std::string AutostartFolder();
// $XDG_RUNTIME_DIR when set and usable, else a per-user 0700 folder in the temporary folder
// (created on demand).
std::string RuntimeFolder();
// The system temporary folder ($TMPDIR, else /tmp).
std::string TempFolder();
// The user's home folder.
std::string HomeFolder();

// Login name of the user running the program ("" when unknown).
std::string LoginUserName();

// Full path of the running executable, as ProcessExecutablePath gives it.
std::string ExecutablePath();
// Folder of the running executable, with a trailing "/" ("" when unknown).
std::string ExecutableFolder();

} // namespace platform
