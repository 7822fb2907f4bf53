#include "common/net/tlstrust.h"

#include <QByteArray>
#include <QDateTime>
#include <QFileInfo>
#include <QList>
#include <QSslCertificate>
#include <QSslSocket>

namespace {

// The certificates of a PEM file, parsed again only when the file's name, size or time changed
// (a large bundle takes a noticeable part of a second to parse at every connection).
QList<QSslCertificate> CertificatesOfFile(const QString &path)
{
    struct TParsed
    {
        QString Path;
        qint64 Size = -1;
        QDateTime Modified;
        QList<QSslCertificate> Certificates;
    };
    static TParsed parsed;
    const QFileInfo info(path);
    if (info.absoluteFilePath() != parsed.Path || info.size() != parsed.Size ||
        info.lastModified() != parsed.Modified) {
        parsed = {info.absoluteFilePath(), info.size(), info.lastModified(),
                  QSslCertificate::fromPath(path, QSsl::Pem,
                                            QSslCertificate::PatternSyntax::FixedString)};
    }
    return parsed.Certificates;
}

QList<QSslCertificate> TrustedCertificates()
{
    // Reading the system store takes a while; it does not change while the program runs.
    static const QList<QSslCertificate> system = QSslConfiguration::systemCaCertificates();
    QList<QSslCertificate> certificates = system;
    QByteArray file = qgetenv("SSL_CERT_FILE");
    if (!file.isEmpty())
        certificates += CertificatesOfFile(QString::fromLocal8Bit(file));
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
