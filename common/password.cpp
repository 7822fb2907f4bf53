#include "common/password.h"

#include "common/globals.h"

namespace {

TPasswordPrompt &Prompt()
{
    static TPasswordPrompt prompt;
    return prompt;
}

} // namespace

void SetPasswordPrompt(TPasswordPrompt prompt)
{
    Prompt() = std::move(prompt);
}

bool HasPasswordPrompt()
{
    return static_cast<bool>(Prompt());
}

bool RunPasswordDialog(TPasswordMode mode, bool &active, std::string &password,
                       std::size_t maxLength)
{
    if (!Prompt())
        return false;
    TPasswordEntry entry = Prompt()(mode, active, maxLength);
    if (!entry.Accepted)
        return false;
    if (mode != pmNewPassword)
        return entry.Text == password;
    if (!entry.Activate) {
        active = false;
        password.clear();
        return true;
    }
    // An empty password would lock every guarded command for good (an empty expected password
    // is always refused), and a longer one would not fit its field: both are refused.
    if (entry.Text.empty() || entry.Text.size() > maxLength)
        return false;
    password = entry.Text;
    active = true;
    return true;
}

bool VerifyPassword(const std::string &expected)
{
    if (expected.empty())
        return false;
    bool active = true;
    std::string password = expected;
    return RunPasswordDialog(pmVerify, active, password);
}

bool ChangePassword(bool &active, std::string &password, std::size_t maxLength)
{
    const bool oldActive = active;
    const std::string oldPassword = password;
    if (RunPasswordDialog(pmNewPassword, active, password, maxLength)) {
        if (!active)
            return true; // protection switched off: the password was emptied
        bool verifyActive = true;
        if (RunPasswordDialog(pmVerifyNew, verifyActive, password, maxLength))
            return true;
    }
    // Cancelled, refused or not verified: nothing changes.
    active = oldActive;
    password = oldPassword;
    return false;
}

bool ChangeMasterPassword(uint8_t &active, char (&field)[sizeof(TConfigRecord::MasterPassword)])
{
    bool isActive = active != 0;
    std::string password = GetText(field);
    bool changed = ChangePassword(isActive, password, MasterPasswordMax);
    active = isActive ? 1 : 0;
    SetText(field, password);
    return changed;
}

bool RunMasterPasswordCommand(TConfigRecord &config)
{
    if (config.PasswordActive && !VerifyPassword(GetText(config.MasterPassword)))
        return false;
    return ChangeMasterPassword(config.PasswordActive, config.MasterPassword);
}

bool IsRestricted(int action)
{
    if (!Globals)
        return false;
    const TConfigRecord &config = Globals->Config;
    return config.PasswordActive && config.SecurityLevel != 0 && action <= config.SecurityLevel;
}

bool CheckAccess(int action)
{
    return !IsRestricted(action) || VerifyPassword(GetText(Globals->Config.MasterPassword));
}

int FindCheckedMailbox(const TListRows &rows, const std::string &userId)
{
    int index = FindRow(rows, userId);
    if (index < 0)
        return -1;
    const TListRow &row = rows[index];
    if (FlagCellSet(row.Cell(mcBoxProtected)) && !VerifyPassword(row.Cell(mcBoxPassword)))
        return -1;
    return index;
}

TShownMail MaskedMail(const TShownMail &mail, const TListRow &mailbox)
{
    TShownMail shown;
    if (!IsRestricted(saOpenMailbox))
        shown.From = mail.From;
    if (!IsRestricted(saMasterLists)) {
        shown.Subject = mail.Subject;
        shown.Date = mail.Date;
        shown.Size = mail.Size;
        shown.ReplyTo = mail.ReplyTo;
    }
    if (mailbox.Cell(mcBoxProtected) == FlagOn) {
        shown.Subject = PasswordRequiredText;
        shown.Date = mail.Date;
        shown.Size = mail.Size;
        shown.ReplyTo = HiddenReplyToText;
    }
    return shown;
}
