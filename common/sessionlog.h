// Log lines of the mail sessions (POP3 and SMTP). Each line has a level from 0 (failures) to
// 4 (protocol detail); a line reaches the status bar, the status label and the debug log only
// when its level is at most the program's debug level.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <functional>
#include <string>

// A receiver of shown log lines (a window's status bar or label).
using TStatusDisplay = std::function<void(const std::string &text)>;

// Longest log line in bytes; a longer one is cut on a character boundary.
constexpr size_t MaxSessionLogText = 511;

// Formats one line, shows and logs it when level <= debugLevel (bar and label may be unset),
// and returns it (the session's last log line, kept whatever its level).
std::string WriteSessionLogV(int level, int debugLevel, const TStatusDisplay &bar,
                             const TStatusDisplay &label, const char *format, va_list args);
