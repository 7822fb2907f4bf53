#include "strenna/suggestbox.h"

#include <QComboBox>
#include <QCompleter>

void SuggestOnly(QComboBox *box)
{
    // A combo box's own completer writes the first match into the box as the user types, and
    // ignores case; on Enter or focus loss the box then selects the item that matches the text
    // ignoring case. A case-sensitive pop-up completer leaves the typed text alone.
    QCompleter *completer = box->completer();
    if (!completer)
        return;
    completer->setCompletionMode(QCompleter::PopupCompletion);
    completer->setCaseSensitivity(Qt::CaseSensitive);
}
