#include "download/request/TlsTrust.h"

#include "download/request/CurlHandles.h"

#include <QFileInfo>

namespace {
// The bundle and folder this libcurl was built to trust.
std::optional<QByteArray> setting(const char *name)
{
    if (!qEnvironmentVariableIsSet(name))
        return std::nullopt;
    return qgetenv(name);
}

QByteArray builtIn(CURLINFO what)
{
    const CurlEasy easy(curl_easy_init());
    char *path = nullptr;
    if (!easy || curl_easy_getinfo(easy.get(), what, &path) != CURLE_OK || !path)
        return {};
    return QByteArray(path);
}
} // namespace

std::unique_ptr<TlsTrust> TlsTrust::fromEnvironment()
{
    return std::make_unique<TlsTrust>(setting("SSL_CERT_FILE"), setting("SSL_CERT_DIR"));
}

TlsTrust::TlsTrust(const std::optional<QByteArray> &certFile, const std::optional<QByteArray> &certDir)
{
    const QByteArray systemFile = builtIn(CURLINFO_CAINFO);
    if (!certFile && !certDir && !systemFile.isEmpty() && QFileInfo(QString::fromLocal8Bit(systemFile)).isFile()) {
        m_caFile = systemFile;
    } else {
        m_caFile = certFile.value_or(systemFile);
        m_caPath = certDir ? *certDir : builtIn(CURLINFO_CAPATH);
    }
    if (TrustStore::fitsLibcurl())
        m_store = std::make_unique<TrustStore>(m_caFile, m_caPath);
}

bool TlsTrust::apply(CURL *easy) const
{
    // A null pointer switches a built-in path off: nothing but what is decided here.
    const bool paths = m_store
        ? m_store->applyTo(easy)
        : curl_easy_setopt(easy, CURLOPT_CAINFO, m_caFile.isEmpty() ? nullptr : m_caFile.constData()) == CURLE_OK
            && curl_easy_setopt(easy, CURLOPT_CAPATH, m_caPath.isEmpty() ? nullptr : m_caPath.constData()) == CURLE_OK;
    // libcurl keeps the store of a connection's context in the multi handle for a day
    // and puts it into the next connections in place of the one given them: trust
    // would then follow the first run of the process. A libcurl before 7.87 keeps
    // none and does not know the option.
    curl_easy_setopt(easy, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    return paths && curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L) == CURLE_OK
        && curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L) == CURLE_OK;
}
