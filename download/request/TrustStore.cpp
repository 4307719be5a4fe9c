#include "download/request/TrustStore.h"

#include <openssl/err.h>
#include <openssl/opensslv.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

namespace {
// The calls and flags libcurl itself uses for the same two paths, so that exactly the
// chains it would accept pass: a bundle that cannot be read fails, a folder is looked
// into only when asked (one that does not exist holds nothing), and a certificate of
// the store is an anchor even where it is not self-signed.
X509_STORE *loadStore(const QByteArray &caFile, const QByteArray &caPath)
{
    X509_STORE *store = X509_STORE_new();
    const bool ok = store && (caFile.isEmpty() || X509_STORE_load_file(store, caFile.constData()) == 1)
        && (caPath.isEmpty() || X509_STORE_load_path(store, caPath.constData()) == 1)
        && X509_STORE_set_flags(store, X509_V_FLAG_TRUSTED_FIRST | X509_V_FLAG_PARTIAL_CHAIN) == 1;
    // What went wrong is told by the connection's result; left in the queue it would be
    // taken for a failure of the next handshake.
    ERR_clear_error();
    if (ok)
        return store;
    X509_STORE_free(store);
    return nullptr;
}
} // namespace

TrustStore::TrustStore(const QByteArray &caFile, const QByteArray &caPath)
    : m_caFile(caFile)
    , m_caPath(caPath)
{
}

TrustStore::~TrustStore()
{
    // Connections still open keep their own reference.
    X509_STORE_free(m_store);
}

bool TrustStore::fitsLibcurl()
{
    static const bool fits = [] {
        const curl_version_info_data *info = curl_version_info(CURLVERSION_NOW);
        const QByteArray ours = "OpenSSL/" + QByteArray::number(OPENSSL_VERSION_MAJOR) + '.';
        return info && info->ssl_version && QByteArray(info->ssl_version).startsWith(ours);
    }();
    return fits;
}

bool TrustStore::applyTo(CURL *easy) const
{
    // A null path keeps libcurl from loading its built-in ones into each connection.
    return curl_easy_setopt(easy, CURLOPT_CAINFO, nullptr) == CURLE_OK
        && curl_easy_setopt(easy, CURLOPT_CAPATH, nullptr) == CURLE_OK
        && curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &TrustStore::handOver) == CURLE_OK
        && curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, const_cast<TrustStore *>(this)) == CURLE_OK;
}

// Runs for each connection before its handshake, so the server's chain is checked
// against this store.
CURLcode TrustStore::handOver(CURL *, void *sslCtx, void *self)
{
    X509_STORE *store = static_cast<const TrustStore *>(self)->store();
    if (!store)
        return CURLE_SSL_CACERT_BADFILE;
    SSL_CTX_set1_cert_store(static_cast<SSL_CTX *>(sslCtx), store);
    return CURLE_OK;
}

X509_STORE *TrustStore::store() const
{
    if (!m_built) {
        m_built = true;
        m_store = loadStore(m_caFile, m_caPath);
    }
    return m_store;
}
