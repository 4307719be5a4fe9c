#pragma once

#include <QByteArray>

#include <curl/curl.h>

#include <optional>

// Which certificates an https server's must lead to, decided once per process.
//
// As OpenSSL-based tools do, SSL_CERT_FILE names the bundle and SSL_CERT_DIR the
// hashed folder in place of the system's; either left unset keeps the system's own,
// and one set but empty means none. With neither set the system bundle alone is used,
// which on Debian holds exactly what its hashed folder does. A bundle alone is what
// libcurl builds into a store once and keeps for every later connection; with a
// folder beside it, it parses the whole bundle again for each one (some 20 ms of CPU
// per entry for the system's).
class TlsTrust
{
public:
    // What the environment of this process says; read at the first call.
    static const TlsTrust &fromEnvironment();
    // Decides from the two settings (nullopt: unset) and libcurl's built-in paths.
    TlsTrust(const std::optional<QByteArray> &certFile, const std::optional<QByteArray> &certDir);

    // Sets the trust on a request; false when libcurl refuses it.
    bool apply(CURL *easy) const;

    // Empty: none.
    QByteArray caFile() const { return m_caFile; }
    QByteArray caPath() const { return m_caPath; }

private:
    QByteArray m_caFile;
    QByteArray m_caPath;
};
