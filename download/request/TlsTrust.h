#pragma once

#include "download/request/TrustStore.h"

#include <QByteArray>

#include <curl/curl.h>

#include <memory>
#include <optional>

// Which certificates an https server's must lead to, decided afresh for each run.
//
// As OpenSSL-based tools do, SSL_CERT_FILE names the bundle and SSL_CERT_DIR the
// hashed folder in place of the system's; either left unset keeps the system's own,
// and one set but empty means none. With neither set the system bundle alone is used,
// which on Debian holds exactly what its hashed folder does. Where libcurl speaks
// OpenSSL, every connection gets one store built from these (TrustStore); elsewhere
// libcurl is given the two paths.
class TlsTrust
{
public:
    // What the environment of this process says now.
    static std::unique_ptr<TlsTrust> fromEnvironment();
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
    std::unique_ptr<TrustStore> m_store;
};
