#pragma once

#include <QAbstractListModel>
#include <QElapsedTimer>
#include <QList>
#include <QString>
#include <QTimer>

#include <cstdio>

// The time-stamped, capped activity log behind the log panel.
//
// WriteLog runs once per 2048-byte piece of a download, so it only appends to the
// line store; views are told about the change on a later pass of the event loop
// (caughtUp), which is when they select and scroll to the newest line. Catch-ups are
// at least CatchUpInterval apart: a download passes through the event loop several
// times per list entry, and relaying out and repainting a thousand lines each time
// would cost more than the download.
class ActivityLog : public QAbstractListModel
{
    Q_OBJECT

public:
    static constexpr int MaxLines = 1000;
    static constexpr int CatchUpInterval = 50; // ms

    explicit ActivityLog(QObject *parent = nullptr);
    ~ActivityLog() override;

    void WriteLog(const QString &message);
    void Clear();

    int count() const { return int(m_lines.size()); }
    QString line(int row) const { return m_lines.value(row); }
    QStringList lines() const { return m_lines; }
    // The selected line: after WriteLog always the newest; -1 for an empty log.
    int selectedRow() const { return m_lines.isEmpty() ? -1 : int(m_lines.size()) - 1; }

    // Every line is also written to this stream as it is logged (batch mode); it is
    // flushed with the view's catch-up, not per line, so big downloads stay cheap.
    void setEcho(std::FILE *stream);
    void flushEcho();

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

    QStringList m_lines;
    QString m_timeFormat;
    qint64 m_stampSecond = -1;
    QString m_stamp;
    bool m_catchUpPending = false;
    QElapsedTimer m_lastCatchUp;
    QTimer m_catchUpTimer;
    std::FILE *m_echo = nullptr;
};
