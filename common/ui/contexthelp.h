// Context help: the topic each control or window carries, and how a topic is shown. Help mode
// (What's This), F1 and the Help buttons all end here; the application-wide part that watches
// for them lives in TPButtons, which every program with windows creates.
#pragma once

#include <string>

#include "common/helptopics.h"

class QWidget;

namespace contexthelp {

// A control's help context number (an answered one, see help::Answered) or a window's keyword.
struct TTopic
{
    int Context = 0;
    std::string Keyword;

    bool Empty() const { return !help::Answered(Context) && Keyword.empty(); }
};

void SetHelpContext(QWidget *widget, help::TContext context);
int HelpContext(const QWidget *widget); // 0 when it has none
void SetHelpKeyword(QWidget *widget, const std::string &keyword);
std::string HelpKeyword(const QWidget *widget);

// The topic that answers help on widget: the first help context number or keyword found on it
// or, going outwards, on what contains it, so a control without a topic of its own is answered
// by its page's or window's section (and a dialog without one by its opener's).
TTopic TopicOf(const QWidget *widget);

// The help engine: opens the guide at the topic's section.
void ShowTopic(const TTopic &topic);

// A window's Help button: the help program when one is registered, else the guide at the
// section of the window that holds widget.
void ShowWindowHelp(const QWidget *widget);

} // namespace contexthelp
