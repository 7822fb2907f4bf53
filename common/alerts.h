// The alert list "Alerts.ini": one NAME=path line per wave file the user can pick as a
// mailbox's arrival or priority alert. NAME is the file name without its extension in upper
// case; the list is kept sorted without identical lines. Mailbox records store NAME.
#pragma once

#include <string>
#include <vector>

class TStringList;

// Path of "Alerts.ini" in the rules folder.
std::string AlertsFilePath(const std::string &rulesFolder);

// The folders searched for "*.wav": "Media" in the program folder and "My Alerts" in the
// user's documents folder.
std::vector<std::string> AlertSoundFolders();

// The NAME under which a wave file is listed ("" for a file name that cannot be one).
std::string AlertNameOf(const std::string &waveFile);

// Rebuilds "Alerts.ini": keeps the lines already there (a missing file is first created with
// "~NONE~=~none~"), adds every wave file of soundFolders, sorts and saves. Failures go to the
// debug log; false when no list could be saved.
bool LoadAlerts(const std::string &rulesFolder,
                const std::vector<std::string> &soundFolders = AlertSoundFolders());

// The alert list as it is on disk (empty when it cannot be read).
TStringList ReadAlerts(const std::string &rulesFolder);

// The wave file of an alert. name is a NAME of the list (any case) or a wave file's path;
// "" when the list knows neither.
std::string AlertFile(const std::string &rulesFolder, const std::string &name);

// Enters waveFile into "Alerts.ini" (saved at once) and answers its NAME; "" for an empty
// path or a file that cannot be entered.
std::string AlertNameFor(const std::string &rulesFolder, const std::string &waveFile);
