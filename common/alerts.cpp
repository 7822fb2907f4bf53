#include "common/alerts.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/names.h"
#include "common/platform/folders.h"
#include "common/stringlist.h"
#include "common/text.h"
#include "common/utils.h"

namespace fs = std::filesystem;

namespace {

// The line a missing list starts with: the choice of no sound.
const char NoAlertLine[] = "~NONE~=~none~";

const char WaveExt[] = ".wav";

std::string FolderOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string FileNameOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool HasLine(const TStringList &list, const std::string &line)
{
    return std::find(list.begin(), list.end(), line) != list.end();
}

// Adds NAME=path for the wave file unless that line is there already; false when the file
// cannot be listed under a name.
bool AddWaveFile(TStringList &list, const std::string &path)
{
    std::string name = AlertNameOf(path);
    if (name.empty())
        return false;
    std::string line = name + Format("=%s", path.c_str());
    if (!HasLine(list, line))
        list.Add(line);
    return true;
}

// The "*.wav" files of a folder (any case of the extension), sorted; none when it is missing.
std::vector<std::string> WaveFilesIn(const std::string &folder)
{
    std::vector<std::string> files;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->is_regular_file(error) && EndsText(it->path().filename().string(), WaveExt))
            files.push_back(it->path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Loads the list, creating the file with its single default line when it is missing.
bool LoadOrCreate(const std::string &path, TStringList &list)
{
    std::error_code error;
    if (!fs::exists(path, error)) {
        TStringList fresh{NoAlertLine};
        if (!fresh.SaveToFile(path))
            return false;
    }
    return list.LoadFromFile(path);
}

void DropEmptyLines(TStringList &list)
{
    for (int i = list.Count() - 1; i >= 0; --i)
        if (Trim(list[i]).empty())
            list.Delete(i);
}

bool Save(const TStringList &list, const std::string &path)
{
    if (list.SaveToFile(path))
        return true;
    if (Utils)
        Utils->DebugLog("Can' save alert file %s", path.c_str());
    return false;
}

} // namespace

std::string AlertsFilePath(const std::string &rulesFolder)
{
    return TUtils::AddBackslash(rulesFolder) + names::AlertsFile;
}

std::vector<std::string> AlertSoundFolders()
{
    return {TUtils::AddBackslash(FolderOf(platform::ExecutablePath())) + names::MediaFolder,
            TUtils::AddBackslash(platform::DocumentsFolder()) + names::MyAlertsFolder};
}

std::string AlertNameOf(const std::string &waveFile)
{
    std::string file = FileNameOf(waveFile);
    size_t dot = file.rfind('.');
    std::string name = UpperCase(dot == std::string::npos ? file : file.substr(0, dot));
    // The name is the key of a name=value line, so it cannot hold "=" or a line break.
    if (name.empty() || name.find_first_of("=\r\n") != std::string::npos)
        return {};
    return name;
}

bool LoadAlerts(const std::string &rulesFolder, const std::vector<std::string> &soundFolders)
{
    const std::string path = AlertsFilePath(rulesFolder);
    TStringList list;
    if (!LoadOrCreate(path, list) && Utils)
        Utils->DebugLog("Alert file missing: %s", path.c_str());
    DropEmptyLines(list);

    for (const std::string &folder : soundFolders)
        for (const std::string &file : WaveFilesIn(folder))
            if (!AddWaveFile(list, file) && Utils)
                Utils->DebugLog("Alert sound skipped, no usable name: %s", file.c_str());

    list.Sort();
    return !list.Empty() && Save(list, path);
}

TStringList ReadAlerts(const std::string &rulesFolder)
{
    TStringList list;
    list.LoadFromFile(AlertsFilePath(rulesFolder));
    DropEmptyLines(list);
    return list;
}

std::string AlertFile(const std::string &rulesFolder, const std::string &name)
{
    if (Trim(name).empty())
        return {};
    const TStringList list = ReadAlerts(rulesFolder);

    // Several folders may hold a sound of the same name; prefer one whose file is there.
    std::string firstByName;
    for (int i = 0; i < list.Count(); ++i) {
        if (!SameText(list.Names(i), name))
            continue;
        std::string file = list.ValueFromIndex(i);
        if (TUtils::FileExists(file))
            return file;
        if (firstByName.empty())
            firstByName = file;
    }
    if (!firstByName.empty())
        return firstByName;

    for (int i = 0; i < list.Count(); ++i)
        if (SameText(list.ValueFromIndex(i), name))
            return list.ValueFromIndex(i);
    return {};
}

std::string AlertNameFor(const std::string &rulesFolder, const std::string &waveFile)
{
    if (waveFile.empty())
        return {};
    const std::string path = AlertsFilePath(rulesFolder);
    TStringList list;
    if (!LoadOrCreate(path, list) && Utils)
        Utils->DebugLog("Alert file missing: %s", path.c_str());
    DropEmptyLines(list);
    if (!AddWaveFile(list, waveFile)) {
        if (Utils)
            Utils->DebugLog("Alert sound skipped, no usable name: %s", waveFile.c_str());
        return {};
    }
    list.Sort();
    // A name that is not in the saved list would never find its sound again.
    if (!Save(list, path))
        return {};
    return AlertNameOf(waveFile);
}
