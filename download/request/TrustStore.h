#pragma once

#include <QByteArray>

#include <curl/curl.h>
#include <openssl/types.h>

// The certificates every https connection of a run checks its server against, in one
// store that libcurl hands to each connection. The bundle is parsed once, at the run's
// first https connection; the folder is a hashed lookup that reads the files a chain
// asks for when it asks, so an authority put into the folder during a run counts from
// the next connection on. Left to itself, libcurl parses the whole bundle again for
// every connection once a folder is set beside it.
class TrustStore
{
public:
    // Empty: none.
    TrustStore(const QByteArray &caFile, const QByteArray &caPath);
    ~TrustStore();
    TrustStore(const TrustStore &) = delete;
    TrustStore &operator=(const TrustStore &) = delete;

    // Whether libcurl speaks TLS through the OpenSSL this program was built against;
    // only such a libcurl can take a store of ours.
    static bool fitsLibcurl();
    // Makes the request use this store and nothing else; false when libcurl refuses.
    bool applyTo(CURL *easy) const;

private:
    static CURLcode handOver(CURL *easy, void *sslCtx, void *self);
    X509_STORE *store() const;

    QByteArray m_caFile;
    QByteArray m_caPath;
    // Built at the first https connection; null after when the bundle could not be read.
    mutable X509_STORE *m_store = nullptr;
    mutable bool m_built = false;
};
