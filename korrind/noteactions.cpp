#include "korrind/noteactions.h"

#include "common/listrows.h"
#include "common/utils.h"
#include "korrind/popview.h"

TMailListRow NotedRow(const TNewMailNote &note, int mailboxRow)
{
    TMailListRow row;
    row.Mailbox = mailboxRow;
    row.From = note.HeaderFrom;
    row.Subject = note.HeaderSubject;
    row.UniqueId = note.UniqueId;
    row.MessageId = note.MessageId;
    row.Size = note.Size;
    return row;
}

bool RejectNotedSender(TCorvexMonitor &monitor, const TNewMailNote &note)
{
    TListRows &mailboxes = monitor.Store.Mailboxes;
    const int mailbox = FindRow(mailboxes, note.Mailbox);
    if (mailbox < 0 || FlagCellSet(mailboxes[size_t(mailbox)].Cell(mcBoxProtected)) ||
        !monitor.SessionFree()) {
        if (Utils)
            Utils->DebugLog("%s: the sender %s is not rejected from the notification",
                            note.Mailbox.c_str(), note.HeaderFrom.c_str());
        return false;
    }
    const TTimerPause pause(monitor.MainTimer); // no pass starts while the rule editor is open
    TMailList list(mailboxes);
    list.Rows.push_back(NotedRow(note, mailbox));
    list.OnConnectMailbox = [&monitor](int row) { return monitor.ConnectForCommand(row); };
    list.OnHoldSession = [&monitor](bool hold) {
        if (hold)
            return monitor.HoldSessionForCommand();
        monitor.ReleaseCommandSession();
        return true;
    };
    // The rule editor lets the user shape the rule or back out; backing out rejects nothing.
    if (!list.AddSender(list.Rows.front(), true, false)) {
        if (Utils)
            Utils->DebugLog("%s: no rejection rule added for %s; the message stays",
                            note.Mailbox.c_str(), note.HeaderFrom.c_str());
        return false;
    }
    const int rejected = list.RejectRows({0});
    // The Summary row showed the message that is gone now.
    if (rejected > 0)
        if (const int again = FindRow(mailboxes, note.Mailbox); again >= 0)
            monitor.CheckMailFrom(TPassSource::SummaryMenu, again);
    return rejected > 0;
}
