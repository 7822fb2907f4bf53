#include "common/ui/placement.h"

#include <QApplication>
#include <QCursor>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <optional>
#include <vector>

#include "common/ui/captionpanel.h"

namespace {

// Set on the windows placed here: they are placed again each time they are shown.
constexpr char PlacedProperty[] = "corvexPlaced";
// Set on the main windows in which Esc presses the Close panel.
constexpr char EscapeClosesProperty[] = "corvexEscapeCloses";
// What the window system puts between a window's title and the application's name.
const QString TitleSeparator = QStringLiteral(" \u2014 ");
// What a caption bar shows beside the title: the window icon and three buttons with margins.
constexpr int CaptionBarExtra = 140;
// The panels Esc presses in a dialog.
const QString EscapeCaptions[] = {"Close", "Cancel"};

std::optional<QRect> ParseRect(const QByteArray &text)
{
    const QList<QByteArray> parts = text.split(',');
    if (parts.size() != 4)
        return std::nullopt;
    int values[4];
    for (int i = 0; i < 4; ++i) {
        bool ok = false;
        values[i] = parts[i].trimmed().toInt(&ok);
        if (!ok)
            return std::nullopt;
    }
    if (values[2] <= 0 || values[3] <= 0)
        return std::nullopt;
    return QRect(values[0], values[1], values[2], values[3]);
}

QByteArray RectText(const QRect &rect)
{
    return QByteArray::number(rect.x()) + ',' + QByteArray::number(rect.y()) + ',' +
           QByteArray::number(rect.width()) + ',' + QByteArray::number(rect.height());
}

bool IsPlaceable(const QWidget *widget)
{
    const Qt::WindowType type = widget->windowType();
    return widget->isWindow() && (type == Qt::Window || type == Qt::Dialog);
}

QRect ScreenArea(const QPoint &point, const QWidget *window)
{
    QScreen *screen = QGuiApplication::screenAt(point);
    if (!screen)
        screen = window->screen();
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    return screen ? screen->availableGeometry() : QRect();
}

// Moves window so that its frame is centred over area, kept on the screen where it fits.
void CentreOver(QWidget *window, const QRect &area)
{
    const QSize size = window->frameGeometry().size();
    QPoint topLeft = area.topLeft() +
                     QPoint((area.width() - size.width()) / 2, (area.height() - size.height()) / 2);
    const QRect screen = ScreenArea(area.center(), window);
    if (screen.isValid()) {
        topLeft.setX(std::max(
            screen.left(), std::min(topLeft.x(), screen.left() + screen.width() - size.width())));
        topLeft.setY(std::max(
            screen.top(), std::min(topLeft.y(), screen.top() + screen.height() - size.height())));
    }
    window->move(topLeft);
}

void WidenForTitle(QWidget *window)
{
    const int width = std::min(TitleWidth(window), window->maximumWidth());
    if (window->width() < width)
        window->resize(width, window->height());
}

// The visible Close (or Cancel) panel of a dialog, nullptr when it has none.
TCaptionPanel *EscapePanel(QWidget *dialog)
{
    const QList<TCaptionPanel *> panels = dialog->findChildren<TCaptionPanel *>();
    for (const QString &caption : EscapeCaptions)
        for (TCaptionPanel *panel : panels)
            if (panel->window() == dialog && panel->text() == caption && panel->isVisibleTo(dialog))
                return panel;
    return nullptr;
}

QWidget *OpenerOf(const QWidget *window);

class TWindowPlacement : public QObject
{
public:
    using QObject::QObject;

    // The visible window other than window that was active last.
    QWidget *LastActiveBesides(const QWidget *window) const
    {
        for (auto it = History.rbegin(); it != History.rend(); ++it)
            if (*it && *it != window && (*it)->isVisible())
                return *it;
        return nullptr;
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!watched->isWidgetType())
            return false;
        auto *widget = static_cast<QWidget *>(watched);
        switch (event->type()) {
        case QEvent::Show:
            if (!event->spontaneous() && IsPlaceable(widget))
                Place(widget);
            if (!event->spontaneous() && qobject_cast<QMessageBox *>(widget))
                WidenMessageBox(static_cast<QMessageBox *>(widget));
            break;
        case QEvent::WindowActivate:
            if (widget->isWindow())
                Remember(widget);
            break;
        case QEvent::KeyPress:
            return widget->isWindow() &&
                   (widget->windowType() == Qt::Dialog ||
                    widget->property(EscapeClosesProperty).toBool()) &&
                   PressEscapePanel(widget, static_cast<QKeyEvent *>(event));
        default:
            break;
        }
        return false;
    }

private:
    void Remember(QWidget *window)
    {
        History.erase(std::remove_if(History.begin(), History.end(),
                                     [window](const QPointer<QWidget> &entry) {
                                         return !entry || entry == window;
                                     }),
                      History.end());
        History.emplace_back(window);
    }

    // Windows that the program moved itself keep their place.
    void Place(QWidget *window)
    {
        WidenForTitle(window);
        if (window->testAttribute(Qt::WA_Moved) && !window->property(PlacedProperty).toBool())
            return;
        CentreOver(window, OpenerArea(window));
        window->setProperty(PlacedProperty, true);
    }

    static QRect OpenerArea(QWidget *window)
    {
        QWidget *parent = window->parentWidget() ? window->parentWidget()->window() : nullptr;
        if (parent && parent->isVisible())
            return parent->frameGeometry();
        if (QWidget *opener = OpenerOf(window))
            return opener->frameGeometry();
        if (const std::optional<QRect> starter = TakeStarterFrame())
            return *starter;
        return ScreenArea(QCursor::pos(), window);
    }

    // The frame of the starting program's window: it places the first window that has no
    // opener in this program, once, and is not handed on to the programs this one starts.
    static std::optional<QRect> TakeStarterFrame()
    {
        const std::optional<QRect> frame = ParseRect(qgetenv(OpenerVariable));
        qunsetenv(OpenerVariable);
        return frame;
    }

    // A message box fixes its size when it is shown, counting its own title only (not the
    // application's name the window system adds): its text is given the width the whole title
    // needs, which the box's own sizing then takes in.
    static void WidenMessageBox(QMessageBox *box)
    {
        auto *text = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
        if (!text)
            return;
        // The icon, the margins and the spacing.
        const int beside = box->sizeHint().width() - text->sizeHint().width();
        const int wanted = TitleWidth(box) - std::max(0, beside);
        if (text->minimumWidth() < wanted)
            text->setMinimumWidth(wanted);
    }

    static bool PressEscapePanel(QWidget *dialog, QKeyEvent *key)
    {
        if (key->key() != Qt::Key_Escape || key->modifiers() != Qt::NoModifier)
            return false;
        TCaptionPanel *panel = EscapePanel(dialog);
        if (!panel)
            return false; // the dialog's own Esc (reject) stays
        if (!key->isAutoRepeat())
            panel->Click();
        return true;
    }

    std::vector<QPointer<QWidget>> History; // windows in the order they were last activated
};

QPointer<TWindowPlacement> Placement;

QWidget *OpenerOf(const QWidget *window)
{
    for (QWidget *active : {QApplication::activeModalWidget(), QApplication::activeWindow()})
        if (active && active != window && active->isVisible())
            return active;
    return Placement ? Placement->LastActiveBesides(window) : nullptr;
}

} // namespace

void InstallWindowPlacement()
{
    if (Placement || !qApp)
        return;
    Placement = new TWindowPlacement(qApp);
    qApp->installEventFilter(Placement);
}

QWidget *OpenerWindow()
{
    return OpenerOf(nullptr);
}

void AnnounceOpener(QWidget *fallback)
{
    QWidget *opener = OpenerWindow();
    if (!opener && fallback && fallback->window()->isVisible())
        opener = fallback->window();
    if (opener)
        qputenv(OpenerVariable, RectText(opener->frameGeometry()));
    else
        qunsetenv(OpenerVariable);
}

int TitleWidth(const QWidget *window)
{
    QFont font = window->font();
    font.setBold(true);
    QString title = window->windowTitle();
    // The window system adds an application name that was set apart from the program's name.
    const QString application = QGuiApplication::applicationDisplayName();
    if (!title.isEmpty() && application != QCoreApplication::applicationName() &&
        !title.contains(application))
        title += TitleSeparator + application;
    return QFontMetrics(font).horizontalAdvance(title) + CaptionBarExtra;
}

void CloseOnEscape(QWidget *window)
{
    window->setProperty(EscapeClosesProperty, true);
}
