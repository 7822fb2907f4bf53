#include "common/net/tlstrust.h"

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslSocket>

namespace {

QList<QSslCertificate> TrustedCertificates()
{
    // Reading the system store takes a while; it does not change while the program runs.
    static const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    QList<QSslCertificate> certificates = system;
    QByteArray file = qgetenv("SSL_CERT_FILE");
    if (!file.isEmpty())
        certificates += QSslCertificate::fromPath(QString::fromLocal8Bit(file), QSsl::Pem,
                                                  QSslCertificate::PatternSyntax::FixedString);
    return certificates;
}

} // namespace

QSslConfiguration TrustedTlsConfiguration()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(TrustedCertificates());
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    return config;
}
