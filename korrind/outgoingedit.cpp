#include "korrind/outgoingedit.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "common/globals.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/fieldentry.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"
#include "korrind/signinbox.h"

namespace {

// Entry limits: each text fits its field with the terminating zero; the user ID field is larger
// than what may be entered.
constexpr int ServerLimit = FieldEntryLimit(sizeof(TConfigRecord::SmtpServer));
constexpr int PasswordLimit = FieldEntryLimit(sizeof(TConfigRecord::SmtpPassword));
constexpr int UserNameLimit = FieldEntryLimit(sizeof(TConfigRecord::SmtpUserName));
constexpr int UserIdLimit = 32;
static_assert(UserIdLimit <= FieldEntryLimit(sizeof(TConfigRecord::SmtpUserId)));
// How long "Load" waits when the import program could not be started.
constexpr unsigned LoadFailedDelayMs = 1000;

QString ToQ(const std::string &text)
{
    return QString::fromStdString(text);
}

std::string FromQ(const QLineEdit *edit)
{
    return edit->text().toStdString();
}

} // namespace

TfrmOutgoingServer::TfrmOutgoingServer(QWidget *parent) : QDialog(parent)
{
    setWindowTitle("Out Going Mail Server");
    contexthelp::SetHelpKeyword(this, help::OutgoingServer);
    auto *group = new QGroupBox("Out Going Server Settings", this);
    auto *grid = new QGridLayout(group);
    auto addRow = [&](int row, const char *caption, QLineEdit *&edit, int limit) {
        edit = new QLineEdit(group);
        SetEntryLimit(edit, limit);
        grid->addWidget(new QLabel(caption, group), row, 0);
        grid->addWidget(edit, row, 1);
        connect(edit, &QLineEdit::textEdited, this, [this] { EnableApply(true); });
    };
    addRow(0, "SMTP Server: ", LMDeMailServer, ServerLimit);
    addRow(1, "Password:", LMDePassword, PasswordLimit);
    addRow(2, "User Name:", LMDeUserName, UserNameLimit);
    addRow(3, "User ID:", LMDeUserID, UserIdLimit);
    SignInBox = new TSignInBox(this);
    SignInBox->PasswordEntry = LMDePassword;
    SignInBox->UserId = [this] { return FromQ(LMDeUserID); };
    SignInBox->Server = [this] { return FromQ(LMDeMailServer); };
    SignInBox->OnChanged = [this] { EnableApply(true); };

    LMDpfApply = new TCaptionPanel("Apply", this);
    LMDpfLoad = new TCaptionPanel("Load", this);
    LMDpfClose = new TCaptionPanel("Close", this);
    LMDpfHelp = new TCaptionPanel("Help", this);
    auto *buttons = new QHBoxLayout;
    for (TCaptionPanel *panel : {LMDpfApply, LMDpfLoad, LMDpfClose, LMDpfHelp}) {
        panel->setMinimumSize(72, 24);
        buttons->addWidget(panel);
    }
    connect(LMDpfApply, &TCaptionPanel::clicked, this, [this] { LMDpfApplyClick(); });
    connect(LMDpfLoad, &TCaptionPanel::clicked, this, [this] { LMDpfLoadClick(); });
    connect(LMDpfClose, &TCaptionPanel::clicked, this, [this] { LMDpfCloseClick(); });
    connect(LMDpfHelp, &TCaptionPanel::clicked, this, [this] { LMDpfHelpClick(); });

    auto *layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addWidget(SignInBox);
    layout->addLayout(buttons);
}

void TfrmOutgoingServer::EnableApply(bool enabled)
{
    if (PButtons)
        PButtons->SetEnabled(LMDpfApply, enabled);
    else
        LMDpfApply->setEnabled(enabled);
}

void TfrmOutgoingServer::FormShow(const TConfigRecord &config)
{
    Answer = AnswerClosed;
    LMDeMailServer->setText(ToQ(GetText(config.SmtpServer)));
    LMDePassword->setText(ToQ(GetText(config.SmtpPassword)));
    LMDeUserName->setText(ToQ(GetText(config.SmtpUserName)));
    LMDeUserID->setText(ToQ(GetText(config.SmtpUserId)));
    LMDePassword->setEchoMode(config.DisplayPasswords ? QLineEdit::Normal : QLineEdit::Password);
    DataRoot = Globals ? Globals->DataRoot : std::string();
    SignInBox->Show(StoredChoice(DataRoot, oauth2::TPurpose::Outgoing, GetText(config.SmtpUserId),
                                 GetText(config.SmtpServer)));
    EnableApply(false);
}

void TfrmOutgoingServer::StoreInto(TConfigRecord &config) const
{
    SetText(config.SmtpServer, FromQ(LMDeMailServer));
    SetText(config.SmtpPassword, SignInBox->Choice().OAuth2 ? std::string() : FromQ(LMDePassword));
    SetText(config.SmtpUserName, FromQ(LMDeUserName));
    SetText(config.SmtpUserId, FromQ(LMDeUserID));
}

int TfrmOutgoingServer::Execute(TConfigRecord &config)
{
    FormShow(config);
    exec();
    SignInBox->Cancel();
    if (Answer == AnswerApplied) {
        StoreSignIn(config);
        StoreInto(config);
    }
    return Answer;
}

// The entry of the server as it was follows a changed user ID or server.
void TfrmOutgoingServer::StoreSignIn(const TConfigRecord &config) const
{
    std::string error;
    if (!DataRoot.empty() &&
        !StoreChoice(DataRoot, oauth2::TPurpose::Outgoing, GetText(config.SmtpUserId),
                     GetText(config.SmtpServer), FromQ(LMDeUserID), FromQ(LMDeMailServer),
                     SignInBox->Choice(), error) &&
        Utils)
        Utils->DebugLog("Can't store the outgoing server's sign-in: %s", error.c_str());
}

void TfrmOutgoingServer::LMDpfApplyClick()
{
    if (!PButtons || !PButtons->Press(LMDpfApply))
        return;
    Answer = AnswerApplied;
    PButtons->Release(LMDpfApply);
    accept();
}

void TfrmOutgoingServer::LMDpfLoadClick()
{
    if (!PButtons || !PButtons->Press(LMDpfLoad))
        return;
    if (StartImport && StartImport())
        Answer = AnswerImported;
    else if (Utils)
        Utils->Delay(LoadFailedDelayMs);
    PButtons->Release(LMDpfLoad);
    done(QDialog::Rejected);
}

void TfrmOutgoingServer::LMDpfCloseClick()
{
    if (!PButtons || !PButtons->Press(LMDpfClose))
        return;
    PButtons->Release(LMDpfClose);
    reject();
}

void TfrmOutgoingServer::LMDpfHelpClick()
{
    if (!PButtons || !PButtons->Press(LMDpfHelp))
        return;
    contexthelp::ShowWindowHelp(this);
    PButtons->Release(LMDpfHelp);
}
