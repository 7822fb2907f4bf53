#include "common/ui/captionpanel.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>
#include <algorithm>
#include <qdrawutil.h>

namespace {

constexpr int BevelWidth = 1;
constexpr int FocusMarkWidth = 2;

void DrawBevel(QPainter &painter, const QRect &rect, TBevel bevel, const QPalette &palette)
{
    if (bevel == TBevel::None)
        return;
    qDrawShadeRect(&painter, rect, palette, bevel == TBevel::Lowered, BevelWidth);
}

} // namespace

TCaptionPanel::TCaptionPanel(const QString &caption, QWidget *parent)
    : QFrame(parent), caption(caption)
{
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    setAutoFillBackground(true);
    // Room for both bevels around the caption.
    setContentsMargins(2 * BevelWidth + 1, 2 * BevelWidth + 1, 2 * BevelWidth + 1,
                       2 * BevelWidth + 1);
    // Mouse clicks reach the panel even while the application's "What's This" mode is on:
    // help mode is handled by TPButtons, not by Qt.
    setAttribute(Qt::WA_CustomWhatsThis);
    setCursor(Qt::PointingHandCursor); // the enabled look
    setFocusPolicy(Qt::StrongFocus);
}

void TCaptionPanel::setText(const QString &text)
{
    if (text == caption)
        return;
    caption = text;
    updateGeometry();
    update();
}

void TCaptionPanel::setAlignment(Qt::Alignment alignment)
{
    align = alignment;
    update();
}

void TCaptionPanel::setWordWrap(bool on)
{
    wrap = on;
    QSizePolicy policy = sizePolicy();
    policy.setHeightForWidth(on);
    setSizePolicy(policy);
    updateGeometry();
    update();
}

int TCaptionPanel::TextFlags() const
{
    return int(align) | Qt::TextExpandTabs | (wrap ? Qt::TextWordWrap : 0);
}

QSize TCaptionPanel::TextSize(int width) const
{
    return fontMetrics().boundingRect(QRect(0, 0, width, 2000), TextFlags(), caption).size();
}

QSize TCaptionPanel::sizeHint() const
{
    const QMargins margins = contentsMargins();
    // A wrapping caption prefers lines of about 80 average characters, as a label does.
    const int width = wrap ? 80 * fontMetrics().averageCharWidth() : 2000;
    return TextSize(width).grownBy(margins);
}

QSize TCaptionPanel::minimumSizeHint() const
{
    if (!wrap)
        return sizeHint();
    const QMargins margins = contentsMargins();
    return QSize(fontMetrics().averageCharWidth() * 10, fontMetrics().height()).grownBy(margins);
}

int TCaptionPanel::heightForWidth(int width) const
{
    const QMargins margins = contentsMargins();
    const int inner = std::max(1, width - margins.left() - margins.right());
    return TextSize(inner).height() + margins.top() + margins.bottom();
}

void TCaptionPanel::SetBevels(TBevel inner, TBevel outer)
{
    if (inner == bevelInner && outer == bevelOuter)
        return;
    bevelInner = inner;
    bevelOuter = outer;
    update();
}

std::string TCaptionPanel::Caption() const
{
    return text().toStdString();
}

void TCaptionPanel::SetCaption(const std::string &caption)
{
    setText(QString::fromStdString(caption));
}

void TCaptionPanel::SetSelected(bool on)
{
    if (on == selected)
        return;
    selected = on;
    update();
}

void TCaptionPanel::paintEvent(QPaintEvent *event)
{
    QFrame::paintEvent(event);
    QPainter painter(this);
    const QRect outer = rect();
    const QRect inner = outer.adjusted(BevelWidth, BevelWidth, -BevelWidth, -BevelWidth);
    const QRect inside = inner.adjusted(BevelWidth, BevelWidth, -BevelWidth, -BevelWidth);
    QPalette::ColorRole textRole = foregroundRole();
    if (selected) {
        painter.fillRect(inside, palette().color(QPalette::Highlight));
        QFont bold = font();
        bold.setBold(true);
        painter.setFont(bold);
        textRole = QPalette::HighlightedText;
    }
    style()->drawItemText(&painter, contentsRect(), TextFlags(), palette(), isEnabled(), caption,
                          textRole);
    DrawBevel(painter, outer, bevelOuter, palette());
    DrawBevel(painter, inner, bevelInner, palette());
    if (focusMarked) {
        // A solid frame just inside the bevels, in a colour that stands out on the panel.
        const QColor colour =
            palette().color(selected ? QPalette::HighlightedText : QPalette::Highlight);
        for (int i = 0; i < FocusMarkWidth; ++i) {
            painter.setPen(colour);
            painter.drawRect(inside.adjusted(i, i, -i - 1, -i - 1));
        }
    }
}

void TCaptionPanel::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if ((key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) &&
        (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        if (!event->isAutoRepeat())
            emit clicked();
        event->accept();
        return;
    }
    QFrame::keyPressEvent(event);
}

void TCaptionPanel::focusInEvent(QFocusEvent *event)
{
    focusMarked = true;
    QFrame::focusInEvent(event); // repaints
}

void TCaptionPanel::focusOutEvent(QFocusEvent *event)
{
    focusMarked = false;
    QFrame::focusOutEvent(event);
}

void TCaptionPanel::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton)
        leftButtonDown = true;
    QFrame::mousePressEvent(event);
}

void TCaptionPanel::mouseReleaseEvent(QMouseEvent *event)
{
    bool wasDown = leftButtonDown && event->button() == Qt::LeftButton;
    if (event->button() == Qt::LeftButton)
        leftButtonDown = false;
    QFrame::mouseReleaseEvent(event);
    // Like a button: the click happens when the button is let go over the panel.
    if (wasDown && rect().contains(event->position().toPoint()))
        emit clicked();
}

void ShowCurrentTab(std::initializer_list<TCaptionPanel *> tabs, int current)
{
    int index = 0;
    for (TCaptionPanel *tab : tabs) {
        const TBevel bevel = index == current ? TBevel::Lowered : TBevel::Raised;
        tab->SetBevels(bevel, bevel);
        tab->SetSelected(index == current);
        ++index;
    }
}
