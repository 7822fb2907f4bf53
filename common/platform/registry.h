// A read-mostly registry of keys and typed values.
//
// The view answers two roots. Under the machine root, "\Software\Clients\Mail" and its
// sub-keys describe the installed mail programs (from the desktop entries): the key's default
// value is the default program's id, each program's sub-key has its display name as default
// value, and "\<id>\shell\open\command" has the start command as default value. Every other
// key, under either root, comes from a file in the data root ("Registry.ini") that keeps key
// paths, value names and typed values. Key paths start with "\" and match ignoring case.
//
// File format: one "[Root\Key\Path]" section per key (Root is "Machine" or "User"), then one
// line per value: name=type:data, where "@" names the default value, type is sz, expand_sz,
// dword (decimal) or hex (bytes as two-digit hex pairs), and "\" escapes "\\", "\n", "\r",
// "\=" and "\0" in names and texts.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform {

enum class TRegRoot { Machine, User };
enum class TRegType { None, String, ExpandString, Integer, Binary, Other };

struct TRegValue
{
    std::string Name; // "" is the key's default value
    TRegType Type = TRegType::String;
    std::string Data; // the text, or the raw bytes; an integer's 4 bytes little-endian
};

struct TRegKey
{
    std::string Path; // as first written, e.g. "\Software\Foo"
    std::vector<TRegValue> Values;
};

// The registry file: loading, changing and saving (tests and tools write it).
class TRegistryFile
{
public:
    explicit TRegistryFile(std::string path = DefaultPath());
    static std::string DefaultPath(); // <XDG data home>/Corvex Users/Registry.ini

    const std::string &Path() const { return FilePath; }
    bool Load();       // false when the file cannot be read (the registry is then empty)
    bool Save() const; // atomic, mode 0600

    void AddKey(TRegRoot root, const std::string &key);
    void SetString(TRegRoot root, const std::string &key, const std::string &name,
                   const std::string &text);
    void SetExpandString(TRegRoot root, const std::string &key, const std::string &name,
                         const std::string &text);
    void SetInteger(TRegRoot root, const std::string &key, const std::string &name, int32_t value);
    void SetBinary(TRegRoot root, const std::string &key, const std::string &name,
                   const std::string &bytes);
    void SetValue(TRegRoot root, const std::string &key, const TRegValue &value);

    const TRegKey *FindKey(TRegRoot root, const std::string &key) const;
    // Names of the direct sub-keys of key (keys only implied by deeper paths count too).
    std::vector<std::string> SubKeyNames(TRegRoot root, const std::string &key) const;

private:
    std::string FilePath;
    std::map<std::string, TRegKey> Keys; // by "root|lower-case path"
    TRegKey &KeyFor(TRegRoot root, const std::string &key);
};

// The accessor the readers use: select a root, open one key read-only, read its contents.
class TRegistry
{
public:
    explicit TRegistry(std::string registryFile = TRegistryFile::DefaultPath());

    void SetRootKey(TRegRoot root) { Root = root; }
    // Opens key (an absolute path) for reading; false when it does not exist.
    bool OpenKeyReadOnly(const std::string &key);
    void CloseKey();
    bool KeyIsOpen() const { return Open; }

    std::vector<std::string> GetKeyNames() const;   // sub-keys of the open key
    std::vector<std::string> GetValueNames() const; // values of the open key
    bool ValueExists(const std::string &name) const;
    TRegType GetDataType(const std::string &name) const; // None when missing
    int GetDataSize(const std::string &name) const;      // -1 when missing
    std::string ReadString(const std::string &name) const;
    int32_t ReadInteger(const std::string &name) const;
    std::string ReadBinaryData(const std::string &name) const;

private:
    std::string FilePath;
    TRegRoot Root = TRegRoot::User;
    bool Open = false;
    TRegKey Current;
    std::vector<std::string> CurrentSubKeys;
    const TRegValue *FindValue(const std::string &name) const;
    bool OpenMailProgramKey(const std::string &key);
};

} // namespace platform
