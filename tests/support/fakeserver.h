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
//
// A handler (Handle) answers every command instead of the scripts, given the connection's
// number, so a test can keep state per connection (FakePop3Mailbox below does).
#pragma once

#include <QObject>
#include <QTcpServer>

#include <cstddef>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

class QTcpSocket;
class QTimer;

class FakeServer : public QObject
{
public:
    struct Reply
    {
        enum class Kind { Text, Stall, DropAfter, Close, Garbage, Trickle, Endless, Unfinished };
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
    // Write bytes exactly (no CRLF added) and nothing ever after; the connection stays open.
    static Reply Unfinished(std::string bytes);

    using Handler = std::function<Reply(int connection, const std::string &line)>;

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
    void Handle(Handler handler);
    // Told when a connection ends, whoever closed it.
    void OnClosed(std::function<void(int connection)> closed);
    // Told when a connection was accepted, once its greeting went out (or stalled): the
    // client is then waiting for the greeting. Tests act on this instead of after a time.
    void OnAccepted(std::function<void(int connection)> accepted);
    // Told of each command line as it is received, before it is answered.
    void OnCommand(std::function<void(int connection, const std::string &line)> received);

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
    Handler handler_;
    std::function<void(int)> closed_;
    std::function<void(int)> onAccepted_;
    std::function<void(int, const std::string &)> onCommand_;
    std::map<std::string, Script> scripts_; // keys upper-cased
    std::vector<Connection *> connections_;
    std::vector<std::string> commands_;
    std::vector<std::string> data_;
    int accepted_ = 0;
};

// A POP3 mailbox on a FakeServer: USER/PASS or APOP (password "secret"), CAPA with PIPELINING,
// STAT, LIST, UIDL, TOP, RETR, DELE, RSET, NOOP and QUIT. Deletions are marked per connection
// and committed by QUIT only; a connection that ends otherwise deletes nothing. A fault can be
// armed for one command: it strikes every time that command comes (after the first spare
// times) until it is disarmed.
class FakePop3Mailbox
{
public:
    enum class Fault {
        None,
        Drop,                // close without a word (at QUIT: before anything is committed)
        DropMidReply,        // half the reply, then close (at QUIT: after the commit)
        DropAfterReply,      // the whole reply, then close
        Stall,               // never answer
        Trickle,             // the reply one byte every TrickleMs
        OverlongLine,        // a reply line of 2 MB
        Unterminated,        // a multi-line reply without its final ".", a status line without CRLF
        Garbage,             // bytes that are no reply
        QuitLostAfterCommit, // QUIT commits, then the connection closes without a reply
        MalformedStat,       // STAT answers no number
        HugeStat,            // STAT claims more messages than any client keeps
        Refused,             // "-ERR" instead of the reply (CAPA still lists the command)
    };

    explicit FakePop3Mailbox(bool apop = false);

    void Add(std::string raw); // lines end in CRLF
    // Between sessions: messages a and b (1 = oldest) change places, each keeping its id, as
    // POP3 allows; Replace puts another message at n under n's id, as no server should.
    void Swap(int a, int b);
    void Replace(int n, std::string raw);
    // The message with these bytes gets uid instead of its own (a server breaking the id rules
    // gives two messages one id, or an old id to a new message).
    void SetUid(const std::string &raw, std::string uid);
    void Arm(Fault fault, const std::string &command, int spare = 0);
    void Disarm() { fault_ = Fault::None; }
    // How UIDL names the messages: each by its own id, as POP3 requires; by its position
    // ("pos1" …); or, at each login, message n by the id message n + 1 had at the login before
    // (the last by the first's), as servers breaking the id rules do.
    enum class Ids { Own, Positional, Rotating };
    Ids IdScheme = Ids::Own;

    int port() const { return server_.port(); }
    FakeServer &server() { return server_; }
    // Messages still on the server, and those a QUIT removed, in the order removed.
    std::vector<std::string> messages() const { return messages_; }
    std::vector<std::string> removed() const { return removed_; }
    int commits() const { return commits_; } // QUITs that removed at least one message

    int TrickleMs = 50;
    static constexpr char Password[] = "secret";
    static constexpr char Stamp[] = "<1896.697170952@fake.example>";

private:
    struct Session
    {
        bool loggedIn = false;
        int login = 0;        // this session's login, counted from 1
        std::set<int> marked; // message numbers given to DELE
    };
    std::string IdOf(const Session &session, size_t index) const;
    FakeServer::Reply Answer(int connection, const std::string &line);
    std::string Normal(Session &session, const std::string &verb,
                       const std::vector<std::string> &args, bool &multiLine);
    FakeServer::Reply Faulty(const std::string &reply, bool multiLine);
    void Commit(Session &session);
    int Count(const Session &session) const;
    const std::string *Message(const Session &session, const std::string &number) const;

    FakeServer server_;
    bool apop_;
    std::vector<std::string> messages_;
    std::vector<std::string> ids_; // the unique id of each of messages_
    std::vector<std::string> removed_;
    std::map<int, Session> sessions_;
    Fault fault_ = Fault::None;
    std::string faultCommand_;
    int spare_ = 0; // matching commands still answered normally
    int commits_ = 0;
    int logins_ = 0;
};
