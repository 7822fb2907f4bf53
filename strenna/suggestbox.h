// The editable boxes of the saved message manager (filter text, search text, address) offer
// earlier entries while the user types, but what runs is always what the user typed.
#pragma once

class QComboBox;

// The box's items appear as suggestions in a pop-up list; they are never written into the box
// unless picked there, and leaving the box never swaps the typed text for an item that differs
// from it in capitals only.
void SuggestOnly(QComboBox *box);
