#include "korrind/mailboxeditfrm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include "common/alerts.h"
#include "common/globals.h"
#include "common/names.h"
#include "common/password.h"
#include "common/smtpinterface.h"
#include "common/stringlist.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/fieldentry.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"
#include "korrind/popview.h"
#include "korrind/signinbox.h"

namespace {

enum TEditorPage { epMailbox, epNotification, epRules };

QString ToQ(const std::string &text)
{
    return QString::fromStdString(text);
}

std::string FromQ(const QLineEdit *edit)
{
    return edit->text().toStdString();
}

template <typename T> T *Named(T *widget, const char *name)
{
    widget->setObjectName(name);
    return widget;
}

QLineEdit *Entry(const char *name, int limit, QWidget *parent)
{
    auto *edit = Named(new QLineEdit(parent), name);
    SetEntryLimit(edit, limit);
    return edit;
}

// A folder or file chosen in a dialog that tests can find and answer (non-native).
std::string ChooseInDialog(QFileDialog &dialog)
{
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first().toStdString();
}

} // namespace

TMailBoxEditFrm::TMailBoxEditFrm(QWidget *parent) : QDialog(parent)
{
    setObjectName("MailBoxEditFrm");
    setWindowTitle(mailboxtext::Caption);
    contexthelp::SetHelpKeyword(this, help::MailboxEditor);

    auto *tabs = new QHBoxLayout;
    tabs->setSpacing(5);
    tsMailbox = Panel("tsMailbox", "Mailbox");
    tsNotification = Panel("tsNotification", "Notification");
    tsRules = Panel("tsRules", "Rules");
    int page = epMailbox;
    for (TCaptionPanel *tab : {tsMailbox, tsNotification, tsRules}) {
        tabs->addWidget(tab, 1);
        connect(tab, &TCaptionPanel::clicked, this, [this, page] { ShowPage(page); });
        ++page;
    }
    Pages = Named(new QStackedWidget(this), "Pages");
    Pages->addWidget(BuildMailboxPage());
    Pages->addWidget(BuildNotificationPage());
    Pages->addWidget(BuildRulesPage());

    LMDpfAccept = Panel("LMDpfAccept", "Apply");
    LMDpfPassword = Panel("LMDpfPassword", "Password", "Password protect this mail box");
    LMDpfHelp = Panel("LMDpfHelp", "Help");
    LMDpfClose = Panel("LMDpfClose", "Close");
    auto *bottom = new QHBoxLayout;
    for (TCaptionPanel *panel : {LMDpfAccept, LMDpfPassword, LMDpfHelp, LMDpfClose})
        bottom->addWidget(panel, 1);
    connect(LMDpfAccept, &TCaptionPanel::clicked, this, [this] { LMDpfAcceptClick(); });
    connect(LMDpfPassword, &TCaptionPanel::clicked, this, [this] { LMDpfPasswordClick(); });
    connect(LMDpfHelp, &TCaptionPanel::clicked, this, [this] { LMDpfHelpClick(); });
    connect(LMDpfClose, &TCaptionPanel::clicked, this, [this] { LMDpfCloseClick(); });

    auto *layout = new QVBoxLayout(this);
    layout->addLayout(tabs);
    layout->addWidget(Pages, 1);
    layout->addLayout(bottom);
    ShowPage(epMailbox);
}

void TMailBoxEditFrm::showEvent(QShowEvent *event)
{
    QDialog::showEvent(event);
    // The layouts learn of the controls that came or went while the window was hidden (their
    // remembered sizes are not renewed then).
    for (QWidget *control : findChildren<QWidget *>())
        control->updateGeometry();
    layout()->activate();
    resize(width(), sizeHint().height());
}

TCaptionPanel *TMailBoxEditFrm::Panel(const char *name, const char *caption, const char *hint)
{
    auto *panel = Named(new TCaptionPanel(caption, this), name);
    panel->setMinimumSize(60, 22);
    panel->setCursor(Qt::PointingHandCursor);
    if (hint)
        panel->setToolTip(hint);
    return panel;
}

QWidget *TMailBoxEditFrm::BuildMailboxPage()
{
    auto *page = Named(new QWidget, "tsMailboxPage");
    LMDeUserID = Entry("LMDeUserID", EntryLimit(meUserId), page);
    LMDePassword = Entry("LMDePassword", EntryLimit(mePassword), page);
    LMDeMailServer = Entry("LMDeMailServer", EntryLimit(meMailServer), page);
    LMDeStorage = Entry("LMDeStorage", InboxPathLimit, page);
    LMDeStorage->setReadOnly(true);
    LMDcbxLeaveOnServer =
        Named(new QCheckBox("Leave message on server", page), "LMDcbxLeaveOnServer");
    LMDpfBrowse1 = Panel("LMDpfBrowse1", "Browse");
    LMDpfInbox = Panel("LMDpfInbox", "Inbox");

    auto *grid = new QGridLayout;
    int row = 0;
    LMDeMailServer->setPlaceholderText(mailboxtext::MailServerPlaceholder);
    LMDeMailServer->setToolTip(mailboxtext::MailServerTip);
    // A text that does not fit is refused with a message, typed or pasted.
    connect(LMDeUserID, &QLineEdit::inputRejected, this,
            [this] { ShowMessage(TooLongText(meUserId, UserIdMax)); });
    for (auto [edit, entry] :
         {std::pair{LMDePassword, mePassword}, std::pair{LMDeMailServer, meMailServer}}) {
        const std::string text = TooLongText(entry);
        connect(edit, &QLineEdit::inputRejected, this, [this, text] { ShowMessage(text); });
    }
    for (auto [caption, edit] :
         {std::pair{"User ID:", LMDeUserID}, std::pair{"Password:", LMDePassword},
          std::pair{"Mail Server: ", LMDeMailServer}}) {
        grid->addWidget(new QLabel(caption, page), row, 0);
        grid->addWidget(edit, row++, 1);
        connect(edit, &QLineEdit::textEdited, this, [this] { Changed(); });
    }
    SignInBox = new TSignInBox(page);
    SignInBox->PasswordEntry = LMDePassword;
    SignInBox->UserId = [this] { return FromQ(LMDeUserID); };
    SignInBox->Server = [this] { return FromQ(LMDeMailServer); };
    SignInBox->OnChanged = [this] { Changed(); };
    auto *storage = new QGroupBox("Path to Saved Messages Folder", page);
    auto *storageLayout = new QHBoxLayout(storage);
    storageLayout->addWidget(LMDeStorage, 1);
    storageLayout->addWidget(LMDpfBrowse1);
    auto *bar = new QHBoxLayout;
    bar->addWidget(LMDcbxLeaveOnServer, 1);
    bar->addWidget(LMDpfInbox);

    auto *layout = new QVBoxLayout(page);
    layout->addLayout(grid);
    layout->addWidget(SignInBox);
    layout->addWidget(storage);
    layout->addLayout(bar);
    layout->addStretch(1);

    // Tab walks the page as it reads, top to bottom.
    QWidget *order[] = {LMDeUserID,           LMDePassword,           LMDeMailServer,
                        SignInBox->cmbMethod, SignInBox->cmbProvider, SignInBox->eIssuer,
                        SignInBox->eClientId, SignInBox->pfSignIn,    LMDeStorage,
                        LMDpfBrowse1,         LMDcbxLeaveOnServer,    LMDpfInbox};
    for (size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(LMDcbxLeaveOnServer, &QCheckBox::clicked, this, [this] { Changed(); });
    connect(LMDpfBrowse1, &TCaptionPanel::clicked, this, [this] { LMDpfBrowse1Click(); });
    connect(LMDpfInbox, &TCaptionPanel::clicked, this, [this] { LMDpfInboxClick(); });
    return page;
}

QWidget *TMailBoxEditFrm::BuildNotificationPage()
{
    auto *page = Named(new QWidget, "tsNotificationPage");
    auto *group = new QGroupBox("Audible Notification", page);
    auto *grid = new QGridLayout(group);
    auto addAlert = [&](int row, const char *caption, QComboBox *&box, const char *boxName,
                        QToolButton *&play, const char *playName, const char *hint,
                        TCaptionPanel *&browse, const char *browseName) {
        box = Named(new QComboBox(group), boxName);
        box->setEditable(false);
        play = Named(new QToolButton(group), playName);
        play->setText(QString::fromUtf8("\u25B6"));
        play->setToolTip(hint);
        browse = Panel(browseName, "Browse");
        grid->addWidget(new QLabel(caption, group), row, 0, 1, 3);
        grid->addWidget(box, row + 1, 0);
        grid->addWidget(play, row + 1, 1);
        grid->addWidget(browse, row + 1, 2);
        QComboBox *target = box;
        TCaptionPanel *button = browse;
        connect(box, &QComboBox::activated, this, [this] { Changed(); });
        connect(play, &QToolButton::clicked, this, [this, target] { PlayAlert(target); });
        connect(browse, &TCaptionPanel::clicked, this,
                [this, button, target] { BrowseAlert(button, target); });
    };
    addAlert(0, "Mail Arrival Alert", LMDcmbMailArrival, "LMDcmbMailArrival", LMDsbPlayAlert1,
             "LMDsbPlayAlert1", "Play mail arrivel alert", LMDpfBrowseAlert1, "LMDpfBrowseAlert1");
    addAlert(2, "Priority Mail Alert", LMDcmbPriorityMail, "LMDcmbPriorityMail", LMDsbPlayAlert2,
             "LMDsbPlayAlert2", "Play priority mail alert", LMDpfBrowseAlert2, "LMDpfBrowseAlert2");
    grid->setColumnStretch(0, 1);
    auto *layout = new QVBoxLayout(page);
    layout->addWidget(group);
    layout->addStretch(1);
    return page;
}

QWidget *TMailBoxEditFrm::BuildRulesPage()
{
    auto *page = Named(new QWidget, "tsRulesPage");
    LMDpfMgPriority = Panel("LMDpfMgPriority", "Manage", "Manage Priority List");
    LMDpfActivatePriority = Panel("LMDpfActivatePriority", "", "Activate Priority Testing");
    LMDpfSyncPriority = Panel("LMDpfSyncPriority", "Sync");
    LMDpfAliasList = Panel("LMDpfAliasList", "Alias", "Manage Alias List");
    LMDpfActivateAlias = Panel("LMDpfActivateAlias", "", "Activate Alias Testing");
    LMDpfMgRejection = Panel("LMDpfMgRejection", "Manage");
    LMDpfActivateReject = Panel("LMDpfActivateReject", "", "Activate Rejection Testing");
    LMDpfSyncReject = Panel("LMDpfSyncReject", "Sync");

    auto *grid = new QGridLayout;
    const struct
    {
        const char *caption;
        TCaptionPanel *manage;
        TCaptionPanel *toggle;
        TCaptionPanel *sync;
    } lines[] = {{"Priority List", LMDpfMgPriority, LMDpfActivatePriority, LMDpfSyncPriority},
                 {"Alias List", LMDpfAliasList, LMDpfActivateAlias, nullptr},
                 {"Rejection List", LMDpfMgRejection, LMDpfActivateReject, LMDpfSyncReject}};
    int row = 0;
    for (const auto &line : lines) {
        grid->addWidget(new QLabel(line.caption, page), row, 0);
        line.toggle->setFixedWidth(24);
        line.toggle->setAlignment(Qt::AlignCenter);
        grid->addWidget(line.toggle, row, 1);
        grid->addWidget(line.manage, row, 2);
        if (line.sync)
            grid->addWidget(line.sync, row, 3);
        TCaptionPanel *toggle = line.toggle;
        connect(toggle, &TCaptionPanel::clicked, this, [this, toggle] { ToggleList(toggle); });
        ++row;
    }
    connect(LMDpfMgPriority, &TCaptionPanel::clicked, this,
            [this] { ManageList(LMDpfMgPriority, names::PriorityFile); });
    connect(LMDpfMgRejection, &TCaptionPanel::clicked, this,
            [this] { ManageList(LMDpfMgRejection, names::RejectFile); });
    connect(LMDpfSyncPriority, &TCaptionPanel::clicked, this,
            [this] { SyncList(LMDpfSyncPriority, names::PriorityFile); });
    connect(LMDpfSyncReject, &TCaptionPanel::clicked, this,
            [this] { SyncList(LMDpfSyncReject, names::RejectFile); });
    connect(LMDpfAliasList, &TCaptionPanel::clicked, this, [this] { LMDpfAliasListClick(); });

    auto *layout = new QVBoxLayout(page);
    layout->addLayout(grid);
    layout->addStretch(1);
    return page;
}

void TMailBoxEditFrm::ShowPage(int page)
{
    Pages->setCurrentIndex(page);
    ShowCurrentTab({tsMailbox, tsNotification, tsRules}, page);
}

// ---- opening and closing

bool TMailBoxEditFrm::EditMailbox(TMailBoxRecord &record, bool markChanged,
                                  const TListRows &mailboxes, int editedRow, bool signIn)
{
    if (!CheckAccess(saMailboxWork))
        return false;
    BoxProtected = record.BoxProtected != 0;
    BoxPassword = GetText(record.BoxPassword);
    if (BoxProtected && !VerifyPassword(BoxPassword))
        return false;

    Original = record;
    Mailboxes = &mailboxes;
    EditedRow = editedRow;
    DataRoot = Globals ? Globals->DataRoot : std::string();
    Accepted = false;
    UserIdMax = UserIdLimitFor(GetText(record.UserId));
    SetEntryLimit(LMDeUserID, UserIdMax);
    ShowPage(epMailbox);
    ShowFields(FieldsOf(record));
    SignInBox->Show(StoredChoice(DataRoot, oauth2::TPurpose::Mailbox, GetText(record.UserId),
                                 GetText(record.MailServer)));
    SetApplyEnabled(false);
    const std::string userId = FromQ(LMDeUserID);
    if (!userId.empty() && !TUtils::FolderExists(InboxFolderOf(Fields(), record, DataRoot)))
        SetApplyEnabled(true); // the folder is made on acceptance
    FillAlertBoxes(GetText(record.ArrivalAlert), GetText(record.PriorityAlert));
    if (markChanged)
        SetApplyEnabled(true);
    LMDeUserID->setFocus();
    if (signIn)
        SignInBox->StartSignIn();

    exec();
    SignInBox->Cancel();
    Mailboxes = nullptr;
    if (Accepted) {
        StoreSignIn(Applied, record, DataRoot);
        StoreFields(Applied, DataRoot, record);
    }
    return Accepted;
}

void TMailBoxEditFrm::ShowFields(const TMailboxFields &fields)
{
    Filling = true;
    LMDeUserID->setText(ToQ(fields.UserId));
    LMDePassword->setText(ToQ(fields.Password));
    LMDeMailServer->setText(ToQ(fields.MailServer));
    LMDeStorage->setText(ToQ(fields.Storage));
    LMDcbxLeaveOnServer->setChecked(fields.LeaveOnServer);
    if (PButtons) {
        PButtons->SetChecked(LMDpfActivateReject, fields.RejectActive);
        PButtons->SetChecked(LMDpfActivatePriority, fields.PriorityActive);
        PButtons->SetChecked(LMDpfActivateAlias, fields.AliasActive);
    }
    Filling = false;
}

// The boxes list the alert names; a name the list does not know leaves its box unselected
// (and the record keeps that name unless the user picks another).
void TMailBoxEditFrm::FillAlertBoxes(const std::string &arrival, const std::string &priority)
{
    const TStringList alerts = ReadAlerts(RulesFolderPath());
    for (auto [box, name] :
         {std::pair{LMDcmbMailArrival, arrival}, std::pair{LMDcmbPriorityMail, priority}}) {
        box->clear();
        for (int i = 0; i < alerts.Count(); ++i)
            box->addItem(ToQ(alerts.Names(i)));
        box->setCurrentIndex(name.empty() ? -1 : box->findText(ToQ(name), Qt::MatchFixedString));
    }
}

TMailboxFields TMailBoxEditFrm::Fields() const
{
    TMailboxFields fields;
    fields.UserId = FromQ(LMDeUserID);
    fields.Password = FromQ(LMDePassword);
    fields.MailServer = FromQ(LMDeMailServer);
    fields.Storage = FromQ(LMDeStorage);
    fields.LeaveOnServer = LMDcbxLeaveOnServer->isChecked();
    if (PButtons) {
        fields.RejectActive = PButtons->IsChecked(LMDpfActivateReject);
        fields.PriorityActive = PButtons->IsChecked(LMDpfActivatePriority);
        fields.AliasActive = PButtons->IsChecked(LMDpfActivateAlias);
    }
    fields.ArrivalAlert = LMDcmbMailArrival->currentIndex() < 0
                              ? GetText(Original.ArrivalAlert)
                              : LMDcmbMailArrival->currentText().toStdString();
    fields.PriorityAlert = LMDcmbPriorityMail->currentIndex() < 0
                               ? GetText(Original.PriorityAlert)
                               : LMDcmbPriorityMail->currentText().toStdString();
    fields.BoxProtected = BoxProtected;
    fields.BoxPassword = BoxPassword;
    fields.SignIn = SignInBox->Choice();
    return fields;
}

std::string TMailBoxEditFrm::Problem() const
{
    const TMailboxFields fields = Fields();
    std::string problem = CheckFields(fields, InboxFolderOf(fields, Original, DataRoot), UserIdMax);
    if (problem.empty() && Mailboxes)
        problem = CheckDuplicate(*Mailboxes, EditedRow, fields.UserId, fields.MailServer);
    return problem;
}

// ---- state of the Apply button

void TMailBoxEditFrm::Changed()
{
    if (!Filling)
        SetApplyEnabled(true);
}

void TMailBoxEditFrm::SetApplyEnabled(bool enabled)
{
    ApplyOn = enabled;
    if (PButtons)
        PButtons->SetEnabled(LMDpfAccept, enabled);
    else
        LMDpfAccept->setEnabled(enabled);
}

void TMailBoxEditFrm::ShowMessage(const std::string &text)
{
    QMessageBox box(QMessageBox::Warning, mailboxtext::Caption, ToQ(text), QMessageBox::Ok, this);
    box.exec();
}

std::string TMailBoxEditFrm::RulesFolderPath() const
{
    if (RulesFolder)
        return RulesFolder();
    if (!Globals)
        return {};
    const std::string rules = GetText(Globals->Config.RulesPath);
    return rules.empty() ? Globals->DataRoot : rules;
}

std::string TMailBoxEditFrm::MailboxFolder() const
{
    const TMailboxFields fields = Fields();
    if (fields.UserId.empty())
        return {};
    return TUtils::AddBackslash(InboxFolderOf(fields, Original, DataRoot));
}

// ---- commands

void TMailBoxEditFrm::LMDpfAcceptClick()
{
    if (!ApplyOn || !PButtons || !PButtons->Press(LMDpfAccept))
        return;
    Apply();
    PButtons->Release(LMDpfAccept);
}

bool TMailBoxEditFrm::Apply()
{
    const std::string problem = Problem();
    if (!problem.empty()) {
        ShowMessage(problem);
        return false;
    }
    Accepted = true;
    Applied = Fields();
    SetApplyEnabled(false);
    return true;
}

void TMailBoxEditFrm::LMDpfCloseClick()
{
    if (!PButtons || !PButtons->Press(LMDpfClose))
        return;
    const bool close = MayClose();
    PButtons->Release(LMDpfClose);
    if (close)
        done(Accepted ? QDialog::Accepted : QDialog::Rejected);
}

// Esc and the title bar's close button end the editor as Close does.
void TMailBoxEditFrm::reject()
{
    if (MayClose())
        done(Accepted ? QDialog::Accepted : QDialog::Rejected);
}

// Changes not applied yet are offered for applying, with the main window's question: Yes
// applies them (unless they can't be stored), No drops them, Cancel stays in the editor.
bool TMailBoxEditFrm::MayClose()
{
    if (!ApplyOn)
        return true;
    QMessageBox box(QMessageBox::Warning, monitortext::WarningCaption, monitortext::ApplyQuestion,
                    QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel, this);
    switch (box.exec()) {
    case QMessageBox::Yes:
        return Apply();
    case QMessageBox::No:
        return true;
    default:
        return false;
    }
}

void TMailBoxEditFrm::LMDpfBrowse1Click()
{
    if (!PButtons || !PButtons->Press(LMDpfBrowse1))
        return;
    QFileDialog dialog(this, mailboxtext::InboxFolderTitle, LMDeStorage->text());
    dialog.setFileMode(QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly);
    const std::string folder = ChooseInDialog(dialog);
    if (!folder.empty()) {
        LMDeStorage->setText(ToQ(TUtils::RemoveTrailingBackslash(folder)));
        Changed();
    }
    PButtons->Release(LMDpfBrowse1);
}

void TMailBoxEditFrm::LMDpfInboxClick()
{
    if (!PButtons || !PButtons->Press(LMDpfInbox))
        return;
    const std::string folder = MailboxFolder();
    if (!folder.empty() && Globals) {
        Globals->StartStrenna(folder,
                              MailboxSenderAddress(FromQ(LMDeUserID), FromQ(LMDeMailServer)));
    }
    PButtons->Release(LMDpfInbox);
}

void TMailBoxEditFrm::PlayAlert(QComboBox *box)
{
    const std::string file = AlertFile(RulesFolderPath(), box->currentText().toStdString());
    if (file.empty() || file == mailboxtext::NoSound || !TUtils::FileExists(file))
        return;
    if (PlaySound)
        PlaySound(file);
}

// A wave file chosen here joins the alert list under its name and is selected.
void TMailBoxEditFrm::BrowseAlert(TCaptionPanel *button, QComboBox *box)
{
    if (!PButtons || !PButtons->Press(button))
        return;
    const std::string start =
        Utils ? TUtils::AddBackslash(Utils->GetSpecialFolder(specialfolder::Documents)) +
                    names::MyAlertsFolder
              : std::string();
    QFileDialog dialog(this, mailboxtext::AudioFileTitle, ToQ(start), mailboxtext::AudioFileFilter);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setDefaultSuffix(mailboxtext::AudioFileExt);
    const std::string file = ChooseInDialog(dialog);
    const std::string name = AlertNameFor(RulesFolderPath(), file);
    if (!name.empty()) {
        const TMailboxFields fields = Fields();
        FillAlertBoxes(fields.ArrivalAlert, fields.PriorityAlert);
        box->setCurrentIndex(box->findText(ToQ(name), Qt::MatchFixedString));
        Changed();
    }
    PButtons->Release(button);
}

void TMailBoxEditFrm::ManageList(TCaptionPanel *button, const char *listFile)
{
    if (!PButtons || !PButtons->Press(button))
        return;
    const std::string folder = MailboxFolder();
    if (!folder.empty() && Globals)
        Globals->StartVelmot(folder + listFile);
    PButtons->Release(button);
}

void TMailBoxEditFrm::SyncList(TCaptionPanel *button, const char *listFile)
{
    if (!PButtons || !PButtons->Press(button))
        return;
    const std::string folder = MailboxFolder();
    if (!folder.empty() && Globals)
        Globals->StartDrasset({folder + listFile});
    PButtons->Release(button);
}

void TMailBoxEditFrm::LMDpfAliasListClick()
{
    if (!PButtons || !PButtons->Press(LMDpfAliasList))
        return;
    const std::string folder = MailboxFolder();
    if (!folder.empty() && Globals)
        Globals->StartFennick(TUtils::RemoveTrailingBackslash(folder));
    PButtons->Release(LMDpfAliasList);
}

void TMailBoxEditFrm::ToggleList(TCaptionPanel *toggle)
{
    if (PButtons && PButtons->IsAvailable(toggle)) {
        PButtons->Toggle(toggle);
        Changed();
    }
}

void TMailBoxEditFrm::LMDpfPasswordClick()
{
    if (!PButtons || !PButtons->Press(LMDpfPassword))
        return;
    if (BoxProtected && !VerifyPassword(BoxPassword)) {
        ShowMessage(AccessDeniedText);
    } else if (ChangePassword(BoxProtected, BoxPassword)) {
        Changed();
    } else {
        ShowMessage(AccessDeniedText);
    }
    PButtons->Release(LMDpfPassword);
}

void TMailBoxEditFrm::LMDpfHelpClick()
{
    if (!PButtons || !PButtons->Press(LMDpfHelp))
        return;
    contexthelp::ShowWindowHelp(this);
    PButtons->Release(LMDpfHelp);
}
