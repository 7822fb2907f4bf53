#include "common/ui/escapehook.h"

#include <QCoreApplication>
#include <QKeyEvent>
#include <memory>

#include "common/globals.h"

namespace {

constexpr uint16_t EscapeKey = 27;

// Application-wide hook: remembers a released Esc key wherever it happened.
class TEscapeHook : public QObject
{
public:
    explicit TEscapeHook(uint16_t &lastKey) : LastKey(lastKey) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::KeyRelease &&
            static_cast<QKeyEvent *>(event)->key() == Qt::Key_Escape)
            LastKey = EscapeKey;
        return QObject::eventFilter(watched, event);
    }

private:
    uint16_t &LastKey;
};

} // namespace

void InstallEscapeHook(TGlobals &globals)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || globals.KeyHook)
        return;
    globals.KeyHook = std::make_unique<TEscapeHook>(globals.LastKey);
    app->installEventFilter(globals.KeyHook.get());
}
