// Small text helpers over std::string (bytes). The one place for case-insensitive work.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

// Texts are read as UTF-8; a byte that is not part of a well-formed sequence is kept as it is
// and compared as itself.

// Lower and upper case of every letter.
std::string LowerCase(std::string text);
std::string UpperCase(std::string text);
// The form in which texts that differ only in case are equal (Unicode case folding, so "Ü" and
// "ü" fold alike); what the comparisons below use.
std::string FoldCase(const std::string &text);

// Case-insensitive comparison and search (Unicode case folding).
bool SameText(const std::string &a, const std::string &b);
// Position of needle in haystack ignoring case, std::string::npos when absent.
size_t FindText(const std::string &haystack, const std::string &needle, size_t from = 0);
bool ContainsText(const std::string &haystack, const std::string &needle);
bool StartsText(const std::string &text, const std::string &prefix);
bool EndsText(const std::string &text, const std::string &suffix);

// Byte position of the character after (before) the one at pos; a stray byte counts as one
// character.
size_t NextCharStart(const std::string &text, size_t pos);
size_t PreviousCharStart(const std::string &text, size_t pos);

// Blanks and control characters removed at both ends (or one end).
std::string Trim(const std::string &text);
std::string TrimLeft(const std::string &text);
std::string TrimRight(const std::string &text);

// printf-style formatting into a new string of any length.
std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char *format, va_list args);

// Decimal text to integer; fallback when the text is not entirely a number (blanks around it
// are allowed) or does not fit.
long long StrToIntDef(const std::string &text, long long fallback);

// Splits at every occurrence of separator; an empty text gives one empty field.
std::vector<std::string> SplitText(const std::string &text, char separator);
std::string JoinText(const std::vector<std::string> &parts, const std::string &separator);

// Every occurrence of from replaced by to (from must not be empty).
std::string ReplaceAll(std::string text, const std::string &from, const std::string &to);
