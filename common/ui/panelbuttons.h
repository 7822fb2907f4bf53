// Button behaviour for caption panels: pressed, released, drop-down, disabled and busy looks, the
// busy guard, check-mark panels and the caption-bar help mode. Every click handler follows one
// pattern: if (!PButtons->Press(panel)) return; ...work...; PButtons->Release(panel);
#pragma once

#include <QObject>
#include <QPoint>
#include <functional>
#include <string>

class QKeyEvent;
class QMenu;
class QWidget;
class TCaptionPanel;

class TPButtons : public QObject
{
public:
    // Shows a panel's help: its context number when that is 1 or more, else its keyword.
    using THelpHandler =
        std::function<void(int context, const std::string &keyword, const QPoint &globalPos)>;

    explicit TPButtons(QObject *parent = nullptr);
    ~TPButtons() override;

    // Armed when the user asks for help from a window's caption bar ("What's This" mode) or with
    // Shift+F1; consumed by the next click, which then shows the help of the control clicked
    // (a panel's help instead of its command).
    bool HelpRequested = false;

    bool Press(TCaptionPanel *panel);
    void Release(TCaptionPanel *panel);
    bool DropDown(TCaptionPanel *panel, QMenu *menu);
    void ReleaseDropDown(TCaptionPanel *panel);
    bool SetEnabled(TCaptionPanel *panel, bool enabled);
    // Busy look: the hourglass cursor over the panel, which refuses clicks until cleared.
    void SetBusy(TCaptionPanel *panel, bool busy);
    bool Toggle(TCaptionPanel *panel);
    void SetChecked(TCaptionPanel *panel, bool checked);
    bool IsChecked(const TCaptionPanel *panel) const;
    bool HelpCheck(TCaptionPanel *panel);

    // False when the panel is disabled or busy, or the whole application shows the hourglass.
    bool IsAvailable(const TCaptionPanel *panel) const;

    // The application's help handler; an empty handler means none is installed. The default
    // one opens the guide at the topic's section (contexthelp::ShowTopic).
    void SetHelpHandler(THelpHandler handler) { helpHandler = std::move(handler); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Help mode with its "?" cursor, and its end.
    void BeginHelpMode();
    void EndHelpMode();
    // F1, Shift+F1 and Esc (in help mode) on widget; true when the key was taken.
    bool HelpKey(QWidget *widget, const QKeyEvent *key);
    // Hands the topic of widget to the help handler; false when widget has no topic.
    bool ShowHelpOf(const QWidget *widget, const QPoint &globalPos);

    THelpHandler helpHandler;
    bool helpCursorShown = false;
    bool swallowRelease = false;
};

extern TPButtons *PButtons;

// The caption shown by a checked check-mark panel.
inline constexpr const char *CheckMarkCaption = "X";
