// A flat panel with a caption that serves as a button: two bevels (inner and outer) give it a
// raised or lowered look, a left click emits clicked(), and it carries a help context number and
// keyword for the caption-bar help mode. TPButtons gives it its button behaviour. Like a button it
// takes focus by Tab or click, shows a frame in the highlight colour while it has it, and Space,
// Enter or Return on the focused panel click it. A panel used as a page tab is marked selected
// while its page shows: filled with the highlight colour, caption in bold.
// It draws its plain-text caption itself: a focusable QLabel would keep a rich-text document
// for every panel, and the windows hold dozens of panels.
#pragma once

#include <QFrame>
#include <initializer_list>
#include <string>

enum class TBevel { None, Raised, Lowered };

class TCaptionPanel : public QFrame
{
    Q_OBJECT
public:
    explicit TCaptionPanel(const QString &caption = QString(), QWidget *parent = nullptr);

    QString text() const { return caption; }
    void setText(const QString &text);
    Qt::Alignment alignment() const { return align; }
    void setAlignment(Qt::Alignment alignment);
    bool wordWrap() const { return wrap; }
    void setWordWrap(bool on);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return wrap; }
    int heightForWidth(int width) const override;

    void SetBevels(TBevel inner, TBevel outer);
    bool Selected() const { return selected; }
    void SetSelected(bool on);
    TBevel BevelInner() const { return bevelInner; }
    TBevel BevelOuter() const { return bevelOuter; }

    std::string Caption() const;
    void SetCaption(const std::string &caption);

    // A simulated left click, as the mouse would give it (used by keyboard shortcuts and tests).
    void Click() { emit clicked(); }

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    int TextFlags() const;
    QSize TextSize(int width) const; // the caption's size within width

    QString caption;
    Qt::Alignment align = Qt::AlignCenter;
    bool wrap = false;
    TBevel bevelInner = TBevel::Raised;
    TBevel bevelOuter = TBevel::Raised;
    bool leftButtonDown = false;
    bool selected = false;
    bool focusMarked = false;
};

// Page tabs made of panels: the tab of the current page looks pressed and selected, the others
// raised.
void ShowCurrentTab(std::initializer_list<TCaptionPanel *> tabs, int current);
