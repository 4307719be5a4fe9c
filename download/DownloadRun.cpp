#include "download/DownloadRun.h"

#include "download/Inet.h"
#include "download/PartFile.h"
#include "download/TransferStates.h"
#include "log/ActivityLog.h"
#include "log/TransferProgress.h"
#include "urllist/UrlEntry.h"
#include "urllist/UrlList.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <sys/stat.h>

namespace {
struct RunAborted
{
};

// Whether the first piece is a "404 not found" page: its printable bytes, in any
// letter case.
bool isNotFoundPage(const QByteArray &piece)
{
    QByteArray text;
    text.reserve(piece.size());
    for (const char c : piece) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte > 31)
            text.append(char(byte >= 'A' && byte <= 'Z' ? byte + 32 : byte));
    }
    return text.contains("404 not found");
}

bool nameTaken(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 || errno != ENOENT;
}
} // namespace

QString DownloadRun::PiecesSummary(int pieces, qint64 bytes, qint64 milliseconds)
{
    const double seconds = double(std::max<qint64>(milliseconds, 1)) / 1000.0;
    return QStringLiteral("Empfangen: %1 %2, %3 Byte in %4 s (%5)")
        .arg(pieces)
        .arg(pieces == 1 ? QStringLiteral("Stück") : QStringLiteral("Stücke"))
        .arg(bytes)
        .arg(QString::number(seconds, 'f', 2).replace(u'.', u','), TransferProgress::rateText(double(bytes) / seconds));
}

DownloadRun::DownloadRun(ActivityLog *log, UrlList *list, Inet *inet, TransferStates *states)
    : m_log(log)
    , m_list(list)
    , m_inet(inet)
    , m_states(states)
{
}

QString DownloadRun::ChooseLocalPath(const QString &dir, const QString &fileName, int *counter)
{
    int n = counter ? *counter : 0;
    QString path;
    do {
        const QString prefix = n == 0 ? QString() : u'(' + QString::number(n) + u')';
        path = dir + u'/' + prefix + fileName;
        ++n;
    } while (nameTaken(path) && n < 1000000);
    if (counter)
        *counter = n;
    return path;
}

void DownloadRun::RemoveLeftovers(const QString &dir)
{
    const QDir folder(dir);
    const QStringList names = folder.entryList({QLatin1String(PartFile::Prefix) + u'*'},
                                               QDir::Files | QDir::Hidden | QDir::System | QDir::NoSymLinks);
    for (const QString &name : names)
        QFile::remove(folder.filePath(name));
}

void DownloadRun::DownloadAll()
{
    m_running = true;
    m_aborted = false;
    m_arrived = 0;
    m_failed = 0;
    m_log->WriteLog(QStringLiteral("Kommando: Download starten"));
    if (m_host.setDownloadEnabled)
        m_host.setDownloadEnabled(false);

    const int last = m_list->count() - 1;
    for (int k = last; k >= 0; --k) {
        Outcome outcome;
        try {
            outcome = downloadEntry(k);
        } catch (const std::exception &e) {
            // Nothing may end the run: whatever slipped past the entry's own handling
            // counts as that entry's failure.
            m_log->WriteLog(QStringLiteral("### Download-Fehler: ") + QString::fromStdString(e.what())
                            + QStringLiteral(" (Code 0)"));
            outcome = Outcome::Failed;
        }
        if (outcome == Outcome::Arrived)
            ++m_arrived;
        else if (outcome == Outcome::Aborted) {
            m_aborted = true;
            break;
        } else
            ++m_failed;
    }
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
    QString fileName = SafeFileName(entry.fileName);
    // Names of the run's own hidden files are cleared away at every start; a
    // download under such a name would be deleted with them.
    if (fileName.startsWith(QLatin1String(".quorvex-")))
        fileName.prepend(u'_');
    int counter = 0;
    const QString path = ChooseLocalPath(m_downloadDir, fileName, &counter);
    const QString &url = entry.url;

    m_inet->setRequestTimeout(45);
    if (m_requestTimeoutMs > 0)
        m_inet->setRequestTimeoutMs(m_requestTimeoutMs);
    if (m_progress)
        m_progress->begin(k, fileName);
    QElapsedTimer sinceRequest;
    sinceRequest.start();
    m_log->WriteLog(QStringLiteral("Kommando: Execute ") + url);
    m_inet->Execute(url);
    m_states->WaitFor(12);
    if (m_states->abortRequested()) {
        m_inet->Cancel();
        return Outcome::Aborted;
    }

    bool downloadError = false;
    bool notFound = false;
    bool aborted = false;
    PartFile file;
    try {
        m_log->WriteLog(QStringLiteral("Kommando: Datei ") + path + QStringLiteral(" öffnen"));
        file.open(m_downloadDir);
        // Once the body is in, the waits below end at once without touching the event
        // loop; a big body would freeze the window while its pieces are written.
        QElapsedTimer sinceEvents;
        sinceEvents.start();
        qint64 bytes = 0;
        for (int i = 0;;) {
            if (i != 0) {
                {
                    // Once state 8 is in, each wait ends at once and says nothing new.
                    const ActivityLog::WindowOnly quiet(m_log, m_states->LastState == 8);
                    m_states->WaitFor(8);
                }
                if (sinceEvents.elapsed() >= 25) {
                    QCoreApplication::processEvents();
                    sinceEvents.start();
                }
                if (m_states->abortRequested())
                    throw RunAborted();
            }
            const QByteArray piece = m_inet->GetChunk(2048);
            {
                const ActivityLog::WindowOnly quiet(m_log);
                m_log->WriteLog(QStringLiteral("Kommando: GetChunk ") + QString::number(i) + QStringLiteral(" OK (")
                                + QString::number(piece.size()) + QStringLiteral(" Byte)"));
            }
            if (i == 0 && isNotFoundPage(piece)) {
                m_log->WriteLog(QStringLiteral("### Download-Fehler: Datei auf Server nicht gefunden (404)"));
                notFound = true;
                break;
            }
            ++i;
            file.write(piece);
            bytes += piece.size();
            if (piece.isEmpty()) {
                m_log->EchoOnly(PiecesSummary(i, bytes, sinceRequest.elapsed()));
                break;
            }
        }
        if (!notFound)
            file.flush();
    } catch (const TransferError &e) {
        if (e.httpStatus() == 404) {
            m_log->WriteLog(QStringLiteral("### Download-Fehler: Datei auf Server nicht gefunden (404)"));
            notFound = true;
        } else {
            m_log->WriteLog(QStringLiteral("### Download-Fehler: ") + e.description() + QStringLiteral(" (Code ")
                            + QString::number(e.code()) + u')');
            downloadError = true;
        }
    } catch (const FileError &e) {
        m_log->WriteLog(QStringLiteral("### Download-Fehler: ") + e.description() + QStringLiteral(" (Code ")
                        + QString::number(e.errnum()) + u')');
        downloadError = true;
    } catch (const RunAborted &) {
        aborted = true;
    }

    m_log->WriteLog(QStringLiteral("Kommando: Datei schließen"));
    const bool arrived = !downloadError && !notFound && !aborted;
    if (arrived) {
        try {
            const QString used = file.publish(m_downloadDir, fileName, path);
            if (used != path)
                m_log->WriteLog(QStringLiteral("Datei gespeichert als ") + used);
        } catch (const FileError &e) {
            m_log->WriteLog(QStringLiteral("### Download-Fehler: ") + e.description() + QStringLiteral(" (Code ")
                            + QString::number(e.errnum()) + u')');
            downloadError = true;
        }
    }
    file.discard();
    m_log->WriteLog(QStringLiteral("Kommando: Cancel"));
    m_inet->Cancel();
    if (aborted)
        return Outcome::Aborted;
    if (m_host.beep)
        m_host.beep();
    if (downloadError)
        return Outcome::Failed;
    if (notFound)
        return Outcome::NotFound;
    m_list->removeAt(k);
    m_list->SaveUrlList();
    return Outcome::Arrived;
}
