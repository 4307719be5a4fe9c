#include "download/Inet.h"

#include "download/PartFile.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

#include <curl/curl.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr qsizetype MemoryLimit = 1024 * 1024;   // body bytes kept in memory before spooling
constexpr qsizetype SpoolReadBlock = 256 * 1024; // one read from the spool file
constexpr long MaxRedirects = 20;
constexpr int ProgressInterval = 250;            // ms between two Progress signals
constexpr char SpoolPrefix[] = ".quorvex-spool-";

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool writeAll(int fd, const char *data, qsizetype size, int *error)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            *error = errno;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

QString secondsText(int milliseconds)
{
    if (milliseconds % 1000 == 0)
        return QString::number(milliseconds / 1000);
    return QString::number(milliseconds / 1000.0, 'f', milliseconds % 100 == 0 ? 1 : 3).replace(u'.', u',');
}
} // namespace

class Inet::Private
{
public:
    struct Report
    {
        qint16 state;
        qint32 code;
        QString info;
    };
    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    explicit Private(Inet *owner);
    ~Private();

    // Called by curl.
    static int socketCallback(CURL *, curl_socket_t fd, int what, void *userp, void *);
    static int timerCallback(CURLM *, long timeoutMs, void *userp);
    static curl_socket_t openSocket(void *clientp, curlsocktype, struct curl_sockaddr *address);
    static int closeSocket(void *clientp, curl_socket_t fd);
    static int prereq(void *clientp, char *, char *, int, int);
    static int debug(CURL *, curl_infotype type, char *, size_t, void *clientp);
    static size_t header(char *data, size_t size, size_t count, void *userp);
    static size_t body(char *data, size_t size, size_t count, void *userp);

    void start(const QString &url);
    // Ends the current transfer without reporting anything for it but the closing of
    // its connection; drops its body, pending states and a queued 8.
    void stop();
    void socketReady(int fd, int flags);
    void timerFired();
    void watchdogFired();
    void afterCurl();
    void finish(CURLcode result);
    void fail(qint32 code, const QString &info);
    void queue(qint16 state);
    void flush();
    void touch() { m_lastActivity.start(); }
    void dropWatch(int fd);
    bool appendBody(const char *data, qsizetype size);
    bool openSpool();
    void closeSpool();
    QByteArray readChunk(qsizetype size);
    void reportProgress();

    Inet *q;
    CURLM *m_multi = nullptr;
    CURL *m_easy = nullptr;
    char m_errorBuffer[CURL_ERROR_SIZE] = {};
    std::map<int, Watch> m_watches;
    QTimer m_curlTimer;
    QTimer m_watchdog;
    QElapsedTimer m_lastActivity;
    int m_timeoutMs = 45000;
    QString m_spoolDir;
    bool m_destroying = false;

    // The current request.
    enum class Phase { Idle, Running, Done, Failed };
    Phase m_phase = Phase::Idle;
    quint64 m_generation = 0;
    QString m_host;
    qint32 m_code = 0;
    QString m_info;
    std::optional<std::pair<qint32, QString>> m_ownFailure; // decided by us inside a callback
    int m_httpStatus = 0;
    bool m_chunkHanded = false;

    // Where the current hop is: each redirect hop reports 1..7 again.
    bool m_hopResolved = false;
    bool m_hopConnecting = false;
    bool m_hopSent = false;
    bool m_hopResponding = false;
    bool m_inHeaders = false;
    bool m_hopEnded = false;
    int m_status = 0;
    QString m_reason;
    QByteArray m_location;
    qint64 m_contentLength = -1;
    bool m_chunked = false;

    // The body: the first MemoryLimit bytes in memory, then blocks in the spool file.
    QByteArray m_memory;
    qint64 m_received = 0;
    int m_spoolFd = -1;
    qsizetype m_memoryPos = 0;
    QByteArray m_readBuffer;
    qsizetype m_readPos = 0;
    bool m_spoolEnd = false;
    QElapsedTimer m_progressClock;
    QTimer m_progressLate; // a report held back by the interval is not lost in a stall
    qint64 m_progressShown = -1;
    bool m_progressDone = false;

    std::deque<Report> m_pending;
    std::optional<Report> m_shown; // what ResponseCode/Info say while a state is emitted
};

Inet::Private::Private(Inet *owner)
    : q(owner)
{
    initCurlOnce();
    m_multi = curl_multi_init();
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETFUNCTION, &Private::socketCallback);
    curl_multi_setopt(m_multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERFUNCTION, &Private::timerCallback);
    curl_multi_setopt(m_multi, CURLMOPT_TIMERDATA, this);
    m_curlTimer.setSingleShot(true);
    m_curlTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_curlTimer, &QTimer::timeout, q, [this] { timerFired(); });
    m_watchdog.setSingleShot(true);
    QObject::connect(&m_watchdog, &QTimer::timeout, q, [this] { watchdogFired(); });
    m_progressLate.setSingleShot(true);
    QObject::connect(&m_progressLate, &QTimer::timeout, q, [this] { reportProgress(); });
}

Inet::Private::~Private()
{
    m_destroying = true;
    m_pending.clear();
    if (m_easy) {
        curl_multi_remove_handle(m_multi, m_easy);
        curl_easy_cleanup(m_easy);
        m_easy = nullptr;
    }
    curl_multi_cleanup(m_multi);
    for (auto &[fd, watch] : m_watches) {
        delete watch.read;
        delete watch.write;
    }
    m_watches.clear();
    closeSpool();
}

int Inet::Private::socketCallback(CURL *, curl_socket_t fd, int what, void *userp, void *)
{
    auto *self = static_cast<Private *>(userp);
    if (what == CURL_POLL_REMOVE || self->m_destroying) {
        self->dropWatch(fd);
        return 0;
    }
    Watch &watch = self->m_watches[fd];
    const bool wantRead = what == CURL_POLL_IN || what == CURL_POLL_INOUT;
    const bool wantWrite = what == CURL_POLL_OUT || what == CURL_POLL_INOUT;
    if (wantRead && !watch.read) {
        watch.read = new QSocketNotifier(fd, QSocketNotifier::Read);
        QObject::connect(watch.read, &QSocketNotifier::activated, self->q,
                         [self, fd] { self->socketReady(fd, CURL_CSELECT_IN); });
    }
    if (wantWrite && !watch.write) {
        watch.write = new QSocketNotifier(fd, QSocketNotifier::Write);
        QObject::connect(watch.write, &QSocketNotifier::activated, self->q,
                         [self, fd] { self->socketReady(fd, CURL_CSELECT_OUT); });
    }
    if (watch.read)
        watch.read->setEnabled(wantRead);
    if (watch.write)
        watch.write->setEnabled(wantWrite);
    return 0;
}

void Inet::Private::dropWatch(int fd)
{
    const auto it = m_watches.find(fd);
    if (it == m_watches.end())
        return;
    // The notifier may be the one whose signal is being delivered right now.
    for (QSocketNotifier *notifier : {it->second.read, it->second.write}) {
        if (notifier) {
            notifier->setEnabled(false);
            notifier->deleteLater();
        }
    }
    m_watches.erase(it);
}

int Inet::Private::timerCallback(CURLM *, long timeoutMs, void *userp)
{
    auto *self = static_cast<Private *>(userp);
    if (timeoutMs < 0)
        self->m_curlTimer.stop();
    else if (!self->m_destroying)
        self->m_curlTimer.start(int(std::min<long>(timeoutMs, 24L * 3600 * 1000)));
    return 0;
}

curl_socket_t Inet::Private::openSocket(void *clientp, curlsocktype, struct curl_sockaddr *address)
{
    auto *self = static_cast<Private *>(clientp);
    self->touch();
    if (self->m_hopEnded) {
        // A redirect hop: its own lookup, connection and request.
        self->m_hopEnded = self->m_hopResolved = self->m_hopConnecting = false;
        self->m_hopSent = self->m_hopResponding = false;
        self->queue(1);
    }
    if (!self->m_hopResolved) {
        self->m_hopResolved = true;
        self->queue(2);
    }
    if (!self->m_hopConnecting) {
        self->m_hopConnecting = true;
        self->queue(3);
    }
    return ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
}

int Inet::Private::closeSocket(void *clientp, curl_socket_t fd)
{
    auto *self = static_cast<Private *>(clientp);
    self->dropWatch(fd);
    if (!self->m_destroying)
        self->queue(9);
    const int rc = ::close(fd);
    if (!self->m_destroying)
        self->queue(10);
    return rc;
}

int Inet::Private::prereq(void *clientp, char *, char *, int, int)
{
    auto *self = static_cast<Private *>(clientp);
    self->touch();
    self->queue(4);
    self->queue(5);
    return CURL_PREREQFUNC_OK;
}

int Inet::Private::debug(CURL *, curl_infotype type, char *, size_t, void *clientp)
{
    auto *self = static_cast<Private *>(clientp);
    switch (type) {
    case CURLINFO_HEADER_OUT:
        self->touch();
        if (!self->m_hopSent) {
            self->m_hopSent = true;
            self->queue(6);
        }
        break;
    case CURLINFO_SSL_DATA_IN:
    case CURLINFO_SSL_DATA_OUT:
    case CURLINFO_HEADER_IN:
    case CURLINFO_DATA_IN:
        self->touch();
        break;
    default:
        break;
    }
    return 0;
}

size_t Inet::Private::header(char *data, size_t size, size_t count, void *userp)
{
    auto *self = static_cast<Private *>(userp);
    const size_t length = size * count;
    self->touch();
    const QByteArray line = QByteArray(data, qsizetype(length)).trimmed();

    if (!self->m_inHeaders) {
        if (!line.startsWith("HTTP/"))
            return length; // trailer fields after a chunked body
        self->m_inHeaders = true;
        if (!self->m_hopResponding) {
            self->m_hopResponding = true;
            self->queue(7);
        }
        const QList<QByteArray> parts = line.split(' ');
        self->m_status = parts.size() > 1 ? parts.at(1).toInt() : 0;
        self->m_reason = parts.size() > 2 ? QString::fromLatin1(line.mid(parts.at(0).size() + parts.at(1).size() + 2))
                                          : QString();
        self->m_location.clear();
        self->m_contentLength = -1;
        self->m_chunked = false;
        return length;
    }

    if (!line.isEmpty()) {
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            return length;
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "location" && !value.isEmpty()) {
            self->m_location = value;
        } else if (name == "transfer-encoding") {
            self->m_chunked = value.toLower().contains("chunked");
        } else if (name == "content-length") {
            bool ok = false;
            const qint64 n = value.toLongLong(&ok);
            // Two differing lengths leave the body's end open to guessing.
            if (ok && self->m_contentLength >= 0 && n != self->m_contentLength) {
                self->m_ownFailure = {BadResponse, QStringLiteral("Fehlerhafte Antwort: widersprüchliche Content-Length-Angaben")};
                return 0;
            }
            if (ok)
                self->m_contentLength = n;
        }
        return length;
    }

    // The end of a response head.
    self->m_inHeaders = false;
    const int status = self->m_status;
    if (status >= 100 && status < 200)
        return length; // an interim response; the real one follows on this hop
    if (status >= 300 && status < 400) {
        if (self->m_location.isEmpty()) {
            self->m_ownFailure = {BadResponse, QStringLiteral("Weiterleitung ohne Ziel (Status %1)").arg(status)};
            return 0;
        }
        // Checked here, before libcurl follows: it would take https to http.
        char *current = nullptr;
        curl_easy_getinfo(self->m_easy, CURLINFO_EFFECTIVE_URL, &current);
        const QUrl base(QString::fromUtf8(current ? current : ""));
        const QUrl target = base.resolved(QUrl::fromEncoded(self->m_location));
        const QString to = target.scheme().toLower();
        const QString targetText = target.toString();
        if (to != u"http" && to != u"https") {
            self->m_ownFailure = {BadRedirect, QStringLiteral("Weiterleitung auf nicht erlaubte Adresse: ") + targetText};
            return 0;
        }
        if (base.scheme().toLower() == u"https" && to == u"http") {
            self->m_ownFailure = {BadRedirect, QStringLiteral("Weiterleitung von https auf http abgelehnt: ") + targetText};
            return 0;
        }
        self->m_hopEnded = true;
        return length;
    }
    if (status >= 400) {
        // An error page is not the file; stop here instead of fetching it.
        self->m_httpStatus = status;
        QString text = QStringLiteral("Server meldet Status %1").arg(status);
        if (!self->m_reason.isEmpty())
            text += QStringLiteral(" (") + self->m_reason + u')';
        self->m_ownFailure = {status, text};
        return 0;
    }
    return length;
}

size_t Inet::Private::body(char *data, size_t size, size_t count, void *userp)
{
    auto *self = static_cast<Private *>(userp);
    const size_t length = size * count;
    self->touch();
    if (length == 0)
        return 0;
    return self->appendBody(data, qsizetype(length)) ? length : 0;
}

bool Inet::Private::appendBody(const char *data, qsizetype size)
{
    m_received += size;
    if (m_memory.size() + size <= MemoryLimit) {
        m_memory.append(data, size);
        return true;
    }
    // Past the limit the memory buffer becomes the spool's write buffer: written out
    // in one block each time it fills up.
    int error = 0;
    bool ok = m_spoolFd >= 0 || openSpool();
    if (!ok)
        error = errno;
    ok = ok && writeAll(m_spoolFd, m_memory.constData(), m_memory.size(), &error);
    if (ok)
        m_memory.resize(0);
    if (ok && size >= MemoryLimit)
        ok = writeAll(m_spoolFd, data, size, &error);
    else if (ok)
        m_memory.append(data, size);
    if (!ok)
        m_ownFailure = {SpoolFailure, QStringLiteral("Zwischenspeicher im Download-Ordner nicht beschreibbar: ")
                                          + SystemErrorText(error)};
    return ok;
}

bool Inet::Private::openSpool()
{
    const QString dir = m_spoolDir.isEmpty() ? QDir::tempPath() : m_spoolDir;
    const QByteArray path = QFile::encodeName(dir);
    // An unnamed file vanishes with the process, however it ends.
    m_spoolFd = ::open(path.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (m_spoolFd >= 0)
        return true;
    QByteArray pattern = path + '/' + SpoolPrefix + "XXXXXX";
    m_spoolFd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (m_spoolFd < 0)
        return false;
    ::unlink(pattern.constData());
    return true;
}

void Inet::Private::closeSpool()
{
    if (m_spoolFd >= 0)
        ::close(m_spoolFd);
    m_spoolFd = -1;
}

QByteArray Inet::Private::readChunk(qsizetype size)
{
    if (m_spoolFd < 0) {
        const QByteArray piece = m_memory.mid(m_memoryPos, size);
        m_memoryPos += piece.size();
        return piece;
    }
    if (m_readPos >= m_readBuffer.size() && !m_spoolEnd) {
        m_readBuffer.resize(SpoolReadBlock);
        m_readPos = 0;
        ssize_t n;
        do
            n = ::read(m_spoolFd, m_readBuffer.data(), size_t(SpoolReadBlock));
        while (n < 0 && errno == EINTR);
        if (n < 0) {
            const int error = errno;
            m_readBuffer.clear();
            throw TransferError(SpoolFailure, QStringLiteral("Zwischenspeicher nicht lesbar: ") + SystemErrorText(error));
        }
        m_readBuffer.resize(n);
        m_spoolEnd = n == 0;
    }
    const QByteArray piece = m_readBuffer.mid(m_readPos, size);
    m_readPos += piece.size();
    return piece;
}

void Inet::Private::queue(qint16 state)
{
    if (!m_destroying)
        m_pending.push_back({state, m_code, m_info});
}

void Inet::Private::flush()
{
    // A slot may start, cancel or delete the component while a state is emitted; each
    // of those empties the queue, so taking one report at a time stays consistent.
    QPointer<Inet> guard(q);
    while (guard && !m_pending.empty()) {
        const Report report = m_pending.front();
        m_pending.pop_front();
        const std::optional<Report> outer = m_shown;
        m_shown = report;
        Q_EMIT q->StateChanged(report.state);
        if (!guard)
            return;
        m_shown = outer;
    }
}

void Inet::Private::stop()
{
    ++m_generation;
    m_pending.clear();
    m_watchdog.stop();
    if (m_easy) {
        CURL *easy = m_easy;
        curl_multi_remove_handle(m_multi, easy); // closes the connection: 9/10
        curl_easy_cleanup(easy);
        m_easy = nullptr;
    }
    closeSpool();
    m_memory = QByteArray();
    m_readBuffer = QByteArray();
    m_memoryPos = m_readPos = 0;
    m_spoolEnd = false;
    m_received = 0;
    m_progressClock.invalidate();
    m_progressLate.stop();
    m_progressShown = -1;
    m_progressDone = false;
    m_phase = Phase::Idle;
    m_ownFailure.reset();
    m_httpStatus = 0;
    m_chunkHanded = false;
}

void Inet::Private::fail(qint32 code, const QString &info)
{
    m_code = code;
    m_info = info;
    m_phase = Phase::Failed;
    queue(11);
    queue(12);
}

void Inet::Private::start(const QString &text)
{
    stop();
    m_code = 0;
    m_info.clear();
    m_hopResolved = m_hopConnecting = m_hopSent = m_hopResponding = m_inHeaders = m_hopEnded = false;
    m_status = 0;
    m_phase = Phase::Running;

    // Tolerant: a link as a browser shows it (spaces, umlauts) is encoded here.
    const QUrl url(text.trimmed(), QUrl::TolerantMode);
    const QString scheme = url.scheme().toLower();
    if (text.trimmed().isEmpty() || !url.isValid() || scheme.isEmpty() || url.host().isEmpty()) {
        fail(BadUrl, QStringLiteral("Ungültige Adresse: ") + text);
        return;
    }
    if (scheme != u"http" && scheme != u"https") {
        fail(BadUrl, QStringLiteral("Nur http- und https-Adressen können geladen werden: ") + text);
        return;
    }
    m_host = url.host();

    m_easy = curl_easy_init();
    if (!m_easy) {
        fail(NetworkFailure, QStringLiteral("Übertragung konnte nicht gestartet werden"));
        return;
    }
    m_errorBuffer[0] = 0;
    const QByteArray encoded = url.toEncoded();
    curl_easy_setopt(m_easy, CURLOPT_URL, encoded.constData());
    curl_easy_setopt(m_easy, CURLOPT_PRIVATE, this);
    curl_easy_setopt(m_easy, CURLOPT_ERRORBUFFER, m_errorBuffer);
    curl_easy_setopt(m_easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(m_easy, CURLOPT_USERAGENT, "Quorvex/1.0");
    curl_easy_setopt(m_easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(m_easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(m_easy, CURLOPT_MAXREDIRS, MaxRedirects);
    curl_easy_setopt(m_easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    // Every request on its own connection, so every phase happens and is reported.
    curl_easy_setopt(m_easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(m_easy, CURLOPT_FORBID_REUSE, 1L);
    // The file gets the bytes the server sent, encoded or not.
    curl_easy_setopt(m_easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(m_easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(m_easy, CURLOPT_OPENSOCKETFUNCTION, &Private::openSocket);
    curl_easy_setopt(m_easy, CURLOPT_OPENSOCKETDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_CLOSESOCKETFUNCTION, &Private::closeSocket);
    curl_easy_setopt(m_easy, CURLOPT_CLOSESOCKETDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_PREREQFUNCTION, &Private::prereq);
    curl_easy_setopt(m_easy, CURLOPT_PREREQDATA, this);
    // The debug hook is the only word on when the request went out; it prints nothing.
    curl_easy_setopt(m_easy, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(m_easy, CURLOPT_DEBUGFUNCTION, &Private::debug);
    curl_easy_setopt(m_easy, CURLOPT_DEBUGDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_HEADERFUNCTION, &Private::header);
    curl_easy_setopt(m_easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(m_easy, CURLOPT_WRITEFUNCTION, &Private::body);
    curl_easy_setopt(m_easy, CURLOPT_WRITEDATA, this);

    queue(1);
    touch();
    m_watchdog.start(m_timeoutMs);
    if (curl_multi_add_handle(m_multi, m_easy) != CURLM_OK) {
        curl_easy_cleanup(m_easy);
        m_easy = nullptr;
        m_watchdog.stop();
        fail(NetworkFailure, QStringLiteral("Übertragung konnte nicht gestartet werden"));
    }
}

void Inet::Private::socketReady(int fd, int flags)
{
    touch();
    int running = 0;
    curl_multi_socket_action(m_multi, fd, flags, &running);
    afterCurl();
}

void Inet::Private::timerFired()
{
    int running = 0;
    curl_multi_socket_action(m_multi, CURL_SOCKET_TIMEOUT, 0, &running);
    afterCurl();
}

void Inet::Private::watchdogFired()
{
    if (m_phase != Phase::Running || !m_easy)
        return;
    const qint64 idle = m_lastActivity.elapsed();
    if (idle < m_timeoutMs) {
        m_watchdog.start(int(m_timeoutMs - idle));
        return;
    }
    CURL *easy = m_easy;
    m_easy = nullptr;
    curl_multi_remove_handle(m_multi, easy);
    curl_easy_cleanup(easy);
    fail(TimedOut, QStringLiteral("Zeitüberschreitung: %1 s ohne Antwort").arg(secondsText(m_timeoutMs)));
    flush();
}

void Inet::Private::afterCurl()
{
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(m_multi, &left)) {
        if (message->msg == CURLMSG_DONE && message->easy_handle == m_easy)
            finish(message->data.result);
    }
    QPointer<Inet> guard(q);
    reportProgress();
    if (guard)
        flush();
}

void Inet::Private::reportProgress()
{
    // Here, outside libcurl's callbacks, a slot may cancel or restart the request.
    const bool done = m_phase == Phase::Done;
    if (m_progressDone || (m_received == 0 && !done))
        return;
    if (!done && (m_phase != Phase::Running || m_received == m_progressShown))
        return;
    const qint64 since = m_progressClock.isValid() ? m_progressClock.elapsed() : ProgressInterval;
    if (!done && since < ProgressInterval) {
        if (!m_progressLate.isActive())
            m_progressLate.start(int(ProgressInterval - since));
        return;
    }
    m_progressLate.stop();
    m_progressClock.start();
    m_progressShown = m_received;
    m_progressDone = done;
    const qint64 total = m_chunked || m_status < 200 || m_status >= 300 ? -1 : m_contentLength;
    Q_EMIT q->Progress(m_received, total);
}

void Inet::Private::finish(CURLcode result)
{
    long status = 0;
    curl_off_t length = -1;
    curl_easy_getinfo(m_easy, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(m_easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    long osError = 0;
    curl_easy_getinfo(m_easy, CURLINFO_OS_ERRNO, &osError);
    // After a redirect the host that failed is the new one.
    char *effective = nullptr;
    curl_easy_getinfo(m_easy, CURLINFO_EFFECTIVE_URL, &effective);
    const QString effectiveHost = effective ? QUrl(QString::fromUtf8(effective)).host() : QString();
    CURL *easy = m_easy;
    m_easy = nullptr;
    curl_multi_remove_handle(m_multi, easy);
    curl_easy_cleanup(easy);
    m_watchdog.stop();

    if (m_ownFailure) {
        fail(m_ownFailure->first, m_ownFailure->second);
        return;
    }
    if (result == CURLE_OK && m_inHeaders) {
        // libcurl takes a connection closed inside the head for the end of an empty
        // body; the empty line that ends every head never came.
        fail(Incomplete, QStringLiteral("Übertragung unvollständig: Verbindung in den Kopfzeilen beendet"));
        return;
    }
    if (result != CURLE_OK) {
        qint32 code = NetworkFailure;
        QString text;
        switch (result) {
        case CURLE_URL_MALFORMAT:
            code = m_status >= 300 && m_status < 400 ? BadRedirect : BadUrl;
            text = code == BadRedirect ? QStringLiteral("Weiterleitung auf ungültige Adresse")
                                       : QStringLiteral("Ungültige Adresse");
            break;
        case CURLE_UNSUPPORTED_PROTOCOL:
            // The scheme was checked before; here it is a redirect's, or an answer
            // that is no HTTP at all.
            code = m_status >= 300 && m_status < 400 ? BadRedirect : BadResponse;
            text = code == BadRedirect ? QStringLiteral("Weiterleitung auf nicht erlaubte Adresse")
                                       : QStringLiteral("Fehlerhafte Antwort: kein HTTP");
            break;
        case CURLE_COULDNT_RESOLVE_HOST:
            code = HostNotFound;
            text = QStringLiteral("Rechnername nicht gefunden: ") + (effectiveHost.isEmpty() ? m_host : effectiveHost);
            break;
        case CURLE_COULDNT_RESOLVE_PROXY:
            code = HostNotFound;
            text = QStringLiteral("Proxy-Rechner nicht gefunden");
            break;
        case CURLE_COULDNT_CONNECT:
            if (osError == ECONNREFUSED) {
                code = ConnectionRefused;
                text = QStringLiteral("Verbindung abgelehnt");
            } else {
                text = QStringLiteral("Keine Verbindung möglich: ") + SystemErrorText(int(osError));
            }
            break;
        case CURLE_OPERATION_TIMEDOUT:
            code = TimedOut;
            text = QStringLiteral("Zeitüberschreitung beim Verbindungsaufbau");
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
            code = TlsFailure;
            text = QStringLiteral("TLS-Fehler: Zertifikat des Servers nicht vertrauenswürdig");
            break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_USE_SSL_FAILED:
            code = TlsFailure;
            text = QStringLiteral("TLS-Fehler: sichere Verbindung gescheitert");
            break;
        case CURLE_PARTIAL_FILE:
            code = Incomplete;
            text = length >= 0 ? QStringLiteral("Übertragung unvollständig: %1 von %2 Byte").arg(m_received).arg(length)
                               : QStringLiteral("Übertragung unvollständig: abgebrochen nach %1 Byte").arg(m_received);
            break;
        case CURLE_TOO_MANY_REDIRECTS:
            code = TooManyRedirects;
            text = QStringLiteral("Zu viele Weiterleitungen (mehr als %1)").arg(MaxRedirects);
            break;
        case CURLE_GOT_NOTHING:
            code = BadResponse;
            text = QStringLiteral("Server hat ohne Antwort die Verbindung geschlossen");
            break;
        case CURLE_WEIRD_SERVER_REPLY:
            code = BadResponse;
            text = QStringLiteral("Fehlerhafte Antwort des Servers");
            break;
        case CURLE_RECV_ERROR:
            if (m_chunked && QByteArray(m_errorBuffer).contains("chunk")) {
                code = BadResponse;
                text = QStringLiteral("Fehlerhafte Antwort: ungültige Chunked-Kodierung");
            } else if (osError == ECONNRESET) {
                code = m_status ? Incomplete : NetworkFailure;
                text = m_status ? QStringLiteral("Übertragung unvollständig: Verbindung nach %1 Byte zurückgesetzt").arg(m_received)
                                : QStringLiteral("Verbindung vom Server zurückgesetzt");
            } else {
                text = QStringLiteral("Fehler beim Empfangen: ") + SystemErrorText(int(osError));
            }
            break;
        case CURLE_OUT_OF_MEMORY:
            // libcurl says this too, without further word, of a head larger than it
            // accepts; memory running out inside a head is the unlikely reading.
            if (m_inHeaders) {
                code = BadResponse;
                text = QStringLiteral("Fehlerhafte Antwort: Kopfzeilen zu groß");
            } else {
                text = QStringLiteral("Nicht genug Arbeitsspeicher");
            }
            break;
        default:
            text = QStringLiteral("Übertragungsfehler (libcurl %1)").arg(int(result));
            break;
        }
        fail(code, text);
        return;
    }
    if (status >= 300 && status < 400) {
        fail(BadResponse, QStringLiteral("Weiterleitung ohne Ziel (Status %1)").arg(status));
        return;
    }
    if (m_spoolFd >= 0) {
        int error = 0;
        if (!writeAll(m_spoolFd, m_memory.constData(), m_memory.size(), &error) || ::lseek(m_spoolFd, 0, SEEK_SET) < 0) {
            fail(SpoolFailure, QStringLiteral("Zwischenspeicher im Download-Ordner nicht beschreibbar: ")
                                   + SystemErrorText(error ? error : errno));
            return;
        }
        m_memory = QByteArray();
    }
    m_phase = Phase::Done;
    queue(12);
}

Inet::Inet(QObject *parent)
    : QObject(parent)
    , d(std::make_unique<Private>(this))
{
}

Inet::~Inet() = default;

void Inet::setRequestTimeout(int seconds)
{
    d->m_timeoutMs = std::max(1, seconds) * 1000;
}

int Inet::RequestTimeout() const
{
    return (d->m_timeoutMs + 999) / 1000;
}

void Inet::setRequestTimeoutMs(int milliseconds)
{
    d->m_timeoutMs = std::max(1, milliseconds);
}

void Inet::setSpoolDir(const QString &dir)
{
    d->m_spoolDir = dir;
}

void Inet::Execute(const QString &url)
{
    d->start(url);
    d->flush();
}

QByteArray Inet::GetChunk(int size)
{
    switch (d->m_phase) {
    case Private::Phase::Idle:
        return {};
    case Private::Phase::Running:
        throw TransferError(NetworkFailure, QStringLiteral("Die Anforderung ist noch nicht beendet"));
    case Private::Phase::Failed:
        throw TransferError(d->m_code, d->m_info, d->m_httpStatus);
    case Private::Phase::Done:
        break;
    }
    if (size <= 0)
        return {};
    const QByteArray piece = d->readChunk(size);
    if (!piece.isEmpty() && !d->m_chunkHanded) {
        d->m_chunkHanded = true;
        const quint64 generation = d->m_generation;
        QMetaObject::invokeMethod(
            this,
            [this, generation] {
                if (generation != d->m_generation)
                    return; // the body it belonged to is gone
                d->queue(8);
                d->flush();
            },
            Qt::QueuedConnection);
    }
    return piece;
}

void Inet::Cancel()
{
    d->m_code = 0;
    d->m_info.clear();
    d->stop();
    d->flush();
}

qint32 Inet::ResponseCode() const
{
    return d->m_shown ? d->m_shown->code : d->m_code;
}

QString Inet::ResponseInfo() const
{
    return d->m_shown ? d->m_shown->info : d->m_info;
}

void Inet::RemoveSpoolLeftovers(const QString &dir)
{
    const QDir folder(dir);
    const QStringList names = folder.entryList({QLatin1String(SpoolPrefix) + u'*'},
                                               QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    for (const QString &name : names)
        QFile::remove(folder.filePath(name));
}
