// Sample messages for tests, generated here. Encoded words are built from literal bytes in
// their own character set, so a decoder under test is checked against independent text.
#include "support/fixtures.h"

#include <QByteArray>
#include <QDir>
#include <QUuid>

#include <cstdio>

namespace fixtures {

namespace {

constexpr char CRLF[] = "\r\n";

std::string Base64(const std::string &bytes)
{
    return QByteArray::fromStdString(bytes).toBase64().toStdString();
}

// RFC 2047 "B" encoded word.
std::string WordB(const std::string &charset, const std::string &bytes)
{
    return "=?" + charset + "?B?" + Base64(bytes) + "?=";
}

// RFC 2047 "Q" encoded word: blanks become "_", anything but plain letters and digits =XX.
std::string WordQ(const std::string &charset, const std::string &bytes, char letter = 'Q')
{
    std::string out = "=?" + charset + "?" + letter + "?";
    for (unsigned char c : bytes) {
        if (c == ' ') {
            out += '_';
        } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                   c == '.' || c == ',' || c == '-' || c == '!') {
            out += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "=%02X", c);
            out += hex;
        }
    }
    return out + "?=";
}

// Base64 body text in lines of 76 characters.
std::string Base64Lines(const std::string &bytes)
{
    std::string encoded = Base64(bytes), out;
    for (size_t i = 0; i < encoded.size(); i += 76)
        out += encoded.substr(i, 76) + CRLF;
    return out;
}

// Deterministic bytes of every value 0-255, as an attachment a decoder must keep intact.
std::string BinaryBytes(size_t size, unsigned seed)
{
    std::string bytes(size, '\0');
    unsigned state = seed;
    for (size_t i = 0; i < size; ++i) {
        state = state * 1103515245u + 12345u;
        bytes[i] = static_cast<char>((state >> 16) & 0xFF);
    }
    return bytes;
}

std::string UniqueMessageId()
{
    return "<" + QUuid::createUuid().toString(QUuid::Id128).toStdString() + "@corvex.test>";
}

std::string ToBareLf(const std::string &crlf)
{
    std::string out;
    for (size_t i = 0; i < crlf.size(); ++i)
        if (!(crlf[i] == '\r' && i + 1 < crlf.size() && crlf[i + 1] == '\n'))
            out += crlf[i];
    return out;
}

Sample SampleWithSubject(const std::string &name, const std::string &encodedSubject,
                         const std::string &decodedSubject)
{
    MessageFields fields;
    fields.subject = encodedSubject;
    fields.extraHeaders = {"MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"};
    fields.body = "A message whose subject is encoded.\r\n";
    return {name, BuildMessage(fields), fields.from, fields.to, decodedSubject};
}

} // namespace

std::string BuildMessage(const MessageFields &fields)
{
    std::string raw;
    raw += "From: " + fields.from + CRLF;
    raw += "To: " + fields.to + CRLF;
    raw += "Subject: " + fields.subject + CRLF;
    raw += "Date: " + fields.date + CRLF;
    raw +=
        "Message-ID: " + (fields.messageId.empty() ? UniqueMessageId() : fields.messageId) + CRLF;
    for (const std::string &line : fields.extraHeaders)
        raw += line + CRLF;
    raw += CRLF;
    raw += fields.body;
    return raw;
}

std::string MessageFrom(const std::string &from, const std::string &subject)
{
    MessageFields fields;
    fields.from = from;
    fields.subject = subject;
    return BuildMessage(fields);
}

int CountContaining(const std::vector<std::string> &messages, const std::string &text)
{
    return int(std::count_if(messages.begin(), messages.end(), [&](const std::string &raw) {
        return raw.find(text) != std::string::npos;
    }));
}

int EmlFilesIn(const std::string &folder)
{
    return int(QDir(QString::fromStdString(folder)).entryList({"*.eml"}, QDir::Files).size());
}

Sample PlainSample()
{
    MessageFields fields;
    fields.extraHeaders = {
        "Received: from mail.example.org (mail.example.org [192.0.2.10])",
        "\tby mx.example.net with ESMTP id 4f2a; Mon, 07 Dec 2026 09:15:02 +0000",
        "MIME-Version: 1.0", "Content-Type: text/plain; charset=us-ascii"};
    return {"plain", BuildMessage(fields), fields.from, fields.to, fields.subject};
}

Sample BareLfSample()
{
    MessageFields fields;
    fields.subject = "Lines end in LF only";
    fields.body = "This message was stored\r\nwith bare LF line ends.\r\n";
    return {"bare LF", ToBareLf(BuildMessage(fields)), fields.from, fields.to, fields.subject};
}

Sample MultipartSample()
{
    const std::string outer = "----=_Part_outer_7d2c", inner = "----=_Part_inner_91ab";
    MessageFields fields;
    fields.subject = "Report with attachments";
    fields.extraHeaders = {"MIME-Version: 1.0", "Content-Type: multipart/mixed;",
                           "\tboundary=\"" + outer + "\""};
    std::string body;
    body += "This is a multi-part message in MIME format.\r\n\r\n";
    body += "--" + outer + CRLF;
    body += "Content-Type: multipart/alternative; boundary=\"" + inner + "\"\r\n\r\n";
    body += "--" + inner + CRLF;
    body += "Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n";
    body += "Hello Bob,\r\n\r\nthe report and the raw data are attached. Gr\xC3\xBC\xC3\x9F"
            "e!\r\n\r\n";
    body += "--" + inner + CRLF;
    body += "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: "
            "quoted-printable\r\n\r\n";
    body += "<html><body><p>Hello Bob,</p><p>the report and the raw data are attached. "
            "Gr=C3=BC=C3=9Fe!</p></body></html>\r\n\r\n";
    body += "--" + inner + "--\r\n\r\n";
    body += "--" + outer + CRLF;
    body += "Content-Type: application/pdf; name=\"report.pdf\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"report.pdf\"\r\n\r\n";
    body += Base64Lines("%PDF-1.4\n" + BinaryBytes(3000, 7) + "\n%%EOF\n") + CRLF;
    body += "--" + outer + CRLF;
    body += "Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\n"
            "Content-Disposition: attachment; filename=\"data.bin\"\r\n\r\n";
    body += Base64Lines(BinaryBytes(1024, 99)) + CRLF;
    body += "--" + outer + "--\r\n";
    fields.body = body;
    return {"multipart", BuildMessage(fields), fields.from, fields.to, fields.subject};
}

Sample LongHeadersSample()
{
    MessageFields fields;
    fields.subject = "A very long subject line that goes on and on\r\n across two continuation\r\n"
                     " lines before it ends";
    std::string to;
    for (int i = 1; i <= 20; ++i) {
        char address[64];
        std::snprintf(address, sizeof address, "Member %02d <member%02d@list.example.com>", i, i);
        to += (i == 1 ? "" : ",\r\n ") + std::string(address);
    }
    fields.to = to;
    std::string references = "References:";
    for (int i = 1; i <= 30; ++i) {
        char id[64];
        std::snprintf(id, sizeof id, " <thread-%03d.%d@mail.example.org>", i, 1000 + i);
        references += (i == 1 ? "" : "\r\n") + std::string(id);
    }
    std::string longLine = "X-Long-Header: ";
    while (longLine.size() < 998)
        longLine += "0123456789abcdefghijklmnopqrstuvwxyz";
    longLine.resize(998);
    fields.extraHeaders = {references, longLine, "MIME-Version: 1.0"};
    fields.body = "Short body after a long header.\r\n";
    return {"long headers", BuildMessage(fields), fields.from, to,
            "A very long subject line that goes on and on across two continuation lines "
            "before it ends"};
}

Sample DotLinesSample()
{
    MessageFields fields;
    fields.subject = "Lines that start with a dot";
    fields.body = "First line\r\n"
                  ".\r\n"
                  "..\r\n"
                  ".hidden line\r\n"
                  "...three dots\r\n"
                  "a line that ends in a dot.\r\n"
                  " .blank then dot\r\n"
                  ".\r\n"
                  "last line\r\n";
    return {"dot lines", BuildMessage(fields), fields.from, fields.to, fields.subject};
}

Sample EncodedFromSample()
{
    MessageFields fields;
    fields.from = WordQ("UTF-8", "J\xC3\xBCrgen M\xC3\xBCller") + " <juergen@example.de>";
    fields.subject = "Encoded sender name";
    return {"encoded from", BuildMessage(fields),
            "J\xC3\xBCrgen M\xC3\xBCller <juergen@example.de>", fields.to, fields.subject};
}

std::vector<Sample> EncodedSubjectSamples()
{
    const std::string gruesse = "Gr\xC3\xBC\xC3\x9F"
                                "e aus K\xC3\xB6ln"; // UTF-8
    return {
        SampleWithSubject("UTF-8 B", WordB("UTF-8", gruesse), gruesse),
        SampleWithSubject("UTF-8 Q", WordQ("UTF-8", "Caf\xC3\xA9 - d\xC3\xA9j\xC3\xA0 vu"),
                          "Caf\xC3\xA9 - d\xC3\xA9j\xC3\xA0 vu"),
        SampleWithSubject("lower-case utf-8 q",
                          WordQ("utf-8", "na\xC3\xAFve r\xC3\xA9sum\xC3\xA9", 'q'),
                          "na\xC3\xAFve r\xC3\xA9sum\xC3\xA9"),
        SampleWithSubject("iso-8859-1 Q",
                          WordQ("iso-8859-1", "Gr\xF6\xDF"
                                              "e und \xC4rger"),
                          "Gr\xC3\xB6\xC3\x9F"
                          "e und \xC3\x84rger"),
        SampleWithSubject("koi8-r B", WordB("koi8-r", "\xF0\xD2\xC9\xD7\xC5\xD4, \xCD\xC9\xD2"),
                          "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82, "
                          "\xD0\xBC\xD0\xB8\xD1\x80"),
        SampleWithSubject("windows-1252 Q",
                          WordQ("windows-1252", "\x93Smart\x94 price \x80"
                                                "5"),
                          "\xE2\x80\x9CSmart\xE2\x80\x9D price \xE2\x82\xAC"
                          "5"),
        // Blanks between adjacent encoded words are not part of the text.
        SampleWithSubject("adjacent words",
                          WordB("UTF-8", "Gr\xC3\xBC\xC3\x9F"
                                         "e") +
                              " " + WordB("UTF-8", " aus K\xC3\xB6ln"),
                          gruesse),
        SampleWithSubject("mixed with plain text",
                          "Re: " + WordQ("iso-8859-1", "R\xE9union") + " tomorrow",
                          "Re: R\xC3\xA9union tomorrow"),
    };
}

std::vector<Sample> AllSamples()
{
    std::vector<Sample> all = {PlainSample(),       BareLfSample(),   MultipartSample(),
                               LongHeadersSample(), DotLinesSample(), EncodedFromSample()};
    for (Sample &sample : EncodedSubjectSamples())
        all.push_back(std::move(sample));
    return all;
}

std::vector<std::string> BulkMessages(int count)
{
    std::vector<std::string> messages;
    messages.reserve(static_cast<size_t>(count));
    const std::string filler =
        "Lorem ipsum dolor sit amet, consectetur adipiscing elit, sed do eiusmod tempor.";
    for (int i = 1; i <= count; ++i) {
        char text[160];
        MessageFields fields;
        std::snprintf(text, sizeof text, "Sender %04d <sender%04d@bulk%02d.example>", i, i, i % 37);
        fields.from = text;
        std::snprintf(text, sizeof text, "Bulk message %04d of %d", i, count);
        fields.subject = text;
        std::snprintf(text, sizeof text, "Mon, 07 Dec 2026 %02d:%02d:%02d +0000", (i / 3600) % 24,
                      (i / 60) % 60, i % 60);
        fields.date = text;
        std::snprintf(text, sizeof text, "<bulk-%04d.%d@corvex.test>", i, count);
        fields.messageId = text;
        fields.body.clear();
        int lines = 5 + (i * 37) % 45;
        for (int line = 0; line < lines; ++line)
            fields.body += filler + CRLF;
        messages.push_back(BuildMessage(fields));
    }
    return messages;
}

} // namespace fixtures
