#include "common/platform/registry.h"

#include "common/names.h"
#include "common/platform/folders.h"

namespace platform {

TRegistryFile::TRegistryFile(std::string path) : FilePath(std::move(path)) {}
std::string TRegistryFile::DefaultPath()
{
    return DataHome() + "/" + names::DataRootFolder + "/" + names::RegistryFile;
}
bool TRegistryFile::Load()
{
    return false;
}
bool TRegistryFile::Save() const
{
    return false;
}
void TRegistryFile::AddKey(TRegRoot root, const std::string &key)
{
    KeyFor(root, key);
}
void TRegistryFile::SetString(TRegRoot root, const std::string &key, const std::string &name,
                              const std::string &text)
{
    SetValue(root, key, {name, TRegType::String, text});
}
void TRegistryFile::SetExpandString(TRegRoot root, const std::string &key, const std::string &name,
                                    const std::string &text)
{
    SetValue(root, key, {name, TRegType::ExpandString, text});
}
void TRegistryFile::SetInteger(TRegRoot root, const std::string &key, const std::string &name,
                               int32_t value)
{
}
void TRegistryFile::SetBinary(TRegRoot root, const std::string &key, const std::string &name,
                              const std::string &bytes)
{
    SetValue(root, key, {name, TRegType::Binary, bytes});
}
void TRegistryFile::SetValue(TRegRoot root, const std::string &key, const TRegValue &value) {}
const TRegKey *TRegistryFile::FindKey(TRegRoot root, const std::string &key) const
{
    return nullptr;
}
std::vector<std::string> TRegistryFile::SubKeyNames(TRegRoot root, const std::string &key) const
{
    return {};
}
TRegKey &TRegistryFile::KeyFor(TRegRoot root, const std::string &key)
{
    return Keys[key];
}

TRegistry::TRegistry(std::string registryFile) : FilePath(std::move(registryFile)) {}
bool TRegistry::OpenKeyReadOnly(const std::string &key)
{
    return false;
}
void TRegistry::CloseKey()
{
    Open = false;
}
std::vector<std::string> TRegistry::GetKeyNames() const
{
    return {};
}
std::vector<std::string> TRegistry::GetValueNames() const
{
    return {};
}
bool TRegistry::ValueExists(const std::string &name) const
{
    return false;
}
TRegType TRegistry::GetDataType(const std::string &name) const
{
    return TRegType::None;
}
int TRegistry::GetDataSize(const std::string &name) const
{
    return -1;
}
std::string TRegistry::ReadString(const std::string &name) const
{
    return {};
}
int32_t TRegistry::ReadInteger(const std::string &name) const
{
    return 0;
}
std::string TRegistry::ReadBinaryData(const std::string &name) const
{
    return {};
}
const TRegValue *TRegistry::FindValue(const std::string &name) const
{
    return nullptr;
}
bool TRegistry::OpenMailProgramKey(const std::string &key)
{
    return false;
}

} // namespace platform
