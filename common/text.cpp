#include "common/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include <QChar>

namespace {
char LowerChar(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}
char UpperChar(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}
bool IsBlank(char c)
{
    return static_cast<unsigned char>(c) <= ' ';
}
bool IsAscii(const std::string &text)
{
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// One character of a text read as UTF-8. A byte that does not begin a well-formed sequence
// stands alone and gets a value above every code point, so it only ever equals itself.
struct TChar
{
    char32_t Value;
    size_t Length;
    bool Valid;
};
constexpr char32_t StrayByteBase = 0x110000;

TChar CharAt(const std::string &text, size_t pos)
{
    const unsigned char lead = static_cast<unsigned char>(text[pos]);
    if (lead < 0x80)
        return {lead, 1, true};
    const TChar stray{StrayByteBase + lead, 1, false};
    size_t length = 0;
    char32_t value = 0, least = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2, value = lead & 0x1F, least = 0x80;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3, value = lead & 0x0F, least = 0x800;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4, value = lead & 0x07, least = 0x10000;
    else
        return stray;
    if (pos + length > text.size())
        return stray;
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = static_cast<unsigned char>(text[pos + i]);
        if ((next & 0xC0) != 0x80)
            return stray;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return stray;
    return {value, length, true};
}

void AppendUtf8(std::string &out, char32_t value)
{
    if (value < 0x80) {
        out += char(value);
    } else if (value < 0x800) {
        out += char(0xC0 | (value >> 6));
        out += char(0x80 | (value & 0x3F));
    } else if (value < 0x10000) {
        out += char(0xE0 | (value >> 12));
        out += char(0x80 | ((value >> 6) & 0x3F));
        out += char(0x80 | (value & 0x3F));
    } else {
        out += char(0xF0 | (value >> 18));
        out += char(0x80 | ((value >> 12) & 0x3F));
        out += char(0x80 | ((value >> 6) & 0x3F));
        out += char(0x80 | (value & 0x3F));
    }
}

char32_t Folded(const TChar &c)
{
    if (c.Value < 0x80)
        return char32_t(LowerChar(char(c.Value)));
    return c.Valid ? QChar::toCaseFolded(c.Value) : c.Value;
}

// Maps every character of a UTF-8 text; ASCII goes through asciiMap alone (the common case,
// kept fast), stray bytes are copied unchanged.
template <typename TAsciiMap, typename TMap>
std::string MapCase(std::string text, TAsciiMap asciiMap, TMap map)
{
    if (IsAscii(text)) {
        for (char &c : text)
            c = asciiMap(c);
        return text;
    }
    std::string out;
    out.reserve(text.size());
    for (size_t pos = 0; pos < text.size();) {
        const TChar c = CharAt(text, pos);
        if (c.Value < 0x80)
            out += asciiMap(char(c.Value));
        else if (!c.Valid)
            out += text[pos];
        else
            AppendUtf8(out, map(c.Value));
        pos += c.Length;
    }
    return out;
}

// Whether needle matches text from pos on, ignoring case; end receives where the match ends.
bool MatchesAt(const std::string &text, size_t pos, const std::string &needle, size_t &end)
{
    size_t n = 0;
    while (n < needle.size()) {
        if (pos >= text.size())
            return false;
        const unsigned char t = static_cast<unsigned char>(text[pos]);
        const unsigned char w = static_cast<unsigned char>(needle[n]);
        if (t < 0x80 && w < 0x80) {
            if (LowerChar(char(t)) != LowerChar(char(w)))
                return false;
            ++pos, ++n;
            continue;
        }
        const TChar a = CharAt(text, pos), b = CharAt(needle, n);
        if (Folded(a) != Folded(b))
            return false;
        pos += a.Length, n += b.Length;
    }
    end = pos;
    return true;
}

} // namespace

std::string LowerCase(std::string text)
{
    return MapCase(std::move(text), LowerChar, [](char32_t c) { return QChar::toLower(c); });
}

std::string UpperCase(std::string text)
{
    return MapCase(std::move(text), UpperChar, [](char32_t c) { return QChar::toUpper(c); });
}

std::string FoldCase(const std::string &text)
{
    return MapCase(text, LowerChar, [](char32_t c) { return QChar::toCaseFolded(c); });
}

bool SameText(const std::string &a, const std::string &b)
{
    size_t end = 0;
    return MatchesAt(a, 0, b, end) && end == a.size();
}

size_t FindText(const std::string &haystack, const std::string &needle, size_t from)
{
    if (from > haystack.size())
        return std::string::npos;
    if (needle.empty())
        return from;
    size_t end = 0;
    for (size_t pos = from; pos < haystack.size(); pos += CharAt(haystack, pos).Length) {
        if (MatchesAt(haystack, pos, needle, end))
            return pos;
    }
    return std::string::npos;
}

bool ContainsText(const std::string &haystack, const std::string &needle)
{
    return FindText(haystack, needle) != std::string::npos;
}

bool StartsText(const std::string &text, const std::string &prefix)
{
    size_t end = 0;
    return MatchesAt(text, 0, prefix, end);
}

bool EndsText(const std::string &text, const std::string &suffix)
{
    const std::string foldedText = FoldCase(text), foldedSuffix = FoldCase(suffix);
    return foldedText.size() >= foldedSuffix.size() &&
           foldedText.compare(foldedText.size() - foldedSuffix.size(), std::string::npos,
                              foldedSuffix) == 0;
}

size_t NextCharStart(const std::string &text, size_t pos)
{
    return pos >= text.size() ? text.size() : pos + CharAt(text, pos).Length;
}

size_t PreviousCharStart(const std::string &text, size_t pos)
{
    pos = std::min(pos, text.size());
    for (size_t length = 1; length <= 4 && length <= pos; ++length) {
        const TChar c = CharAt(text, pos - length);
        if (c.Valid && c.Length == length)
            return pos - length;
    }
    return pos > 0 ? pos - 1 : 0;
}

std::string TrimLeft(const std::string &text)
{
    size_t start = 0;
    while (start < text.size() && IsBlank(text[start]))
        ++start;
    return text.substr(start);
}

std::string TrimRight(const std::string &text)
{
    size_t end = text.size();
    while (end > 0 && IsBlank(text[end - 1]))
        --end;
    return text.substr(0, end);
}

std::string Trim(const std::string &text)
{
    return TrimLeft(TrimRight(text));
}

std::string FormatV(const char *format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    int needed = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    if (needed <= 0)
        return {};
    std::string result(size_t(needed) + 1, '\0');
    std::vsnprintf(result.data(), result.size(), format, args);
    result.resize(size_t(needed));
    return result;
}

std::string Format(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    std::string result = FormatV(format, args);
    va_end(args);
    return result;
}

long long StrToIntDef(const std::string &text, long long fallback)
{
    std::string trimmed = Trim(text);
    if (trimmed.empty())
        return fallback;
    errno = 0;
    char *end = nullptr;
    long long value = std::strtoll(trimmed.c_str(), &end, 10);
    if (errno != 0 || end == trimmed.c_str() || *end != '\0')
        return fallback;
    return value;
}

std::vector<std::string> SplitText(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t pos = text.find(separator, start);
        if (pos == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, pos - start));
        start = pos + 1;
    }
}

std::string JoinText(const std::vector<std::string> &parts, const std::string &separator)
{
    std::string result;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0)
            result += separator;
        result += parts[i];
    }
    return result;
}

std::string ReplaceAll(std::string text, const std::string &from, const std::string &to)
{
    if (from.empty())
        return text;
    size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}
