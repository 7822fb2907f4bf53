// TGlobals: one per program. Knows the data root and the other derived folders, the installed
// mail programs and the plug-in lists, and keeps the process-wide flags and counters.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/emailreg.h"
#include "common/platform/locks.h"
#include "common/plugins.h"
#include "common/records.h"
#include "common/stringlist.h"

class QObject;
struct TListRow;

// Counters of one pass of the check cycle.
struct TCheckCounters
{
    uint16_t NewMailState = 0; // 0 nothing new, 1 new mail, 2 priority mail
    uint16_t NewCount = 0;
    uint16_t PriorityCount = 0;
    uint16_t TimedOutCount = 0;
};

class TGlobals
{
public:
    TGlobals();
    ~TGlobals();
    TGlobals(const TGlobals &) = delete;
    TGlobals &operator=(const TGlobals &) = delete;

    // ---- fields, in the order other units know them
    bool QuietExit = false;
    bool CryptoReady = false;
    uint16_t LastKey = 0; // 27 after Esc was released anywhere in the program
    TCheckCounters CheckCounters;
    uint16_t DebugLevel = 0;
    std::string DefaultMailer;
    std::string DataRoot; // without trailing "/"
    std::string RejectedPath;
    TStringList ExtensionList; // menuid=caption
    TStringList PlugInList;    // menuid=caption
    TStringList MailerList;    // display name=key, one per installed mail program
    TConfigRecord Config{};    // the image of "Config.cfg"
    // Click handler the "Run Mail" menus give to each mail-program item (receives its name).
    std::function<void(const std::string &)> RunMailHandler;
    std::unique_ptr<TPlugIns> PlugIns = std::make_unique<TPlugIns>(); // the plug-in registry
    TEMailReg MailReg;
    std::string HelpFile;      // resolved by InitPaths
    std::string ProgramFolder; // folder of the running program, with trailing "/"
    // The mail servers this process saw offer TLS (common/tlsservers.h), whatever became of
    // their list's file, and whether the user was told that the file cannot be written.
    std::set<std::string> TlsServersLearnt;
    bool TlsListUnwritableTold = false;

    // ---- operations
    // Computes DataRoot, loads the plug-in lists and resolves the help file.
    void InitPaths();
    // Creates the data folders (data root, its Temp, Rejected Mail, PlugIns, Extentions, the
    // documents' My Alerts, and Ext Bin, Extentions, PlugIns in the program folder).
    void CreateDataFolders();
    // RejectedPath := rules folder (the data root when empty) + "Rejected Mail".
    void SetRejectedPath(const std::string &rulesPath);
    // Answers true once after Esc was released (and clears it); reset clears and answers false.
    bool EscapePressed(bool reset);
    // Kept for the option "Application Data Visible"; the data folders are always owner-only
    // here, so there is nothing to change.
    void SetDataVisible(bool visible);
    // Starts the installed mail program of that display name, on messageFile when not empty.
    // False when the name is unknown or the program could not be started.
    bool RunMailProgram(const std::string &name, const std::string &messageFile = "");
    // Puts the program folder on PATH when it is not there yet.
    void AddProgramFolderToPath();
    // Rebuilds MailerList (and DefaultMailer) from the installed mail programs.
    void BuildMailerList();

    // ---- companion programs (implemented in plugins.cpp)
    // Each looks its companion up by menuid in ExtensionList and starts it with its parameters
    // in the parameter file; true when it was started. Those that say so wait afterwards while
    // the rules synchronisation tool runs.
    bool StartStrenna(const std::string &inboxFolder, const std::string &address); // waits
    bool StartFennick(const std::string &inboxFolder);                             // waits
    bool StartVelmot(const std::string &listFile);                                 // waits
    bool StartDrasset(const std::vector<std::string> &listFiles);                  // waits
    bool StartPelloway();                                                          // waits
    // The help program when one is registered, else the guide opened at anchor's section.
    bool StartOmblee(const std::string &anchor = "");
    // Sets QuietExit, hands the restart tool this program's path; QuietExit is cleared again
    // when the tool could not be started.
    bool StartQuintor();
    // Pumps events while the rules synchronisation tool holds its lock; ends on quit.
    void WaitForRulesSync();

    // ---- help (implemented in plugins.cpp)
    // The HTML guide, looked up as the help file is: the program folder's "Help", else the
    // help file's folder ("" when neither has it).
    std::string HelpGuidePath() const;
    // Opens the guide in the desktop's browser at the section anchored anchor (its beginning
    // when empty); false, with a log line, when there is no guide or it could not be opened.
    bool OpenHelpGuide(const std::string &anchor);

    // ---- rules and aliases (implemented in filterparam.cpp and alias.cpp)
    // Opens the rule editor on a new rule from a message and appends the accepted rule to the
    // master list of the rules folder or to the mailbox's own list; true when it was added.
    bool AddRuleFromMessage(const std::string &address, const std::string &subject, bool reject,
                            bool master, const std::string &inboxFolder);
    // Appends a rule line unless the file already holds it (ignoring case).
    bool AppendRule(const std::string &file, const std::string &line);
    // The monitor's alias test of a message's "To" for a Mailboxes row (may be null).
    bool AliasMatches(const std::string &toHeader, const TListRow *mailbox);

private:
    bool StartCompanion(const char *menuId, const std::vector<std::string> &params,
                        bool waitForRulesSync);
    std::unique_ptr<QObject> KeyHook;
    friend void InstallEscapeHook(TGlobals &globals);
};

extern TGlobals *Globals;

// The data root of this user as InitPaths computes it (without trailing "/"); nothing is
// created.
std::string DataRootPath();

// A program's single-instance lock (names::MonitorLock, a companion's name), held in the
// runtime folder and in the data root (which is created for it); nullptr when another
// instance holds it in either place.
std::unique_ptr<platform::TInstanceLock> AcquireProgramLock(const char *name);
