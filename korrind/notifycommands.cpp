// The main window's answers to the desktop notifications: the notifier wired to the monitor,
// and what a new-mail notification's actions do through the window.
#include "common/globals.h"
#include "common/password.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/maillistfrm.h"
#include "korrind/noteactions.h"
#include "korrind/notifier.h"
#include "korrind/popviewfrm.h"

void TCorvexFrm::AttachNotifier(TDesktopNotifier &notifier)
{
    notifier.Enabled = [] { return Globals && Globals->Config.NewMailNotification; };
    notifier.ShowMonitor = [this] { Monitor->ShowMonitor(); };
    notifier.ShowMessage = [this](const TNewMailNote &note) { ShowNotedMessage(note); };
    notifier.RejectSender = [this](const TNewMailNote &note) { RejectNotedMessage(note); };
    notifier.Attach(*EMailTest);
    Monitor->OnSignInNeeded = [&notifier](const std::string &mailbox, const std::string &why) {
        notifier.SignInNeeded(mailbox, why);
    };
    Monitor->OnLoginRefused = [&notifier](const std::string &mailbox, const std::string &why) {
        notifier.LoginRefused(mailbox, why);
    };
    Monitor->OnTlsListUnwritable = [&notifier](const std::string &why) {
        notifier.Problem(monitortext::TlsListUnwritable, why);
    };
}

void TCorvexFrm::ShowNotedMessage(const TNewMailNote &note)
{
    Monitor->WhenSessionFree([this, note] {
        const int mailbox = FindRow(Monitor->Store.Mailboxes, note.Mailbox);
        if (mailbox < 0 || !Globals || !CheckAccess(saMailboxWork))
            return;
        // A list already open shows the message where it lists it.
        if (MailListFrm != nullptr) {
            const int row =
                MailListFrm->List.FindRow(mailbox, note.UniqueId, note.MessageId, note.Size);
            if (row >= 0)
                MailListFrm->SelectRow(size_t(row));
            MailListFrm->raise();
            MailListFrm->activateWindow();
            return;
        }
        const TTimerPause pause(Monitor->MainTimer);
        if (OpenServerMailList(mailbox, &note) == 2)
            if (const int again = FindRow(Monitor->Store.Mailboxes, note.Mailbox); again >= 0)
                Monitor->CheckMailFrom(TPassSource::SummaryMenu, again);
        Monitor->Tray.ClearNewMail(false);
    });
}

void TCorvexFrm::RejectNotedMessage(const TNewMailNote &note)
{
    Monitor->WhenSessionFree([this, note] {
        if (!Globals || !CheckAccess(saMailboxWork))
            return;
        RejectNotedSender(*Monitor, note);
        RowsChanged(false);
    });
}
