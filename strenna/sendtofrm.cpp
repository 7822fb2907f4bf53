#include "strenna/sendtofrm.h"
#include "strenna/suggestbox.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "common/globals.h"
#include "common/names.h"
#include "common/text.h"
#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"

namespace {

QString ToQ(const std::string &text)
{
    return QString::fromStdString(text);
}

std::string AddressBookPath()
{
    return Globals ? TUtils::AddBackslash(Globals->DataRoot) + names::AddressBookFile
                   : std::string();
}

} // namespace

TfrmSendTo::TfrmSendTo(QWidget *parent) : QDialog(parent), SendTo(AddressBookPath())
{
    setObjectName("frmSendTo");
    setWindowTitle(sendtotext::Caption);
    contexthelp::SetHelpKeyword(this, help::SendTo);
    setModal(true);
    SendTo.Display = [this](const std::string &text) { LMDpfStatusBar->SetCaption(text); };

    auto *layout = new QVBoxLayout(this);
    auto *heading = new QLabel(sendtotext::Heading, this);
    QFont font = heading->font();
    font.setBold(true);
    heading->setFont(font);
    layout->addWidget(heading);
    auto *grid = new QGridLayout;
    LMDcbSendTo = new QComboBox(this);
    LMDcbSendTo->setObjectName("LMDcbSendTo");
    LMDcbSendTo->setEditable(true);
    LMDcbSendTo->setInsertPolicy(QComboBox::NoInsert);
    SuggestOnly(LMDcbSendTo);
    contexthelp::SetHelpContext(LMDcbSendTo, help::SendToTo);
    LMDeSubject = new QLineEdit(this);
    LMDeSubject->setObjectName("LMDeSubject");
    contexthelp::SetHelpContext(LMDeSubject, help::SendToSubject);
    grid->addWidget(new QLabel("To:", this), 0, 0);
    grid->addWidget(LMDcbSendTo, 0, 1);
    grid->addWidget(new QLabel("Subject", this), 1, 0);
    grid->addWidget(LMDeSubject, 1, 1);
    layout->addLayout(grid);
    mMsgBody = new QPlainTextEdit(this);
    mMsgBody->setObjectName("mMsgBody");
    mMsgBody->setTabChangesFocus(true); // Tab goes on to the buttons
    contexthelp::SetHelpContext(mMsgBody, help::SendToNote);
    layout->addWidget(mMsgBody, 1);

    auto *buttons = new QHBoxLayout;
    auto panel = [this, buttons](const char *name, const char *caption, help::TContext help) {
        auto *result = new TCaptionPanel(caption, this);
        result->setObjectName(name);
        result->setMinimumSize(70, 22);
        result->setCursor(Qt::PointingHandCursor);
        contexthelp::SetHelpContext(result, help);
        buttons->addWidget(result);
        return result;
    };
    LMDpfSend = panel("LMDpfSend", "Send", help::SendToSend);
    LMDpfCancel = panel("LMDpfCancel", "Cancel", help::SendToCancel);
    LMDpfHelp = panel("LMDpfHelp", "Help", help::SendToHelp);
    layout->addLayout(buttons);
    LMDpfStatusBar = new TCaptionPanel("", this);
    LMDpfStatusBar->setObjectName("LMDpfStatusBar");
    LMDpfStatusBar->SetBevels(TBevel::None, TBevel::Lowered);
    LMDpfStatusBar->setWordWrap(true);
    layout->addWidget(LMDpfStatusBar);
    resize(420, 320);

    connect(LMDpfSend, &TCaptionPanel::clicked, this, [this] { SendClick(); });
    connect(LMDpfCancel, &TCaptionPanel::clicked, this, [this] {
        if (PButtons && !PButtons->Press(LMDpfCancel))
            return;
        reject();
        if (Utils)
            Utils->Delay(200);
        if (PButtons)
            PButtons->Release(LMDpfCancel);
    });
    connect(LMDpfHelp, &TCaptionPanel::clicked, this, [this] {
        if (PButtons && PButtons->Press(LMDpfHelp)) {
            contexthelp::ShowWindowHelp(this);
            PButtons->Release(LMDpfHelp);
        }
    });
}

void TfrmSendTo::ShowForward(const std::string &file, const std::string &account)
{
    Prepare(file, account);
    exec();
    Finish();
}

void TfrmSendTo::Prepare(const std::string &file, const std::string &account)
{
    SendTo.AddressBook.Path = AddressBookPath();
    SendTo.Open(file, account);
    const QString typed = LMDcbSendTo->currentText();
    LMDcbSendTo->clear();
    for (const std::string &address : SendTo.AddressBook.Entries)
        LMDcbSendTo->addItem(ToQ(address));
    LMDcbSendTo->setEditText(typed);
    mMsgBody->clear();
    LMDpfStatusBar->SetCaption("");
}

void TfrmSendTo::Finish()
{
    if (!SendTo.RememberAddress(LMDcbSendTo->currentText().toStdString()) && Utils)
        Utils->DebugLog("Could not write %s", SendTo.AddressBook.Path.c_str());
}

bool TfrmSendTo::SendClick()
{
    if (!Globals || (PButtons && !PButtons->Press(LMDpfSend)))
        return false;
    if (PButtons)
        PButtons->SetBusy(LMDpfSend, true);
    const QString note = mMsgBody->toPlainText();
    std::vector<std::string> noteLines;
    if (!note.isEmpty())
        noteLines = SplitText(note.toStdString(), '\n');
    const bool sent = SendTo.Send(LMDcbSendTo->currentText().toStdString(),
                                  LMDeSubject->text().toStdString(), noteLines, Globals->Config);
    if (Utils)
        Utils->Delay(200);
    if (PButtons) {
        PButtons->SetBusy(LMDpfSend, false);
        PButtons->Release(LMDpfSend);
    }
    if (sent)
        accept();
    else
        LMDpfStatusBar->SetCaption(SendTo.Problem);
    return sent;
}
