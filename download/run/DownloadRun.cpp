#include "download/run/DownloadRun.h"

#include "download/FileError.h"
#include "download/Inet.h"
#include "download/StateCode.h"
#include "download/TransferStates.h"
#include "log/ActivityLog.h"
#include "log/SafeFileName.h"
#include "log/SafeText.h"
#include "log/TransferProgress.h"
#include "urllist/UrlEntry.h"
#include "urllist/UrlList.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

namespace {
// The size of the pieces the body is read in.
constexpr int ChunkSize = 2048;
// How long the window may go without its events while a finished body's pieces are
// written; the waits in the chunk loop end at once then. The piece bound makes the
// yield happen on any machine, however fast it reads back the part file: a clock
// alone would let a quick machine skip every yield of a body.
constexpr qint64 CatchUpMs = 25;
constexpr int CatchUpPieces = 2048;

// The line of each piece: written for every 2 KiB of a body, so it is made with a
// single allocation.
QString chunkLine(int i, qsizetype size)
{
    constexpr std::string_view head = "Kommando: GetChunk ", middle = " OK (", tail = " Byte)";
    char text[head.size() + 11 + middle.size() + 20 + tail.size()];
    char *out = std::copy(head.begin(), head.end(), text);
    out = std::to_chars(out, text + head.size() + 11, i).ptr;
    out = std::copy(middle.begin(), middle.end(), out);
    out = std::to_chars(out, text + sizeof text - tail.size(), qint64(size)).ptr;
    out = std::copy(tail.begin(), tail.end(), out);
    return QString::fromLatin1(text, out - text);
}

void logNotFound(ActivityLog *log)
{
    log->WriteLog(QStringLiteral("### Download-Fehler: Datei auf Server nicht gefunden (404)"));
}
} // namespace

void DownloadRun::logFailure(ActivityLog *log, const QString &description, qint64 code)
{
    log->WriteLog(QStringLiteral("### Download-Fehler: ") + description + QStringLiteral(" (Code ") + QString::number(code) + u')');
}

bool DownloadRun::isNotFoundPage(QByteArrayView piece)
{
    // Every body passes here, so no copy of it is made: the text can only begin at a
    // '4', and from each one the comparison skips control bytes and folds letters.
    constexpr std::string_view Needle = "404 not found";
    const char *const end = piece.data() + piece.size();
    for (const char *at = piece.data(); at != end; ++at) {
        at = static_cast<const char *>(std::memchr(at, Needle.front(), size_t(end - at)));
        if (!at)
            return false;
        size_t matched = 0;
        for (const char *p = at; p != end && matched < Needle.size(); ++p) {
            const auto byte = static_cast<unsigned char>(*p);
            if (byte <= 31)
                continue;
            if (char(byte >= 'A' && byte <= 'Z' ? byte + 32 : byte) != Needle[matched])
                break;
            ++matched;
        }
        if (matched == Needle.size())
            return true;
    }
    return false;
}

QString DownloadRun::piecesSummary(int pieces, qint64 bytes, qint64 milliseconds)
{
    const double seconds = double(std::max<qint64>(milliseconds, 1)) / 1000.0;
    // Once per entry: put together directly rather than searched for placeholders.
    return QStringLiteral("Empfangen: ") + QString::number(pieces)
        + (pieces == 1 ? QStringLiteral(" Stück, ") : QStringLiteral(" Stücke, ")) + QString::number(bytes)
        + QStringLiteral(" Byte in ") + QString::number(seconds, 'f', 2).replace(u'.', u',') + QStringLiteral(" s (")
        + TransferProgress::rateText(double(bytes) / seconds) + u')';
}

DownloadRun::DownloadRun(ActivityLog *log, UrlList *list, Inet *inet, TransferStates *states)
    : m_log(log)
    , m_list(list)
    , m_inet(inet)
    , m_states(states)
{
    m_commitLink = QObject::connect(m_inet, &Inet::commitsReported, m_inet, [this] { takeCommits(); });
    // Records of entries the list file no longer holds have done their work.
    m_savedLink = QObject::connect(m_list, &UrlList::savedNow, m_list, [this] { dropRecords(); });
    m_leaveList.setSingleShot(true);
    m_leaveList.setInterval(LeaveListMs);
    m_leaveList.callOnTimeout([this] { leaveList(false); });
}

DownloadRun::~DownloadRun()
{
    QObject::disconnect(m_commitLink);
    QObject::disconnect(m_savedLink);
}

void DownloadRun::removeLeftovers(const QString &dir, const UrlList &list)
{
    QStringList urls;
    for (const QString &line : list.lines())
        urls << UrlEntry::parse(line).url;
    Inet::removeLeftovers(dir, urls, entryIds(list.lines()));
}

QStringList DownloadRun::entryIds(const QStringList &lines)
{
    // The line itself, which holds its name and its link: two lines of one link under
    // two names are two entries. A line that is listed more than once has none: once
    // one of them left the list, no record could say which one it was.
    QHash<QString, int> count;
    for (const QString &line : lines)
        ++count[line];
    QStringList ids;
    ids.reserve(lines.size());
    for (const QString &line : lines)
        ids << (count.value(line) == 1 ? line : QString());
    return ids;
}

void DownloadRun::DownloadAll()
{
    m_running = true;
    m_aborted = false;
    m_arrived = 0;
    m_failed = 0;
    m_states->clearAbort();
    m_log->WriteLog(QStringLiteral("Kommando: Download starten"));
    if (m_host.setDownloadEnabled)
        m_host.setDownloadEnabled(false);

    const int last = m_list->count() - 1;
    m_entries = entryIds(m_list->lines());
    for (int k = last; k >= 0; --k) {
        Outcome outcome;
        try {
            outcome = downloadEntry(k);
        } catch (const std::exception &e) {
            // Nothing may end the run: whatever slipped past the entry's own handling
            // counts as that entry's failure.
            logFailure(m_log, QString::fromStdString(e.what()), 0);
            outcome = Outcome::Failed;
        }
        // An arrived body counts once it is durable (takeCommits).
        if (outcome == Outcome::Aborted) {
            m_aborted = true;
            break;
        }
        if (outcome != Outcome::Arrived)
            ++m_failed;
    }
    settleCommits();
    settleList();
    // Their entries are gone from the list file now, unless it could not be written.
    dropRecords();
    // A changed bundle, or an authority taken out of the folder, counts from the next run.
    m_inet->forgetTrust();
    m_running = false;
    if (m_progress)
        m_progress->end();

    if (m_aborted) {
        m_log->WriteLog(QStringLiteral("Download abgebrochen: das Programm wird beendet"));
        if (m_host.setDownloadEnabled)
            m_host.setDownloadEnabled(true);
        return;
    }
    if (!m_batchMode && m_host.showMessage) {
        QString message = QStringLiteral("Der Download ist abgeschlossen!");
        if (m_list->count() > 0)
            message += u'\r' + QStringLiteral("(Anzahl der Dateien mit Fehlern: ") + QString::number(m_list->count()) + u')';
        m_host.showMessage(message);
    }
    if (m_host.setDownloadEnabled)
        m_host.setDownloadEnabled(true);
    if (m_host.openFileManager)
        m_host.openFileManager(m_downloadDir);
}

DownloadRun::Outcome DownloadRun::downloadEntry(int k)
{
    const UrlEntry entry = UrlEntry::parse(m_list->line(k));
    QString fileName = safeFileName(entry.fileName);
    // Names of the run's own hidden files are cleared away at every start; a
    // download under such a name would be deleted with them.
    if (Inet::isOwnFileName(fileName))
        fileName.prepend(u'_');
    if (const std::optional<Outcome> found = arrivedBefore(k))
        return *found;
    int counter = 0;
    QString path;
    if (!planPath(fileName, &path, &counter))
        return Outcome::Failed;
    const QString &url = entry.url;
    // Entries of one URL share its part file: the next one starts once the body the
    // last one left there has its name.
    if (!m_states->waitWhile([&] { return m_inet->committing(url); }, -1))
        return Outcome::Aborted;

    m_inet->setRequestTimeout(Inet::DefaultRequestTimeoutS);
    if (m_requestTimeoutMs > 0)
        m_inet->setRequestTimeoutMs(m_requestTimeoutMs);
    if (m_progress)
        m_progress->begin(k, fileName);
    QElapsedTimer sinceRequest;
    sinceRequest.start();
    // The title shows the name the answer suggests as soon as its head is in.
    const QMetaObject::Connection named = QObject::connect(m_inet, &Inet::bodyStarted, m_inet, [&] { showName(entry); });
    const bool fetched = fetch(url);
    QObject::disconnect(named);
    if (!fetched) {
        m_inet->Cancel();
        return Outcome::Aborted;
    }

    Outcome outcome = takeResponseName(entry, &fileName, &path, &counter) ? readBody(path, sinceRequest) : Outcome::Failed;
    m_log->WriteLog(QStringLiteral("Kommando: Datei schließen"));
    if (outcome == Outcome::Arrived)
        outcome = commit(k, fileName, path, counter);
    m_log->WriteLog(QStringLiteral("Kommando: Cancel"));
    m_inet->Cancel();
    if (outcome == Outcome::Aborted)
        return outcome;
    if (m_host.beep)
        m_host.beep();
    return outcome;
}

bool DownloadRun::planPath(const QString &fileName, QString *path, int *counter)
{
    try {
        *path = Inet::chooseLocalPath(m_downloadDir, fileName, counter);
        return true;
    } catch (const FileError &e) {
        logFailure(m_log, QStringLiteral("Kein freier Dateiname für ") + fileName + QStringLiteral(": ") + e.description(),
                   e.errnum());
        return false;
    }
}

// Requests url until it arrives or fails for good. A failure that may pass is tried
// again after a pause, each try continuing from the bytes already in. False when the
// program is being closed.
bool DownloadRun::fetch(const QString &url)
{
    for (int retry = 0;; ++retry) {
        m_log->WriteLog(QStringLiteral("Kommando: Execute ") + safeUrl(url));
        m_inet->Execute(url);
        m_states->WaitFor(ResponseCompleted);
        if (m_states->abortRequested())
            return false;
        if (m_inet->ResponseCode() == 0 || !m_inet->failurePasses())
            break;
        const qint64 waitMs = m_inet->retryWaitMs(retry + 1, m_retryWaitMs > 0 ? m_retryWaitMs : Inet::FirstRetryWaitMs);
        if (waitMs < 0) {
            if (retry < Inet::MaxRetries)
                m_log->WriteLog(QStringLiteral("Kein neuer Versuch: der Server bittet um %1 s Geduld").arg(m_inet->retryAfterS()));
            break;
        }
        m_log->WriteLog(QStringLiteral("Neuer Versuch %1 von %2 in %3 s: ")
                            .arg(retry + 1)
                            .arg(Inet::MaxRetries)
                            .arg(TransferProgress::secondsText(waitMs))
                        + m_inet->ResponseInfo());
        if (!m_states->pause(waitMs))
            return false;
    }
    if (const qint64 from = m_inet->resumedFrom(); from > 0)
        m_log->WriteLog(QStringLiteral("Übertragung ab Byte %1 fortgesetzt").arg(from));
    return true;
}

// The wait before the next piece; false when the program is being closed.
bool DownloadRun::betweenPieces(int i, QElapsedTimer *sinceEvents)
{
    {
        // Once the body's first piece is handed out, each wait ends at once and says
        // nothing new.
        const ActivityLog::WindowOnly quiet(m_log, m_states->LastState == ResponseReceived);
        m_states->WaitFor(ResponseReceived);
    }
    if (i % CatchUpPieces == 0 || sinceEvents->elapsed() >= CatchUpMs) {
        QCoreApplication::processEvents();
        sinceEvents->start();
    }
    // The end of a big body waits for its hash, which may lag behind the transfer.
    if (m_inet->checkingSums())
        m_states->waitWhile([this] { return m_inet->checkingSums(); }, -1);
    return !m_states->abortRequested();
}

// The guarded part: the pieces of the finished body, read back from the part file it
// was written into as it arrived.
DownloadRun::Outcome DownloadRun::readBody(const QString &path, const QElapsedTimer &sinceRequest)
{
    try {
        m_log->WriteLog(QStringLiteral("Kommando: Datei ") + path + QStringLiteral(" öffnen"));
        // Once the body is in, the waits below end at once without touching the event
        // loop; a big body would freeze the window while its pieces are handed out.
        QElapsedTimer sinceEvents;
        sinceEvents.start();
        qint64 bytes = 0;
        for (int i = 0;;) {
            if (i != 0 && !betweenPieces(i, &sinceEvents))
                return Outcome::Aborted;
            const QByteArray piece = m_inet->GetChunk(ChunkSize);
            {
                const ActivityLog::WindowOnly quiet(m_log);
                m_log->WriteLog(chunkLine(i, piece.size()));
            }
            if (i == 0 && isNotFoundPage(piece)) {
                logNotFound(m_log);
                return Outcome::NotFound;
            }
            ++i;
            bytes += piece.size();
            if (piece.isEmpty()) {
                m_log->echoOnly(piecesSummary(i, bytes, sinceRequest.elapsed()));
                if (const QString sums = m_inet->checkedSums(); !sums.isEmpty())
                    m_log->WriteLog(QStringLiteral("Prüfsumme stimmt (") + sums + u')');
                return Outcome::Arrived;
            }
        }
    } catch (const TransferError &e) {
        if (e.httpStatus() == 404) {
            logNotFound(m_log);
            return Outcome::NotFound;
        }
        if (e.code() == TransferError::ChecksumFailed) {
            // Its own kind of failure: the body came, but it is not the file asked for.
            m_log->WriteLog(QStringLiteral("### ") + e.description());
            return Outcome::Failed;
        }
        logFailure(m_log, e.description(), e.code());
    } catch (const FileError &e) {
        logFailure(m_log, e.description(), e.errnum());
    }
    return Outcome::Failed;
}
