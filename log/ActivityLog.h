#pragma once

#include <QAbstractListModel>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QTimer>

#include <cstdio>
#include <functional>

// The time-stamped, capped activity log behind the log panel.
//
// WriteLog runs once per 2048-byte piece of a download, so it only queues the line;
// views learn of the change on a later pass of the event loop (catch-up), with one
// removal and one insertion of rows, and then select and scroll to the newest line.
// Until then the rows a view knows stay readable as they were. Catch-ups are at
// least CatchUpInterval apart: a download passes through the event loop several
// times per list entry, and relaying out a thousand lines each time would cost more
// than the download.
class ActivityLog : public QAbstractListModel
{
    Q_OBJECT

public:
    static constexpr int MaxLines = 1000;
    static constexpr int CatchUpInterval = 50; // ms

    // While one of these lives, lines go to the window's log only, not to the echo:
    // the per-piece lines of a body would bury everything else on standard output.
    class WindowOnly
    {
    public:
        explicit WindowOnly(ActivityLog *log, bool active = true);
        ~WindowOnly();
        WindowOnly(const WindowOnly &) = delete;
        WindowOnly &operator=(const WindowOnly &) = delete;

    private:
        ActivityLog *m_log;
        bool m_active;
    };

    explicit ActivityLog(QObject *parent = nullptr);
    ~ActivityLog() override;

    void WriteLog(const QString &message);
    void clear();

    // The log as written, including lines the views have not caught up with yet.
    int count() const { return int(m_lines.size() - m_dropped + m_pending.size()); }
    QString line(int row) const;
    QStringList lines() const;
    // The selected line: after WriteLog always the newest; -1 for an empty log.
    int selectedRow() const { return count() - 1; }

    // Every line is also written to this stream as it is logged (batch mode); it is
    // flushed with the view's catch-up, not per line, so big downloads stay cheap.
    // When the stream fails (a reader that went away), the echo stops and the
    // program goes on.
    void setEcho(std::FILE *stream);
    std::FILE *echo() const { return m_echo; }
    void flushEcho();
    // A line in the log's format for the echo alone, not for the window.
    void echoOnly(const QString &message);
    // Called before each echoed line: a live progress line on the same terminal
    // clears itself so the log line does not land inside it.
    void setBeforeEcho(std::function<void()> hook) { m_beforeEcho = std::move(hook); }

    // Time of day as the system shows it, with seconds and without a time-zone name.
    static QString timeFormat();

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

Q_SIGNALS:
    void caughtUp(int selectedRow);

private:
    void scheduleCatchUp();
    void catchUp();
    const QString &timeStamp();
    QString stamped(const QString &message);
    void writeEcho(const QString &text);
    void stopEcho();

    // The rows the views know; the first m_dropped of them are gone from the log
    // and leave the views at the next catch-up, when m_pending joins them.
    QStringList m_lines;
    qsizetype m_dropped = 0;
    QStringList m_pending;

    QString m_timeFormat;
    qint64 m_stampSecond = -1;
    QString m_stamp;
    bool m_catchUpPending = false;
    QElapsedTimer m_lastCatchUp;
    QTimer m_catchUpTimer;
    std::FILE *m_echo = nullptr;
    int m_echoHeld = 0;
    std::function<void()> m_beforeEcho;
};
