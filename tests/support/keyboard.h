// Checking windows as a keyboard user meets them: what Tab reaches, and what a widget paints.
// Tab is sent to the window's focus widget as a key press, so no window activation is needed.
#pragma once

#include <QColor>
#include <string>
#include <vector>

class QWidget;

namespace keyboard {

// The widgets Tab reaches in window, in order, from its focus widget (or its first control)
// until focus comes back to the first one (at most 200 presses).
std::vector<QWidget *> TabWalk(QWidget *window);

// The visible, enabled controls of window that a Tab walk does not reach, each named by its
// class, object name and text ("" for none): empty when the keyboard reaches every control.
std::vector<std::string> ControlsTabMisses(QWidget *window);

// How many pixels of widget's painted image have colour.
int PixelsOf(QWidget *widget, const QColor &colour);

} // namespace keyboard
