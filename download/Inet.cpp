#include "download/Inet.h"

#include "base/FileIo.h"
#include "base/SleepWhile.h"
#include "download/request/CurlDriver.h"
#include "download/request/HttpTransfer.h"
#include "download/request/RetryPolicy.h"
#include "download/store/ArrivalRecord.h"
#include "download/store/GroupCommit.h"
#include "download/store/LocalPath.h"
#include "download/store/PartFile.h"
#include "download/StateCode.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>

namespace {
// Progress is for eyes: four times a second is smooth enough and costs nothing.
constexpr qint64 ProgressIntervalMs = 250;
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

    explicit Private(Inet *owner);
    ~Private();

    void queue(qint16 state);
    void flush();
    void reportProgress(bool final);
    void stop();
    // Throws TransferError when the body does not match the sums its link names; it is
    // dropped then, never published nor continued.
    void checkSums();
    QString partDir() const { return m_partDir.isEmpty() ? QDir::tempPath() : m_partDir; }

    Inet *q;
    // Declared first, destroyed last: the transfer's handle leaves the driver first.
    CurlDriver m_driver;
    PartFile m_body;
    HttpTransfer m_transfer;
    int m_timeoutMs = DefaultRequestTimeoutS * 1000;
    QString m_partDir;
    quint64 m_generation = 0;
    bool m_chunkHanded = false;
    bool m_complete = false;
    bool m_named = false;

    std::deque<Report> m_pending;
    std::optional<Report> m_shown; // what ResponseCode/Info say while a state is emitted
    QElapsedTimer m_sinceProgress;
    // Brings a report held back by the interval once it has passed: a server that stalls
    // right after must not leave the display on an old figure.
    QTimer m_progressLate;
    qint64 m_progressShown = -1;
    // Declared last, destroyed first: its threads end before what they report to.
    GroupCommit m_commit;
};

Inet::Private::Private(Inet *owner)
    : q(owner)
    , m_transfer(&m_driver, {[this](qint16 state) { queue(state); }, [this] { flush(); }})
    , m_commit([owner] { QMetaObject::invokeMethod(owner, &Inet::commitsReported, Qt::QueuedConnection); })
{
    m_driver.setDoneHandler([](CURL *easy, CURLcode result) {
        void *owner = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_PRIVATE, &owner) == CURLE_OK && owner)
            static_cast<HttpTransfer *>(owner)->hopDone(easy, result);
    });
    m_driver.setAfterAction([this] {
        if (!m_named && m_transfer.bodyTaken()) {
            m_named = true;
            Q_EMIT q->bodyStarted();
        }
        reportProgress(false);
        flush();
    });
    m_progressLate.setSingleShot(true);
    QObject::connect(&m_progressLate, &QTimer::timeout, q, [this] { reportProgress(false); });
}

Inet::Private::~Private()
{
    m_pending.clear();
}

void Inet::Private::queue(qint16 state)
{
    if (state == ResponseCompleted && !m_transfer.failed()) {
        m_complete = true;
        // Set on the file itself, so that it goes wherever and whenever it is published.
        m_body.setOrigin(m_transfer.source());
    }
    m_pending.push_back({state, m_transfer.code(), m_transfer.info()});
}

void Inet::Private::flush()
{
    if (m_complete)
        reportProgress(true);
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

void Inet::Private::reportProgress(bool final)
{
    const qint64 received = m_transfer.received();
    if (received == m_progressShown && !final)
        return;
    if (final) {
        m_complete = false;
    } else if (m_sinceProgress.isValid() && m_sinceProgress.elapsed() < ProgressIntervalMs) {
        if (!m_progressLate.isActive())
            m_progressLate.start(int(ProgressIntervalMs - m_sinceProgress.elapsed()));
        return;
    }
    if (!final && received == 0)
        return;
    m_progressShown = received;
    m_progressLate.stop();
    m_sinceProgress.start();
    Q_EMIT q->progress(received, m_transfer.announced());
}

void Inet::Private::stop()
{
    ++m_generation;
    m_pending.clear();
    m_transfer.stop();
    m_body.close();
    m_chunkHanded = false;
    m_complete = false;
    m_named = false;
    m_progressShown = -1;
    m_progressLate.stop();
    m_sinceProgress.invalidate();
}

void Inet::Private::checkSums()
{
    const BodyHash::Verdict verdict = m_transfer.checkSums();
    if (verdict.ok)
        return;
    m_body.discard();
    throw TransferError(verdict.code, verdict.text);
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

void Inet::setPartDir(const QString &dir)
{
    d->m_partDir = dir;
}

void Inet::Execute(const QString &url)
{
    d->stop();
    d->m_transfer.start(url, &d->m_body, d->partDir(), d->m_timeoutMs);
    d->flush();
}

QByteArray Inet::GetChunk(int size)
{
    if (d->m_transfer.running())
        throw TransferError(NetworkFailure, QStringLiteral("Die Anforderung ist noch nicht beendet"));
    if (d->m_transfer.failed())
        throw TransferError(d->m_transfer.code(), d->m_transfer.info(), d->m_transfer.httpStatus());
    if (size <= 0 || !d->m_body.isOpen())
        return {};
    const QByteArray piece = d->m_body.read(size);
    if (piece.isEmpty())
        d->checkSums();
    if (!piece.isEmpty() && !d->m_chunkHanded) {
        d->m_chunkHanded = true;
        const quint64 generation = d->m_generation;
        QMetaObject::invokeMethod(
            this,
            [this, generation] {
                if (generation != d->m_generation)
                    return; // the body it belonged to is gone
                d->queue(ResponseReceived);
                d->flush();
            },
            Qt::QueuedConnection);
    }
    return piece;
}

bool Inet::checkingSums() const
{
    return d->m_transfer.hashing() && d->m_body.readToEnd();
}

quint64 Inet::commitBody(const QString &dir, const QString &fileName, const QString &path, int counter,
                         const QString &entry)
{
    if (d->m_transfer.running() || d->m_transfer.failed() || !d->m_body.isOpen())
        throw FileError(EBADF, QStringLiteral("Kein vollständiger Inhalt zum Speichern"));
    d->checkSums();
    return d->m_commit.add({d->m_body.finish(), dir, fileName, path, counter, entry});
}

Inet::Arrival Inet::arrivedBefore(const QString &dir, const QString &entry, QDeadlineTimer deadline)
{
    Arrival arrival{ArrivalRecord::find(dir, entry)};
    // A give-up or a failed flush may have left the name off the disk. The flush runs
    // aside: the window's thread never waits for the disk.
    if (!arrival.path.isEmpty()) {
        const QByteArray folder = QFile::encodeName(dir);
        arrival.error = runAside([folder] { return FileIo::syncFolder(folder); }, deadline).value_or(ETIMEDOUT);
    }
    return arrival;
}

void Inet::dropArrival(const QString &dir, const QString &entry)
{
    ArrivalRecord::drop(dir, entry);
}

QList<Inet::CommitReport> Inet::takeCommitReports()
{
    return d->m_commit.takeReports();
}

int Inet::commitsPending() const
{
    return d->m_commit.pending();
}

bool Inet::committing(const QString &url) const
{
    return d->m_commit.pending() > 0 && d->m_commit.holds(PartFile::pathFor(d->partDir(), url));
}

int Inet::abandonCommits()
{
    return d->m_commit.abandon();
}

Inet::FileName Inet::suggestedFileName(const QString &derivedName) const
{
    const ResponseName::Choice choice = d->m_transfer.responseName().choose(derivedName);
    switch (choice.source) {
    case ResponseName::Source::Server: return {choice.name, NameSource::Server};
    case ResponseName::Source::Redirect: return {choice.name, NameSource::Redirect};
    case ResponseName::Source::Address: return {choice.name, NameSource::Address};
    case ResponseName::Source::List: break;
    }
    return {choice.name, NameSource::List};
}

void Inet::Cancel()
{
    d->stop();
    d->m_transfer.reset();
    d->flush();
}

void Inet::forgetTrust()
{
    // A connection still being set up would use what is dropped here.
    if (d->m_transfer.running())
        Cancel();
    d->m_driver.forgetTrust();
}

qint32 Inet::ResponseCode() const
{
    return d->m_shown ? d->m_shown->code : d->m_transfer.code();
}

QString Inet::ResponseInfo() const
{
    return d->m_shown ? d->m_shown->info : d->m_transfer.info();
}

bool Inet::failurePasses() const
{
    return d->m_transfer.failed() && d->m_transfer.failurePasses();
}

int Inet::retryAfterS() const
{
    return d->m_transfer.retryAfterS();
}

qint64 Inet::resumedFrom() const
{
    return d->m_transfer.failed() ? 0 : d->m_transfer.resumedFrom();
}

QString Inet::checkedSums() const
{
    return d->m_transfer.failed() ? QString() : d->m_transfer.checkedSums();
}

QString Inet::chooseLocalPath(const QString &dir, const QString &fileName, int *counter)
{
    return LocalPath::chooseLocalPath(dir, fileName, counter);
}

bool Inet::isOwnFileName(const QString &fileName)
{
    return fileName.startsWith(QLatin1String(PartFile::OwnPrefix));
}

void Inet::removeLeftovers(const QString &dir, const QStringList &urls, const QStringList &entries)
{
    PartFile::removeLeftovers(dir, urls, entries);
}

qint64 Inet::retryWaitMs(int retry, int firstWaitMs) const
{
    static_assert(MaxRetries == RetryPolicy::MaxRetries && FirstRetryWaitMs == RetryPolicy::FirstWaitMs);
    return RetryPolicy::waitMs(retry, retryAfterS(), firstWaitMs);
}
