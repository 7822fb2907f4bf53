// TPlugIns: the registry of programs that can be started. Every program is described by a small
// "*.ini" file of key=value lines in a "PlugIns" or "Extentions" folder (in the program folder
// and in the data root). The registry lists them by caption and menuid and starts one either as a
// child whose end is awaited while events keep running, or as an independent process. The
// caller's parameters travel in a parameter file "<program>.ini" beside the program (in the
// user's runtime folder when the program folder is not writable, as an installed one is); the
// program then gets only that file's name as its one argument.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "common/stringlist.h"

// Keys of a description file.
namespace plugin_keys {
inline constexpr char Caption[] = "caption";
inline constexpr char Description[] = "description";
inline constexpr char Executable[] = "executable";
inline constexpr char Param[] = "param";
inline constexpr char Action[] = "action";
inline constexpr char Mutex[] = "mutex";
inline constexpr char MenuId[] = "menuid";
inline constexpr char Execute[] = "execute";
} // namespace plugin_keys

// A description file read into its keys: the first line of a key wins, except "param",
// which collects every line in order. Keys match ignoring case; keys and values are trimmed.
class TPlugInDescription
{
public:
    bool Load(const std::string &path); // false when the file cannot be read
    std::string Value(const std::string &key) const;
    std::vector<std::string> Params() const;

private:
    std::vector<std::pair<std::string, std::string>> Entries;
};

// The parameter file of a program: "<program>.ini" beside it, or "<runtime>/corvex-parameters/
// <program file name>.ini" when this user cannot write to its folder. The launcher and the
// launched program both ask here, so they agree.
std::string ParameterFileFor(const std::string &programPath);

// The lines of the running program's own parameter file (empty when there is none).
TStringList ReadOwnParameters();

// The exit code with which the mailbox import, having found nothing to take over, asks the
// monitor for its mailbox editor.
inline constexpr int EditMailboxByHandExitCode = 3;

class TPlugIns
{
public:
    TPlugIns();

    // Folder of the running program, with trailing "/"; tests may point it elsewhere.
    std::string ProgramFolder;

    // Filled by the caller (cleared first) before a start; a start consumes and clears it.
    TStringList Params;

    // Window hooks of the program, both optional: BeforeStart drops the topmost state of the
    // application's windows; AfterChild brings the application to the front again (restoring
    // the topmost state when "Keep On Top" is on) once a child has ended, unless the child ended
    // because a copy of it runs already (that copy's window is the one the user asked for).
    std::function<void()> BeforeStart;
    std::function<void()> AfterChild;
    // How the last child started and waited for ended: its exit code, -1 when it did not end
    // on its own.
    int LastExitCode = -1;

    void SetRoot(const std::string &dataRoot);

    // Rebuild a group's table from its two folders and fill list with menuid=caption lines in
    // reading order. An empty folder name means "Extentions" or "PlugIns".
    void LoadExtensions(const std::string &folderName, TStringList &list);
    void LoadPlugIns(const std::string &folderName, TStringList &list);

    // Start the program registered under caption in the Extentions or PlugIns group. False
    // when nothing was started (unknown caption, no program file, process not created).
    bool Launch(const std::string &caption);
    bool LaunchPlugIn(const std::string &caption);

    // Whether the last program started still holds its single-instance lock (named by its
    // "mutex" key, else by its caption).
    bool IsRunning();

    // The two folders of each group as computed by the last load (for diagnostics and tests).
    std::string ExtentionsFolders[2];
    std::string PlugInsFolders[2];
    // caption=description file lines of each group.
    const TStringList &ExtentionsTable() const { return Extentions; }
    const TStringList &PlugInsTable() const { return PlugIns; }

private:
    void LoadGroup(const std::string (&folders)[2], TStringList &table, TStringList &list);
    bool Start(const TStringList &table, const std::string &caption);
    std::string ResolveProgram(const std::string &executable) const;

    std::string DataRoot;
    TStringList Extentions;
    TStringList PlugIns;
    std::string LastLockName;
};
