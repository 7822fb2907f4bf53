#include "support/fakeserver.h"

#include <QCryptographicHash>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <deque>
#include <sstream>

struct FakeServer::Connection
{
    int id = 0;
    QPointer<QTcpSocket> socket;
    QByteArray input;
    bool silent = false; // stalled, dropped or flooding: no further answers
    bool closed = false;
    bool inData = false; // collecting message lines after a "354" reply
    QTimer *trickleTimer = nullptr;
    std::string trickle;
    size_t trickled = 0;
    std::deque<std::string> waiting; // lines that arrived while a trickle was going on
};

namespace {

const char CRLF[] = "\r\n";

std::string Upper(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string WithLineEnd(std::string text)
{
    if (text.size() < 2 || text.compare(text.size() - 2, 2, CRLF) != 0)
        text += CRLF;
    return text;
}

FakeServer::Reply Action(FakeServer::Reply::Kind kind, std::string bytes = {}, int intervalMs = 0)
{
    FakeServer::Reply reply(std::move(bytes));
    reply.kind = kind;
    reply.intervalMs = intervalMs;
    return reply;
}

} // namespace

FakeServer::Reply FakeServer::Stall()
{
    return Action(Reply::Kind::Stall);
}

FakeServer::Reply FakeServer::DropAfter(std::string bytes)
{
    return Action(Reply::Kind::DropAfter, std::move(bytes));
}

FakeServer::Reply FakeServer::Close()
{
    return Action(Reply::Kind::Close);
}

FakeServer::Reply FakeServer::Garbage()
{
    static const char bytes[] = "\x00\xFF\xFE\x80garbage\x01\x02\x7F\x1B[0m\xC3\x28 ##\r\n";
    return Action(Reply::Kind::Garbage, std::string(bytes, sizeof bytes - 1));
}

FakeServer::Reply FakeServer::Trickle(std::string text, int intervalMs)
{
    return Action(Reply::Kind::Trickle, WithLineEnd(std::move(text)), std::max(intervalMs, 1));
}

FakeServer::Reply FakeServer::Endless(size_t size)
{
    return Action(Reply::Kind::Endless, std::string(size, 'x'));
}

FakeServer::Reply FakeServer::Unfinished(std::string bytes)
{
    return Action(Reply::Kind::Unfinished, std::move(bytes));
}

FakeServer::FakeServer()
    : greeting_{{Reply("+OK fake server ready")}, 0}, default_("-ERR unknown command")
{
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
    server_.listen(QHostAddress::LocalHost, 0);
}

FakeServer::~FakeServer()
{
    for (Connection *connection : connections_) {
        if (connection->socket) {
            connection->socket->disconnect(this);
            connection->socket->abort();
        }
        delete connection;
    }
    server_.close();
}

void FakeServer::Greeting(Reply reply)
{
    Greeting(std::vector<Reply>{std::move(reply)});
}

void FakeServer::Greeting(std::vector<Reply> replies)
{
    if (replies.empty())
        replies.push_back(Stall());
    greeting_ = Script{std::move(replies), 0};
}

void FakeServer::On(const std::string &command, Reply reply)
{
    On(command, std::vector<Reply>{std::move(reply)});
}

void FakeServer::On(const std::string &command, std::vector<Reply> replies)
{
    scripts_[Upper(command)] = Script{std::move(replies), 0};
}

void FakeServer::StallOn(const std::string &command)
{
    On(command, Stall());
}

void FakeServer::Default(Reply reply)
{
    default_ = std::move(reply);
}

void FakeServer::Handle(Handler handler)
{
    handler_ = std::move(handler);
}

void FakeServer::OnClosed(std::function<void(int connection)> closed)
{
    closed_ = std::move(closed);
}

void FakeServer::OnAccepted(std::function<void(int connection)> accepted)
{
    onAccepted_ = std::move(accepted);
}

void FakeServer::OnCommand(std::function<void(int connection, const std::string &line)> received)
{
    onCommand_ = std::move(received);
}

int FakeServer::port() const
{
    return server_.serverPort();
}

int FakeServer::connectionCount() const
{
    return accepted_;
}

int FakeServer::openConnections() const
{
    return static_cast<int>(std::count_if(connections_.begin(), connections_.end(),
                                          [](const Connection *c) { return !c->closed; }));
}

std::vector<std::string> FakeServer::commands() const
{
    return commands_;
}

std::vector<std::string> FakeServer::data() const
{
    return data_;
}

void FakeServer::Accept()
{
    while (QTcpSocket *socket = server_.nextPendingConnection()) {
        ++accepted_;
        auto *connection = new Connection;
        connection->id = accepted_;
        connection->socket = socket;
        // Replies are small and each answers a command: without this every exchange waits
        // for the client's delayed acknowledgement.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connections_.push_back(connection);
        QObject::connect(socket, &QTcpSocket::readyRead, this,
                         [this, connection] { ReadLines(connection); });
        QObject::connect(socket, &QTcpSocket::disconnected, this,
                         [this, connection] { Forget(connection); });
        Play(connection, NextOf(greeting_));
        if (onAccepted_)
            onAccepted_(connection->id);
    }
}

void FakeServer::ReadLines(Connection *connection)
{
    if (!connection->socket)
        return;
    connection->input += connection->socket->readAll();
    while (!connection->silent && !connection->closed) {
        qsizetype end = connection->input.indexOf('\n');
        if (end < 0)
            return;
        std::string line = connection->input.left(end).toStdString();
        connection->input.remove(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (connection->trickleTimer && connection->trickleTimer->isActive())
            connection->waiting.push_back(line);
        else
            Answer(connection, line);
    }
    connection->input.clear(); // a silent connection ignores the rest
}

void FakeServer::Answer(Connection *connection, const std::string &line)
{
    if (connection->inData) {
        if (line != ".") {
            data_.push_back(line);
            return;
        }
        connection->inData = false;
    }
    commands_.push_back(line);
    if (onCommand_)
        onCommand_(connection->id, line);
    if (handler_) {
        Reply reply = handler_(connection->id, line);
        Play(connection, reply);
    } else {
        Play(connection, ReplyFor(line));
    }
}

const FakeServer::Reply &FakeServer::ReplyFor(const std::string &line)
{
    std::string upper = Upper(line);
    Script *best = nullptr;
    size_t bestLength = 0;
    for (auto &[key, script] : scripts_) {
        if (upper.compare(0, key.size(), key) == 0 &&
            (best == nullptr || key.size() > bestLength)) {
            best = &script;
            bestLength = key.size();
        }
    }
    if (best == nullptr || best->replies.empty())
        return default_;
    return NextOf(*best);
}

const FakeServer::Reply &FakeServer::NextOf(Script &script)
{
    size_t index = std::min(script.next, script.replies.size() - 1);
    ++script.next;
    return script.replies[index];
}

void FakeServer::Play(Connection *connection, const Reply &reply)
{
    QTcpSocket *socket = connection->socket;
    if (!socket || connection->closed)
        return;
    switch (reply.kind) {
    case Reply::Kind::Text: {
        std::string text = WithLineEnd(reply.bytes);
        socket->write(text.data(), static_cast<qint64>(text.size()));
        if (text.compare(0, 3, "354") == 0)
            connection->inData = true;
        break;
    }
    case Reply::Kind::Stall:
        connection->silent = true;
        break;
    case Reply::Kind::DropAfter:
        connection->silent = true;
        socket->write(reply.bytes.data(), static_cast<qint64>(reply.bytes.size()));
        socket->disconnectFromHost(); // after the written bytes have gone out
        break;
    case Reply::Kind::Close:
        connection->silent = true;
        socket->disconnectFromHost();
        break;
    case Reply::Kind::Garbage:
        socket->write(reply.bytes.data(), static_cast<qint64>(reply.bytes.size()));
        break;
    case Reply::Kind::Trickle:
        connection->trickle = reply.bytes;
        connection->trickled = 0;
        if (!connection->trickleTimer) {
            connection->trickleTimer = new QTimer(socket);
            QObject::connect(connection->trickleTimer, &QTimer::timeout, this,
                             [this, connection] { TrickleNext(connection); });
        }
        connection->trickleTimer->start(reply.intervalMs);
        break;
    case Reply::Kind::Endless:
    case Reply::Kind::Unfinished:
        connection->silent = true;
        socket->write(reply.bytes.data(), static_cast<qint64>(reply.bytes.size()));
        break;
    }
}

void FakeServer::TrickleNext(Connection *connection)
{
    if (!connection->socket || connection->closed)
        return;
    connection->socket->write(&connection->trickle[connection->trickled], 1);
    if (++connection->trickled < connection->trickle.size())
        return;
    connection->trickleTimer->stop();
    // Answer what arrived meanwhile, in order, until one of them starts another trickle.
    while (!connection->waiting.empty() && !connection->trickleTimer->isActive() &&
           !connection->silent && !connection->closed) {
        std::string line = connection->waiting.front();
        connection->waiting.pop_front();
        Answer(connection, line);
    }
}

void FakeServer::Forget(Connection *connection)
{
    if (connection->closed)
        return;
    connection->closed = true;
    if (closed_)
        closed_(connection->id);
    if (connection->trickleTimer)
        connection->trickleTimer->stop();
    if (connection->socket)
        connection->socket->deleteLater();
}

// ---- FakePop3Mailbox ----------------------------------------------------------------------

namespace {

std::vector<std::string> Words(const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

// The message's lines for the wire: dot-stuffed, up to the first limit body lines (all when
// limit < 0), ended by ".".
std::string MultiLine(const std::string &raw, int bodyLimit)
{
    std::string out;
    bool inBody = false;
    int bodyLines = 0;
    size_t at = 0;
    while (at < raw.size()) {
        size_t end = raw.find("\r\n", at);
        std::string line = raw.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? raw.size() : end + 2;
        if (inBody && bodyLimit >= 0 && bodyLines++ >= bodyLimit)
            break;
        if (!line.empty() && line[0] == '.')
            line.insert(0, ".");
        out += line + "\r\n";
        if (line.empty())
            inBody = true;
    }
    return out + ".\r\n";
}

} // namespace

FakePop3Mailbox::FakePop3Mailbox(bool apop) : apop_(apop)
{
    server_.Greeting(FakeServer::Reply(std::string("+OK fake POP3 ready") +
                                       (apop ? std::string(" ") + Stamp : std::string())));
    server_.Handle(
        [this](int connection, const std::string &line) { return Answer(connection, line); });
    // A connection that ends without QUIT deletes nothing.
    server_.OnClosed([this](int connection) { sessions_.erase(connection); });
}

void FakePop3Mailbox::Add(std::string raw)
{
    ids_.push_back("uid" + std::to_string(std::hash<std::string>{}(raw)));
    messages_.push_back(std::move(raw));
}

void FakePop3Mailbox::Swap(int a, int b)
{
    std::swap(messages_.at(a - 1), messages_.at(b - 1));
    std::swap(ids_.at(a - 1), ids_.at(b - 1));
}

void FakePop3Mailbox::Replace(int n, std::string raw)
{
    messages_.at(n - 1) = std::move(raw);
}

void FakePop3Mailbox::Arm(Fault fault, const std::string &command, int spare)
{
    fault_ = fault;
    spare_ = spare;
    faultCommand_ = command;
    for (char &c : faultCommand_)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
}

void FakePop3Mailbox::SetUid(const std::string &raw, std::string uid)
{
    auto at = std::find(messages_.begin(), messages_.end(), raw);
    if (at != messages_.end())
        ids_[size_t(at - messages_.begin())] = std::move(uid);
}

std::string FakePop3Mailbox::IdOf(const Session &session, size_t index) const
{
    switch (IdScheme) {
    case Ids::Own:
        break;
    case Ids::Positional:
        return "pos" + std::to_string(index + 1);
    case Ids::Rotating:
        return "rot" + std::to_string((index + size_t(session.login)) % messages_.size() + 1);
    }
    return ids_[index];
}

int FakePop3Mailbox::Count(const Session &session) const
{
    return static_cast<int>(messages_.size() - session.marked.size());
}

const std::string *FakePop3Mailbox::Message(const Session &session, const std::string &number) const
{
    int n = std::atoi(number.c_str());
    if (n < 1 || n > static_cast<int>(messages_.size()) || session.marked.count(n) > 0)
        return nullptr;
    return &messages_[n - 1];
}

void FakePop3Mailbox::Commit(Session &session)
{
    if (session.marked.empty())
        return;
    for (auto n = session.marked.rbegin(); n != session.marked.rend(); ++n) {
        removed_.push_back(messages_[*n - 1]);
        messages_.erase(messages_.begin() + (*n - 1));
        ids_.erase(ids_.begin() + (*n - 1));
    }
    session.marked.clear();
    ++commits_;
}

std::string FakePop3Mailbox::Normal(Session &session, const std::string &verb,
                                    const std::vector<std::string> &args, bool &multiLine)
{
    multiLine = false;
    if (verb == "CAPA") {
        multiLine = true;
        return "+OK\r\nUSER\r\nTOP\r\nUIDL\r\nPIPELINING\r\n.\r\n";
    }
    if (verb == "USER")
        return "+OK";
    if (verb == "PASS") {
        session.loggedIn = args.size() == 1 && args[0] == Password;
        session.login = session.loggedIn ? ++logins_ : 0;
        return session.loggedIn ? "+OK logged in" : "-ERR wrong password";
    }
    if (verb == "APOP") {
        QByteArray digest =
            QCryptographicHash::hash(QByteArray(Stamp) + Password, QCryptographicHash::Md5).toHex();
        session.loggedIn = apop_ && args.size() == 2 && args[1] == digest.toStdString();
        session.login = session.loggedIn ? ++logins_ : 0;
        return session.loggedIn ? "+OK logged in" : "-ERR wrong digest";
    }
    if (verb == "QUIT") {
        Commit(session);
        return "+OK bye";
    }
    if (!session.loggedIn)
        return "-ERR log in first";
    if (verb == "NOOP")
        return "+OK";
    if (verb == "RSET") {
        session.marked.clear();
        return "+OK";
    }
    if (verb == "STAT") {
        size_t bytes = 0;
        for (size_t i = 0; i < messages_.size(); ++i)
            if (session.marked.count(static_cast<int>(i) + 1) == 0)
                bytes += messages_[i].size();
        return "+OK " + std::to_string(Count(session)) + " " + std::to_string(bytes);
    }
    if (verb == "LIST" || verb == "UIDL") {
        auto entry = [&](size_t i) {
            return std::to_string(i + 1) + " " +
                   (verb == "LIST" ? std::to_string(messages_[i].size()) : IdOf(session, i));
        };
        if (!args.empty()) {
            const std::string *message = Message(session, args[0]);
            if (message == nullptr)
                return "-ERR no such message";
            return "+OK " + entry(static_cast<size_t>(std::atoi(args[0].c_str()) - 1));
        }
        multiLine = true;
        std::string out = "+OK\r\n";
        for (size_t i = 0; i < messages_.size(); ++i)
            if (session.marked.count(static_cast<int>(i) + 1) == 0)
                out += entry(i) + "\r\n";
        return out + ".\r\n";
    }
    if (verb == "TOP" || verb == "RETR") {
        const std::string *message = args.empty() ? nullptr : Message(session, args[0]);
        if (message == nullptr)
            return "-ERR no such message";
        multiLine = true;
        int limit = verb == "RETR" ? -1 : (args.size() > 1 ? std::atoi(args[1].c_str()) : 0);
        return "+OK\r\n" + MultiLine(*message, limit);
    }
    if (verb == "DELE") {
        if (args.empty() || Message(session, args[0]) == nullptr)
            return "-ERR no such message";
        session.marked.insert(std::atoi(args[0].c_str()));
        return "+OK marked";
    }
    return "-ERR unknown command";
}

FakeServer::Reply FakePop3Mailbox::Faulty(const std::string &reply, bool multiLine)
{
    std::string whole = reply.size() >= 2 && reply.compare(reply.size() - 2, 2, "\r\n") == 0
                            ? reply
                            : reply + "\r\n";
    switch (fault_) {
    case Fault::Drop:
    case Fault::QuitLostAfterCommit:
        return FakeServer::Close();
    case Fault::DropMidReply:
        return FakeServer::DropAfter(whole.substr(0, std::max<size_t>(whole.size() / 2, 1)));
    case Fault::DropAfterReply:
        return FakeServer::DropAfter(whole);
    case Fault::Stall:
        return FakeServer::Stall();
    case Fault::Trickle:
        return FakeServer::Trickle(whole, TrickleMs);
    case Fault::OverlongLine:
        return FakeServer::Reply("+OK " + std::string(2 << 20, 'x'));
    case Fault::Unterminated:
        return FakeServer::Unfinished(multiLine ? whole.substr(0, whole.size() - 3)
                                                : whole.substr(0, whole.size() - 2));
    case Fault::Garbage:
        return FakeServer::Garbage();
    case Fault::MalformedStat:
        return FakeServer::Reply("+OK lots of mail");
    case Fault::HugeStat:
        return FakeServer::Reply("+OK 4294967297 1");
    case Fault::Refused:
        return FakeServer::Reply("-ERR not available");
    case Fault::None:
        break;
    }
    return FakeServer::Reply(whole);
}

FakeServer::Reply FakePop3Mailbox::Answer(int connection, const std::string &line)
{
    std::vector<std::string> words = Words(line);
    std::string verb = words.empty() ? std::string() : words[0];
    for (char &c : verb)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::vector<std::string> args(words.begin() + (words.empty() ? 0 : 1), words.end());
    Session &session = sessions_[connection];
    bool strikes = fault_ != Fault::None && verb == faultCommand_;
    if (strikes && spare_ > 0) {
        --spare_;
        strikes = false;
    }
    // At QUIT the commit comes before the reply; a plain drop loses the QUIT before it.
    if (strikes && verb == "QUIT" && fault_ == Fault::Drop)
        return FakeServer::Close();
    bool multiLine = false;
    std::string reply = Normal(session, verb, args, multiLine);
    return strikes ? Faulty(reply, multiLine) : FakeServer::Reply(reply);
}
