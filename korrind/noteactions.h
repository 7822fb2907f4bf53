// What the actions of a new-mail notification do to the message it names. The message is told
// by content (unique id, Message-ID and size) and found on its server again before anything
// is done to it; one no longer there as listed is left alone, with a log line. The session is
// taken as the window commands take it, so a pass neither starts on it nor drops it.
#pragma once

#include "korrind/maillist.h"
#include "korrind/notifier.h"

class TCorvexMonitor;

// The server mail list row the note names, in the mailbox of Mailboxes row mailboxRow.
TMailListRow NotedRow(const TNewMailNote &note, int mailboxRow);

// "Reject Sender": the sender added to the mailbox's rejection list as the server mail list's
// command adds it (through the rule editor; backed out of, nothing more happens), then the message
// handled as rejected mail (a copy kept when the settings keep one, moved to the junk folder or
// deleted) and the mailbox checked again. Nothing for a mailbox that is gone or has a password of
// its own, or while the session is held (the caller asks again once it is free). Answers whether
// the message was removed.
bool RejectNotedSender(TCorvexMonitor &monitor, const TNewMailNote &note);
