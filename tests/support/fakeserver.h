// A scripted line-protocol server for faults real servers do not show: a greeting, then for
// each received command line a reply or an action (stall, drop mid-reply, garbage, a slow
// trickle, an endless line). It listens on 127.0.0.1 on a free port and runs on the Qt event
// loop of the calling thread, so it answers while the client under test pumps events.
//
//   FakeServer s;
//   s.Greeting("+OK hi");
//   s.On("USER", "+OK");
//   s.On("RETR", FakeServer::DropAfter("+OK\r\npartial"));
//   s.StallOn("STAT");
//   client.Connect("127.0.0.1", s.port());
//
// A command matches the longest registered key that starts it (ignoring case), so "RETR 2"
// can answer differently from "RETR". A text reply gets CRLF appended unless it already ends
// in CRLF; multi-line replies are written whole ("+OK\r\nline\r\n.\r\n"). After a reply that
// starts with "354" (SMTP DATA) the lines up to "." are collected in data() unanswered, and
// the "." line is then answered as the command ".".
#pragma once

#include <QObject>
#include <QTcpServer>

#include <cstddef>
#include <map>
#include <string>
#include <vector>

class QTcpSocket;
class QTimer;

class FakeServer : public QObject
{
public:
    struct Reply
    {
        enum class Kind { Text, Stall, DropAfter, Close, Garbage, Trickle, Endless };
        Kind kind = Kind::Text;
        std::string bytes;  // what is written (Text adds CRLF when missing)
        int intervalMs = 0; // Trickle: pause between bytes
        Reply() = default;
        Reply(const char *text) : bytes(text) {}
        Reply(std::string text) : bytes(std::move(text)) {}
    };

    // Never answer; the connection stays open and ignores everything after.
    static Reply Stall();
    // Write bytes exactly (no CRLF added), then close the connection.
    static Reply DropAfter(std::string bytes);
    // Close the connection without writing anything.
    static Reply Close();
    // Binary bytes that are no protocol answer (NUL, 0xFF, no status word), ending in CRLF.
    static Reply Garbage();
    // Write text (CRLF added when missing) one byte every intervalMs milliseconds.
    static Reply Trickle(std::string text, int intervalMs);
    // Write size bytes of one line that never ends; the connection stays open.
    static Reply Endless(size_t size = 10 * 1024 * 1024);

    FakeServer();
    ~FakeServer() override;

    void Greeting(Reply reply); // default "+OK fake server ready"
    // Greets successive connections in turn; the last greeting repeats.
    void Greeting(std::vector<Reply> replies);
    void On(const std::string &command, Reply reply);
    // Replies to successive matching commands in turn; the last one repeats.
    void On(const std::string &command, std::vector<Reply> replies);
    void StallOn(const std::string &command);
    void Default(Reply reply); // for unmatched commands; default "-ERR unknown command"

    int port() const;
    int connectionCount() const;               // connections accepted so far
    int openConnections() const;               // connections not yet closed by either side
    std::vector<std::string> commands() const; // every line received, without line end
    std::vector<std::string> data() const;     // lines after a "354" reply, still dot-stuffed

private:
    struct Connection;
    struct Script
    {
        std::vector<Reply> replies;
        size_t next = 0;
    };

    void Accept();
    void ReadLines(Connection *connection);
    void Answer(Connection *connection, const std::string &line);
    void Play(Connection *connection, const Reply &reply);
    void TrickleNext(Connection *connection);
    void Forget(Connection *connection);
    const Reply &ReplyFor(const std::string &line);
    static const Reply &NextOf(Script &script);

    QTcpServer server_;
    Script greeting_;
    Reply default_;
    std::map<std::string, Script> scripts_; // keys upper-cased
    std::vector<Connection *> connections_;
    std::vector<std::string> commands_;
    std::vector<std::string> data_;
    int accepted_ = 0;
};
