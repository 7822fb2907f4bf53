#include "common/ui/termination.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QPointer>
#include <QWidget>

#include "common/platform/process.h"
#include "common/utils.h"

namespace {

void Dismiss(QWidget *window)
{
    if (auto *dialog = qobject_cast<QDialog *>(window))
        dialog->done(QDialog::Rejected);
    else
        window->close();
}

// A dialog that opens while the program ends (a question on the way out) is answered "Cancel"
// as soon as its own loop runs: dismissing it while it shows would leave that loop waiting.
class TDismissWhenShown : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Show)
            if (auto *dialog = qobject_cast<QDialog *>(watched))
                QMetaObject::invokeMethod(
                    dialog, [dialog] { Dismiss(dialog); }, Qt::QueuedConnection);
        return false;
    }
};

void DismissOpenWindows()
{
    // A popup that does not close would be met again and again; each is tried once.
    QList<QPointer<QWidget>> tried;
    while (QWidget *popup = QApplication::activePopupWidget()) {
        if (tried.contains(popup))
            break;
        tried.append(popup);
        popup->close();
    }
    for (QWidget *window : QApplication::topLevelWidgets())
        if (window->isVisible() && window->isModal())
            Dismiss(window);
}

} // namespace

void EndProgramNow()
{
    static QPointer<TDismissWhenShown> dismisser;
    if (!dismisser) {
        dismisser = new TDismissWhenShown(qApp);
        qApp->installEventFilter(dismisser);
    }
    TUtils::Terminate();
    DismissOpenWindows();
    // The windows' close may have been refused (a dialog left open, a window that keeps
    // unsaved edits); the loops end all the same. Before the main loop runs this does nothing.
    QCoreApplication::exit(0);
}

void EndOnTerminationSignals()
{
    platform::QuitOnTerminationSignals(&EndProgramNow);
}
