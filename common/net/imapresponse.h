// The IMAP response syntax, free of sockets and widgets: a reader that cuts whole responses
// (literals included) out of the bytes a server sends, within bounds, and a parser of one
// response into its tag, status and values, with the FETCH and LIST forms read out of it.
// Also the modified UTF-7 of folder names and the quoting of command arguments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// One value of a response: an atom (also numbers, flags and "BODY[HEADER]"), a string (quoted
// or a literal, unescaped), NIL or a parenthesised list.
struct TImapValue
{
    enum class TType { Atom, String, Nil, List };
    TType Type = TType::Atom;
    std::string Text;
    std::vector<TImapValue> Items; // of a list
    bool IsAtom(const char *name) const;
    bool IsNumber() const;
    uint64_t Number() const; // of a number atom; 0 otherwise
};

// One response. Tag is "*" for untagged data, "+" for a continuation, otherwise the command's
// tag. For status responses (OK, NO, BAD, BYE, PREAUTH) Status is that word, Code the words of
// a "[...]" response code and Text the rest of the line; for other untagged data Values holds
// every value after the tag ("12 FETCH (...)" → 12, FETCH, (...)). For a continuation Text is
// what follows "+ ".
struct TImapResponse
{
    std::string Tag;
    std::string Status; // upper-cased
    std::vector<std::string> Code;
    std::string Text;
    std::vector<TImapValue> Values;
    std::string FirstLine; // up to the first literal or line end, for logs
};

// Reads a response cut out by TImapReader (without its final CRLF). False with why when it
// does not follow the syntax.
bool ParseImapResponse(const std::string &raw, TImapResponse &response, std::string &why);

// Cuts complete responses out of a growing byte buffer. A line longer than maxLine (literals
// not counted), a literal announced larger than maxLiteral (refused before a byte of it is
// read) or a response larger than maxResponse is a fault; the reader then stays failed.
class TImapReader
{
public:
    enum class TResult { NeedMore, Response, Fault };
    TImapReader(size_t maxLine, int64_t maxLiteral, int64_t maxResponse);
    void Append(const char *data, size_t size);
    TResult Next(std::string &raw);
    const std::string &Fault() const { return Fault_; }
    bool Empty() const { return Pos >= Buffer.size(); }
    size_t Buffered() const { return Buffer.size() - Pos; }
    void Clear();

private:
    size_t MaxLine;
    int64_t MaxLiteral;
    int64_t MaxResponse;
    std::string Buffer;
    size_t Pos = 0;       // start of the response being cut
    size_t Scan = 0;      // how far the response was scanned
    size_t LineStart = 0; // start of the line being scanned (after the last literal)
    std::string Fault_;
};

// A FETCH response: "* n FETCH (UID u RFC822.SIZE s BODY[HEADER] {..} ...)".
struct TImapFetch
{
    uint32_t Sequence = 0;
    uint32_t Uid = 0; // 0 when the response had none
    bool HasSize = false;
    int64_t Size = 0;
    bool Deleted = false; // FLAGS holds \Deleted
    bool HasHeader = false;
    std::string Header; // BODY[HEADER]
    bool HasBody = false;
    std::string Body; // BODY[]
};
// False when the response is no FETCH, or a FETCH whose items do not parse.
bool ParseImapFetch(const TImapResponse &response, TImapFetch &fetch, std::string &why);

// A LIST response: "* LIST (\HasNoChildren \Junk) "/" INBOX".
struct TImapListEntry
{
    std::vector<std::string> Attributes;
    std::string Delimiter;
    std::string Name;        // raw, as commands need it
    std::string DisplayName; // modified UTF-7 decoded to UTF-8
};
bool ParseImapList(const TImapResponse &response, TImapListEntry &entry);

// Folder names travel in modified UTF-7 ("Entw&APw-rfe" is "Entwürfe"). Decoding leaves a
// name that is no valid modified UTF-7 as it is.
std::string EncodeImapUtf7(const std::string &utf8);
std::string DecodeImapUtf7(const std::string &utf7);

// Parses a sequence set of numbers ("1:3,7"); ranges of more than limit numbers are cut.
std::vector<uint32_t> ParseImapSet(const std::string &set, size_t limit = 100000);
// Writes ascending numbers as a compact set ("1:3,7").
std::string FormatImapSet(std::vector<uint32_t> numbers);

// Appends value to a command as an IMAP string: quoted with \ and " escaped, or as a literal
// when it holds CR, LF, NUL or 8-bit bytes or is long. A literal ends the current part: the
// next part goes out after the server's continuation, unless literalPlus lets it follow at
// once ("{n+}"), in which case everything stays in one part.
void AppendImapString(std::vector<std::string> &parts, const std::string &value, bool literalPlus);
