// The TLS set-up shared by the mail clients: the peer's certificate must verify against the
// system CAs plus the certificates of the file SSL_CERT_FILE names (private CAs and the test
// servers add theirs there).
#pragma once

#include <QSslConfiguration>

// A configuration that verifies the peer against the trusted certificates. The variable is read
// at each call, so a changed SSL_CERT_FILE (or a changed file) takes effect with the next
// connection; an unchanged file is not parsed again until the certificates are released.
QSslConfiguration TrustedTlsConfiguration();

// Drops the certificates read for SSL_CERT_FILE (about 2 MB with the system's roots); the
// next configuration reads them again. Sessions already configured keep their own copy.
void ReleaseTrustedCertificates();
