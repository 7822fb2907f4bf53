#include "common/ui/panelbuttons.h"

#include "common/ui/captionpanel.h"
#include "common/ui/contexthelp.h"
#include "common/utils.h"

#include <QApplication>
#include <QCursor>
#include <QEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QPalette>
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

void ShowHelpInGuide(int context, const std::string &keyword, const QPoint &)
{
    contexthelp::ShowTopic({context, keyword});
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

TPButtons::TPButtons(QObject *parent) : QObject(parent), helpHandler(ShowHelpInGuide)
{
    if (qApp)
        qApp->installEventFilter(this);
}

TPButtons::~TPButtons()
{
    EndHelpMode();
    if (qApp)
        qApp->removeEventFilter(this);
}

// The application's context help. Help mode starts with a caption-bar help request (the "?"
// button puts Qt into its "What's This" mode, which is left at once for ours) or Shift+F1, and
// ends with the next click: the click shows the help of the control under it instead of reaching
// it, whatever the control. F1 shows the help of the control it was pressed on; Esc leaves help
// mode.
bool TPButtons::eventFilter(QObject *watched, QEvent *event)
{
    switch (event->type()) {
    case QEvent::EnterWhatsThisMode:
        QWhatsThis::leaveWhatsThisMode();
        BeginHelpMode();
        break;
    case QEvent::MouseButtonPress:
        if (HelpRequested && watched->isWidgetType()) {
            EndHelpMode();
            ShowHelpOf(static_cast<QWidget *>(watched),
                       static_cast<QMouseEvent *>(event)->globalPosition().toPoint());
            swallowRelease = true; // the press never reached the control: neither does this
            return true;
        }
        break;
    case QEvent::MouseButtonRelease:
        if (swallowRelease && watched->isWidgetType()) {
            swallowRelease = false;
            return true;
        }
        break;
    case QEvent::KeyPress:
        if (watched->isWidgetType() &&
            HelpKey(static_cast<QWidget *>(watched), static_cast<QKeyEvent *>(event)))
            return true;
        break;
    default:
        break;
    }
    return QObject::eventFilter(watched, event);
}

void TPButtons::BeginHelpMode()
{
    HelpRequested = true;
    if (!helpCursorShown) {
        QGuiApplication::setOverrideCursor(Qt::WhatsThisCursor);
        helpCursorShown = true;
    }
}

void TPButtons::EndHelpMode()
{
    HelpRequested = false;
    if (helpCursorShown) {
        QGuiApplication::restoreOverrideCursor();
        helpCursorShown = false;
    }
}

bool TPButtons::HelpKey(QWidget *widget, const QKeyEvent *key)
{
    const Qt::KeyboardModifiers modifiers = key->modifiers() & ~Qt::KeypadModifier;
    if (key->key() == Qt::Key_Escape && HelpRequested) {
        EndHelpMode();
        return true;
    }
    if (key->key() != Qt::Key_F1)
        return false;
    if (modifiers == Qt::ShiftModifier) {
        BeginHelpMode();
        return true;
    }
    return modifiers == Qt::NoModifier &&
           ShowHelpOf(widget, widget->mapToGlobal(widget->rect().center()));
}

bool TPButtons::ShowHelpOf(const QWidget *widget, const QPoint &globalPos)
{
    const contexthelp::TTopic topic = contexthelp::TopicOf(widget);
    if (topic.Empty())
        return false;
    if (helpHandler)
        helpHandler(topic.Context, topic.Keyword, globalPos);
    return true;
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
    EndHelpMode();
    ShowHelpOf(panel, QCursor::pos());
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
