// "Config.cfg" and "PopSrv.cfg" as the data store reads them: the first two input bytes give
// the length of the settings file, the rest is the mailbox file. Both are read (with and
// without encryption, as the settings say), shown in the window's controls and saved again.
#include <cstddef>
#include <filesystem>

#include "common/encrypt.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/records.h"
#include "fuzzsupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Init();
    static const bool cryptoReady = InitCrypto();
    if (size < 2)
        return 0;
    const size_t configSize = std::min<size_t>(size - 2, data[0] | (size_t(data[1]) << 8));
    std::string bytes = fuzz::Text(data + 2, size - 2);
    // The rules folder is created where the settings say: keep it inside the private home.
    const size_t rulesPath = offsetof(TConfigRecord, RulesPath);
    if (configSize > rulesPath && bytes[rulesPath] != '\0') {
        static const std::string folder = fuzz::Folder("rules-folder");
        const std::string field = bytes.substr(
            rulesPath, std::min(sizeof(TConfigRecord::RulesPath), configSize - rulesPath));
        std::string safe = folder + '\0' + field;
        safe.resize(field.size(), '\0');
        bytes.replace(rulesPath, field.size(), safe);
    }

    // Every run starts from a data root holding just the two files.
    std::error_code error;
    std::filesystem::remove_all(Globals->DataRoot, error);
    std::filesystem::create_directories(Globals->DataRoot, error);
    fuzz::WriteFile(Globals->DataRoot + "/" + names::ConfigFile, bytes.substr(0, configSize));
    fuzz::WriteFile(Globals->DataRoot + "/" + names::PopSrvFile, bytes.substr(configSize));

    Globals->Config = {};
    Globals->CryptoReady = cryptoReady;
    TDataStore store;
    store.LoadSettings(false, TWindowPos{10, 10, 400, 600});
    SettingsToWindow(Globals->Config);
    const bool encrypted = Globals->Config.EncryptMailboxes != 0;
    store.LoadMailBoxes(encrypted);
    store.SaveMailBoxes(encrypted);
    store.LoadMailBoxes(encrypted);
    store.SavePosition(TWindowPos{1, 2, 3, 4});
    return 0;
}
