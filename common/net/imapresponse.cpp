#include "common/net/imapresponse.h"

#include <algorithm>
#include <climits>

#include "common/text.h"

namespace {

constexpr int MaxDepth = 64;            // nested lists in one response
constexpr size_t CompactBytes = 65536;  // consumed bytes kept before the buffer is compacted
constexpr size_t MaxQuotedInline = 256; // longer strings go as literals

bool IsDigits(const std::string &text)
{
    return !text.empty() && text.size() <= 20 &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool ReadNumber(const std::string &text, uint64_t &value)
{
    if (!IsDigits(text) || text.size() > 19)
        return false;
    value = std::stoull(text);
    return true;
}

class TParser
{
public:
    TParser(const std::string &text, size_t pos) : S(text), P(pos) {}

    bool Values(std::vector<TImapValue> &out, std::string &why)
    {
        while (true) {
            SkipSpaces();
            if (P >= S.size())
                return true;
            TImapValue value;
            if (!Value(value, 0, why))
                return false;
            out.push_back(std::move(value));
        }
    }

private:
    void SkipSpaces()
    {
        while (P < S.size() && S[P] == ' ')
            ++P;
    }

    bool Value(TImapValue &value, int depth, std::string &why)
    {
        char c = S[P];
        if (c == '(')
            return List(value, depth, why);
        if (c == '"')
            return Quoted(value, why);
        if (c == '{' || (c == '~' && P + 1 < S.size() && S[P + 1] == '{'))
            return Literal(value, why);
        return Atom(value, why);
    }

    bool List(TImapValue &value, int depth, std::string &why)
    {
        if (depth >= MaxDepth) {
            why = "lists nested too deeply";
            return false;
        }
        value.Type = TImapValue::TType::List;
        ++P;
        while (true) {
            SkipSpaces();
            if (P >= S.size()) {
                why = "a list without its closing parenthesis";
                return false;
            }
            if (S[P] == ')') {
                ++P;
                return true;
            }
            TImapValue item;
            if (!Value(item, depth + 1, why))
                return false;
            value.Items.push_back(std::move(item));
        }
    }

    bool Quoted(TImapValue &value, std::string &why)
    {
        value.Type = TImapValue::TType::String;
        for (++P; P < S.size(); ++P) {
            char c = S[P];
            if (c == '"') {
                ++P;
                return true;
            }
            if (c == '\r' || c == '\n')
                break;
            if (c == '\\' && ++P >= S.size())
                break;
            value.Text += S[P];
        }
        why = "a quoted string without its closing quote";
        return false;
    }

    bool Literal(TImapValue &value, std::string &why)
    {
        value.Type = TImapValue::TType::String;
        if (S[P] == '~')
            ++P;
        size_t close = S.find('}', P);
        uint64_t size = 0;
        std::string digits = close == std::string::npos ? "" : S.substr(P + 1, close - P - 1);
        if (!digits.empty() && digits.back() == '+')
            digits.pop_back();
        if (!ReadNumber(digits, size) || S.compare(close + 1, 2, "\r\n") != 0 ||
            size > S.size() - (close + 3)) {
            why = "a literal that does not match its announced size";
            return false;
        }
        P = close + 3;
        value.Text.assign(S, P, static_cast<size_t>(size));
        P += static_cast<size_t>(size);
        return true;
    }

    bool Atom(TImapValue &value, std::string &why)
    {
        size_t start = P;
        while (P < S.size()) {
            char c = S[P];
            if (c == ' ' || c == '(' || c == ')' || c == '"' || c == '{' || c == '\r' || c == '\n')
                break;
            if (c == '[') { // a section such as BODY[HEADER.FIELDS (FROM TO)]
                size_t close = S.find(']', P);
                if (close == std::string::npos) {
                    why = "a section without its closing bracket";
                    return false;
                }
                P = close;
            }
            ++P;
        }
        if (P == start) {
            why = Format("an unexpected character '%c'", S[P] >= 0x20 && S[P] < 0x7f ? S[P] : '?');
            return false;
        }
        value.Text.assign(S, start, P - start);
        value.Type = SameText(value.Text, "NIL") ? TImapValue::TType::Nil : TImapValue::TType::Atom;
        return true;
    }

    const std::string &S;
    size_t P;
};

bool IsStatusWord(const std::string &word)
{
    return word == "OK" || word == "NO" || word == "BAD" || word == "BYE" || word == "PREAUTH";
}

const char Base64Chars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

void AppendUtf8(std::string &out, uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xc0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xe0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (code & 0x3f));
    }
}

// The code points of UTF-8 text; a byte that starts no valid sequence stands for itself.
std::vector<uint32_t> CodePoints(const std::string &text)
{
    std::vector<uint32_t> codes;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = c < 0x80         ? 1
                        : (c >> 5) == 6  ? 2
                        : (c >> 4) == 14 ? 3
                        : (c >> 3) == 30 ? 4
                                         : 0;
        uint32_t code = length == 1   ? c
                        : length == 2 ? (c & 0x1f)
                        : length == 3 ? (c & 0x0f)
                                      : (c & 0x07);
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next >> 6) == 2;
            code = (code << 6) | (next & 0x3f);
        }
        if (!valid || code > 0x10ffff) {
            codes.push_back(c);
            ++i;
        } else {
            codes.push_back(code);
            i += length;
        }
    }
    return codes;
}

void AppendEncodedRun(std::string &out, const std::vector<uint32_t> &run)
{
    std::string bytes;
    for (uint32_t code : run) {
        auto unit = [&bytes](uint32_t u) {
            bytes += static_cast<char>(u >> 8);
            bytes += static_cast<char>(u & 0xff);
        };
        if (code >= 0x10000) {
            code -= 0x10000;
            unit(0xd800 | (code >> 10));
            unit(0xdc00 | (code & 0x3ff));
        } else {
            unit(code);
        }
    }
    out += '&';
    uint32_t bits = 0;
    int count = 0;
    for (unsigned char byte : bytes) {
        bits = (bits << 8) | byte;
        count += 8;
        while (count >= 6) {
            count -= 6;
            out += Base64Chars[(bits >> count) & 0x3f];
        }
    }
    if (count > 0)
        out += Base64Chars[(bits << (6 - count)) & 0x3f];
    out += '-';
}

// The UTF-8 of one "&...-" run's base64 (without & and -); false when it is not valid.
bool DecodeRun(const std::string &run, std::string &out)
{
    std::vector<uint16_t> units;
    uint32_t bits = 0;
    int count = 0;
    std::string bytes;
    for (char c : run) {
        const char *found = std::find(Base64Chars, Base64Chars + 64, c);
        if (found == Base64Chars + 64)
            return false;
        bits = (bits << 6) | static_cast<uint32_t>(found - Base64Chars);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xff);
        }
    }
    if (bytes.size() % 2 != 0 || bytes.empty())
        return false;
    for (size_t i = 0; i < bytes.size(); i += 2)
        units.push_back(static_cast<uint16_t>((static_cast<unsigned char>(bytes[i]) << 8) |
                                              static_cast<unsigned char>(bytes[i + 1])));
    for (size_t i = 0; i < units.size(); ++i) {
        uint32_t code = units[i];
        if (code >= 0xd800 && code < 0xdc00 && i + 1 < units.size() && units[i + 1] >= 0xdc00 &&
            units[i + 1] < 0xe000) {
            code = 0x10000 + ((code - 0xd800) << 10) + (units[i + 1] - 0xdc00);
            ++i;
        } else if (code >= 0xd800 && code < 0xe000) {
            return false;
        }
        AppendUtf8(out, code);
    }
    return true;
}

} // namespace

bool TImapValue::IsAtom(const char *name) const
{
    return Type == TType::Atom && SameText(Text, name);
}

bool TImapValue::IsNumber() const
{
    uint64_t value;
    return Type == TType::Atom && ReadNumber(Text, value);
}

uint64_t TImapValue::Number() const
{
    uint64_t value = 0;
    if (Type != TType::Atom || !ReadNumber(Text, value))
        return 0;
    return value;
}

bool ParseImapResponse(const std::string &raw, TImapResponse &response, std::string &why)
{
    response = TImapResponse();
    size_t firstEnd = raw.find_first_of("\r\n");
    response.FirstLine = raw.substr(0, firstEnd);
    size_t space = raw.find(' ');
    response.Tag = raw.substr(0, space);
    if (response.Tag.empty() || response.Tag.find_first_of("\r\n{(\"") != std::string::npos) {
        why = "a response without a tag";
        return false;
    }
    size_t rest = space == std::string::npos ? raw.size() : space + 1;
    if (response.Tag == "+") {
        response.Text = raw.substr(rest);
        return true;
    }
    size_t wordEnd = raw.find(' ', rest);
    std::string word = UpperCase(
        raw.substr(rest, wordEnd == std::string::npos ? std::string::npos : wordEnd - rest));
    if (IsStatusWord(word)) {
        response.Status = word;
        std::string text = wordEnd == std::string::npos ? "" : raw.substr(wordEnd + 1);
        if (text.compare(0, 1, "[") == 0) {
            size_t close = text.find(']');
            if (close == std::string::npos) {
                why = "a response code without its closing bracket";
                return false;
            }
            for (const std::string &part : SplitText(text.substr(1, close - 1), ' '))
                if (!part.empty())
                    response.Code.push_back(part);
            text = text.substr(close + 1);
        }
        response.Text = Trim(text);
        return true;
    }
    if (response.Tag != "*") {
        why = "a tagged response without OK, NO or BAD";
        return false;
    }
    return TParser(raw, rest).Values(response.Values, why);
}

TImapReader::TImapReader(size_t maxLine, int64_t maxLiteral, int64_t maxResponse)
    : MaxLine(maxLine), MaxLiteral(maxLiteral), MaxResponse(maxResponse)
{
}

void TImapReader::Append(const char *data, size_t size)
{
    if (Fault_.empty())
        Buffer.append(data, size);
}

void TImapReader::Clear()
{
    Buffer.clear();
    Pos = Scan = LineStart = 0;
    Fault_.clear();
}

TImapReader::TResult TImapReader::Next(std::string &raw)
{
    if (!Fault_.empty())
        return TResult::Fault;
    if (Pos > 0 && (Pos == Buffer.size() || Pos >= CompactBytes)) {
        Buffer.erase(0, Pos);
        Scan -= Pos;
        LineStart -= Pos;
        Pos = 0;
    }
    while (true) {
        size_t end = Buffer.find('\n', Scan);
        size_t lineLength = (end == std::string::npos ? Buffer.size() : end) - LineStart;
        if (lineLength > MaxLine) {
            Fault_ = Format("the server sent a line longer than %zu bytes", MaxLine);
            return TResult::Fault;
        }
        if (end == std::string::npos) {
            Scan = Buffer.size();
            return TResult::NeedMore;
        }
        size_t lineEnd = end;
        if (lineEnd > LineStart && Buffer[lineEnd - 1] == '\r')
            --lineEnd;
        size_t open = lineEnd > LineStart && Buffer[lineEnd - 1] == '}'
                          ? Buffer.rfind('{', lineEnd - 1)
                          : std::string::npos;
        if (open != std::string::npos && open >= LineStart) {
            std::string digits = Buffer.substr(open + 1, lineEnd - 1 - open - 1);
            if (!digits.empty() && digits.back() == '+')
                digits.pop_back();
            uint64_t size = 0;
            if (ReadNumber(digits, size)) {
                if (size > static_cast<uint64_t>(MaxLiteral)) {
                    Fault_ = Format("the server announced a literal of %llu bytes, more than "
                                    "the %lld allowed",
                                    static_cast<unsigned long long>(size),
                                    static_cast<long long>(MaxLiteral));
                    return TResult::Fault;
                }
                size_t need = end + 1 + static_cast<size_t>(size);
                if (static_cast<int64_t>(need - Pos) > MaxResponse) {
                    Fault_ = Format("the server sent a response larger than %lld bytes",
                                    static_cast<long long>(MaxResponse));
                    return TResult::Fault;
                }
                if (Buffer.size() < need) {
                    Scan = LineStart; // the announcing line is found again when more came
                    return TResult::NeedMore;
                }
                Scan = LineStart = need;
                continue;
            }
        }
        raw.assign(Buffer, Pos, lineEnd - Pos);
        Pos = Scan = LineStart = end + 1;
        return TResult::Response;
    }
}

bool ParseImapFetch(const TImapResponse &response, TImapFetch &fetch, std::string &why)
{
    fetch = TImapFetch();
    const std::vector<TImapValue> &values = response.Values;
    if (response.Tag != "*" || values.size() != 3 || !values[1].IsAtom("FETCH") ||
        !values[0].IsNumber() || values[2].Type != TImapValue::TType::List) {
        why = "not a FETCH response";
        return false;
    }
    fetch.Sequence = static_cast<uint32_t>(std::min<uint64_t>(values[0].Number(), UINT32_MAX));
    const std::vector<TImapValue> &items = values[2].Items;
    if (items.size() % 2 != 0) {
        why = "a FETCH response whose items do not come in pairs";
        return false;
    }
    for (size_t i = 0; i < items.size(); i += 2) {
        const TImapValue &name = items[i];
        const TImapValue &value = items[i + 1];
        if (name.Type != TImapValue::TType::Atom) {
            why = "a FETCH item without a name";
            return false;
        }
        std::string key = UpperCase(name.Text);
        bool text = value.Type == TImapValue::TType::String || value.Type == TImapValue::TType::Nil;
        if (key == "UID" || key == "RFC822.SIZE") {
            uint64_t number = value.Number();
            if (!value.IsNumber() || number > UINT32_MAX || (key == "UID" && number == 0)) {
                why = "a FETCH " + key + " that is no number";
                return false;
            }
            if (key == "UID") {
                fetch.Uid = static_cast<uint32_t>(number);
            } else {
                fetch.HasSize = true;
                fetch.Size = static_cast<int64_t>(number);
            }
        } else if (key == "FLAGS" && value.Type == TImapValue::TType::List) {
            for (const TImapValue &flag : value.Items)
                fetch.Deleted = fetch.Deleted || flag.IsAtom("\\Deleted");
        } else if (key == "BODY[HEADER]" || key == "BODY[]" || key == "BINARY[]") {
            if (!text) {
                why = "a FETCH " + key + " that is no string";
                return false;
            }
            bool header = key == "BODY[HEADER]";
            (header ? fetch.HasHeader : fetch.HasBody) = true;
            (header ? fetch.Header : fetch.Body) = value.Text;
        }
    }
    return true;
}

bool ParseImapList(const TImapResponse &response, TImapListEntry &entry)
{
    entry = TImapListEntry();
    const std::vector<TImapValue> &values = response.Values;
    if (response.Tag != "*" || values.size() != 4 || !values[0].IsAtom("LIST") ||
        values[1].Type != TImapValue::TType::List || values[3].Type == TImapValue::TType::List ||
        values[3].Type == TImapValue::TType::Nil || values[3].Text.empty())
        return false;
    for (const TImapValue &attribute : values[1].Items)
        if (attribute.Type == TImapValue::TType::Atom)
            entry.Attributes.push_back(attribute.Text);
    if (values[2].Type == TImapValue::TType::String)
        entry.Delimiter = values[2].Text;
    entry.Name = values[3].Text;
    entry.DisplayName = DecodeImapUtf7(entry.Name);
    return true;
}

std::string EncodeImapUtf7(const std::string &utf8)
{
    std::string out;
    std::vector<uint32_t> run;
    for (uint32_t code : CodePoints(utf8)) {
        if (code >= 0x20 && code < 0x7f) {
            if (!run.empty()) {
                AppendEncodedRun(out, run);
                run.clear();
            }
            out += code == '&' ? "&-" : std::string(1, static_cast<char>(code));
        } else {
            run.push_back(code);
        }
    }
    if (!run.empty())
        AppendEncodedRun(out, run);
    return out;
}

std::string DecodeImapUtf7(const std::string &utf7)
{
    std::string out;
    for (size_t i = 0; i < utf7.size(); ++i) {
        if (utf7[i] != '&') {
            out += utf7[i];
            continue;
        }
        size_t dash = utf7.find('-', i + 1);
        if (dash == std::string::npos)
            return utf7;
        if (dash == i + 1)
            out += '&';
        else if (!DecodeRun(utf7.substr(i + 1, dash - i - 1), out))
            return utf7;
        i = dash;
    }
    return out;
}

std::vector<uint32_t> ParseImapSet(const std::string &set, size_t limit)
{
    std::vector<uint32_t> numbers;
    for (const std::string &part : SplitText(set, ',')) {
        size_t colon = part.find(':');
        uint64_t first = 0, last = 0;
        if (!ReadNumber(part.substr(0, colon), first) ||
            (colon != std::string::npos && !ReadNumber(part.substr(colon + 1), last)))
            continue;
        if (colon == std::string::npos)
            last = first;
        if (first > last)
            std::swap(first, last);
        last = std::min<uint64_t>(last, UINT32_MAX);
        for (uint64_t n = first; n <= last && numbers.size() < limit; ++n)
            numbers.push_back(static_cast<uint32_t>(n));
    }
    return numbers;
}

std::string FormatImapSet(std::vector<uint32_t> numbers)
{
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::string out;
    for (size_t i = 0; i < numbers.size();) {
        size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            ++j;
        out += (out.empty() ? "" : ",") + std::to_string(numbers[i]);
        if (j > i)
            out += ":" + std::to_string(numbers[j]);
        i = j + 1;
    }
    return out;
}

void AppendImapString(std::vector<std::string> &parts, const std::string &value, bool literalPlus)
{
    if (parts.empty())
        parts.emplace_back();
    bool literal =
        value.size() > MaxQuotedInline || std::any_of(value.begin(), value.end(), [](char c) {
            unsigned char u = static_cast<unsigned char>(c);
            return u == 0 || u == '\r' || u == '\n' || u >= 0x80;
        });
    if (!literal) {
        std::string &out = parts.back();
        out += '"';
        for (char c : value) {
            if (c == '"' || c == '\\')
                out += '\\';
            out += c;
        }
        out += '"';
        return;
    }
    parts.back() += Format("{%zu%s}", value.size(), literalPlus ? "+" : "");
    if (literalPlus)
        parts.back() += "\r\n" + value;
    else
        parts.push_back(value);
}
