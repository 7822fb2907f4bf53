// TUtils: the one utility object of every program: paths and names, files, the debug log,
// message-pumping waits, starting programs, locks, processes, user folders and the shared
// list sort state.
//
// Paths use "/"; the backslash-named operations keep their names and work with "/". A UNC
// path is accepted as //server/share or \\server\share.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "common/stringlist.h"
#include "common/text.h"

// Reported operating-system version (a modern one); tests may assign other values.
extern int OsMajorVersion;
extern int OsMinorVersion;

// Attribute masks for FindExists / ListFiles.
namespace fileattr {
inline constexpr unsigned ReadOnly = 0x01;
inline constexpr unsigned Hidden = 0x02;
inline constexpr unsigned SysFile = 0x04;
inline constexpr unsigned Directory = 0x10;
inline constexpr unsigned Archive = 0x20;
inline constexpr unsigned AnyFile = 0x3F;
} // namespace fileattr

// Special folder ids understood by GetSpecialFolder.
namespace specialfolder {
inline constexpr int Documents = 5;
inline constexpr int Startup = 7;
inline constexpr int AppData = 26;
} // namespace specialfolder

class TUtils
{
public:
    TUtils();
    ~TUtils();

    // State (see the operations that set them).
    std::string ProgramPath;           // full path of the running program
    std::string ProgramFolder;         // its folder, with trailing "/"
    std::string Drive, Dir, Name, Ext; // last split done by RenameToExtension / ListFiles
    std::string ProcessErrorText;      // "Could Not create process" after a failed launch
    unsigned WaitTimeout = 100;        // ms ShellOpen waits for the started process
    int LastError = 0;                 // errno of the last failed rename
    int SortColumn = 0;
    bool SortDescending = false;
    TStringList *ProcessList = nullptr; // when set, EnumProcesses(0) adds every file name
    std::string LogFileName;            // "" until the first log line (tests may preset it)

    // Paths and names.
    std::string GetWindowsFolder(); // the system temporary folder
    std::string GetProgramFolder(); // sets ProgramPath/ProgramFolder; folder with "/"
    static std::string AddBackslash(const std::string &path);
    static std::string RemoveTrailingBackslash(const std::string &path);
    static std::string StripLeadingBackslash(const std::string &path);
    static std::string AddLeadingDot(const std::string &ext);
    static std::string BuildPath(const std::string &folder, const std::string &name,
                                 const std::string &ext);
    static std::string LeftOfLast(const std::string &text, const std::string &delimiters);
    static std::string ExtractParent(const std::string &text, const std::string &delimiters);
    static std::string RemoveExtension(const std::string &path);
    static std::string BaseNameNoExt(const std::string &path);
    // Returns the server of a UNC path, "" for a local path.
    static std::string SplitPath(const std::string &path, std::string &drive, std::string &dir,
                                 std::string &name, std::string &ext);
    static std::string StripQuotes(const std::string &text);
    static std::string ExpandProgramFiles(const std::string &text);
    static std::string GetShortPath(const std::string &path); // the path unchanged

    // Files and folders. Wildcards (* ?) are honoured in the last path component.
    static bool FindExists(const std::string &pattern, unsigned attributes);
    static bool FileExists(const std::string &path);         // files only
    static bool FolderExists(const std::string &path);       // a real folder only
    static int64_t GetFileSize(const std::string &path);     // 0 when missing
    static std::time_t GetFileDate(const std::string &path); // last write, 0 when missing
    static void CreateFolder(const std::string &path);       // one level, mode 0700
    bool ListFiles(const std::string &pattern, unsigned attributes, TStringList &list,
                   bool includeEmpty);
    std::string RenameToExtension(const std::string &path, const std::string &newExt);

    // Time and text conversions.
    static std::string TimeStamp(); // local time "mm.dd.yyyy.hh.nn.ss"
    static std::string NormalizeMailDate(const std::string &dateText);
    static void SplitSeconds(unsigned total, uint16_t *hours, uint16_t *minutes, uint16_t *seconds);
    static std::string BarsToNewlines(const std::string &text);
    static std::string NewlinesToBars(const std::string &text);

    // Debug log: formats printf-style (cut at 1535 characters), appends a time-stamped line to
    // "Debug.txt" and returns the message.
    std::string DebugLog(const char *format, ...) __attribute__((format(printf, 2, 3)));

    // Processes and waits. ShellOpen starts file: an executable with the parameters as its
    // arguments, anything else (document, folder, URL) through the desktop opener.
    bool ShellOpen(const std::string &file, const std::string &parameters, bool wait);
    bool ShellOpen(const std::string &file, const std::vector<std::string> &arguments, bool wait);
    void Delay(unsigned ms);
    bool WaitForFlag(const bool *flag, bool value, unsigned ms);
    bool WaitFor(const std::function<bool()> &done, unsigned ms); // true when done() held
    bool IsMutexPresent(const std::string &name);
    bool WaitUntilMutexGone(unsigned ms, const std::string &name);
    bool WaitUntilMutexPresent(unsigned ms, const std::string &name);
    int EnumProcesses(int mode); // 0: count (and fill ProcessList), 1: find
    pid_t FindProcessId(const std::string &fileName);
    bool TerminateProcessById(pid_t id);

    // Shell.
    std::string GetSpecialFolder(int folderId); // "" for an unknown id
    void CreateShortcut(const std::string &target, int folderId, const std::string &description,
                        const std::string &linkName);
    std::string GetLoginUserName();
    // The shared sort state of list views: the same column again flips to descending (and
    // back), another column starts ascending. Windows then sort by SortColumn/SortDescending.
    void SortListView(int column);

    // The event pump: one round of pending events; true once the program is quitting.
    static void ProcessMessages();
    static bool Terminating();
    // Marks the program as quitting and ends the event loop.
    static void Terminate();
    static void ResetTerminating(); // for tests

private:
    std::string FindName; // name FindProcessId looks for
    pid_t FoundPid = 0;
};

extern TUtils *Utils;
