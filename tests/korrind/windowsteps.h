// Steps the window tests share: a mailbox record to fill the lists with, and answering a modal
// window once it shows.
#pragma once

#include <string>

#include "common/records.h"
#include "support/modalsteps.h"

// An active mailbox with a password and the "BELL" alerts.
inline TMailBoxRecord Record(const std::string &user, const std::string &server,
                             const std::string &inbox)
{
    TMailBoxRecord record{};
    SetText(record.UserId, user);
    SetText(record.MailServer, server);
    SetText(record.Password, user + "-pw");
    SetText(record.InboxPath, inbox);
    SetText(record.ArrivalAlert, "BELL");
    SetText(record.PriorityAlert, "BELL");
    record.Active = 1;
    return record;
}
