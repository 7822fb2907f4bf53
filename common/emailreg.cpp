#include "common/emailreg.h"

TEMailReg::TEMailReg() : Reg(std::make_unique<platform::TRegistry>()) {}
TEMailReg::~TEMailReg() = default;
int TEMailReg::ListMailClients(TStringList &list)
{
    return list.Count();
}
std::string TEMailReg::ReadOpenCommand(const std::string &clientKey)
{
    return {};
}
int TEMailReg::ReadOutlookExpressAccounts(std::vector<TAccountEntry> &list)
{
    return int(list.size());
}
bool TEMailReg::ReadEudoraAccount(TStringList &list)
{
    return false;
}
std::string TEMailReg::ReadValueText(const std::string &valueName)
{
    return {};
}
