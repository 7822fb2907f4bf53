// The main window's server mail commands: the server mail list window ("List Mail" button and
// menu items), "Save All Mail" and "Delete All Mail". Each takes the POP3 session from the
// monitor for its work, so a check pass neither starts on it nor drops it.
#include <QMenu>
#include <QTableView>

#include "common/globals.h"
#include "common/net/pop3client.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"
#include "korrind/engine/checkmail.h"
#include "korrind/engine/mailsession.h"
#include "korrind/maillistfrm.h"
#include "korrind/maincommandlogic.h"
#include "korrind/notifier.h"
#include "korrind/popviewfrm.h"

namespace {

constexpr char SavingMessages[] = "Saving Messages - Please Wait!";
constexpr char SavingComplete[] = "Saving Complete!";
constexpr char SavingIncomplete[] = "Saving Complete! - %d of %d could not be saved";
constexpr char DeleteAllQuestion[] = "\nAre you sure you want to delete";
constexpr char DeleteAllOne[] = " %d message from %s?\n";
constexpr char DeleteAllMany[] = " %d messages from %s?\n";
constexpr char MessageDeleted[] = "Message %d deleted";
constexpr char MessageNotDeleted[] = "Error:Deleting Message %d";
constexpr int NameAttempts = 3; // a free name taken meanwhile by another writer

bool Pump()
{
    TUtils::ProcessMessages();
    return !TUtils::Terminating();
}

// Saves a retrieved message into folder the way the mail check saves it.
bool SaveIntoFolder(const std::string &folder, const TStringList &lines)
{
    const std::string from = SummarizeHeader(lines.Items()).From;
    const std::string date = TUtils::NormalizeMailDate(Mail->HeaderValue(lines, "Date:"));
    const std::string base = SavedMessageBaseName(from, date);
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        std::string path = FreeMessageFileName(folder, base);
        if (path.empty())
            break;
        if (WriteNewMessageFile(path, lines))
            return true;
    }
    return false;
}

} // namespace

bool TCorvexFrm::MailListVisible() const
{
    return MailListFrm != nullptr && MailListFrm->IsOpen();
}

void TCorvexFrm::ConnectMailListItems(QMenu *menu)
{
    for (QAction *action : menu->actions()) {
        const QString text = action->text();
        if (text == "List Mail ")
            connect(action, &QAction::triggered, this, [this] { LMDpfListMailClick(); });
        else if (text == "Save All Mail")
            connect(action, &QAction::triggered, this, [this] { SaveAllMailClick(); });
        else if (text == "Delete All Mail")
            connect(action, &QAction::triggered, this, [this] { DeleteAllMailClick(); });
    }
}

int TCorvexFrm::OpenServerMailList(int mailboxRow, const TNewMailNote *select)
{
    TListRows &mailboxes = Monitor->Store.Mailboxes;
    if (mailboxRow >= int(mailboxes.size()) || MailListFrm != nullptr)
        return 0;
    const std::string name = mailboxRow >= 0 ? mailboxes[size_t(mailboxRow)].Caption : "";
    // The session the list holds is given back however the window ends.
    struct TListSession
    {
        TCorvexMonitor &Monitor;
        bool Held = false;
        ~TListSession()
        {
            if (Held)
                Monitor.ReleaseCommandSession();
        }
    } session{*Monitor};
    TMailListFrm window(mailboxes, this);
    window.Layout = &MailListLayout;
    window.List.OnConnectMailbox = [this](int row) { return Monitor->ConnectForCommand(row); };
    window.List.OnHoldSession = [&session](bool hold) {
        if (hold)
            return session.Held = session.Monitor.HoldSessionForCommand();
        session.Monitor.ReleaseCommandSession();
        session.Held = false;
        return true;
    };
    window.OnFilled = [this, &window, mailboxRow, select] {
        if (select != nullptr) {
            const int row =
                window.List.FindRow(mailboxRow, select->UniqueId, select->MessageId, select->Size);
            if (row >= 0)
                window.SelectRow(size_t(row));
            else if (Utils)
                Utils->DebugLog("%s: the message from %s is no longer on the server",
                                select->Mailbox.c_str(), select->HeaderFrom.c_str());
        }
        if (MailListFilled)
            MailListFilled(window);
    };
    MailListFrm = &window;
    const int result = window.ShowMailList(name);
    MailListFrm = nullptr;
    return result;
}

void TCorvexFrm::LMDpfListMailClick()
{
    if (AfterPass([this] { LMDpfListMailClick(); }))
        return;
    if (!PButtons || !PButtons->Press(LMDpfListMail))
        return;
    const TTimerPause pause(Monitor->MainTimer);
    const TDataStore &store = Monitor->Store;
    const int summary = SelectedRow(lvSummary);
    int mailbox = -1;
    int result = 0;
    if (summary >= 0) {
        mailbox = FindRow(store.Mailboxes, store.Summary[size_t(summary)].Caption);
        if (mailbox >= 0)
            result = OpenServerMailList(mailbox);
    } else {
        bool anyOpen = false;
        for (const TListRow &row : store.Mailboxes)
            anyOpen = anyOpen || row.Cell(mcBoxProtected) != FlagOn;
        if (anyOpen)
            result = OpenServerMailList(-1);
    }
    // Deleted messages change what the Summary shows: the mailbox listed (all of them when
    // all were listed) is checked again.
    if (result == 2 && (summary < 0 || mailbox >= 0))
        Monitor->CheckMailFrom(TPassSource::SummaryMenu, mailbox);
    Monitor->Tray.ClearNewMail(false);
    PButtons->Release(LMDpfListMail);
}

void TCorvexFrm::SaveAllMailClick()
{
    const TDataStore &store = Monitor->Store;
    const int summary = SelectedRow(lvSummary);
    if (summary < 0 || StrToIntDef(store.Summary[size_t(summary)].Cell(scMsgs), 0) <= 0)
        return;
    const int mailbox = FindRow(store.Mailboxes, store.Summary[size_t(summary)].Caption);
    if (mailbox < 0)
        return;
    const TCommandSession session(*Monitor);
    if (!session)
        return;
    const TBusyCursors busy(*this);
    SetStatusText(SavingMessages);
    const std::string folder = store.Mailboxes[size_t(mailbox)].Cell(mcInboxPath);
    int count = 0, saved = 0;
    if (Monitor->ConnectForCommand(mailbox)) {
        count = Mail->MessageCount();
        std::vector<int> numbers;
        for (int n = 1; n <= count; ++n)
            numbers.push_back(n);
        Mail->RetrieveMessages(numbers, [&](int number, TStringList &lines) {
            if (SaveIntoFolder(folder, lines))
                ++saved;
            else if (Utils)
                Utils->DebugLog("Can't save message %d of %s", number,
                                store.Mailboxes[size_t(mailbox)].Caption.c_str());
            return Pump();
        });
    }
    SetStatusText(saved == count ? std::string(SavingComplete)
                                 : Format(SavingIncomplete, count - saved, count));
}

void TCorvexFrm::DeleteAllMailClick()
{
    const TDataStore &store = Monitor->Store;
    const int summary = SelectedRow(lvSummary);
    if (summary < 0)
        return;
    const int mailbox = FindRow(store.Mailboxes, store.Summary[size_t(summary)].Caption);
    if (mailbox < 0)
        return;
    const TCommandSession session(*Monitor);
    if (!session)
        return;
    const std::string user = store.Mailboxes[size_t(mailbox)].Caption;
    const int count = Monitor->ConnectForCommand(mailbox) ? Mail->MessageCount() : 0;
    const char *tail = count == 1 ? DeleteAllOne : DeleteAllMany;
    if (count > 0 && AskYesNo(DeleteAllQuestion + Format(tail, count, user.c_str()),
                              monitortext::WarningCaption) == TAnswer::Yes) {
        const TBusyCursors busy(*this);
        std::vector<int> numbers;
        for (int n = count; n >= 1; --n)
            numbers.push_back(n);
        // One session: the server removes them all at QUIT, or none when QUIT fails.
        std::vector<int> accepted = Mail->DeleteMessages(numbers);
        const uint32_t session = Mail->Session();
        Mail->Disconnect();
        const bool committed = !accepted.empty() && Mail->DeleteOutcome(session) ==
                                                        TMailSession::TDeleteOutcome::Committed;
        for (int number : numbers) {
            bool gone =
                committed && std::find(accepted.begin(), accepted.end(), number) != accepted.end();
            SetStatusText(Format(gone ? MessageDeleted : MessageNotDeleted, number));
        }
        // The Summary row shows what is known now, not the deleted newest message.
        TListRows &rows = Monitor->Store.Summary;
        if (committed && size_t(summary) < rows.size() && rows[size_t(summary)].Caption == user) {
            const bool newestGone =
                std::find(accepted.begin(), accepted.end(), count) != accepted.end();
            ShowDeletion(rows[size_t(summary)], count - int(accepted.size()), newestGone);
            RowsChanged(false);
        }
    }
}
