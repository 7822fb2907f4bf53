#include "pelloway/keyfile.h"

#include <sys/stat.h>

#include "common/platform/files.h"
#include "common/text.h"

bool ReadSettingsFile(const std::string &path, std::string &bytes, std::string &why)
{
    struct stat info
    {
    };
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
        why = "not a readable file";
        return false;
    }
    if (std::size_t(info.st_size) > MaxSettingsFileSize) {
        why = "larger than a settings file can be";
        return false;
    }
    if (!platform::ReadWholeFile(path, bytes) || bytes.size() > MaxSettingsFileSize) {
        why = "cannot be read";
        return false;
    }
    return true;
}

namespace {

std::string Unescape(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        switch (char next = text[++i]) {
        case 's':
            out += ' ';
            break;
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case 'r':
            out += '\r';
            break;
        default:
            out += next;
            break;
        }
    }
    return out;
}

void AppendUtf8(std::string &out, unsigned code)
{
    if (code < 0x80) {
        out += char(code);
    } else if (code < 0x800) {
        out += char(0xC0 | (code >> 6));
        out += char(0x80 | (code & 0x3F));
    } else {
        out += char(0xE0 | (code >> 12));
        out += char(0x80 | ((code >> 6) & 0x3F));
        out += char(0x80 | (code & 0x3F));
    }
}

// A JavaScript string literal starting at text[at] (a quote); at moves past it.
bool ReadStringLiteral(const std::string &text, std::size_t &at, std::string &value)
{
    const char quote = text[at];
    if (quote != '"' && quote != '\'')
        return false;
    value.clear();
    for (++at; at < text.size(); ++at) {
        char c = text[at];
        if (c == quote) {
            ++at;
            return true;
        }
        if (c != '\\') {
            value += c;
            continue;
        }
        if (++at == text.size())
            return false;
        switch (char next = text[at]) {
        case 'n':
            value += '\n';
            break;
        case 't':
            value += '\t';
            break;
        case 'r':
            value += '\r';
            break;
        case 'u':
        case 'x': {
            const std::size_t digits = next == 'u' ? 4 : 2;
            if (at + digits >= text.size())
                return false;
            std::string hex = text.substr(at + 1, digits);
            if (hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                return false;
            AppendUtf8(value, unsigned(std::stoul(hex, nullptr, 16)));
            at += digits;
            break;
        }
        default:
            value += next;
            break;
        }
    }
    return false;
}

void SkipBlanks(const std::string &text, std::size_t &at)
{
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t'))
        ++at;
}

bool ParsePrefLine(const std::string &line, std::string &name, std::string &value)
{
    static const std::string Call = "user_pref(";
    if (line.compare(0, Call.size(), Call) != 0)
        return false;
    std::size_t at = Call.size();
    SkipBlanks(line, at);
    if (at >= line.size() || !ReadStringLiteral(line, at, name))
        return false;
    SkipBlanks(line, at);
    if (at >= line.size() || line[at++] != ',')
        return false;
    SkipBlanks(line, at);
    if (at >= line.size())
        return false;
    if (line[at] == '"' || line[at] == '\'') {
        if (!ReadStringLiteral(line, at, value))
            return false;
    } else {
        std::size_t end = line.find(')', at);
        if (end == std::string::npos)
            return false;
        value = Trim(line.substr(at, end - at));
        at = end;
    }
    SkipBlanks(line, at);
    return at < line.size() && line[at] == ')';
}

} // namespace

void TKeyFile::Parse(const std::string &text)
{
    Order.clear();
    Values.clear();
    std::string group;
    bool inGroup = false;
    for (const std::string &raw : SplitText(text, '\n')) {
        const std::string line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            group = line.substr(1, line.size() - 2);
            inGroup = true;
            if (Values.emplace(group, std::map<std::string, std::string>{}).second)
                Order.push_back(group);
            continue;
        }
        std::size_t equals = line.find('=');
        if (!inGroup || equals == std::string::npos)
            continue;
        std::string key = TrimRight(line.substr(0, equals));
        std::size_t suffix = key.find('[');
        if (suffix != std::string::npos)
            key.erase(suffix);
        Values[group].emplace(key, Unescape(TrimLeft(line.substr(equals + 1))));
    }
}

std::string TKeyFile::Value(const std::string &group, const std::string &key) const
{
    auto found = Values.find(group);
    if (found == Values.end())
        return {};
    auto value = found->second.find(key);
    return value == found->second.end() ? std::string() : value->second;
}

std::string TPrefs::Value(const std::string &name) const
{
    auto found = Values.find(name);
    return found == Values.end() ? std::string() : found->second;
}

void TPrefs::Parse(const std::string &text)
{
    Values.clear();
    SkippedLines = 0;
    for (const std::string &raw : SplitText(text, '\n')) {
        const std::string line = Trim(raw);
        if (line.empty() || line.compare(0, 2, "//") == 0 || line.compare(0, 2, "/*") == 0 ||
            line[0] == '*')
            continue;
        std::string name, value;
        if (ParsePrefLine(line, name, value))
            Values[name] = value; // a later line overrides, as for the mail program
        else
            ++SkippedLines;
    }
}
