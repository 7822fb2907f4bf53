// The POP3 client reading whatever a hostile server sends: the input is everything the server
// says (greeting and replies, sent at once, then the server stops sending). Once logged in, the
// client asks for summaries, a message and a deletion, so every reply kind gets read.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <algorithm>
#include <functional>
#include <memory>
#include <sys/socket.h>

#include "common/net/pop3client.h"
#include "fuzzsupport.h"

namespace {

class TListener : public TPop3Listener
{
public:
    TPop3Client *Client = nullptr;

    void OnConnected() override
    {
        int count = Client->MessageCount();
        if (count > 0) {
            Client->RequestSummaries(1, std::min(count, 3));
            Client->RequestMessage(1);
            Client->RequestDelete(1);
        }
        Client->Disconnect();
    }
    void OnRequestFinished(unsigned ticket, bool ok) override
    {
        TPop3Summary summary;
        TStringList lines;
        Client->TakeSummary(ticket, summary);
        Client->TakeMessage(ticket, lines);
    }
};

QTcpServer &Server()
{
    static QTcpServer server;
    if (!server.isListening() && !server.listen(QHostAddress::LocalHost, 0))
        std::abort();
    return server;
}

void PumpWhile(const std::function<bool()> &busy, int ms)
{
    QElapsedTimer clock;
    clock.start();
    while (busy() && clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Init();
    QTcpServer &server = Server();
    TListener listener;
    TPop3Client client(&listener);
    listener.Client = &client;
    client.Host = "127.0.0.1";
    client.Port = server.serverPort();
    client.User = "user";
    client.Password = "secret";
    client.TimeOut = 2000;
    client.Connect();

    PumpWhile([&] { return !server.hasPendingConnections(); }, 2000);
    std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
    if (!peer)
        std::abort();
    peer->write(reinterpret_cast<const char *>(data), qint64(size));
    peer->waitForBytesWritten(1000);
    // End of the server's data, while it still takes the client's commands (a full close
    // would reset the connection and throw away replies not yet read).
    ::shutdown(int(peer->socketDescriptor()), SHUT_WR);
    PumpWhile(
        [&] {
            peer->readAll();
            return client.State() != TPop3Client::TState::Disconnected;
        },
        3000);
    client.Abort();
    peer->abort();
    return 0;
}
