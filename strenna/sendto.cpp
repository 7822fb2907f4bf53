#include "strenna/sendto.h"

#include "common/text.h"
#include "common/utils.h"

namespace {

// The mailbox address comes as user ID "@" server; a launcher may have joined the server as
// written ("jo@pop3s://host:995"), which no SMTP server takes as a sender.
std::string SenderOf(const std::string &account)
{
    const size_t at = account.rfind('@');
    if (at == std::string::npos)
        return Trim(account);
    return MailboxSenderAddress(account.substr(0, at), account.substr(at + 1));
}

} // namespace

TSendTo::TSendTo(const std::string &addressBookFile) : AddressBook(addressBookFile)
{
    Sender.DebugLevelRef = &ReportLevel;
    Sender.StatusBar = [this](const std::string &text) {
        Reported.push_back(text);
        if (Display)
            Display(text);
    };
}

void TSendTo::Open(const std::string &file, const std::string &account)
{
    ForwardFile = file;
    ForwardAccount = account;
    Problem.clear();
    AddressBook.Load();
}

bool TSendTo::Send(const std::string &to, const std::string &subject,
                   const std::vector<std::string> &noteLines, const TConfigRecord &settings)
{
    Problem.clear();
    Reported.clear();
    TStringList text;
    if (!text.LoadFromFile(ForwardFile)) {
        Problem = Format(sendtotext::CannotRead, ForwardFile.c_str());
        return false;
    }
    TOutgoingMessage &outgoing = Sender.Outgoing;
    outgoing = TOutgoingMessage();
    outgoing.Sender = SenderOf(ForwardAccount);
    for (const std::string &line : SplitText(ReplaceAll(to, "\r", ""), '\n'))
        if (!Trim(line).empty())
            outgoing.Recipients.Add(Trim(line));
    outgoing.Text = text;
    outgoing.Subject = subject;
    outgoing.Date = TUtils::TimeStamp();
    if (Sender.Forward(settings, &noteLines))
        return true;
    Problem = Sender.LastProblem.empty() ? Sender.LogText : Sender.LastProblem;
    for (const std::string &line : Reported) {
        const std::string shown = Trim(line);
        if (!shown.empty() && Problem.find(shown) == std::string::npos)
            Problem += "\n" + shown;
    }
    return false;
}

bool TSendTo::RememberAddress(const std::string &address)
{
    return AddressBook.Save(Trim(address));
}
