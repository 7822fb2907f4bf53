// The "Run Mail" button shared by the browser and the search window: its caption (the default
// mail program), its width, its menu of installed mail programs, and opening a message.
#pragma once

#include <functional>
#include <string>

class QMenu;
class TCaptionPanel;

inline constexpr int DropPartWidth = 18; // width of a button's drop-down part

// Shows the default mail program's name on the button (the one chosen in the monitor, else the
// desktop's default) and sizes it: 9 pixels per character plus the drop-down part, at least 85.
// Answers that width (drop-down part included).
int ShowDefaultMailer(TCaptionPanel *runMail);

// Replaces the menu's items by one per installed mail program; a click opens with that one.
void FillMailerMenu(QMenu *menu, const std::function<void(const std::string &name)> &open);

// Opens the message with the mail program of that name; failures go to the debug log.
void OpenMessageWith(const std::string &mailerName, const std::string &messageFile);
