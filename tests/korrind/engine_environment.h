// What the filter engine tests share: the process-wide objects the engine reaches, a private
// data root with its rules folder, an inbox folder, a mailbox row and an alert list.
#pragma once

#include <string>

#include "common/globals.h"
#include "common/names.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/engine/popinterface.h"
#include "support/testenv.h"

struct TEngineEnvironment
{
    TUtils utils;
    TGlobals globals;
    TPop3 pop3;
    TListRows mailboxes;
    TEMailTest engine{&mailboxes};
    std::string root = testenv::MakeScratchDir("root");
    std::string inbox = testenv::MakeScratchDir("inbox");

    // Installs the objects and adds the mailbox row (arrival alert BELL, priority alert CHIME).
    void Install(const std::string &user, const std::string &server)
    {
        Utils = &utils;
        Globals = &globals;
        Mail = &pop3;
        utils.LogFileName = root + "/Debug.txt";
        globals.DataRoot = root;
        globals.RejectedPath = root + "/Rejected Mail";
        TUtils::CreateFolder(globals.RejectedPath);
        TUtils::CreateFolder(root + "/Temp");
        SetText(globals.Config.RulesPath, root);
        testenv::WriteFile(root + "/" + names::AlertsFile,
                           "BELL=/s/bell.wav\nCHIME=/s/chime.wav\n");
        TListRow row;
        row.Caption = user;
        row.Cells = {server, "", "Yes", inbox, "BELL", "CHIME", "1", "1", "0", "0", ""};
        row.Checked = true;
        mailboxes.push_back(row);
    }
    void Uninstall()
    {
        Mail = nullptr;
        Globals = nullptr;
        Utils = nullptr;
    }
    std::string Log() { return testenv::ReadFile(utils.LogFileName); }
};
