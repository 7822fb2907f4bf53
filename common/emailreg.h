// TEMailReg: reads what other mail programs keep about themselves (installed programs, their
// start commands, Outlook Express and Eudora accounts). It only reads.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/platform/registry.h"
#include "common/stringlist.h"

// One Outlook Express account: the account key's name and its values as name=value lines.
struct TAccountEntry
{
    std::string Name;
    TStringList Values;
};

class TEMailReg
{
public:
    TEMailReg();
    ~TEMailReg();

    // Line 0 "default=<key of the default program>", then one "key=display name" line per
    // installed program. Returns the number of lines; the list is untouched when the mail
    // programs key is missing.
    int ListMailClients(TStringList &list);
    // Start command of the program with that key, "" when unknown.
    std::string ReadOpenCommand(const std::string &clientKey);
    // Appends one entry per numbered account; returns the number of entries in list.
    int ReadOutlookExpressAccounts(std::vector<TAccountEntry> &list);
    // Appends "LoginName[=PopServer]" from Eudora's settings file; false when it is unreadable.
    bool ReadEudoraAccount(TStringList &list);
    // One value of the currently open key as text ("" when missing or of another type).
    std::string ReadValueText(const std::string &valueName);

private:
    std::unique_ptr<platform::TRegistry> Reg;
};
