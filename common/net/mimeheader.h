// Mail header helpers: unfolding of continuation lines and decoding of RFC 2047 encoded
// words ("=?charset?B?...?=" and "=?charset?Q?...?=") to UTF-8.
#pragma once

#include <string>
#include <vector>

// Decodes every encoded word of a header value to UTF-8. Encoded words separated only by
// blanks are joined without those blanks. A word whose charset is unknown or whose text is
// malformed stays as it stands. Control characters produced by decoding (line breaks, NUL,
// tabs) become blanks, so a decoded value is always one line.
std::string DecodeHeaderWords(const std::string &value);

// Joins each header field with its continuation lines (lines starting with a blank or tab).
// Reading stops at the first empty line, which ends the header of a message.
std::vector<std::string> UnfoldHeaderLines(const std::vector<std::string> &lines);

// The raw value of the first field called name (without the colon, any case) among
// unfolded header lines, trimmed; empty when there is none.
std::string HeaderField(const std::vector<std::string> &unfolded, const std::string &name);

// A text shortened to at most maxBytes without cutting a UTF-8 sequence in two.
std::string CutUtf8(const std::string &text, size_t maxBytes);
