// TSyncRules: brings this machine's priority and rejection list files into line with those of
// another installation of the same user, found on a network share. One file at a time; an
// error stops the run and leaves the file first in the queue.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/stringlist.h"

enum TSyncMode : uint16_t {
    smReplaceDestination = 1, // remote := local
    smReplaceLocal = 2,       // local := remote
    smCombine = 3             // both get the lines of the other
};

// Windows layouts of a share that holds a whole system drive.
enum TLayoutType : int32_t { ltUndecided = 0, ltOlderWindows = 1, ltWindowsNT = 2 };

inline constexpr char SyncSearchFile[] = "SyncSearch.info";
inline constexpr char MustBeNetworkDrive[] = "Must be a network drive!";
inline constexpr char SyncErrorStatus[] = "Error syncing rules file";
inline constexpr char ProcessingStatus[] = "Processing: %s";
inline constexpr char LogonCancelled[] = "Logon to %s cancelled";

class TSyncRules
{
public:
    TSyncRules();

    TStringList SyncFiles;   // local list files still to treat, the next one first
    std::string RulesSource; // the folder or network location the user chose
    uint16_t SyncMode = smReplaceDestination;
    std::string ShareRoot; // the share's top folder, with trailing "/"
    int32_t LayoutType = ltUndecided;
    std::string RemoteDataRoot; // the other installation's data folder, with trailing "/"
    std::string TargetName;     // name of the file being treated
    std::string RelativeFolder; // "" or, for a mailbox's list, its inbox folder name + "/"
    TStringList CandidateList;
    std::string LocalDataRoot; // where "SyncSearch.info" lies
    std::string LastError;     // why the last file failed, for the user
    TStringList Skipped;       // files left alone because their partner does not exist

    // Resolves RulesSource to a folder on a mounted share and that share's top folder; false
    // (LastError set) when the source is not on a network share. The default mounts a typed
    // location that is not mounted yet, asking AskLogon for the user and password.
    std::function<bool(const std::string &source, std::string &folder, std::string &root)>
        ResolveSource;
    // Asks for the logon to a share; user comes in as the location names it. An empty
    // password is a guest logon. False when the user cancelled.
    std::function<bool(std::string &user, std::string &password)> AskLogon;

    // Treats SyncFiles line 0 and removes it when that succeeded.
    bool SyncNext();
    bool SyncRulesFile(const std::string &file);
    bool SyncOneFile(const std::string &file);
    // Which Windows layout the share root holds, by the marker folders found in it.
    static int32_t DetectLayout(const std::string &root);
    // The data folders of other installations reachable from the source folder.
    std::vector<std::string> FindInstallations(const std::string &sourceFolder);

    std::string SyncSearchPath() const;

private:
    bool ResolveOnShare(const std::string &source, std::string &folder, std::string &root);
    bool Fail(const std::string &text);
    void RecordSearchFolder();
};
