#include "common/globals.h"

#include <QCoreApplication>
#include <QObject>
#include <cstdio>
#include <cstdlib>

#include "common/names.h"
#include "common/platform/files.h"
#include "common/platform/folders.h"
#include "common/platform/mailprograms.h"
#include "common/text.h"
#include "common/utils.h"

TGlobals *Globals = nullptr;

namespace {

constexpr uint16_t EscapeKey = 27;
constexpr char DefaultEntry[] = "default";
constexpr char HiddenMailer[] = "Hotmail";
constexpr char OutlookExpressExe[] = "msimn.exe";
constexpr char OutlookExpressFileArg[] = "/eml:%s";
constexpr size_t LoginNameLimit = 31;

} // namespace

TGlobals::TGlobals() : ProgramFolder(platform::ExecutableFolder())
{
    BuildMailerList();
}

TGlobals::~TGlobals()
{
    if (QCoreApplication *app = QCoreApplication::instance(); app && KeyHook)
        app->removeEventFilter(KeyHook.get());
}

std::string DataRootPath()
{
    std::string root = TUtils::AddBackslash(platform::DataHome()) + names::DataRootFolder;
    // Older layout: one data root per login name below the shared one.
    if (OsMajorVersion < 5)
        root += "/" + platform::LoginUserName().substr(0, LoginNameLimit);
    return root;
}

std::unique_ptr<platform::TInstanceLock> AcquireProgramLock(const char *name)
{
    const std::string root = DataRootPath();
    std::unique_ptr<platform::TInstanceLock> lock = platform::AcquireInstanceLock(name, root);
    if (lock && !lock->HoldsFolderLock())
        std::fprintf(stderr,
                     "%s: no lock file can be kept in %s; only this session's lock "
                     "keeps a second copy out\n",
                     name, root.c_str());
    return lock;
}

void TGlobals::InitPaths()
{
    DataRoot = DataRootPath();
    if (OsMajorVersion < 5)
        platform::MakePrivateFolder(DataRoot); // the shared level above keeps its mode

    PlugIns->SetRoot(DataRoot);
    PlugIns->LoadExtensions("", ExtensionList);
    PlugIns->LoadPlugIns("", PlugInList);

    HelpFile = TUtils::AddBackslash(ProgramFolder) + names::HelpFile;
    if (!TUtils::FileExists(HelpFile)) {
        std::string parent =
            TUtils::ExtractParent(TUtils::RemoveTrailingBackslash(ProgramFolder), "/");
        HelpFile = TUtils::AddBackslash(parent) + names::HelpFile;
    }
}

void TGlobals::CreateDataFolders()
{
    const std::string root = TUtils::AddBackslash(DataRoot);
    const std::string program = TUtils::AddBackslash(ProgramFolder);
    const std::string documents = TUtils::AddBackslash(platform::DocumentsFolder());
    const std::string privateFolders[] = {
        DataRoot,
        root + names::TempFolder,
        root + names::RejectedMailFolder,
        root + names::PlugInsFolder,
        root + names::ExtentionsFolder,
        root + names::ExtBinFolder,
    };
    // Parents are created too: a fresh account may not have ~/.local/share or ~/Documents yet.
    // The data root's folders hold passwords and mail, so a wider mode an older version or the
    // user left on them is taken back; "My Alerts" holds sounds in the user's documents and
    // keeps its mode. A failure is left to the file operations that follow, which report
    // their own errors.
    for (const std::string &folder : privateFolders)
        platform::MakePrivateFolder(TUtils::RemoveTrailingBackslash(folder));
    platform::MakeFolderPath(documents + names::MyAlertsFolder, platform::DataFolderMode);

    // The program folder's own are shared by every user of it and hold no data: readable by all.
    // An installed, read-only folder is left alone; the data root has the user's own.
    if (!platform::FolderWritable(TUtils::RemoveTrailingBackslash(program)))
        return;
    for (const char *name : {names::ExtBinFolder, names::ExtentionsFolder, names::PlugInsFolder})
        platform::MakeFolder(program + name, platform::SharedFolderMode);
}

void TGlobals::SetRejectedPath(const std::string &rulesPath)
{
    RejectedPath =
        TUtils::AddBackslash(rulesPath.empty() ? DataRoot : rulesPath) + names::RejectedMailFolder;
}

bool TGlobals::EscapePressed(bool reset)
{
    if (reset || LastKey != EscapeKey) {
        if (reset)
            LastKey = 0;
        return false;
    }
    LastKey = 0;
    return true;
}

void TGlobals::SetDataVisible(bool visible) {}

void TGlobals::AddProgramFolderToPath()
{
    std::string folder = TUtils::RemoveTrailingBackslash(ProgramFolder);
    if (folder.empty())
        return;
    const char *current = std::getenv("PATH");
    std::string path = current ? current : "";
    // Compared entry by entry: "/a/bin" is not on a PATH that only has "/a/bin2".
    for (const std::string &entry : SplitText(path, ':'))
        if (TUtils::RemoveTrailingBackslash(entry) == folder)
            return;
    // No empty entries: an empty PATH entry would mean the current folder.
    path = path.empty() ? folder : path + ":" + folder;
    ::setenv("PATH", path.c_str(), 1);
}

void TGlobals::BuildMailerList()
{
    TStringList list;
    MailReg.ListMailClients(list);
    DefaultMailer.clear();
    int defaultIndex = list.IndexOfName(DefaultEntry);
    if (defaultIndex >= 0) {
        std::string defaultKey = list.ValueFromIndex(defaultIndex);
        list.Delete(defaultIndex);
        int programIndex = list.IndexOfName(defaultKey);
        if (programIndex >= 0)
            DefaultMailer = list.ValueFromIndex(programIndex);
    }
    MailerList.Clear();
    for (int i = 0; i < list.Count(); ++i)
        MailerList.Add(list.ValueFromIndex(i) + "=" + list.Names(i));
    MailerList.Delete(MailerList.IndexOfName(HiddenMailer));
}

bool TGlobals::RunMailProgram(const std::string &name, const std::string &messageFile)
{
    std::string displayName = ReplaceAll(name, "&", "");
    int index = MailerList.IndexOfName(displayName);
    if (index < 0)
        return false;
    std::string command = MailReg.ReadOpenCommand(MailerList.ValueFromIndex(index));
    std::vector<std::string> args = platform::ExpandExec(command, messageFile);
    if (args.empty()) {
        if (Utils)
            Utils->DebugLog("No start command for the mail program %s", displayName.c_str());
        return false;
    }
    std::string program = args.front();
    args.erase(args.begin());
    std::string drive, dir, fileName, ext;
    TUtils::SplitPath(program, drive, dir, fileName, ext);
    if (!messageFile.empty() && SameText(fileName + ext, OutlookExpressExe))
        args = {Format(OutlookExpressFileArg, messageFile.c_str())};
    TUtils utils;
    TUtils &launcher = Utils ? *Utils : utils;
    return launcher.ShellOpen(program, args, false);
}
