// The main window's commands on the Summary list and those that start a companion on the list
// files or the rejected mail: Read Last Message, the Summary double click, Rejected Mail and the
// tray's inboxes, Sync All, the master lists' Manage and Sync, and the Apply offered before the
// mailbox list is read again.
#include <QComboBox>
#include <QMouseEvent>
#include <QTableView>
#include <algorithm>

#include "common/globals.h"
#include "common/password.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"
#include "korrind/engine/mailsession.h"
#include "korrind/engine/whattodo.h"
#include "korrind/maincommandlogic.h"
#include "korrind/popviewfrm.h"
#include "korrind/whattodofrm.h"

namespace {

// Double clicks on the Summary list, on a row or on the empty space below the rows (which
// leaves no row selected).
class TDoubleClickWatch : public QObject
{
public:
    TDoubleClickWatch(QTableView *view, std::function<void()> onDoubleClick)
        : QObject(view), View(view), OnDoubleClick(std::move(onDoubleClick))
    {
        view->viewport()->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched != View->viewport() || event->type() != QEvent::MouseButtonDblClick)
            return false;
        const QModelIndex index =
            View->indexAt(static_cast<QMouseEvent *>(event)->position().toPoint());
        if (index.isValid())
            View->selectRow(index.row());
        else
            View->clearSelection();
        OnDoubleClick();
        return true;
    }

private:
    QTableView *View;
    std::function<void()> OnDoubleClick;
};

} // namespace

void TCorvexFrm::WatchSummaryDoubleClick()
{
    new TDoubleClickWatch(lvSummary, [this] { SummaryDoubleClick(); });
}

// ---- Read Last Message

void TCorvexFrm::ReadLastMessageClick()
{
    if (AfterPass([this] { ReadLastMessageClick(); }) || Busy)
        return;
    ReadLastMessageOf(SelectedRow(lvSummary));
}

void TCorvexFrm::ReadLastMessageOf(int summaryRow)
{
    TDataStore &store = Monitor->Store;
    if (!Globals || !Mail || summaryRow < 0 || summaryRow >= int(store.Summary.size()))
        return;
    const TListRow row = store.Summary[std::size_t(summaryRow)];
    const int mailbox = FindCheckedMailbox(store.Mailboxes, row.Caption);
    if (mailbox < 0)
        return;
    TTimerPause pause(Monitor->MainTimer);
    long long size = 0;
    if (AsksBeforeReading(row, Globals->Config.WarnLargeMail != 0, size) &&
        AskYesNo(Format(commandtext::LargeMessageQuestion, int(size)),
                 monitortext::WarningCaption) != TAnswer::Yes)
        return;
    const int newest = MessagesOf(row);
    if (newest == 0)
        return; // nothing on the server to read or to decide about
    if (!frmWhatToDo)
        frmWhatToDo = new TfrmWhatToDo(this);

    TWhatToDoHooks hooks;
    hooks.Connect = [this, caption = row.Caption] {
        // Found again by name: the prompt waits in an event loop. A failed connect marks this
        // mailbox's row, not the one a pass checked last.
        const int index = FindRow(Monitor->Store.Mailboxes, caption);
        return index >= 0 && Monitor->ConnectForCommand(index);
    };
    hooks.Ask = [this](bool promptOff) { return frmWhatToDo->AskWhatToDo(promptOff); };
    hooks.Open = [this](const std::string &path) {
        const std::string mailer = LMDcbCorvex->currentText().toStdString();
        if (Globals->RunMailProgram(mailer, path))
            Utils->Delay(ReadMessageDelayMs); // the mail program shows the message first
        else
            Utils->DebugLog("Can't show %s in the mail program \"%s\"", path.c_str(),
                            mailer.c_str());
    };
    hooks.ShowError = [this](const std::string &text) { ShowMessage(text); };
    hooks.ShowStatus = [this](const std::string &text) { SetStatusText(text); };

    // The session is this command's until the prompt's choices are carried out: a check asked
    // for meanwhile runs at the first tick after it.
    bool read = false;
    {
        const TCommandSession session(*Monitor);
        if (!session)
            return;
        const TBusyCursors busy(*this);
        const std::string inbox = store.Mailboxes[std::size_t(mailbox)].Cell(mcInboxPath);
        read = ReadLastMessage(*Mail, hooks, newest, inbox, PromptOff);
    }
    if (!read)
        return;
    // The list may have been reloaded while the prompt was open.
    const int again = FindRow(store.Mailboxes, row.Caption);
    if (again >= 0)
        Monitor->CheckMailFrom(TPassSource::SummaryMenu, again);
}

// ---- Summary double click

int TCorvexFrm::ListServerMailOf(int mailboxRow)
{
    return ListServerMail ? ListServerMail(mailboxRow) : OpenServerMailList(mailboxRow);
}

void TCorvexFrm::SummaryDoubleClick()
{
    if (AfterPass([this] { SummaryDoubleClick(); }) || Busy || !Globals)
        return;
    TDataStore &store = Monitor->Store;
    const int summary = SelectedRow(lvSummary);
    const bool rowSelected = summary >= 0;
    const TListRow *row = rowSelected ? &store.Summary[std::size_t(summary)] : nullptr;
    const std::string caption = rowSelected ? row->Caption : std::string();
    const std::vector<std::string> signIn = Monitor->MailboxesNeedingSignIn();
    if (rowSelected && std::find(signIn.begin(), signIn.end(), caption) != signIn.end()) {
        SignInMailbox(caption);
        return;
    }
    // The user asks for another try of a login the server refused.
    if (rowSelected && Monitor->LoginRefused(caption)) {
        if (const int mailbox = FindRow(store.Mailboxes, caption); mailbox >= 0)
            Monitor->CheckMailFrom(TPassSource::SummaryMenu, mailbox);
        return;
    }
    // Protected mailboxes ask their password in the command itself, once.
    int mailbox = rowSelected ? FindRow(store.Mailboxes, caption) : -1; // −1: every mailbox
    if (rowSelected && mailbox < 0)
        return;
    TTimerPause pause(Monitor->MainTimer);
    int answer = 0;
    const TSummaryClick click = SummaryClickCase(row, Globals->Config.SmartMailRead != 0);
    row = nullptr; // the commands below may rebuild the rows
    switch (click) {
    case TSummaryClick::ListAll:
        answer = ListServerMailOf(-1);
        for (TListRow &each : store.Summary)
            each.ImageIndex = siOrdinary;
        break;
    case TSummaryClick::OpenInbox:
        SummaryInboxClick();
        break;
    case TSummaryClick::ReadLast:
        ReadLastMessageOf(summary);
        break;
    case TSummaryClick::ListOne:
        answer = ListServerMailOf(mailbox);
        if (const int shown = FindRow(store.Summary, caption); shown >= 0)
            store.Summary[std::size_t(shown)].ImageIndex = siOrdinary;
        break;
    }
    RowsChanged(false);
    // Something was deleted on the server: check what was listed again.
    if (answer == 2) {
        if (rowSelected)
            mailbox = FindRow(store.Mailboxes, caption);
        if (!rowSelected || mailbox >= 0)
            Monitor->CheckMailFrom(TPassSource::SummaryMenu, mailbox);
    }
    Monitor->Tray.ClearNewMail(false);
}

// ---- the saved message manager on the rejected mail and on the tray's inboxes

void TCorvexFrm::RejectedMailClick()
{
    if (Globals)
        Globals->StartStrenna(Globals->RejectedPath, RejectionBoxAddress(Monitor->Store.Mailboxes));
}

void TCorvexFrm::TrayInboxClick(const std::string &userId)
{
    const TListRows &mailboxes = Monitor->Store.Mailboxes;
    const int row = Globals ? FindCheckedMailbox(mailboxes, userId) : -1;
    if (row < 0)
        return;
    const TListRow &mailbox = mailboxes[std::size_t(row)];
    Globals->StartStrenna(mailbox.Cell(mcInboxPath), MailboxAddress(mailbox));
}

// ---- the list files in the rules manager and the rules synchronisation

void TCorvexFrm::LMDpfSyncAllClick()
{
    if (!Globals || !CheckAccess(saMailboxWork))
        return;
    if (!PButtons || !PButtons->Press(LMDpfSyncAll))
        return;
    Globals->StartDrasset(SyncAllFiles(Monitor->RulesFolder(), Monitor->Store.Mailboxes));
    PButtons->Release(LMDpfSyncAll);
}

void TCorvexFrm::ManageListClick(TCaptionPanel *button, bool reject)
{
    if (!Globals || !CheckAccess(saMasterLists))
        return;
    if (!PButtons || !PButtons->Press(button))
        return;
    Globals->StartVelmot(MasterListFile(Monitor->RulesFolder(), reject));
    PButtons->Release(button);
}

void TCorvexFrm::SyncListClick(TCaptionPanel *button, bool reject)
{
    if (!Globals || !CheckAccess(saMasterLists))
        return;
    if (!PButtons || !PButtons->Press(button))
        return;
    Globals->StartDrasset({MasterListFile(Monitor->RulesFolder(), reject)});
    PButtons->Release(button);
}

// ---- Apply before the mailbox list is read again

bool TCorvexFrm::OfferApply()
{
    if (!ApplyOn ||
        AskYesNo(monitortext::ApplyQuestion, monitortext::WarningCaption) != TAnswer::Yes)
        return true;
    const bool saved = ApplyChanges();
    SetApplyEnabled(!saved);
    return saved;
}
