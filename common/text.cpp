#include "common/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

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
} // namespace

std::string LowerCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), LowerChar);
    return text;
}

std::string UpperCase(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), UpperChar);
    return text;
}

bool SameText(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerChar(x) == LowerChar(y);
           });
}

size_t FindText(const std::string &haystack, const std::string &needle, size_t from)
{
    if (from > haystack.size())
        return std::string::npos;
    auto it = std::search(haystack.begin() + from, haystack.end(), needle.begin(), needle.end(),
                          [](char x, char y) { return LowerChar(x) == LowerChar(y); });
    return it == haystack.end() && !needle.empty() ? std::string::npos
                                                   : size_t(it - haystack.begin());
}

bool ContainsText(const std::string &haystack, const std::string &needle)
{
    return FindText(haystack, needle) != std::string::npos;
}

bool StartsText(const std::string &text, const std::string &prefix)
{
    return text.size() >= prefix.size() && SameText(text.substr(0, prefix.size()), prefix);
}

bool EndsText(const std::string &text, const std::string &suffix)
{
    return text.size() >= suffix.size() &&
           SameText(text.substr(text.size() - suffix.size()), suffix);
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
