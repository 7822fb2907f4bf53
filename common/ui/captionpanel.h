// A flat panel with a caption that serves as a button: two bevels (inner and outer) give it a
// raised or lowered look, a left click emits clicked(), and it carries a help context number and
// keyword for the caption-bar help mode. TPButtons gives it its button behaviour. Like a button it
// takes focus by Tab or click, and Space, Enter or Return on the focused panel click it.
#pragma once

#include <QLabel>
#include <string>

enum class TBevel { None, Raised, Lowered };

class TCaptionPanel : public QLabel
{
    Q_OBJECT
public:
    explicit TCaptionPanel(const QString &caption = QString(), QWidget *parent = nullptr);

    void SetBevels(TBevel inner, TBevel outer);
    TBevel BevelInner() const { return bevelInner; }
    TBevel BevelOuter() const { return bevelOuter; }

    std::string Caption() const;
    void SetCaption(const std::string &caption);

    // Help shown instead of the command in help mode: the context number when it is 1 or
    // more, else the keyword.
    int HelpContext() const { return helpContext; }
    void SetHelpContext(int context) { helpContext = context; }
    const std::string &HelpKeyword() const { return helpKeyword; }
    void SetHelpKeyword(const std::string &keyword) { helpKeyword = keyword; }

    // A simulated left click, as the mouse would give it (used by keyboard shortcuts and tests).
    void Click() { emit clicked(); }

signals:
    void clicked();

protected:
    void paintEvent(QPaintEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    TBevel bevelInner = TBevel::Raised;
    TBevel bevelOuter = TBevel::Raised;
    int helpContext = 0;
    std::string helpKeyword;
    bool leftButtonDown = false;
};
