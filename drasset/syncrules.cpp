#include "drasset/syncrules.h"

#include <QDir>
#include <algorithm>

#include "common/filterparam.h"
#include "common/names.h"
#include "common/platform/files.h"
#include "common/platform/shares.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

constexpr char OlderLayoutFolders[] = "%sWindows/Application Data/%s/";
constexpr char NtProfilesFolder[] = "%sDocuments and Settings/";
constexpr char NtLayoutFolder[] = "%sDocuments and Settings/%s/Application Data/%s/";
constexpr const char *OlderMarkers[] = {"Windows", "My Documents"};
constexpr const char *NtMarkers[] = {"Documents and Settings", "Winnt"};
// Where a Linux installation keeps its data folder, relative to a share holding "/" or a home.
constexpr const char *LinuxDataFolder = ".local/share/";

constexpr char SeveralInstallations[] =
    "Several installations were found on the share:\n%s\nChoose the exact folder of the one "
    "to copy from.";
constexpr char NoInstallation[] = "No Corvex installation was found in %s";
constexpr char CantRead[] = "Can't read %s";
constexpr char CantWrite[] = "Can't write %s";
constexpr unsigned MountAppearMs = 5000;

bool HoldsInstallation(const std::string &folder)
{
    return TUtils::FileExists(TUtils::AddBackslash(folder) + names::PopSrvFile);
}

std::vector<std::string> SubFolders(const std::string &folder)
{
    std::vector<std::string> names;
    const QStringList entries = QDir(QString::fromStdString(folder))
                                    .entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    for (const QString &entry : entries)
        names.push_back(entry.toStdString());
    return names;
}

std::string FileName(const std::string &path)
{
    const std::size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The name of the folder that holds path ("" for a file at the top).
std::string LastFolderName(const std::string &path)
{
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return {};
    return FileName(path.substr(0, slash));
}

int CountFolders(const std::string &root, const char *const (&names)[2])
{
    return int(std::count_if(std::begin(names), std::end(names),
                             [&](const char *name) { return TUtils::FolderExists(root + name); }));
}

} // namespace

TSyncRules::TSyncRules()
{
    ResolveSource = [this](const std::string &source, std::string &folder, std::string &root) {
        return ResolveOnShare(source, folder, root);
    };
}

bool TSyncRules::Fail(const std::string &text)
{
    LastError = text;
    if (Utils)
        Utils->DebugLog("%s", text.c_str());
    return false;
}

bool TSyncRules::ResolveOnShare(const std::string &source, std::string &folder, std::string &root)
{
    folder = Trim(source);
    platform::TNetworkLocation location;
    if (platform::ParseNetworkLocation(folder, location)) {
        folder = platform::MountedFolderOf(location);
        if (folder.empty()) {
            std::string password, error;
            if (!AskLogon || !AskLogon(location.User, password))
                return Fail(Format(LogonCancelled, location.Uri().c_str()));
            if (!platform::MountShare(location, password, error))
                return Fail(error);
            // The mounted folder appears a moment after the mount is reported.
            Utils->WaitFor([&] { return !(folder = platform::MountedFolderOf(location)).empty(); },
                           MountAppearMs);
        }
    }
    if (folder.empty() || !TUtils::FolderExists(folder) || !platform::ShareRootOf(folder, root))
        return Fail(MustBeNetworkDrive);
    return true;
}

int32_t TSyncRules::DetectLayout(const std::string &root)
{
    const int older = CountFolders(root, OlderMarkers);
    const int nt = CountFolders(root, NtMarkers);
    if (nt > older)
        return ltWindowsNT;
    return older > nt ? ltOlderWindows : ltUndecided;
}

std::vector<std::string> TSyncRules::FindInstallations(const std::string &sourceFolder)
{
    const std::string source = TUtils::AddBackslash(sourceFolder);
    // The source itself, or the data folder directly inside it.
    if (source.find(names::DataRootFolder) == std::string::npos &&
        HoldsInstallation(source + names::DataRootFolder))
        return {source + names::DataRootFolder + "/"};
    if (HoldsInstallation(source))
        return {source};

    std::vector<std::string> found;
    auto consider = [&found](const std::string &folder) {
        const std::string dataRoot = TUtils::AddBackslash(folder);
        if (HoldsInstallation(dataRoot) &&
            std::find(found.begin(), found.end(), dataRoot) == found.end())
            found.push_back(dataRoot);
    };
    // Linux homes first: the share is a home, a folder of homes, or a whole system.
    const std::string linuxData = std::string(LinuxDataFolder) + names::DataRootFolder;
    consider(ShareRoot + linuxData);
    for (const std::string &user : SubFolders(ShareRoot + "home"))
        consider(ShareRoot + "home/" + user + "/" + linuxData);
    for (const std::string &user : SubFolders(ShareRoot))
        consider(ShareRoot + user + "/" + linuxData);

    // Then the Windows layouts.
    LayoutType = DetectLayout(ShareRoot);
    CandidateList.Clear();
    if (found.empty() && LayoutType == ltOlderWindows) {
        const std::string users =
            Format(OlderLayoutFolders, ShareRoot.c_str(), names::DataRootFolder);
        for (const std::string &name : SubFolders(users))
            consider(users + name);
    } else if (found.empty() && LayoutType == ltWindowsNT) {
        for (const std::string &name : SubFolders(Format(NtProfilesFolder, ShareRoot.c_str())))
            consider(
                Format(NtLayoutFolder, ShareRoot.c_str(), name.c_str(), names::DataRootFolder));
    }

    // Last, the folders this machine synchronised with before.
    if (found.empty()) {
        CandidateList.LoadFromFile(SyncSearchPath());
        for (const std::string &line : CandidateList)
            if (line.find(ShareRoot) != std::string::npos)
                consider(line);
    }
    return found;
}

std::string TSyncRules::SyncSearchPath() const
{
    return TUtils::AddBackslash(LocalDataRoot) + SyncSearchFile;
}

bool TSyncRules::SyncNext()
{
    if (SyncFiles.Empty())
        return true;
    if (!SyncRulesFile(Trim(SyncFiles[0])))
        return false;
    SyncFiles.Delete(0);
    return true;
}

bool TSyncRules::SyncRulesFile(const std::string &file)
{
    LastError.clear();
    std::string folder, root;
    if (!ResolveSource(RulesSource, folder, root))
        return LastError.empty() ? Fail(MustBeNetworkDrive) : false;
    ShareRoot = TUtils::AddBackslash(root);

    TargetName = FileName(file);
    RelativeFolder.clear();
    if (TargetName == names::PriorityFile || TargetName == names::RejectFile)
        RelativeFolder = LastFolderName(file) + "/";

    const std::vector<std::string> found = FindInstallations(folder);
    if (found.empty())
        return Fail(Format(NoInstallation, RulesSource.c_str()));
    // Copying from one of several installations would be a guess.
    if (found.size() > 1 && SyncMode == smReplaceLocal)
        return Fail(Format(SeveralInstallations, JoinText(found, "\n").c_str()));
    for (const std::string &dataRoot : found) {
        RemoteDataRoot = dataRoot;
        if (!SyncOneFile(file))
            return false;
    }
    return true;
}

bool TSyncRules::SyncOneFile(const std::string &file)
{
    const std::string remoteFolder = TUtils::AddBackslash(RemoteDataRoot) + RelativeFolder;
    const std::string remote = TUtils::AddBackslash(remoteFolder) + TargetName;
    TStringList remoteLines, localLines;
    // A file that exists but cannot be read is never replaced: its rules would be lost.
    const TListLoad remoteLoad = LoadListFile(remote, remoteLines);
    if (remoteLoad == TListLoad::Unreadable)
        return Fail(Format(CantRead, remote.c_str()));
    const TListLoad localLoad = LoadListFile(file, localLines);
    if (localLoad == TListLoad::Unreadable)
        return Fail(Format(CantRead, file.c_str()));

    auto writeRemote = [&]() {
        std::string error;
        if (!RelativeFolder.empty() && !TUtils::FolderExists(remoteFolder))
            QDir().mkdir(QString::fromStdString(remoteFolder));
        return platform::WriteFileOnShare(remote, remoteLines.Text(), error) ||
               Fail(Format(CantWrite, remote.c_str()) + "\n" + error);
    };
    auto writeLocal = [&]() {
        return localLines.SaveToFile(file) || Fail(Format(CantWrite, file.c_str()));
    };
    // A side that has no file gives nothing to copy: its partner is left as it is.
    auto skip = [&](const std::string &missing) {
        Skipped.Add(missing);
        Utils->DebugLog("Not synchronised, %s does not exist", missing.c_str());
        return true;
    };

    switch (SyncMode) {
    case smReplaceDestination:
        if (localLoad == TListLoad::Missing)
            return skip(file);
        remoteLines = localLines;
        if (!writeRemote())
            return false;
        break;
    case smReplaceLocal:
        if (remoteLoad == TListLoad::Missing)
            return skip(remote);
        localLines = remoteLines;
        if (!writeLocal())
            return false;
        break;
    default:
        MergeRules(localLines, remoteLines);
        if (!writeLocal())
            return false;
        MergeRules(remoteLines, localLines);
        if (!writeRemote())
            return false;
        break;
    }
    RecordSearchFolder();
    return true;
}

void TSyncRules::RecordSearchFolder()
{
    TStringList folders;
    const std::string path = SyncSearchPath();
    if (TUtils::FileExists(path) && !folders.LoadFromFile(path))
        return; // an unreadable memory is kept rather than replaced
    if (folders.IndexOf(RemoteDataRoot) >= 0)
        return;
    folders.Add(RemoteDataRoot);
    folders.SaveToFile(path);
}
