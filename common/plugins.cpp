#include "common/plugins.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <QUrl>

#include "common/globals.h"
#include "common/names.h"
#include "common/platform/files.h"
#include "common/platform/folders.h"
#include "common/platform/locks.h"
#include "common/platform/opener.h"
#include "common/platform/process.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

constexpr char DescriptionExt[] = ".ini";
constexpr char ParameterFileFormat[] = "%s.ini";
constexpr char ExecuteChild[] = "child";
constexpr char ExecuteSpawn[] = "spawn";
constexpr unsigned SpawnSettleMs = 3000;

void Log(const std::string &line)
{
    if (Utils)
        Utils->DebugLog("%s", line.c_str());
}

// One turn of the program's event pump; false once the program is quitting.
bool PumpWhileChildRuns()
{
    TUtils::ProcessMessages();
    return !TUtils::Terminating();
}

std::string FileNameOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The description files of a folder, sorted by name so the reading order does not depend on
// the file system.
std::vector<std::string> DescriptionFiles(const std::string &folder)
{
    std::vector<std::string> files;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
        std::error_code typeError;
        std::string name = entry.path().filename().string();
        if (entry.is_regular_file(typeError) && name.size() > 4 && EndsText(name, DescriptionExt))
            files.push_back(TUtils::AddBackslash(folder) + name);
    }
    std::sort(files.begin(), files.end(), [](const std::string &a, const std::string &b) {
        return LowerCase(a) < LowerCase(b);
    });
    return files;
}

} // namespace

// ---- description files

bool TPlugInDescription::Load(const std::string &path)
{
    Entries.clear();
    TStringList lines;
    if (!lines.LoadFromFile(path))
        return false;
    for (const std::string &line : lines) {
        size_t equals = line.find('=');
        if (equals == std::string::npos)
            continue;
        Entries.emplace_back(LowerCase(Trim(line.substr(0, equals))),
                             Trim(line.substr(equals + 1)));
    }
    return true;
}

std::string TPlugInDescription::Value(const std::string &key) const
{
    std::string wanted = LowerCase(key);
    for (const auto &[name, value] : Entries)
        if (name == wanted)
            return value;
    return {};
}

std::vector<std::string> TPlugInDescription::Params() const
{
    std::vector<std::string> params;
    for (const auto &[name, value] : Entries)
        if (name == plugin_keys::Param)
            params.push_back(value);
    return params;
}

std::string ParameterFileFor(const std::string &programPath)
{
    const std::string folder = TUtils::ExtractParent(programPath, "/");
    if (platform::FolderWritable(folder))
        return Format(ParameterFileFormat, programPath.c_str());
    // An installed program folder belongs to root: the user's own runtime folder holds the file.
    const std::string perUser = platform::RuntimeFolder() + "/" + names::ParameterFolder;
    platform::MakePrivateFolder(perUser);
    return Format(ParameterFileFormat, (perUser + "/" + FileNameOf(programPath)).c_str());
}

TStringList ReadOwnParameters()
{
    TStringList lines;
    lines.LoadFromFile(ParameterFileFor(platform::ExecutablePath()));
    return lines;
}

// ---- the registry

TPlugIns::TPlugIns() : ProgramFolder(platform::ExecutableFolder()) {}

void TPlugIns::SetRoot(const std::string &dataRoot)
{
    DataRoot = dataRoot;
}

void TPlugIns::LoadExtensions(const std::string &folderName, TStringList &list)
{
    const std::string name = folderName.empty() ? names::ExtentionsFolder : folderName;
    std::string beside = TUtils::AddBackslash(ProgramFolder) + name;
    // An installed copy may keep its programs one folder below the shared "Extentions".
    if (!TUtils::FolderExists(beside)) {
        std::string parent =
            TUtils::ExtractParent(TUtils::RemoveTrailingBackslash(ProgramFolder), "/");
        beside = TUtils::AddBackslash(parent) + name;
    }
    ExtentionsFolders[0] = beside;
    ExtentionsFolders[1] = TUtils::AddBackslash(DataRoot) + name;
    LoadGroup(ExtentionsFolders, Extentions, list);
}

void TPlugIns::LoadPlugIns(const std::string &folderName, TStringList &list)
{
    const std::string name = folderName.empty() ? names::PlugInsFolder : folderName;
    PlugInsFolders[0] = TUtils::AddBackslash(ProgramFolder) + name;
    PlugInsFolders[1] = TUtils::AddBackslash(DataRoot) + name;
    LoadGroup(PlugInsFolders, PlugIns, list);
}

void TPlugIns::LoadGroup(const std::string (&folders)[2], TStringList &table, TStringList &list)
{
    list.Clear();
    table.Clear();
    for (const std::string &folder : folders) {
        for (const std::string &file : DescriptionFiles(folder)) {
            TPlugInDescription description;
            if (!description.Load(file)) {
                Log("Can't read plug-in description " + file);
                continue;
            }
            std::string caption = description.Value(plugin_keys::Caption);
            if (caption.empty())
                caption = TUtils::BaseNameNoExt(file);
            table.Add(caption + "=" + file);
            list.Add(description.Value(plugin_keys::MenuId) + "=" + caption);
        }
    }
}

bool TPlugIns::Launch(const std::string &caption)
{
    return Start(Extentions, caption);
}

bool TPlugIns::LaunchPlugIn(const std::string &caption)
{
    return Start(PlugIns, caption);
}

// A relative program file is looked for in the program folder (never the current folder); a
// missing one is tried under its own name in the program folder.
std::string TPlugIns::ResolveProgram(const std::string &executable) const
{
    const std::string folder = TUtils::AddBackslash(ProgramFolder);
    std::string program = executable.front() == '/' ? executable : folder + executable;
    if (TUtils::FileExists(program))
        return program;
    program = folder + FileNameOf(executable);
    return TUtils::FileExists(program) ? program : std::string();
}

bool TPlugIns::Start(const TStringList &table, const std::string &caption)
{
    // Params belong to this one start, whatever its outcome.
    TStringList params = Params;
    Params.Clear();

    int index = caption.empty() ? -1 : table.IndexOfName(caption);
    if (index < 0)
        return false;
    TPlugInDescription description;
    if (!description.Load(table.ValueFromIndex(index))) {
        Log("Can't read plug-in description " + table.ValueFromIndex(index));
        return false;
    }
    const std::string execute = LowerCase(description.Value(plugin_keys::Execute));
    const std::string executable = description.Value(plugin_keys::Executable);
    if (executable.empty())
        return false;
    const std::string program = ResolveProgram(executable);
    if (program.empty()) {
        Log("Plug-in " + caption + ": program not found: " + executable);
        return false;
    }
    const bool child = execute.empty() || execute == ExecuteChild;
    if (!child && execute != ExecuteSpawn) {
        // Starting nothing must not look like a successful start to the caller.
        Log("Plug-in " + caption + ": unknown execute value: " + execute);
        return false;
    }

    std::vector<std::string> args;
    std::string parameterFile;
    if (params.Empty()) {
        args = description.Params();
    } else {
        parameterFile = ParameterFileFor(program);
        if (!params.SaveToFile(parameterFile)) {
            Log("Plug-in " + caption + ": can't write parameter file " + parameterFile);
            return false;
        }
        args = {parameterFile};
    }

    std::string lockName = description.Value(plugin_keys::Mutex);
    LastLockName = lockName.empty() ? caption : lockName;
    if (BeforeStart)
        BeforeStart();

    bool started = false;
    if (child) {
        platform::TRunResult result = platform::RunAndWait(program, args, PumpWhileChildRuns);
        started = result.Started;
        LastExitCode = result.Finished && !result.Crashed ? result.ExitCode : -1;
        if (!started)
            Log("Plug-in " + caption + ": " + result.ErrorText);
        // A copy that was running already holds the lock and ended this one: it takes the
        // parameters from the file, and its window, not this program's, is what the user asked
        // for.
        const bool copyRuns = started && platform::IsInstanceLockPresent(LastLockName, DataRoot);
        if (!parameterFile.empty() && !copyRuns)
            std::remove(parameterFile.c_str());
        if (AfterChild && !copyRuns)
            AfterChild();
    } else {
        std::string errorText;
        started = Utils ? Utils->ShellOpen(program, args, false)
                        : platform::StartDetached(program, args, "", nullptr, &errorText);
        if (!started)
            Log("Plug-in " + caption + ": can't start " + program + " " + errorText);
        else if (Utils)
            Utils->Delay(SpawnSettleMs);
    }
    if (!started)
        LastLockName.clear();
    return started;
}

bool TPlugIns::IsRunning()
{
    return !LastLockName.empty() && platform::IsInstanceLockPresent(LastLockName, DataRoot);
}

// ---- companion programs started by the monitor (TGlobals operations)

bool TGlobals::StartCompanion(const char *menuId, const std::vector<std::string> &params,
                              bool waitForRulesSync)
{
    PlugIns->Params.Clear();
    for (const std::string &param : params)
        PlugIns->Params.Add(param);
    std::string caption = ExtensionList.Values(menuId);
    bool started = !caption.empty() && PlugIns->Launch(caption);
    if (started) {
        if (Utils)
            Utils->DebugLog("%s", menuId);
        if (waitForRulesSync)
            WaitForRulesSync();
    }
    PlugIns->Params.Clear();
    return started;
}

bool TGlobals::StartStrenna(const std::string &inboxFolder, const std::string &address)
{
    return StartCompanion(names::Strenna, {inboxFolder, address}, true);
}

bool TGlobals::StartFennick(const std::string &inboxFolder)
{
    return StartCompanion(names::Fennick, {inboxFolder}, true);
}

bool TGlobals::StartVelmot(const std::string &listFile)
{
    return StartCompanion(names::Velmot, {listFile}, true);
}

bool TGlobals::StartDrasset(const std::vector<std::string> &listFiles)
{
    return StartCompanion(names::Drasset, listFiles, true);
}

bool TGlobals::StartPelloway()
{
    return StartCompanion(names::Pelloway, {DataRoot}, true);
}

bool TGlobals::StartOmblee(const std::string &anchor)
{
    if (StartCompanion(names::Omblee, {}, false))
        return true;
    return OpenHelpGuide(anchor);
}

std::string TGlobals::HelpGuidePath() const
{
    // The help file's look-up order: the program folder's "Help", else beside the help file.
    std::string guide =
        TUtils::AddBackslash(ProgramFolder) + names::HelpFolder + "/" + names::HelpGuideFile;
    if (!TUtils::FileExists(guide))
        guide = TUtils::ExtractParent(HelpFile, "/") + "/" + names::HelpGuideFile;
    return TUtils::FileExists(guide) ? guide : std::string();
}

bool TGlobals::OpenHelpGuide(const std::string &anchor)
{
    const std::string guide = HelpGuidePath();
    if (guide.empty()) {
        Log("No user guide beside the help file " + HelpFile);
        return false;
    }
    QUrl url = QUrl::fromLocalFile(QString::fromStdString(guide));
    if (!anchor.empty())
        url.setFragment(QString::fromStdString(anchor));
    const std::string target = url.toString(QUrl::FullyEncoded).toStdString();
    const bool opened = platform::Opener().Open(target);
    if (!opened)
        Log("Can't open the user guide " + target);
    return opened;
}

bool TGlobals::StartQuintor()
{
    QuietExit = true;
    bool started = StartCompanion(names::Quintor, {platform::ExecutablePath()}, false);
    if (!started)
        QuietExit = false;
    return started;
}

void TGlobals::WaitForRulesSync()
{
    while (platform::IsInstanceLockPresent(names::Drasset, DataRoot) && !TUtils::Terminating()) {
        if (Utils)
            Utils->Delay(50);
        else
            TUtils::ProcessMessages();
    }
}
