// The TLS set-up shared by the mail clients: the peer's certificate must verify against the
// system CAs plus the certificates of the file SSL_CERT_FILE names (private CAs and the test
// servers add theirs there).
#pragma once

#include <QSslConfiguration>

// A configuration that verifies the peer against the trusted certificates. The variable is read
// at each call, so a changed SSL_CERT_FILE (or a changed file) takes effect with the next
// connection; an unchanged file is not parsed again.
QSslConfiguration TrustedTlsConfiguration();
