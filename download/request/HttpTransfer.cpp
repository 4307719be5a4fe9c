#include "download/request/HttpTransfer.h"

#include "download/request/CurlDriver.h"
#include "download/request/CurlErrorText.h"
#include "download/store/PartFile.h"
#include "download/request/RetryPolicy.h"
#include "download/request/TlsTrust.h"
#include "download/StateCode.h"
#include "download/TransferError.h"
#include "log/SafeText.h"
#include "log/SystemErrorText.h"

#include <QUrl>

#include <sys/socket.h>
#include <unistd.h>

HttpTransfer::HttpTransfer(CurlDriver *driver, Sink sink, QObject *parent)
    : QObject(parent)
    , m_driver(driver)
    , m_sink(std::move(sink))
{
    m_watchdog.setSingleShot(true);
    connect(&m_watchdog, &QTimer::timeout, this, &HttpTransfer::watchdogFired);
}

HttpTransfer::~HttpTransfer()
{
    m_destroying = true;
    releaseEasy();
}

void HttpTransfer::start(const QString &url, PartFile *body, const QString &bodyDir, int timeoutMs)
{
    stop();
    reset();
    m_body = body;
    m_bodyDir = bodyDir;
    m_timeoutMs = timeoutMs;
    m_url = url;
    QByteArray request;
    const RequestPolicy::Verdict verdict = m_policy.begin(url, &request);
    if (!verdict.ok) {
        fail(verdict.code, verdict.text);
        return;
    }
    // Refused before anything is asked: the body would otherwise arrive unchecked.
    const Checksum::Wanted wanted = Checksum::fromFragment(m_policy.fragment());
    if (!wanted.error.isEmpty())
        return fail(TransferError::BadUrl, wanted.error);
    m_sums = wanted.sums;
    m_kept.begin(m_body, bodyDir, url);
    startHop(request);
}

void HttpTransfer::stop()
{
    m_watchdog.stop();
    releaseEasy();
    m_hash.stop();
}

void HttpTransfer::reset()
{
    m_failed = false;
    m_code = 0;
    m_info.clear();
    m_httpStatus = 0;
    m_received = 0;
    m_announced = -1;
    m_refusal.reset();
    m_passing = false;
    m_retryAfterS = -1;
    m_startOver = false;
    m_kept.clear();
    m_name.clear();
    m_sums.clear();
    m_hash.stop();
}

void HttpTransfer::releaseEasy()
{
    if (!m_easy)
        return;
    const CurlEasy easy = std::move(m_easy);
    m_driver->remove(easy.get()); // closes the connection: 9/10
}

void HttpTransfer::startHop(const QByteArray &url)
{
    m_resolved = m_connecting = m_responding = m_inHead = m_headDone = m_redirect = m_bodyTaken = false;
    m_headBytes = m_redirectBody = 0;
    m_statusLine.clear();
    m_errorBuffer[0] = 0;
    queue(Resolving);
    CurlEasy easy(curl_easy_init());
    if (!easy || !configure(easy.get(), url) || !m_driver->add(easy.get())) {
        fail(TransferError::NetworkFailure, QStringLiteral("Übertragung konnte nicht gestartet werden"));
        return;
    }
    m_easy = std::move(easy);
    enterPhase(Phase::Connect);
}

bool HttpTransfer::configure(CURL *easy, const QByteArray &url)
{
    bool ok = curl_easy_setopt(easy, CURLOPT_URL, url.constData()) == CURLE_OK;
    const auto set = [&ok, easy](CURLoption option, auto value) {
        ok = ok && curl_easy_setopt(easy, option, value) == CURLE_OK;
    };
    set(CURLOPT_PRIVATE, this);
    set(CURLOPT_ERRORBUFFER, m_errorBuffer);
    set(CURLOPT_NOSIGNAL, 1L);
    set(CURLOPT_USERAGENT, "Quorvex/" QUORVEX_VERSION);
    set(CURLOPT_PROTOCOLS_STR, "http,https");
    if (CURLSH *share = m_driver->share())
        set(CURLOPT_SHARE, share);
    ok = ok && m_driver->trust().apply(easy);
    // Redirects are followed here, one checked hop at a time.
    set(CURLOPT_FOLLOWLOCATION, 0L);
    // Every request on its own connection, so every phase happens and is reported.
    set(CURLOPT_FRESH_CONNECT, 1L);
    set(CURLOPT_FORBID_REUSE, 1L);
    // The file gets the bytes the server sent, encoded or not.
    set(CURLOPT_HTTP_CONTENT_DECODING, 0L);
    // Big reads: a fast body then costs a few hundred system calls, not tens of thousands.
    set(CURLOPT_BUFFERSIZE, ReceiveBufferBytes);
    set(CURLOPT_OPENSOCKETFUNCTION, &HttpTransfer::openSocket);
    set(CURLOPT_OPENSOCKETDATA, this);
    set(CURLOPT_CLOSESOCKETFUNCTION, &HttpTransfer::closeSocket);
    set(CURLOPT_CLOSESOCKETDATA, this);
    // Called with the connection up and the request about to go out.
    set(CURLOPT_PREREQFUNCTION, &HttpTransfer::prereq);
    set(CURLOPT_PREREQDATA, this);
    set(CURLOPT_HEADERFUNCTION, &HttpTransfer::header);
    set(CURLOPT_HEADERDATA, this);
    set(CURLOPT_WRITEFUNCTION, &HttpTransfer::write);
    set(CURLOPT_WRITEDATA, this);
    return ok && m_kept.configure(easy);
}

curl_socket_t HttpTransfer::openSocket(void *clientp, curlsocktype, struct curl_sockaddr *address)
{
    auto *self = static_cast<HttpTransfer *>(clientp);
    if (!self->m_resolved) {
        self->m_resolved = true;
        self->queue(Resolved);
    }
    if (!self->m_connecting) {
        self->m_connecting = true;
        self->queue(Connecting);
    }
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

int HttpTransfer::closeSocket(void *clientp, curl_socket_t fd)
{
    auto *self = static_cast<HttpTransfer *>(clientp);
    self->queue(Closing);
    const int rc = ::close(fd);
    self->queue(Closed);
    return rc;
}

int HttpTransfer::prereq(void *clientp, char *, char *, int, int)
{
    // A request of a few hundred bytes on a connection just made goes out in the same
    // round. Knowing the moment exactly would take libcurl's debug output, which
    // formats text for every step of every request.
    auto *self = static_cast<HttpTransfer *>(clientp);
    self->queue(Connected);
    self->queue(Requesting);
    self->queue(RequestSent);
    self->enterPhase(Phase::AwaitingHead);
    return CURL_PREREQFUNC_OK;
}

void HttpTransfer::startOver()
{
    m_startOver = false;
    m_kept.forget();
    QByteArray request;
    const RequestPolicy::Verdict verdict = m_policy.begin(m_url, &request);
    if (!verdict.ok)
        return fail(verdict.code, verdict.text);
    startHop(request);
}

size_t HttpTransfer::write(char *data, size_t size, size_t count, void *userp)
{
    return static_cast<HttpTransfer *>(userp)->bodyData(data, size * count);
}

size_t HttpTransfer::bodyData(const char *data, size_t length)
{
    if (m_redirect) {
        m_redirectBody += qint64(length);
        if (m_redirectBody <= RedirectBodyLimit)
            return length;
        refuse(TransferError::BadResponse, QStringLiteral("Fehlerhafte Antwort: Weiterleitung mit übergroßem Inhalt"));
        return 0;
    }
    if (!m_bodyTaken || !m_body || !m_body->isOpen())
        return 0;
    if (const int error = m_body->append(data, qsizetype(length))) {
        refuse(TransferError::PartFileFailure, QStringLiteral("Datei im Download-Ordner nicht beschreibbar: ") + systemErrorText(error));
        return 0;
    }
    m_received += qint64(length);
    return length;
}

void HttpTransfer::enterPhase(Phase phase)
{
    m_phase = phase;
    m_windowStart = m_received;
    m_watchdog.start(m_timeoutMs);
}

void HttpTransfer::watchdogFired()
{
    if (!m_easy)
        return;
    const StallRule::Verdict verdict = StallRule::judge(m_phase, m_received - m_windowStart, m_headBytes, m_timeoutMs);
    if (verdict.goesOn) {
        enterPhase(Phase::Body);
        return;
    }
    releaseEasy();
    fail(verdict.code, verdict.text, verdict.passing);
    if (m_sink.ended)
        m_sink.ended();
}

void HttpTransfer::hopDone(CURL *easy, CURLcode result)
{
    if (!m_easy || easy != m_easy.get())
        return;
    m_watchdog.stop();
    finishHop(result);
    if (!m_easy && m_sink.ended)
        m_sink.ended();
}

void HttpTransfer::finishHop(CURLcode result)
{
    // What libcurl cannot say stays at a value that leads to a failure, never to a
    // published body: no status, no redirect target, no errno.
    const long status = curlInfo(m_easy.get(), CURLINFO_RESPONSE_CODE, 0L);
    const long osErrno = curlInfo(m_easy.get(), CURLINFO_OS_ERRNO, 0L);
    long tlsVerifyResult = 0;
    // Unknown stays "not trusted": never the milder word about a host name.
    if (curl_easy_getinfo(m_easy.get(), CURLINFO_SSL_VERIFYRESULT, &tlsVerifyResult) != CURLE_OK)
        tlsVerifyResult = -1;
    const char *target = curlInfo<char *>(m_easy.get(), CURLINFO_REDIRECT_URL, nullptr);
    const char *effective = curlInfo<char *>(m_easy.get(), CURLINFO_EFFECTIVE_URL, nullptr);
    const QByteArray next = target ? QByteArray(target) : QByteArray();
    // Only a failure names the host; libcurl's copy of the URL goes with the handle.
    const QByteArray failedUrl = result != CURLE_OK && effective ? QByteArray(effective) : QByteArray();
    releaseEasy();

    if (m_startOver)
        return startOver();
    if (m_refusal)
        return fail(m_refusal->code, m_refusal->info, m_refusal->passing);
    if (result != CURLE_OK) {
        const CurlFailure failure{result, osErrno, m_headDone, m_policy.hops() > 0, received(), m_announced,
                                  safeText(QUrl(QString::fromUtf8(failedUrl)).host()), QString::fromUtf8(m_errorBuffer),
                                  tlsVerifyResult};
        const FailureText text = curlErrorText(failure);
        return fail(text.code, text.text, RetryPolicy::failurePasses(result, text.code));
    }
    if (status > 0 && status < 200) {
        const RequestPolicy::Verdict verdict = RequestPolicy::checkHead(nullptr, status);
        return fail(verdict.code, verdict.text);
    }
    if (!m_headDone) {
        // libcurl takes a connection closed inside the head for the end of an empty
        // body; the empty line that ends every head never came.
        return fail(TransferError::Incomplete, QStringLiteral("Übertragung unvollständig: Verbindung in den Kopfzeilen beendet"), true);
    }
    if (m_redirect) {
        QByteArray request;
        const RequestPolicy::Verdict verdict = m_policy.follow(next, int(status), &request);
        if (!verdict.ok)
            return fail(verdict.code, verdict.text);
        return startHop(request);
    }
    if (const int error = m_body->finishWriting(m_announced < 0 || received() == m_announced))
        return fail(TransferError::PartFileFailure, QStringLiteral("Datei im Download-Ordner nicht beschreibbar: ") + systemErrorText(error));
    if (m_announced >= 0 && received() != m_announced)
        return fail(TransferError::Incomplete, curlErrorText({CURLE_PARTIAL_FILE, 0, true, false, received(), m_announced, {}, {}}).text, true);
    // The hash goes on while the run reads the body back, and is waited for after.
    m_hash.complete(received());
    queue(ResponseCompleted);
}

void HttpTransfer::refuse(qint32 code, const QString &info, bool passing)
{
    if (!m_refusal)
        m_refusal = Refusal{code, info, passing};
}

void HttpTransfer::fail(qint32 code, const QString &info, bool passing)
{
    m_hash.stop();
    m_failed = true;
    m_code = code;
    m_info = info;
    m_passing = passing;
    // What arrived stays for the next request of this URL when it can be continued.
    if (m_body)
        m_body->close();
    queue(CommunicationError);
    queue(ResponseCompleted);
}

void HttpTransfer::queue(qint16 state)
{
    if (!m_destroying && m_sink.state)
        m_sink.state(state);
}
