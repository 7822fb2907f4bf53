#include "common/net/loginmemory.h"

#include <QSslConfiguration>
#include <QSslSocket>
#include <map>

namespace {

bool ShortLoginOn = true;

std::map<std::string, QByteArray> &Tickets()
{
    static std::map<std::string, QByteArray> tickets;
    return tickets;
}

} // namespace

bool ShortLogin()
{
    return ShortLoginOn;
}

void SetShortLogin(bool on)
{
    ShortLoginOn = on;
}

std::string LoginMemoryKey(const char *protocol, const std::string &host, int port)
{
    return std::string(protocol) + "://" + host + ":" + std::to_string(port);
}

void ResumeTlsSession(QSslSocket &socket, const std::string &key)
{
    if (!ShortLogin())
        return;
    QSslConfiguration configuration = socket.sslConfiguration();
    // Without this option Qt keeps no ticket to hand out.
    configuration.setSslOption(QSsl::SslOptionDisableSessionPersistence, false);
    auto known = Tickets().find(key);
    if (known != Tickets().end())
        configuration.setSessionTicket(known->second);
    socket.setSslConfiguration(configuration);
    // TLS 1.3 tickets come after the handshake, and a server may send several: the newest wins.
    QObject::connect(&socket, &QSslSocket::newSessionTicketReceived, &socket, [&socket, key] {
        QByteArray ticket = socket.sslConfiguration().sessionTicket();
        if (!ticket.isEmpty())
            Tickets()[key] = ticket;
    });
}

void ForgetTlsSessions()
{
    Tickets().clear();
}
