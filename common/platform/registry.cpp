#include "common/platform/registry.h"

#include <algorithm>
#include <cstdint>

#include "common/names.h"
#include "common/platform/files.h"
#include "common/platform/folders.h"
#include "common/platform/mailprograms.h"
#include "common/stringlist.h"
#include "common/text.h"

namespace platform {

namespace {

constexpr char MachineRootName[] = "Machine";
constexpr char UserRootName[] = "User";
constexpr char DefaultValueName[] = "@";
constexpr char MailProgramsKey[] = "\\Software\\Clients\\Mail";

struct TTypeName
{
    TRegType Type;
    const char *Name;
};
constexpr TTypeName TypeNames[] = {{TRegType::String, "sz"},
                                   {TRegType::ExpandString, "expand_sz"},
                                   {TRegType::Integer, "dword"},
                                   {TRegType::Binary, "hex"}};

// "\a\\b\" -> "\a\b": one leading "\", no empty components, no trailing "\".
std::string NormalizeKey(const std::string &key)
{
    std::string result;
    for (const std::string &part : SplitText(key, '\\'))
        if (!part.empty())
            result += "\\" + part;
    return result.empty() ? "\\" : result;
}

std::vector<std::string> KeyParts(const std::string &normalized)
{
    std::vector<std::string> parts;
    for (const std::string &part : SplitText(normalized, '\\'))
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

std::string MapKey(TRegRoot root, const std::string &key)
{
    return std::string(root == TRegRoot::Machine ? "M|" : "U|") + LowerCase(NormalizeKey(key));
}

std::string Escape(const std::string &text, bool isName)
{
    std::string result;
    if (isName && text == DefaultValueName)
        return "\\@";
    for (char c : text) {
        switch (c) {
        case '\\':
            result += "\\\\";
            break;
        case '\n':
            result += "\\n";
            break;
        case '\r':
            result += "\\r";
            break;
        case '\0':
            result += "\\0";
            break;
        case '=':
            result += isName ? "\\=" : "=";
            break;
        default:
            result += c;
            break;
        }
    }
    return result;
}

std::string Unescape(const std::string &text)
{
    std::string result;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            result += text[i];
            continue;
        }
        char next = text[++i];
        switch (next) {
        case 'n':
            result += '\n';
            break;
        case 'r':
            result += '\r';
            break;
        case '0':
            result += '\0';
            break;
        default:
            result += next;
            break; // \\ \= \@
        }
    }
    return result;
}

// Position of the first "=" not escaped by "\".
size_t UnescapedEquals(const std::string &line)
{
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\')
            ++i;
        else if (line[i] == '=')
            return i;
    }
    return std::string::npos;
}

std::string ToHex(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string result;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            result += ',';
        unsigned char b = static_cast<unsigned char>(bytes[i]);
        result += digits[b >> 4];
        result += digits[b & 15];
    }
    return result;
}

bool FromHex(const std::string &text, std::string &bytes)
{
    std::string digits;
    for (char c : text)
        if (c != ',' && c != ' ')
            digits += c;
    if (digits.size() % 2 != 0)
        return false;
    bytes.clear();
    for (size_t i = 0; i < digits.size(); i += 2) {
        long long value = -1;
        std::string pair = digits.substr(i, 2);
        if (std::isxdigit(static_cast<unsigned char>(pair[0])) &&
            std::isxdigit(static_cast<unsigned char>(pair[1])))
            value = std::stoll(pair, nullptr, 16);
        if (value < 0)
            return false;
        bytes += char(value);
    }
    return true;
}

std::string IntegerBytes(int32_t value)
{
    uint32_t u = uint32_t(value);
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = char((u >> (8 * i)) & 0xFF);
    return bytes;
}

int32_t BytesInteger(const std::string &bytes)
{
    uint32_t u = 0;
    for (size_t i = 0; i < 4 && i < bytes.size(); ++i)
        u |= uint32_t(static_cast<unsigned char>(bytes[i])) << (8 * i);
    return int32_t(u);
}

// Parses "type:data" into value; false for an unknown type or bad data.
bool ParseValueData(const std::string &text, TRegValue &value)
{
    size_t colon = text.find(':');
    if (colon == std::string::npos)
        return false;
    std::string type = text.substr(0, colon);
    std::string data = text.substr(colon + 1);
    for (const TTypeName &entry : TypeNames) {
        if (!SameText(type, entry.Name))
            continue;
        value.Type = entry.Type;
        if (entry.Type == TRegType::Integer) {
            long long number = StrToIntDef(data, -1LL << 40);
            if (number < INT32_MIN || number > UINT32_MAX)
                return false;
            value.Data = IntegerBytes(int32_t(uint32_t(number)));
            return true;
        }
        if (entry.Type == TRegType::Binary)
            return FromHex(data, value.Data);
        value.Data = Unescape(data);
        return true;
    }
    return false;
}

std::string FormatValue(const TRegValue &value)
{
    std::string name = value.Name.empty() ? DefaultValueName : Escape(value.Name, true);
    for (const TTypeName &entry : TypeNames) {
        if (entry.Type != value.Type)
            continue;
        std::string data;
        if (value.Type == TRegType::Integer)
            data = std::to_string(BytesInteger(value.Data));
        else if (value.Type == TRegType::Binary)
            data = ToHex(value.Data);
        else
            data = Escape(value.Data, false);
        return name + "=" + entry.Name + ":" + data;
    }
    return {};
}

} // namespace

// ---- the registry file

TRegistryFile::TRegistryFile(std::string path) : FilePath(std::move(path)) {}

std::string TRegistryFile::DefaultPath()
{
    return DataHome() + "/" + names::DataRootFolder + "/" + names::RegistryFile;
}

bool TRegistryFile::Load()
{
    Keys.clear();
    TStringList lines;
    if (!lines.LoadFromFile(FilePath))
        return false;
    TRegKey *current = nullptr;
    for (const std::string &raw : lines) {
        // Only the left is trimmed: blanks at the end of a value line belong to its data.
        std::string line = TrimLeft(raw);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (std::string header = TrimRight(line); header.front() == '[' && header.back() == ']') {
            std::string path = header.substr(1, header.size() - 2);
            size_t slash = path.find('\\');
            std::string rootName = path.substr(0, slash);
            std::string key = slash == std::string::npos ? "\\" : path.substr(slash);
            if (SameText(rootName, MachineRootName))
                current = &KeyFor(TRegRoot::Machine, key);
            else if (SameText(rootName, UserRootName))
                current = &KeyFor(TRegRoot::User, key);
            else
                current = nullptr; // unknown root: its values are ignored
            continue;
        }
        size_t equals = UnescapedEquals(line);
        if (!current || equals == std::string::npos)
            continue; // not a value line: skipped, the rest of the file still counts
        TRegValue value;
        std::string name = line.substr(0, equals);
        value.Name = name == DefaultValueName ? std::string() : Unescape(name);
        if (!ParseValueData(line.substr(equals + 1), value))
            continue;
        auto it = std::find_if(current->Values.begin(), current->Values.end(),
                               [&](const TRegValue &v) { return SameText(v.Name, value.Name); });
        if (it == current->Values.end())
            current->Values.push_back(value);
        else
            *it = value;
    }
    return true;
}

bool TRegistryFile::Save() const
{
    std::string text;
    for (const auto &[mapKey, key] : Keys) {
        bool machine = mapKey[0] == 'M';
        std::string path = key.Path == "\\" ? "" : key.Path;
        text += "[" + std::string(machine ? MachineRootName : UserRootName) + path + "]\n";
        for (const TRegValue &value : key.Values)
            text += FormatValue(value) + "\n";
        text += "\n";
    }
    std::string folder = FilePath.substr(0, FilePath.rfind('/'));
    if (!folder.empty())
        MakeFolderPath(folder, DataFolderMode);
    return WriteFileAtomic(FilePath, text);
}

TRegKey &TRegistryFile::KeyFor(TRegRoot root, const std::string &key)
{
    TRegKey &entry = Keys[MapKey(root, key)];
    if (entry.Path.empty())
        entry.Path = NormalizeKey(key);
    return entry;
}

void TRegistryFile::AddKey(TRegRoot root, const std::string &key)
{
    KeyFor(root, key);
}

void TRegistryFile::SetValue(TRegRoot root, const std::string &key, const TRegValue &value)
{
    TRegKey &entry = KeyFor(root, key);
    auto it = std::find_if(entry.Values.begin(), entry.Values.end(),
                           [&](const TRegValue &v) { return SameText(v.Name, value.Name); });
    if (it == entry.Values.end())
        entry.Values.push_back(value);
    else
        *it = value;
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
    SetValue(root, key, {name, TRegType::Integer, IntegerBytes(value)});
}

void TRegistryFile::SetBinary(TRegRoot root, const std::string &key, const std::string &name,
                              const std::string &bytes)
{
    SetValue(root, key, {name, TRegType::Binary, bytes});
}

const TRegKey *TRegistryFile::FindKey(TRegRoot root, const std::string &key) const
{
    auto it = Keys.find(MapKey(root, key));
    return it == Keys.end() ? nullptr : &it->second;
}

std::vector<std::string> TRegistryFile::SubKeyNames(TRegRoot root, const std::string &key) const
{
    std::vector<std::string> names;
    const std::string prefix = MapKey(root, key);
    const size_t depth = KeyParts(NormalizeKey(key)).size();
    for (const auto &[mapKey, entry] : Keys) {
        bool below = mapKey.size() > prefix.size() &&
                     mapKey.compare(0, prefix.size(), prefix) == 0 &&
                     (prefix.back() == '\\' || mapKey[prefix.size()] == '\\');
        if (!below)
            continue;
        std::vector<std::string> parts = KeyParts(entry.Path);
        if (parts.size() <= depth)
            continue;
        const std::string &child = parts[depth];
        bool known = std::any_of(names.begin(), names.end(),
                                 [&](const std::string &n) { return SameText(n, child); });
        if (!known)
            names.push_back(child);
    }
    return names;
}

// ---- the accessor

TRegistry::TRegistry(std::string registryFile) : FilePath(std::move(registryFile)) {}

bool TRegistry::OpenKeyReadOnly(const std::string &key)
{
    CloseKey();
    const std::string normalized = NormalizeKey(key);
    if (Root == TRegRoot::Machine && (SameText(normalized, MailProgramsKey) ||
                                      StartsText(normalized, std::string(MailProgramsKey) + "\\")))
        return OpenMailProgramKey(normalized);

    TRegistryFile file(FilePath);
    file.Load();
    const TRegKey *found = file.FindKey(Root, normalized);
    CurrentSubKeys = file.SubKeyNames(Root, normalized);
    if (!found && CurrentSubKeys.empty())
        return false;
    Current = found ? *found : TRegKey{normalized, {}};
    Open = true;
    return true;
}

// The mail programs, presented as the keys of installed mail clients (see the header).
bool TRegistry::OpenMailProgramKey(const std::string &key)
{
    std::vector<std::string> parts = KeyParts(key);
    const size_t base = KeyParts(MailProgramsKey).size();
    std::vector<TMailProgram> programs = ListMailPrograms();
    Current = TRegKey{key, {}};
    if (parts.size() == base) {
        std::string defaultId = DefaultMailProgramId();
        if (programs.empty() && defaultId.empty())
            return false;
        for (const TMailProgram &program : programs)
            CurrentSubKeys.push_back(program.Id);
        if (!defaultId.empty())
            Current.Values.push_back({"", TRegType::String, defaultId});
        Open = true;
        return true;
    }
    auto program = std::find_if(programs.begin(), programs.end(),
                                [&](const TMailProgram &p) { return SameText(p.Id, parts[base]); });
    if (program == programs.end())
        return false;
    const std::vector<std::string> below(parts.begin() + long(base) + 1, parts.end());
    static const char *const commandPath[] = {"shell", "open", "command"};
    if (below.size() > 3)
        return false;
    for (size_t i = 0; i < below.size(); ++i)
        if (!SameText(below[i], commandPath[i]))
            return false;
    if (below.empty())
        Current.Values.push_back({"", TRegType::String, program->Name});
    else if (below.size() == 3)
        Current.Values.push_back({"", TRegType::String, program->Exec});
    if (below.size() < 3)
        CurrentSubKeys.push_back(commandPath[below.size()]);
    Open = true;
    return true;
}

void TRegistry::CloseKey()
{
    Open = false;
    Current = TRegKey{};
    CurrentSubKeys.clear();
}

std::vector<std::string> TRegistry::GetKeyNames() const
{
    return CurrentSubKeys;
}

std::vector<std::string> TRegistry::GetValueNames() const
{
    std::vector<std::string> names;
    for (const TRegValue &value : Current.Values)
        names.push_back(value.Name);
    return names;
}

const TRegValue *TRegistry::FindValue(const std::string &name) const
{
    if (!Open)
        return nullptr;
    for (const TRegValue &value : Current.Values)
        if (SameText(value.Name, name))
            return &value;
    return nullptr;
}

bool TRegistry::ValueExists(const std::string &name) const
{
    return FindValue(name) != nullptr;
}

TRegType TRegistry::GetDataType(const std::string &name) const
{
    const TRegValue *value = FindValue(name);
    return value ? value->Type : TRegType::None;
}

int TRegistry::GetDataSize(const std::string &name) const
{
    const TRegValue *value = FindValue(name);
    if (!value)
        return -1;
    bool text = value->Type == TRegType::String || value->Type == TRegType::ExpandString;
    return int(value->Data.size()) + (text ? 1 : 0); // texts count their terminating zero
}

std::string TRegistry::ReadString(const std::string &name) const
{
    const TRegValue *value = FindValue(name);
    return value && (value->Type == TRegType::String || value->Type == TRegType::ExpandString)
               ? value->Data
               : std::string();
}

int32_t TRegistry::ReadInteger(const std::string &name) const
{
    const TRegValue *value = FindValue(name);
    return value && value->Type == TRegType::Integer ? BytesInteger(value->Data) : 0;
}

std::string TRegistry::ReadBinaryData(const std::string &name) const
{
    const TRegValue *value = FindValue(name);
    return value ? value->Data : std::string();
}

} // namespace platform
