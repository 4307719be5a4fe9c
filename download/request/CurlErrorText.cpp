#include "download/request/CurlErrorText.h"

#include "download/TransferError.h"
#include "log/SystemErrorText.h"

#include <cerrno>

namespace {
struct Row
{
    CURLcode result;
    qint32 code;
    const char *text; // UTF-8
};

// Results whose text needs nothing of the failure's circumstances.
constexpr Row Table[] = {
    {CURLE_UNSUPPORTED_PROTOCOL, TransferError::BadResponse, "Fehlerhafte Antwort: kein HTTP"},
    {CURLE_URL_MALFORMAT, TransferError::BadUrl, "Ungültige Adresse"},
    {CURLE_COULDNT_RESOLVE_PROXY, TransferError::HostNotFound, "Proxy-Rechner nicht gefunden"},
    {CURLE_OPERATION_TIMEDOUT, TransferError::TimedOut, "Zeitüberschreitung beim Verbindungsaufbau"},
    {CURLE_PEER_FAILED_VERIFICATION, TransferError::TlsFailure, "TLS-Fehler: Zertifikat des Servers nicht vertrauenswürdig"},
    {CURLE_SSL_CONNECT_ERROR, TransferError::TlsFailure, "TLS-Fehler: sichere Verbindung gescheitert"},
    {CURLE_SSL_CERTPROBLEM, TransferError::TlsFailure, "TLS-Fehler: sichere Verbindung gescheitert"},
    {CURLE_SSL_CIPHER, TransferError::TlsFailure, "TLS-Fehler: sichere Verbindung gescheitert"},
    {CURLE_SSL_CACERT_BADFILE, TransferError::TlsFailure, "TLS-Fehler: Zertifikatsspeicher nicht lesbar"},
    {CURLE_SSL_ISSUER_ERROR, TransferError::TlsFailure, "TLS-Fehler: Aussteller des Zertifikats abgelehnt"},
    {CURLE_SSL_INVALIDCERTSTATUS, TransferError::TlsFailure, "TLS-Fehler: Zertifikatsstatus ungültig"},
    {CURLE_SSL_PINNEDPUBKEYNOTMATCH, TransferError::TlsFailure, "TLS-Fehler: öffentlicher Schlüssel passt nicht"},
    {CURLE_SSL_ENGINE_INITFAILED, TransferError::TlsFailure, "TLS-Fehler: sichere Verbindung gescheitert"},
    {CURLE_SSL_SHUTDOWN_FAILED, TransferError::TlsFailure, "TLS-Fehler: sichere Verbindung gescheitert"},
    {CURLE_USE_SSL_FAILED, TransferError::TlsFailure, "TLS-Fehler: sichere Verbindung gescheitert"},
    {CURLE_TOO_MANY_REDIRECTS, TransferError::TooManyRedirects, "Zu viele Weiterleitungen"},
    {CURLE_GOT_NOTHING, TransferError::BadResponse, "Server hat ohne Antwort die Verbindung geschlossen"},
    {CURLE_WEIRD_SERVER_REPLY, TransferError::BadResponse, "Fehlerhafte Antwort des Servers"},
    {CURLE_BAD_CONTENT_ENCODING, TransferError::BadResponse, "Fehlerhafte Antwort: unbekannte Kodierung"},
    {CURLE_OUT_OF_MEMORY, TransferError::NetworkFailure, "Nicht genug Arbeitsspeicher"},
    {CURLE_FAILED_INIT, TransferError::NetworkFailure, "Übertragung konnte nicht gestartet werden"},
    {CURLE_SEND_ERROR, TransferError::NetworkFailure, "Fehler beim Senden der Anforderung"},
    {CURLE_HTTP2, TransferError::BadResponse, "Fehlerhafte Antwort: HTTP/2-Protokollfehler"},
    {CURLE_HTTP2_STREAM, TransferError::BadResponse, "Fehlerhafte Antwort: HTTP/2-Protokollfehler"},
    {CURLE_FILESIZE_EXCEEDED, TransferError::BadResponse, "Fehlerhafte Antwort: Datei zu groß"},
};

QString incompleteText(const CurlFailure &f)
{
    if (f.announced >= 0)
        return QStringLiteral("Übertragung unvollständig: %1 von %2 Byte").arg(f.received).arg(f.announced);
    return QStringLiteral("Übertragung unvollständig: abgebrochen nach %1 Byte").arg(f.received);
}

FailureText receiveError(const CurlFailure &f)
{
    if (f.curlMessage.contains(u"chunk", Qt::CaseInsensitive))
        return {TransferError::BadResponse, QStringLiteral("Fehlerhafte Antwort: ungültige Chunked-Kodierung")};
    if (f.osErrno == ECONNRESET) {
        if (f.headComplete)
            return {TransferError::Incomplete,
                    QStringLiteral("Übertragung unvollständig: Verbindung nach %1 Byte zurückgesetzt").arg(f.received)};
        return {TransferError::NetworkFailure, QStringLiteral("Verbindung vom Server zurückgesetzt")};
    }
    if (f.osErrno != 0)
        return {TransferError::NetworkFailure, QStringLiteral("Fehler beim Empfangen: ") + systemErrorText(int(f.osErrno))};
    // libcurl refuses a head it cannot take (an overlong line, say) as a receive error
    // without any system error behind it.
    if (!f.headComplete)
        return {TransferError::BadResponse, QStringLiteral("Fehlerhafte Antwort: Kopfzeilen zu groß oder unlesbar")};
    return {TransferError::BadResponse, QStringLiteral("Fehler beim Empfangen: Antwort nicht lesbar")};
}
// A refused certificate. The chain's verdict is OpenSSL's (X509_V_ERR_*, numbers that
// are part of its interface); a chain it accepted (0, or libcurl's 1 for "not
// looked at") was refused for its name: libcurl checks the host only afterwards.
FailureText certificateRefused(const CurlFailure &f)
{
    constexpr long NotYetValid = 9, Expired = 10;
    switch (f.tlsVerifyResult) {
    case 0:
    case 1:
        return {TransferError::TlsFailure, QStringLiteral("TLS-Fehler: Zertifikat gilt nicht für ") + f.host};
    case NotYetValid:
        return {TransferError::TlsFailure, QStringLiteral("TLS-Fehler: Zertifikat des Servers noch nicht gültig")};
    case Expired:
        return {TransferError::TlsFailure, QStringLiteral("TLS-Fehler: Zertifikat des Servers abgelaufen")};
    default:
        return {TransferError::TlsFailure, QStringLiteral("TLS-Fehler: Zertifikat des Servers nicht vertrauenswürdig")};
    }
}
} // namespace

FailureText curlErrorText(const CurlFailure &f)
{
    switch (f.result) {
    case CURLE_OK:
        // Not a failure libcurl saw; the caller decided on one of its own.
        return {TransferError::NetworkFailure, QStringLiteral("Übertragung abgebrochen")};
    case CURLE_COULDNT_RESOLVE_HOST:
        return {TransferError::HostNotFound, QStringLiteral("Rechnername nicht gefunden: ") + f.host};
    case CURLE_COULDNT_CONNECT:
        if (f.osErrno == ECONNREFUSED)
            return {TransferError::ConnectionRefused, QStringLiteral("Verbindung abgelehnt")};
        return {TransferError::NetworkFailure,
                QStringLiteral("Keine Verbindung möglich") + (f.osErrno ? QStringLiteral(": ") + systemErrorText(int(f.osErrno)) : QString())};
    case CURLE_PARTIAL_FILE:
        return {TransferError::Incomplete, incompleteText(f)};
    case CURLE_PEER_FAILED_VERIFICATION:
        return certificateRefused(f);
    case CURLE_RECV_ERROR:
        return receiveError(f);
    case CURLE_OUT_OF_MEMORY:
        // libcurl says this too, without further word, of a head line longer than it
        // accepts; memory running out inside a head is the unlikely reading.
        if (!f.headComplete)
            return {TransferError::BadResponse, QStringLiteral("Fehlerhafte Antwort: Kopfzeilen zu groß")};
        break;
    case CURLE_UNSUPPORTED_PROTOCOL:
        if (f.redirectHop)
            return {TransferError::BadRedirect, QStringLiteral("Weiterleitung auf nicht erlaubte Adresse")};
        break;
    case CURLE_URL_MALFORMAT:
        if (f.redirectHop)
            return {TransferError::BadRedirect, QStringLiteral("Weiterleitung auf ungültige Adresse")};
        break;
    default:
        break;
    }
    for (const Row &row : Table) {
        if (row.result == f.result)
            return {row.code, QString::fromUtf8(row.text)};
    }
    return {TransferError::NetworkFailure, QStringLiteral("Übertragungsfehler (libcurl %1)").arg(int(f.result))};
}
