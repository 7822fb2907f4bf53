#include "support/keyboard.h"

#include <QAbstractButton>
#include <QImage>
#include <QLineEdit>
#include <QPixmap>
#include <QTest>
#include <QWidget>
#include <algorithm>

#include "common/ui/captionpanel.h"

namespace keyboard {

namespace {

constexpr int MaxPresses = 200;

bool TakesTab(QWidget *widget, QWidget *window)
{
    return widget->window() == window && (widget->focusPolicy() & Qt::TabFocus) == Qt::TabFocus &&
           widget->isVisibleTo(window) && widget->isEnabled();
}

// The outermost widgets that take Tab: the edit field inside a spin box is part of the box.
std::vector<QWidget *> Controls(QWidget *window)
{
    std::vector<QWidget *> controls;
    for (QWidget *widget : window->findChildren<QWidget *>()) {
        if (!TakesTab(widget, window))
            continue;
        bool inner = false;
        for (QWidget *up = widget->parentWidget(); up && up != window; up = up->parentWidget())
            inner = inner || TakesTab(up, window);
        if (!inner)
            controls.push_back(widget);
    }
    return controls;
}

std::string Describe(QWidget *widget)
{
    QString text;
    if (auto *panel = qobject_cast<TCaptionPanel *>(widget))
        text = panel->text();
    else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        text = button->text();
    return std::string(widget->metaObject()->className()) + " " +
           widget->objectName().toStdString() + " \"" + text.toStdString() + "\"";
}

} // namespace

std::vector<QWidget *> TabWalk(QWidget *window)
{
    std::vector<QWidget *> reached;
    if (!window->focusWidget())
        QTest::keyClick(window, Qt::Key_Tab);
    for (int i = 0; i < MaxPresses && window->focusWidget(); ++i) {
        QWidget *focus = window->focusWidget();
        if (!reached.empty() && focus == reached.front())
            break;
        reached.push_back(focus);
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    return reached;
}

std::vector<std::string> ControlsTabMisses(QWidget *window)
{
    const std::vector<QWidget *> reached = TabWalk(window);
    std::vector<std::string> missed;
    for (QWidget *control : Controls(window)) {
        const bool hit = std::any_of(reached.begin(), reached.end(), [control](QWidget *focus) {
            return focus == control || control->isAncestorOf(focus);
        });
        if (!hit)
            missed.push_back(Describe(control));
    }
    return missed;
}

int PixelsOf(QWidget *widget, const QColor &colour)
{
    const QImage image = widget->grab().toImage();
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += image.pixelColor(x, y).rgb() == colour.rgb();
    return count;
}

} // namespace keyboard
