// The main window's commands on the Mailboxes list that open the mailbox editor or start a
// companion on a mailbox (Add, Edit, Inbox, Load), and the About box.
#include <QTableView>

#include "common/globals.h"
#include "common/oauth2/access.h"
#include "common/password.h"
#include "common/smtpinterface.h"
#include "common/text.h"
#include "common/ui/panelbuttons.h"
#include "common/ui/rowmodel.h"
#include "common/utils.h"
#include "korrind/about.h"
#include "korrind/aboutfrm.h"
#include "korrind/mailboxedit.h"
#include "korrind/mailboxeditfrm.h"
#include "korrind/popviewfrm.h"
#include "korrind/signinchoice.h"

namespace {

// How long Load waits when the import program could not be started.
constexpr unsigned LoadFailedDelayMs = 1000;

void OpenInbox(const TListRow &mailbox)
{
    Globals->StartStrenna(mailbox.Cell(mcInboxPath),
                          MailboxSenderAddress(mailbox.Caption, mailbox.Cell(mcMailServer)));
}

} // namespace

void TCorvexFrm::LMDpfAddClick()
{
    if (!Globals || !PButtons || !PButtons->Press(LMDpfAdd))
        return;
    // The editor works during a pass; the new row joins the list once the pass is through it.
    TDataStore &store = Monitor->Store;
    TMailBoxRecord record = NewMailboxRecord(store.Mailboxes, Globals->DataRoot);
    if (MailBoxEditFrm->EditMailbox(record, false, store.Mailboxes, -1)) {
        auto add = [this, record] {
            PutRecord(Monitor->Store, -1, record, Globals->Config.DisplayPasswords);
            MailboxModel->Reload();
            MailboxEdited = true;
            SetApplyEnabled(true);
        };
        if (!AfterPass(add))
            add();
    }
    PButtons->Release(LMDpfAdd);
}

void TCorvexFrm::LMDpfEditClick()
{
    if (AfterPass([this] { LMDpfEditClick(); }))
        return;
    if (!Globals || !PButtons || !PButtons->Press(LMDpfEdit))
        return;
    EditSelectedMailbox();
    PButtons->Release(LMDpfEdit);
}

void TCorvexFrm::MailboxDoubleClick()
{
    if (!Globals || !CheckAccess(saOpenMailbox))
        return;
    LMDpfEditClick();
}

void TCorvexFrm::EditSelectedMailbox()
{
    EditMailboxRow(SelectedRow(lvMailBoxes), false);
    lvMailBoxes->clearSelection();
}

void TCorvexFrm::EditMailboxRow(int row, bool signIn)
{
    TDataStore &store = Monitor->Store;
    if (row < 0 || Monitor->PassRunning())
        return;
    bool changed = false;
    TMailBoxRecord record = RecordOfRow(store, row, Globals->DataRoot, changed);
    const bool awaitingSignIn =
        AwaitsFirstSignIn(Globals->DataRoot, GetText(record.UserId), GetText(record.MailServer));
    const bool accepted =
        MailBoxEditFrm->EditMailbox(record, changed, store.Mailboxes, row, signIn);
    if (accepted || changed) {
        PutRecord(store, row, record, Globals->Config.DisplayPasswords);
        const std::string userId = GetText(record.UserId), server = GetText(record.MailServer);
        if (awaitingSignIn &&
            oauth2::SignsInWithOAuth2(Globals->DataRoot, oauth2::TPurpose::Mailbox, userId,
                                      server) &&
            !AwaitsFirstSignIn(Globals->DataRoot, userId, server))
            store.Mailboxes[std::size_t(row)].Checked = true;
        MailboxModel->Refresh();
        MailboxEdited = MailboxEdited || accepted;
        SetApplyEnabled(true);
    }
}

// A sign-in that got new tokens is tried at once: the row need not wait for the next check
// to lose "Sign-in Needed", and Apply is lit only when the mailbox's record itself changed.
void TCorvexFrm::SignInMailbox(const std::string &userId)
{
    if (AfterPass([this, userId] { SignInMailbox(userId); }))
        return;
    if (!Globals || !CheckAccess(saOpenMailbox))
        return;
    TDataStore &store = Monitor->Store;
    const int row = FindRow(store.Mailboxes, userId);
    if (row < 0)
        return;
    const std::string server = store.Mailboxes[std::size_t(row)].Cell(mcMailServer);
    const TSignInChoice before =
        StoredChoice(Globals->DataRoot, oauth2::TPurpose::Mailbox, userId, server);
    const TListRow rowBefore = store.Mailboxes[std::size_t(row)];
    const bool applyBefore = ApplyOn, editedBefore = MailboxEdited;
    EditMailboxRow(row, true);
    const int again = FindRow(store.Mailboxes, userId);
    if (again < 0)
        return;
    const TListRow &rowAfter = store.Mailboxes[std::size_t(again)];
    const TSignInChoice after = StoredChoice(Globals->DataRoot, oauth2::TPurpose::Mailbox, userId,
                                             rowAfter.Cell(mcMailServer));
    const bool signedIn = after.OAuth2 && !after.Tokens.RefreshToken.empty() &&
                          (after.Tokens.RefreshToken != before.Tokens.RefreshToken ||
                           after.Tokens.AccessToken != before.Tokens.AccessToken);
    if (!signedIn)
        return;
    if (rowAfter.Cells == rowBefore.Cells && rowAfter.Checked == rowBefore.Checked) {
        SetApplyEnabled(applyBefore);
        MailboxEdited = editedBefore;
    }
    Monitor->CheckMailFrom(TPassSource::SummaryMenu, again);
    RowsChanged(false);
}

// The selected mailbox's inbox in the saved message manager; a protected mailbox asks for
// its own password first.
void TCorvexFrm::LMDpfInboxClick()
{
    if (!Globals || !CheckAccess(saMailboxWork))
        return;
    if (!PButtons || !PButtons->Press(LMDpfInbox))
        return;
    const int row = SelectedRow(lvMailBoxes);
    if (row >= 0) {
        const TListRow mailbox = Monitor->Store.Mailboxes[std::size_t(row)];
        if (!FlagCellSet(mailbox.Cell(mcBoxProtected)) ||
            VerifyPassword(mailbox.Cell(mcBoxPassword)))
            OpenInbox(mailbox);
        else
            ShowMessage(AccessDeniedText);
    }
    PButtons->Release(LMDpfInbox);
}

void TCorvexFrm::SummaryInboxClick()
{
    const int summary = SelectedRow(lvSummary);
    if (!Globals || summary < 0)
        return;
    const TListRows &mailboxes = Monitor->Store.Mailboxes;
    const int row =
        FindCheckedMailbox(mailboxes, Monitor->Store.Summary[std::size_t(summary)].Caption);
    if (row >= 0)
        OpenInbox(TListRow(mailboxes[std::size_t(row)]));
}

// The mailbox import: it writes plain records and may change the settings too.
void TCorvexFrm::LMDpfLoadClick()
{
    if (!Globals || !CheckAccess(saMailboxWork))
        return;
    if (!PButtons || !PButtons->Press(LMDpfLoad))
        return;
    TDataStore &store = Monitor->Store;
    const std::time_t settingsDate = TUtils::GetFileDate(store.ConfigPath());
    if (!OfferApply()) {
        PButtons->Release(LMDpfLoad);
        return;
    }
    if (Globals->StartPelloway()) {
        Monitor->ReloadMailboxes(false);
        if (TUtils::GetFileDate(store.ConfigPath()) > settingsDate)
            Monitor->LoadSettings();
        ShowSettings();
    } else if (Utils) {
        Utils->Delay(LoadFailedDelayMs);
    }
    PButtons->Release(LMDpfLoad);
}

void TCorvexFrm::AboutClick()
{
    AboutFrm->ShowAbout(AboutLines(), abouttext::WebAddress, abouttext::ContactAddress);
}
