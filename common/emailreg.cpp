#include "common/emailreg.h"

#include "common/platform/folders.h"
#include "common/text.h"
#include "common/utils.h"

namespace {

constexpr char MailClientsKey[] = "\\Software\\Clients\\Mail";
constexpr char AccountsKey[] = "\\Software\\Microsoft\\Internet Account Manager\\Accounts";
constexpr char EudoraIni[] = "Qualcomm/eudora/eudora.ini";
constexpr char EudoraLoginName[] = "LoginName";
constexpr char EudoraPopServer[] = "PopServer";
constexpr char DefaultEntry[] = "default";
constexpr char OpenCommandPath[] = "\\%s\\shell\\open\\command";

} // namespace

TEMailReg::TEMailReg() : Reg(std::make_unique<platform::TRegistry>()) {}

TEMailReg::~TEMailReg() = default;

int TEMailReg::ListMailClients(TStringList &list)
{
    Reg->SetRootKey(platform::TRegRoot::Machine);
    if (!Reg->OpenKeyReadOnly(MailClientsKey)) {
        Reg->CloseKey();
        return list.Count();
    }
    list.Assign(Reg->GetKeyNames());
    list.Insert(0, DefaultEntry + Format("=%s", ReadValueText("").c_str()));
    Reg->CloseKey();
    for (int i = 1; i < list.Count(); ++i) {
        std::string name = list[i];
        if (Reg->OpenKeyReadOnly(MailClientsKey + Format("\\%s", name.c_str()))) {
            list[i] = name + Format("=%s", ReadValueText("").c_str());
            Reg->CloseKey();
        }
    }
    Reg->CloseKey();
    return list.Count();
}

std::string TEMailReg::ReadOpenCommand(const std::string &clientKey)
{
    Reg->SetRootKey(platform::TRegRoot::Machine);
    std::string command;
    if (Reg->OpenKeyReadOnly(MailClientsKey + Format(OpenCommandPath, clientKey.c_str()))) {
        command = ReadValueText("");
        Reg->CloseKey();
    }
    return command;
}

int TEMailReg::ReadOutlookExpressAccounts(std::vector<TAccountEntry> &list)
{
    Reg->SetRootKey(platform::TRegRoot::User);
    if (!Reg->OpenKeyReadOnly(AccountsKey))
        return int(list.size());
    std::vector<std::string> accountNames = Reg->GetKeyNames();
    Reg->CloseKey();
    for (const std::string &name : accountNames) {
        if (StrToIntDef(name, 0) <= 0)
            continue; // "0" and names that are not numbers are not accounts
        if (!Reg->OpenKeyReadOnly(std::string(AccountsKey) + "\\" + name))
            continue;
        TAccountEntry entry;
        entry.Name = name;
        for (const std::string &valueName : Reg->GetValueNames())
            entry.Values.Add(valueName + Format("=%s", ReadValueText(valueName).c_str()));
        list.push_back(std::move(entry));
        Reg->CloseKey();
    }
    return int(list.size());
}

bool TEMailReg::ReadEudoraAccount(TStringList &list)
{
    std::string path = TUtils::AddBackslash(platform::DataHome()) + EudoraIni;
    TStringList lines;
    if (!lines.LoadFromFile(path))
        return false;
    std::string account = lines.Values(EudoraLoginName);
    if (lines.IndexOfName(EudoraPopServer) >= 0)
        account += "=" + lines.Values(EudoraPopServer);
    list.Add(account);
    return true;
}

std::string TEMailReg::ReadValueText(const std::string &valueName)
{
    switch (Reg->GetDataType(valueName)) {
    case platform::TRegType::String:
    case platform::TRegType::ExpandString:
        return Reg->ReadString(valueName); // stored as is, variables not expanded
    case platform::TRegType::Integer:
        return Format("%d", Reg->ReadInteger(valueName));
    case platform::TRegType::Binary: {
        std::string bytes = Reg->ReadBinaryData(valueName);
        return bytes.substr(0, bytes.find('\0'));
    }
    default:
        return {};
    }
}
