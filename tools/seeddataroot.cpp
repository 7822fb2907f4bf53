// corvex-seed: writes a ready-to-run data root (the one the XDG folders of its environment
// point at) with one mailbox and the master lists, so that a monitor started on it checks mail
// at once. Used by the demo and by the installation check; not installed.
//
//   corvex-seed --user ID --server HOST:PORT --password SECRET
//               [--priority ADDRESS]... [--reject ADDRESS]... [--smtp HOST:PORT]
//
// A priority sender's mail raises the priority alert and is saved into the mailbox's inbox
// folder; a rejected sender's mail is deleted from the server and kept in "Rejected Mail".
// Prints the data root.
#include <QCoreApplication>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/filterparam.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/records.h"
#include "common/stringlist.h"
#include "common/utils.h"

namespace {

struct TSeed
{
    std::string User;
    std::string Server;
    std::string Password;
    std::string Smtp;
    std::vector<std::string> Priority;
    std::vector<std::string> Reject;
};

bool ParseArguments(int argc, char **argv, TSeed &seed)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--user")
            seed.User = value;
        else if (option == "--server")
            seed.Server = value;
        else if (option == "--password")
            seed.Password = value;
        else if (option == "--smtp")
            seed.Smtp = value;
        else if (option == "--priority")
            seed.Priority.push_back(value);
        else if (option == "--reject")
            seed.Reject.push_back(value);
        else
            return false;
    }
    return argc % 2 == 1 && !seed.User.empty() && !seed.Server.empty() && !seed.Password.empty();
}

// Checks every few seconds, shows the rejected mail's copy, keeps mail on the server.
void DemoSettings(TConfigRecord &config, const TSeed &seed)
{
    config.TimerSeconds = 1;
    config.CheckMinutes = 3;
    config.TimeoutMs = 5000;
    config.SaveRejected = 1;
    config.MasterRejectActive = 1;
    config.MasterPriorityActive = 1;
    config.NewMailNotification = 1;
    config.EncryptMailboxes = 0;
    config.PasswordActive = 0;
    config.HideOnStartup = 0;
    config.RememberPosition = 0;
    if (!seed.Smtp.empty())
        SetText(config.SmtpServer, seed.Smtp);
}

TMailBoxRecord Mailbox(const TSeed &seed, const std::string &inbox)
{
    TMailBoxRecord record{};
    SetText(record.UserId, seed.User);
    SetText(record.MailServer, seed.Server);
    SetText(record.Password, seed.Password);
    SetText(record.InboxPath, inbox);
    SetText(record.PriorityAlert, "PRIORITY");
    record.LeaveOnServer = 1;
    record.Active = 1;
    record.RejectActive = 1;
    record.PriorityActive = 1;
    return record;
}

bool WriteList(const std::string &path, const std::vector<std::string> &addresses, bool priority)
{
    TStringList lines;
    for (const std::string &address : addresses) {
        TRuleFields fields(RuleFieldCount);
        fields[rfAddress] = address;
        if (priority) {
            fields[rfAlert] = "PRIORITY";
            fields[rfSaveOptions] = "100"; // save into the inbox, keep on the server
        }
        lines.Add(JoinRule(fields));
    }
    return lines.SaveToFile(path);
}

bool Seed(const TSeed &seed)
{
    TDataStore store;
    if (!store.LoadSettings(false))
        return false;
    DemoSettings(Globals->Config, seed);
    if (!store.LoadSettings(true))
        return false;
    const std::string root = TUtils::AddBackslash(Globals->DataRoot);
    const std::string inbox = root + seed.User;
    TUtils::CreateFolder(inbox);
    if (!WriteMailBoxFile(store.PopSrvPath(), {Mailbox(seed, inbox)}))
        return false;
    if (!WriteList(root + names::MasterPriorityFile, seed.Priority, true) ||
        !WriteList(root + names::MasterRejectFile, seed.Reject, false))
        return false;
    std::printf("%s\n", Globals->DataRoot.c_str());
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    TSeed seed;
    if (!ParseArguments(argc, argv, seed)) {
        std::fprintf(stderr,
                     "usage: %s --user ID --server HOST:PORT --password SECRET "
                     "[--priority ADDRESS]... [--reject ADDRESS]... [--smtp HOST:PORT]\n",
                     argv[0]);
        return 2;
    }
    QCoreApplication app(argc, argv);
    TUtils utils;
    TGlobals globals;
    Utils = &utils;
    Globals = &globals;
    const bool ok = Seed(seed);
    if (!ok)
        std::fprintf(stderr, "corvex-seed: the data root could not be written\n");
    Globals = nullptr;
    Utils = nullptr;
    return ok ? 0 : 1;
}
