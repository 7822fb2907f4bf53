// Reading the small settings files other mail programs keep: "[group]" sections of key=value
// lines (Thunderbird's profile list, Evolution's sources, KMail's resource and transport files),
// and the user_pref lines of a Mozilla "prefs.js".
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <vector>

// Files larger than this are not another program's settings; they are refused unread.
inline constexpr std::size_t MaxSettingsFileSize = 8 * 1024 * 1024;

// Reads a file of at most MaxSettingsFileSize bytes; false (with why) otherwise.
bool ReadSettingsFile(const std::string &path, std::string &bytes, std::string &why);

class TKeyFile
{
public:
    // Groups in file order; keys within a group match exactly, the first occurrence wins.
    // Backslash escapes (\s \n \t \r \\) are undone and a key's "[...]" suffix (locale, KDE
    // flags) is dropped. Lines outside any group and comment lines are ignored.
    void Parse(const std::string &text);

    std::vector<std::string> Groups() const { return Order; }
    bool HasGroup(const std::string &group) const { return Values.count(group) != 0; }
    std::string Value(const std::string &group, const std::string &key) const;

private:
    std::vector<std::string> Order;
    std::map<std::string, std::map<std::string, std::string>> Values;
};

// The user_pref("name", value) lines of a "prefs.js": name → value, strings with their escapes
// undone, numbers and true/false as written. Lines that do not parse are skipped and counted.
struct TPrefs
{
    std::map<std::string, std::string> Values;
    int SkippedLines = 0;

    std::string Value(const std::string &name) const;
    void Parse(const std::string &text);
};
