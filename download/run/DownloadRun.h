#pragma once

#include <QByteArrayView>
#include <QHash>
#include <QMetaObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class ActivityLog;
class Inet;
class QElapsedTimer;
class TransferProgress;
class TransferStates;
class UrlList;
struct UrlEntry;

// The download run over the whole URL list, last entry first. What it needs of the
// window (the button, the closing message, the beep, the file manager) comes in
// through Host, so the run itself knows no widgets.
class DownloadRun
{
public:
    struct Host
    {
        std::function<void(bool)> setDownloadEnabled;
        std::function<void(const QString &)> showMessage;
        std::function<void()> beep;
        std::function<void(const QString &)> openFileManager;
    };

    // How long closing the program waits for finished bodies to reach the disk before
    // it leaves them as part files: a disk that hangs must not hold the program forever.
    static constexpr int CommitGiveUpMs = 20000;

    DownloadRun(ActivityLog *log, UrlList *list, Inet *inet, TransferStates *states);
    ~DownloadRun();
    DownloadRun(const DownloadRun &) = delete;
    DownloadRun &operator=(const DownloadRun &) = delete;

    void setDownloadDir(const QString &dir) { m_downloadDir = dir; }
    void setBatchMode(bool batch) { m_batchMode = batch; }
    void setHost(Host host) { m_host = std::move(host); }
    // Told of each entry as it starts and of the end of the run; may be null.
    void setProgress(TransferProgress *progress) { m_progress = progress; }
    // Overrides the 45-second request time-out; for tests of stalled servers.
    void setRequestTimeoutMs(int milliseconds) { m_requestTimeoutMs = milliseconds; }
    // Overrides the first wait before another try (later ones grow from it); for tests.
    void setRetryWaitMs(int milliseconds) { m_retryWaitMs = milliseconds; }
    // Overrides CommitGiveUpMs; for tests of a disk that hangs.
    void setCommitGiveUpMs(int milliseconds) { m_commitGiveUpMs = milliseconds; }
    int commitGiveUpMs() const { return m_commitGiveUpMs; }

    void DownloadAll();

    bool running() const { return m_running; }
    // Outcome of the latest run.
    int arrived() const { return m_arrived; }
    int failed() const { return m_failed; }
    bool aborted() const { return m_aborted; }

    // Whether a body's first piece is a "404 not found" page: that text among its
    // printable bytes, in any letter case.
    static bool isNotFoundPage(QByteArrayView piece);
    // The line standard output gets in place of a body's per-piece lines.
    static QString piecesSummary(int pieces, qint64 bytes, qint64 milliseconds);
    // Removes the hidden files in dir that no entry of list will continue or
    // recognise as arrived.
    static void removeLeftovers(const QString &dir, const UrlList &list);
    // What tells the lines apart for the records of their arrivals, row by row.
    static QStringList entryIds(const QStringList &lines);

private:
    enum class Outcome { Arrived, NotFound, Failed, Aborted };
    // "### Download-Fehler: <description> (Code <code>)"
    static void logFailure(ActivityLog *log, const QString &description, qint64 code);
    Outcome downloadEntry(int k);
    bool planPath(const QString &fileName, QString *path, int *counter);
    bool takeResponseName(const UrlEntry &entry, QString *fileName, QString *path, int *counter);
    void showName(const UrlEntry &entry);
    bool fetch(const QString &url);
    Outcome readBody(const QString &path, const QElapsedTimer &sinceRequest);
    bool betweenPieces(int i, QElapsedTimer *sinceEvents);
    Outcome commit(int k, const QString &fileName, const QString &path, int counter);
    // An entry whose file arrived in an earlier run that could not let it leave the
    // list: nothing when its record does not prove that.
    std::optional<Outcome> arrivedBefore(int k);
    // Drops the records of the entries that left the list, once the file says so.
    void dropRecords();
    // Takes in what the disk did with committed bodies: logs names and failures as
    // they happen, and lets the entries whose files are durable leave the list.
    void takeCommits();
    // Lets the durable entries leave the list, in one save: all of them, or only those
    // with no entry above them still on its way.
    void leaveList(bool all);
    void settleCommits();
    void settleList();

    ActivityLog *m_log;
    UrlList *m_list;
    Inet *m_inet;
    TransferStates *m_states;
    QString m_downloadDir;
    bool m_batchMode = false;
    Host m_host;
    TransferProgress *m_progress = nullptr;
    int m_requestTimeoutMs = 0;
    int m_retryWaitMs = 0;
    int m_commitGiveUpMs = CommitGiveUpMs;
    // The bodies on their way to the disk: the row of each one's entry and its path.
    struct Committing
    {
        int row;
        QString path;
        bool durable = false;
        QString entry;
    };
    QHash<quint64, Committing> m_committing;
    // Keys for the entries found arrived before: counted down from the top, where the
    // commit's tickets, counted up from 1, never come.
    quint64 m_foundKey = ~quint64(0);
    // The entryIds of the run's rows, and of the entries that left the list while
    // their records wait for the file to be written without them.
    QStringList m_entries;
    QStringList m_recordsToDrop;
    QMetaObject::Connection m_commitLink;
    QMetaObject::Connection m_savedLink;
    // Durable entries leave the list at most this often while the run fetches: on a
    // fast disk every body is durable on its own, and a save each would cost the run.
    static constexpr int LeaveListMs = 20;
    QTimer m_leaveList;
    bool m_running = false;
    bool m_aborted = false;
    int m_arrived = 0;
    int m_failed = 0;
};
