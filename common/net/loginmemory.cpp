#include "common/net/loginmemory.h"

#include <QCryptographicHash>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <map>

namespace {

bool ShortLoginOn = true;

// A ticket and the certificates trusted when it was issued: a resumed session is not verified
// again, so a ticket only serves while the same certificates are trusted.
struct TTicket
{
    QByteArray Ticket;
    QByteArray Trust;
};

std::map<std::string, TTicket> &Tickets()
{
    static std::map<std::string, TTicket> tickets;
    return tickets;
}

QByteArray TrustStamp(const QSslConfiguration &configuration)
{
    QCryptographicHash hash(QCryptographicHash::Sha256);
    for (const QSslCertificate &certificate : configuration.caCertificates())
        hash.addData(certificate.digest(QCryptographicHash::Sha256));
    return hash.result();
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
    QByteArray trust = TrustStamp(configuration);
    auto known = Tickets().find(key);
    if (known != Tickets().end() && known->second.Trust == trust)
        configuration.setSessionTicket(known->second.Ticket);
    socket.setSslConfiguration(configuration);
    // TLS 1.3 tickets come after the handshake, and a server may send several: the newest wins.
    QObject::connect(&socket, &QSslSocket::newSessionTicketReceived, &socket,
                     [&socket, key, trust] {
                         QByteArray ticket = socket.sslConfiguration().sessionTicket();
                         if (!ticket.isEmpty())
                             Tickets()[key] = TTicket{ticket, trust};
                     });
}

void ForgetTlsSessions()
{
    Tickets().clear();
}
