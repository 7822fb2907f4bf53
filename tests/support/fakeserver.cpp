#include "support/fakeserver.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <algorithm>
#include <cctype>
#include <deque>

struct FakeServer::Connection
{
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
        connection->socket = socket;
        connections_.push_back(connection);
        QObject::connect(socket, &QTcpSocket::readyRead, this,
                         [this, connection] { ReadLines(connection); });
        QObject::connect(socket, &QTcpSocket::disconnected, this,
                         [this, connection] { Forget(connection); });
        Play(connection, NextOf(greeting_));
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
    Play(connection, ReplyFor(line));
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
    connection->closed = true;
    if (connection->trickleTimer)
        connection->trickleTimer->stop();
    if (connection->socket)
        connection->socket->deleteLater();
}
