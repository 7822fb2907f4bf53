#include "fennick/edittextfrm.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <algorithm>

#include "common/ui/captionpanel.h"
#include "common/ui/panelbuttons.h"
#include "common/utils.h"

namespace {

constexpr unsigned ButtonPauseMs = 200;
constexpr int MinimumWidth = 220;

void Pause()
{
    if (Utils)
        Utils->Delay(ButtonPauseMs);
}

} // namespace

TEditTextFrm::TEditTextFrm(QWidget *owner)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint)
{
    setModal(true);
    setMinimumWidth(MinimumWidth);
    LMDpfTextEdit = new QLabel(this);
    LMDeText = new QLineEdit(this);
    LMDpfApply = new TCaptionPanel("Apply", this);
    LMDpfClose = new TCaptionPanel("Cancel", this);
    for (TCaptionPanel *panel : {LMDpfApply, LMDpfClose}) {
        panel->setMinimumSize(70, 22);
        panel->setCursor(Qt::PointingHandCursor);
    }
    LMDpfTextEdit->setObjectName("LMDpfTextEdit");
    LMDeText->setObjectName("LMDeText");
    LMDpfApply->setObjectName("LMDpfApply");
    LMDpfClose->setObjectName("LMDpfClose");

    // The spacers share the width beside the buttons, so the buttons sit evenly spaced.
    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(LMDpfApply);
    buttons->addStretch(2);
    buttons->addWidget(LMDpfClose);
    buttons->addStretch(1);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(LMDpfTextEdit);
    layout->addWidget(LMDeText);
    layout->addLayout(buttons);

    connect(LMDpfApply, &TCaptionPanel::clicked, this, &TEditTextFrm::LMDpfApplyClick);
    connect(LMDpfClose, &TCaptionPanel::clicked, this, &TEditTextFrm::LMDpfCloseClick);
    connect(LMDeText, &QLineEdit::returnPressed, this, &TEditTextFrm::LMDpfApplyClick);
}

void TEditTextFrm::LMDpfApplyClick()
{
    if (!PButtons->Press(LMDpfApply))
        return;
    Result = true;
    Pause();
    PButtons->Release(LMDpfApply);
    accept();
}

void TEditTextFrm::LMDpfCloseClick()
{
    if (!PButtons->Press(LMDpfClose))
        return;
    Result = false;
    Pause();
    PButtons->Release(LMDpfClose);
    reject();
}

bool EditText(int top, int left, int maxLength, std::string &text, const std::string &prompt,
              const std::string &caption, QWidget *owner)
{
    TEditTextFrm dialog(owner);
    dialog.setWindowTitle(QString::fromStdString(caption));
    dialog.LMDpfTextEdit->setText(QString::fromStdString(prompt));
    dialog.LMDeText->setText(QString::fromStdString(text));
    dialog.LMDeText->setMaxLength(maxLength);

    const int characters = std::min<int>(
        std::max(QString::fromStdString(caption).size(), QString::fromStdString(prompt).size()),
        maxLength);
    const int fontSize = std::max(dialog.font().pointSize(), 1);
    dialog.resize(std::max(characters * fontSize + 10, dialog.minimumWidth()),
                  dialog.sizeHint().height());
    if (top != 0 || left != 0)
        dialog.move(left, top);
    else if (owner != nullptr)
        dialog.move(owner->geometry().center() - dialog.rect().center());

    dialog.exec();
    if (!dialog.Accepted())
        return false;
    text = dialog.LMDeText->text().toStdString();
    return true;
}
