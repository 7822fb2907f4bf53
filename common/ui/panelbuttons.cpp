#include "common/ui/panelbuttons.h"

#include "common/ui/captionpanel.h"
#include "common/utils.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QMenu>
#include <QPalette>
#include <QTimer>
#include <QToolTip>
#include <QWhatsThis>

TPButtons *PButtons = nullptr;

namespace {

void ProcessPendingMessages()
{
    TUtils::ProcessMessages();
}

bool IsHourglass(Qt::CursorShape shape)
{
    return shape == Qt::WaitCursor || shape == Qt::BusyCursor;
}

void ShowHelpPopup(int context, const std::string &keyword, const QPoint &globalPos)
{
    QString text = context >= 1 ? QString("Help topic %1").arg(context)
                                : QString("Help: %1").arg(QString::fromStdString(keyword));
    QToolTip::showText(globalPos, text);
}

void SetTextColour(TCaptionPanel *panel, QPalette::ColorGroup group)
{
    QPalette palette = panel->palette();
    QColor colour = QApplication::palette().color(group, QPalette::WindowText);
    palette.setColor(QPalette::Active, QPalette::WindowText, colour);
    palette.setColor(QPalette::Inactive, QPalette::WindowText, colour);
    panel->setPalette(palette);
}

} // namespace

TPButtons::TPButtons(QObject *parent) : QObject(parent), helpHandler(ShowHelpPopup)
{
    if (qApp)
        qApp->installEventFilter(this);
}

TPButtons::~TPButtons()
{
    if (qApp)
        qApp->removeEventFilter(this);
}

// A caption-bar help request ("?" button or Shift+F1) puts Qt into "What's This" mode. We take
// the request over: arm HelpRequested and leave Qt's mode, so the next click reaches the panel
// and the panel shows its own help.
bool TPButtons::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::EnterWhatsThisMode) {
        HelpRequested = true;
        QTimer::singleShot(0, this, [] {
            if (QWhatsThis::inWhatsThisMode())
                QWhatsThis::leaveWhatsThisMode();
        });
    }
    return QObject::eventFilter(watched, event);
}

bool TPButtons::IsAvailable(const TCaptionPanel *panel) const
{
    Qt::CursorShape shape = panel->cursor().shape();
    if (shape == Qt::ForbiddenCursor || IsHourglass(shape))
        return false;
    const QCursor *screen = QGuiApplication::overrideCursor();
    return !(screen && IsHourglass(screen->shape()));
}

bool TPButtons::HelpCheck(TCaptionPanel *panel)
{
    if (!HelpRequested)
        return false;
    HelpRequested = false;
    if (helpHandler) {
        if (panel->HelpContext() >= 1)
            helpHandler(panel->HelpContext(), std::string(), QCursor::pos());
        else if (!panel->HelpKeyword().empty())
            helpHandler(0, panel->HelpKeyword(), QCursor::pos());
    }
    return true;
}

bool TPButtons::Press(TCaptionPanel *panel)
{
    if (HelpCheck(panel) || !IsAvailable(panel))
        return false;
    panel->SetBevels(TBevel::Lowered, TBevel::Lowered);
    ProcessPendingMessages();
    return true;
}

void TPButtons::Release(TCaptionPanel *panel)
{
    panel->SetBevels(TBevel::Raised, TBevel::Raised);
    ProcessPendingMessages();
}

bool TPButtons::DropDown(TCaptionPanel *panel, QMenu *menu)
{
    if (!Press(panel))
        return false;
    menu->exec(panel->mapToGlobal(QPoint(0, panel->height())));
    return true;
}

void TPButtons::ReleaseDropDown(TCaptionPanel *panel)
{
    panel->SetBevels(TBevel::Raised, TBevel::Lowered);
}

bool TPButtons::SetEnabled(TCaptionPanel *panel, bool enabled)
{
    if (enabled) {
        panel->SetBevels(TBevel::Raised, TBevel::Raised);
        SetTextColour(panel, QPalette::Active);
        panel->setCursor(Qt::PointingHandCursor);
    } else {
        panel->SetBevels(TBevel::Raised, TBevel::Lowered);
        SetTextColour(panel, QPalette::Disabled);
        panel->setCursor(Qt::ForbiddenCursor);
    }
    // A disabled panel is passed over by Tab, like a disabled button.
    panel->setFocusPolicy(enabled ? Qt::StrongFocus : Qt::NoFocus);
    ProcessPendingMessages();
    return enabled;
}

void TPButtons::SetBusy(TCaptionPanel *panel, bool busy)
{
    panel->setCursor(busy ? Qt::WaitCursor : Qt::PointingHandCursor);
}

bool TPButtons::Toggle(TCaptionPanel *panel)
{
    if (HelpCheck(panel) || !IsAvailable(panel))
        return false;
    bool checked = !IsChecked(panel);
    SetChecked(panel, checked);
    return checked;
}

void TPButtons::SetChecked(TCaptionPanel *panel, bool checked)
{
    panel->SetCaption(checked ? CheckMarkCaption : "");
}

bool TPButtons::IsChecked(const TCaptionPanel *panel) const
{
    return panel->Caption() == CheckMarkCaption;
}
