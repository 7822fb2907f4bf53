// Edit boxes for the fixed text fields of the records: whatever can be typed fits its field
// together with the field's terminating zero.
#pragma once

#include <cstddef>

class QLineEdit;

// The longest text a field of fieldSize bytes holds: one byte stays for the terminating zero.
constexpr int FieldEntryLimit(std::size_t fieldSize)
{
    return static_cast<int>(fieldSize) - 1;
}

// Lets at most maxBytes bytes be typed or pasted into edit, counted as stored (UTF-8), so a
// character of several bytes cannot push a text past its field. A paste that would not fit is
// refused whole (never cut); the edit then emits inputRejected.
void SetEntryLimit(QLineEdit *edit, int maxBytes);
// Lifts the limit again (QLineEdit's own maximum length).
void ClearEntryLimit(QLineEdit *edit);
inline constexpr int NoEntryLimit = 32767;
