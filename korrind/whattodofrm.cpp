#include "korrind/whattodofrm.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/ui/panelbuttons.h"
#include "korrind/engine/whattodo.h"

TfrmWhatToDo::TfrmWhatToDo(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint)
{
    setWindowTitle("Would you like to:");
    contexthelp::SetHelpKeyword(this, help::NewMailPrompt);
    setModal(true);
    LMDcbSave = Box("Save this E-mail", "Save message to Inbox", "LMDcbSave", wdSave);
    LMDcbDelete =
        Box("Delete this E-mail", "Delete message from the mail server", "LMDcbDelete", wdDelete);
    LMDcbAddPriority = Box("Add to Master Priority List", "Save message to Inbox",
                           "LMDcbAddPriority", wdAddPriority);
    LMDcbAddReject =
        Box("Add to Master Rejection List", "Save message to Inbox", "LMDcbAddReject", wdAddReject);
    LMDcbDoNothing = Box("Do nothing", "Leave message on server", "LMDcbDoNothing", wdDoNothing);
    LMDcbDontShow = Box("Don't show these options again", "Do not show this box again this session",
                        "LMDcbDontShow", wdDontShow);

    LMDpfClose = new TCaptionPanel("OK", this);
    LMDpfClose->setObjectName("LMDpfClose");
    LMDpfClose->setToolTip("Create a new message");
    LMDpfClose->setMinimumSize(70, 22);
    LMDpfClose->setCursor(Qt::PointingHandCursor);

    auto *layout = new QVBoxLayout(this);
    for (QCheckBox *box :
         {LMDcbSave, LMDcbDelete, LMDcbAddPriority, LMDcbAddReject, LMDcbDoNothing, LMDcbDontShow})
        layout->addWidget(box);
    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(LMDpfClose);
    buttons->addStretch();
    layout->addLayout(buttons);
    connect(LMDpfClose, &TCaptionPanel::clicked, this, &TfrmWhatToDo::LMDpfCloseClick);
}

QCheckBox *TfrmWhatToDo::Box(const char *caption, const char *hint, const char *name, unsigned bit)
{
    auto *box = new QCheckBox(caption, this);
    box->setObjectName(name);
    box->setToolTip(hint);
    Boxes.emplace_back(box, bit);
    connect(box, &QCheckBox::toggled, this, [this, bit](bool checked) {
        if (checked)
            BoxChecked(bit);
    });
    return box;
}

unsigned TfrmWhatToDo::CheckedBoxes() const
{
    unsigned boxes = 0;
    for (const auto &[box, bit] : Boxes)
        if (box->isChecked())
            boxes |= bit;
    return boxes;
}

void TfrmWhatToDo::SetBoxes(unsigned boxes)
{
    Interlocking = true;
    for (const auto &[box, bit] : Boxes)
        box->setChecked((boxes & bit) != 0);
    Interlocking = false;
}

void TfrmWhatToDo::BoxChecked(unsigned bit)
{
    // The boxes code checks or clears must not start interlocks of their own.
    if (Interlocking)
        return;
    SetBoxes(BoxesAfterChecking(CheckedBoxes(), bit));
}

unsigned TfrmWhatToDo::AskWhatToDo(bool promptOff)
{
    if (promptOff)
        return wdDontShow;
    SetBoxes(wdDoNothing);
    if (exec() != QDialog::Accepted)
        return 0;
    return AnswerOfBoxes(CheckedBoxes());
}

void TfrmWhatToDo::LMDpfCloseClick()
{
    if (PButtons && !PButtons->Press(LMDpfClose))
        return;
    if (PButtons)
        PButtons->Release(LMDpfClose);
    accept();
}
