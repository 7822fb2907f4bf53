// The monitor (main window and logic in the test process) set up for passes against the fixture
// servers: no pause between mailboxes, no master password, a scratch log at the most detailed
// level, a scratch rules folder that also takes the rejected copies, and mailboxes added as the
// Mailboxes list holds them. Shared by the end-to-end tests that drive it.
#pragma once

#include <string>

#include "common/globals.h"
#include "common/records.h"
#include "common/text.h"
#include "common/utils.h"
#include "korrind/popviewfrm.h"
#include "support/fixtures.h"
#include "support/testenv.h"

// Answers the scratch rules folder.
inline std::string SetUpMonitorOnServers(TCorvexFrm &frm)
{
    frm.Monitor->Activated = true;
    frm.Monitor->PauseMs = 0;
    Globals->InitPaths();
    Globals->CreateDataFolders();
    TConfigRecord &config = Globals->Config;
    config.PasswordActive = 0;
    config.SecurityLevel = 0;
    config.TimeoutMs = 5000;
    config.SmartRejection = 0;
    config.SaveRejected = 1;
    config.NewMailNotification = 1;
    Utils->LogFileName = testenv::MakeScratchDir("log") + "/Debug.txt";
    Globals->DebugLevel = 4;
    const std::string rules = testenv::MakeScratchDir("rules");
    SetText(config.RulesPath, rules);
    Globals->SetRejectedPath(rules);
    return rules;
}

// An active mailbox that leaves its mail on the server, with its Summary row; answers its row in
// the Mailboxes list.
inline int AddMonitoredMailbox(TCorvexFrm &frm, const fixtures::Mailbox &box,
                               const std::string &server, const std::string &inbox)
{
    TMailBoxRecord record{};
    SetText(record.UserId, box.user);
    SetText(record.MailServer, server);
    SetText(record.Password, box.password);
    SetText(record.InboxPath, inbox);
    record.LeaveOnServer = 1;
    record.Active = 1;
    TDataStore &store = frm.Monitor->Store;
    store.Mailboxes.push_back(MailboxRow(record, false));
    store.SetPassword(box.user, server, box.password);
    store.Summary.push_back(SummaryRow(box.user));
    frm.RowsChanged(true);
    return int(store.Mailboxes.size()) - 1;
}
