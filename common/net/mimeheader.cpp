#include "common/net/mimeheader.h"

#include "common/text.h"

#include <QByteArray>
#include <QStringDecoder>
#include <cctype>
#include <optional>
#include <string_view>

namespace {

// Longest charset name and encoded text looked for. Words are meant to be at most 75
// characters; the bounds are generous for mailers that ignore that, and keep a hostile value
// full of "=?" from making the search quadratic.
constexpr size_t MaxCharsetName = 64;
constexpr size_t MaxEncodedText = 2048;

struct EncodedWord
{
    std::string Charset;
    std::string Bytes; // decoded transfer encoding, still in Charset
    size_t End = 0;    // position after the closing "?="
};

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::string> DecodeQ(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=') {
            if (i + 2 >= text.size())
                return std::nullopt;
            int high = HexDigit(text[i + 1]), low = HexDigit(text[i + 2]);
            if (high < 0 || low < 0)
                return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<std::string> DecodeB(const std::string &text)
{
    for (char c : text)
        if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/' && c != '=')
            return std::nullopt;
    auto result = QByteArray::fromBase64Encoding(QByteArray::fromStdString(text),
                                                 QByteArray::AbortOnBase64DecodingErrors);
    if (!result)
        return std::nullopt;
    return result.decoded.toStdString();
}

// Parses an encoded word starting at pos ("=?charset?X?text?="); nullopt when there is none.
std::optional<EncodedWord> ParseEncodedWord(const std::string &value, size_t pos)
{
    if (value.compare(pos, 2, "=?") != 0)
        return std::nullopt;
    size_t charsetEnd =
        std::string_view(value).substr(0, pos + 2 + MaxCharsetName).find('?', pos + 2);
    if (charsetEnd == std::string::npos || charsetEnd + 2 >= value.size() ||
        value[charsetEnd + 2] != '?')
        return std::nullopt;
    char encoding = static_cast<char>(toupper(static_cast<unsigned char>(value[charsetEnd + 1])));
    size_t textStart = charsetEnd + 3;
    size_t textEnd =
        std::string_view(value).substr(0, textStart + MaxEncodedText).find("?=", textStart);
    if (textEnd == std::string::npos)
        return std::nullopt;
    std::string text = value.substr(textStart, textEnd - textStart);
    if (text.find_first_of(" \t") != std::string::npos)
        return std::nullopt;

    EncodedWord word;
    word.Charset = value.substr(pos + 2, charsetEnd - pos - 2);
    size_t language = word.Charset.find('*'); // RFC 2231 language suffix
    if (language != std::string::npos)
        word.Charset.resize(language);
    if (word.Charset.empty())
        return std::nullopt;
    std::optional<std::string> bytes;
    if (encoding == 'Q')
        bytes = DecodeQ(text);
    else if (encoding == 'B')
        bytes = DecodeB(text);
    if (!bytes)
        return std::nullopt;
    word.Bytes = std::move(*bytes);
    word.End = textEnd + 2;
    return word;
}

std::optional<std::string> ToUtf8(const std::string &charset, const std::string &bytes)
{
    QStringDecoder decoder(charset.c_str());
    if (!decoder.isValid())
        return std::nullopt;
    QString text = decoder.decode(QByteArray::fromStdString(bytes));
    if (decoder.hasError())
        return std::nullopt;
    return text.toStdString();
}

// Decoded words must stay on one line: they end up in line-based lists and files.
std::string BlankControls(std::string text)
{
    for (char &c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = ' ';
    return text;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

} // namespace

std::string DecodeHeaderWords(const std::string &value)
{
    std::string out;
    size_t pos = 0;
    // A run of adjacent words in one charset is decoded as one piece, so a character split
    // across two words still comes out whole.
    std::string runCharset, runBytes, runSource;
    auto flushRun = [&]() {
        if (runCharset.empty())
            return;
        std::optional<std::string> text = ToUtf8(runCharset, runBytes);
        out += text ? BlankControls(*text) : runSource;
        runCharset.clear();
        runBytes.clear();
        runSource.clear();
    };

    while (pos < value.size()) {
        std::optional<EncodedWord> word = ParseEncodedWord(value, pos);
        if (!word) {
            flushRun();
            out += value[pos++];
            continue;
        }
        if (!runCharset.empty() && !SameText(runCharset, word->Charset))
            flushRun();
        runCharset = word->Charset;
        runBytes += word->Bytes;
        runSource += value.substr(pos, word->End - pos);
        pos = word->End;

        // Blanks between this word and a following encoded word are dropped.
        size_t next = pos;
        while (next < value.size() && IsBlank(value[next]))
            ++next;
        if (next > pos && next < value.size() && ParseEncodedWord(value, next))
            pos = next;
        else
            flushRun();
    }
    flushRun();
    return out;
}

std::vector<std::string> UnfoldHeaderLines(const std::vector<std::string> &lines)
{
    std::vector<std::string> fields;
    for (const std::string &line : lines) {
        if (line.empty())
            break;
        if (IsBlank(line[0]) && !fields.empty())
            fields.back() += line;
        else
            fields.push_back(line);
    }
    return fields;
}

std::string HeaderField(const std::vector<std::string> &unfolded, const std::string &name)
{
    for (const std::string &field : unfolded) {
        size_t colon = field.find(':');
        if (colon == std::string::npos)
            continue;
        std::string fieldName = field.substr(0, colon);
        while (!fieldName.empty() && IsBlank(fieldName.back()))
            fieldName.pop_back();
        if (SameText(fieldName, name))
            return Trim(field.substr(colon + 1));
    }
    return "";
}

std::string CutUtf8(const std::string &text, size_t maxBytes)
{
    if (text.size() <= maxBytes)
        return text;
    size_t end = maxBytes;
    // Step back over continuation bytes (10xxxxxx) to the start of the cut character.
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}
