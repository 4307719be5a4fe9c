#include "download/request/RequestPolicy.h"

#include "download/request/CurlHandles.h"
#include "download/Digits.h"
#include "download/TransferError.h"
#include "log/SafeText.h"

#include <QUrl>

namespace {
RequestPolicy::Verdict refuse(qint32 code, const QString &text)
{
    return {false, code, text};
}

QString part(CURLU *url, CURLUPart which, unsigned flags = 0)
{
    char *text = nullptr;
    if (curl_url_get(url, which, &text, flags) != CURLUE_OK)
        return {};
    const CurlString owned(text);
    return QString::fromUtf8(owned.get());
}

// A Content-Length value as the only acceptable form: digits, nothing else, and small
// enough to count. -1 for anything else, -2 for a number too large.
qint64 plainLength(const QByteArray &value)
{
    qint64 n = 0;
    switch (parseDigits(value.trimmed(), &n)) {
    case Digits::Number: return n;
    case Digits::NotDigits: return -1;
    case Digits::TooLarge: return -2;
    }
    return -1;
}
} // namespace

bool RequestPolicy::parse(const QByteArray &url, Parts *parts, QByteArray *withoutCredentials)
{
    CurlUrl handle(curl_url());
    if (!handle || curl_url_set(handle.get(), CURLUPART_URL, url.constData(), 0) != CURLUE_OK)
        return false;
    parts->scheme = part(handle.get(), CURLUPART_SCHEME).toLower();
    parts->host = part(handle.get(), CURLUPART_HOST).toLower();
    parts->port = part(handle.get(), CURLUPART_PORT, CURLU_DEFAULT_PORT);
    parts->fragment = part(handle.get(), CURLUPART_FRAGMENT);
    if (withoutCredentials) {
        if (curl_url_set(handle.get(), CURLUPART_USER, nullptr, 0) != CURLUE_OK
            || curl_url_set(handle.get(), CURLUPART_PASSWORD, nullptr, 0) != CURLUE_OK)
            return false;
        *withoutCredentials = part(handle.get(), CURLUPART_URL).toUtf8();
        if (withoutCredentials->isEmpty())
            return false;
    }
    return !parts->host.isEmpty();
}

RequestPolicy::Verdict RequestPolicy::begin(const QString &text, QByteArray *request)
{
    m_hops = 0;
    m_sawHttps = false;
    m_origin = {};
    m_source.clear();
    const QString trimmed = text.trimmed();
    const QUrl url(trimmed, QUrl::TolerantMode);
    if (trimmed.isEmpty() || !url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return refuse(TransferError::BadUrl, QStringLiteral("Ungültige Adresse: ") + safeUrl(text));
    *request = url.toEncoded();
    if (!parse(*request, &m_origin, nullptr))
        return refuse(TransferError::BadUrl, QStringLiteral("Ungültige Adresse: ") + safeUrl(text));
    if (m_origin.scheme != u"http" && m_origin.scheme != u"https")
        return refuse(TransferError::BadUrl, QStringLiteral("Nur http- und https-Adressen können geladen werden: ") + safeUrl(text));
    m_sawHttps = m_origin.scheme == u"https";
    Parts parts;
    if (!parse(*request, &parts, &m_source))
        m_source.clear();
    return {};
}

RequestPolicy::Verdict RequestPolicy::follow(const QByteArray &target, int status, QByteArray *request)
{
    const QString shown = safeUrl(QString::fromUtf8(target));
    if (target.isEmpty())
        return refuse(TransferError::BadResponse, QStringLiteral("Weiterleitung ohne Ziel (Status %1)").arg(status));
    if (++m_hops > MaxRedirects)
        return refuse(TransferError::TooManyRedirects, QStringLiteral("Zu viele Weiterleitungen (mehr als %1)").arg(MaxRedirects));
    Parts next;
    QByteArray stripped;
    if (!parse(target, &next, &stripped))
        return refuse(TransferError::BadRedirect, QStringLiteral("Weiterleitung auf ungültige Adresse: ") + shown);
    if (next.scheme != u"http" && next.scheme != u"https")
        return refuse(TransferError::BadRedirect, QStringLiteral("Weiterleitung auf nicht erlaubte Adresse: ") + shown);
    if (m_sawHttps && next.scheme == u"http")
        return refuse(TransferError::BadRedirect, QStringLiteral("Weiterleitung von https auf http abgelehnt: ") + shown);
    m_sawHttps = m_sawHttps || next.scheme == u"https";
    // Credentials belong to the host and port the list named, nowhere else.
    const bool sameServer = next.host == m_origin.host && next.port == m_origin.port;
    *request = sameServer ? target : stripped;
    return {};
}

RequestPolicy::Verdict RequestPolicy::checkHead(CURL *easy, long status, bool rangeAsked)
{
    if (status == 101)
        return refuse(TransferError::BadResponse, QStringLiteral("Fehlerhafte Antwort: Protokollwechsel (Status 101) nicht angefordert"));
    if (status < 200)
        return refuse(TransferError::BadResponse, QStringLiteral("Fehlerhafte Antwort: keine endgültige Antwort (Status %1)").arg(status));
    if (status == 206 && !rangeAsked)
        return refuse(TransferError::BadResponse, QStringLiteral("Fehlerhafte Antwort: Teilinhalt (Status 206) ohne Bereichsanfrage"));
    curl_header *field = nullptr;
    qint64 length = -1;
    for (size_t i = 0;; ++i) {
        if (curl_easy_header(easy, "Content-Length", i, CURLH_HEADER, -1, &field) != CURLHE_OK)
            break;
        const qint64 n = plainLength(QByteArray(field->value));
        if (n == -2)
            return refuse(TransferError::BadResponse, QStringLiteral("Fehlerhafte Antwort: Content-Length zu groß"));
        if (n < 0)
            return refuse(TransferError::BadResponse, QStringLiteral("Fehlerhafte Antwort: ungültige Content-Length-Angabe"));
        if (length >= 0 && n != length)
            return refuse(TransferError::BadResponse, QStringLiteral("Fehlerhafte Antwort: widersprüchliche Content-Length-Angaben"));
        length = n;
        if (i + 1 >= field->amount)
            break;
    }
    return {};
}

QString RequestPolicy::statusText(const QByteArray &statusLine, long status)
{
    const QByteArray code = QByteArray::number(status);
    const qsizetype space = statusLine.indexOf(' ');
    const qsizetype at = space < 0 ? -1 : statusLine.indexOf(code, space);
    const QString reason = at < 0 ? QString() : safeText(statusLine.mid(at + code.size()).trimmed());
    return QStringLiteral("Server meldet Status %1").arg(status) + (reason.isEmpty() ? QString() : QStringLiteral(" (") + reason + u')');
}
