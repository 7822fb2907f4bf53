#include "common/net/tlstrust.h"

#include <QByteArray>
#include <QDateTime>
#include <QFileInfo>
#include <QList>
#include <QSet>
#include <QSslCertificate>
#include <QSslSocket>

namespace {

// The certificates read for a configuration with an extra file, kept from one connection to
// the next (reading the system's roots takes a noticeable part of a second) until released.
struct TTrustCache
{
    bool HaveSystem = false;
    QList<QSslCertificate> System;
    QString FilePath;
    qint64 FileSize = -1;
    QDateTime FileModified;
    QList<QSslCertificate> File;
};

TTrustCache &Cache()
{
    static TTrustCache cache;
    return cache;
}

// The system's roots, each once: the system folders hold most of them under two names.
const QList<QSslCertificate> &SystemCertificates()
{
    TTrustCache &cache = Cache();
    if (!cache.HaveSystem) {
        QSet<QSslCertificate> seen;
        for (const QSslCertificate &certificate : QSslConfiguration::systemCaCertificates())
            if (!seen.contains(certificate)) {
                seen.insert(certificate);
                cache.System.append(certificate);
            }
        cache.HaveSystem = true;
    }
    return cache.System;
}

// The certificates of a PEM file, read again only when its name, size or time changed.
const QList<QSslCertificate> &CertificatesOfFile(const QString &path)
{
    TTrustCache &cache = Cache();
    const QFileInfo info(path);
    if (info.absoluteFilePath() != cache.FilePath || info.size() != cache.FileSize ||
        info.lastModified() != cache.FileModified) {
        cache.FilePath = info.absoluteFilePath();
        cache.FileSize = info.size();
        cache.FileModified = info.lastModified();
        cache.File =
            QSslCertificate::fromPath(path, QSsl::Pem, QSslCertificate::PatternSyntax::FixedString);
    }
    return cache.File;
}

} // namespace

QSslConfiguration TrustedTlsConfiguration()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setPeerVerifyMode(QSslSocket::VerifyPeer);
    // Left alone, the TLS library looks the system's roots up in their folders when a chain
    // needs one, and nothing is held in memory. A list set here replaces that lookup, so with
    // an extra file the system's roots are read in full and the file's certificates added.
    const QByteArray file = qgetenv("SSL_CERT_FILE");
    if (!file.isEmpty())
        config.setCaCertificates(SystemCertificates() +
                                 CertificatesOfFile(QString::fromLocal8Bit(file)));
    return config;
}

void ReleaseTrustedCertificates()
{
    Cache() = TTrustCache{};
}
