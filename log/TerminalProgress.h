#pragma once

#include <QObject>

class ActivityLog;
class TransferProgress;

// One live line on a terminal during a batch run: name, bytes, percent, rate and
// time left, redrawn in place and cleared at the end. Writes nothing at all when the
// descriptor is not a terminal (a log file, a cron mail).
class TerminalProgress : public QObject
{
    Q_OBJECT

public:
    // log: its echoed lines make the live line step aside first; may be null.
    TerminalProgress(TransferProgress *progress, int fd, ActivityLog *log, QObject *parent = nullptr);
    ~TerminalProgress() override;

    bool enabled() const { return m_fd >= 0; }
    // Removes the live line; the next update draws it again.
    void clear();

private:
    void draw();
    void write(const QByteArray &bytes);
    int columns() const;

    TransferProgress *m_progress;
    int m_fd = -1;
    ActivityLog *m_log;
    bool m_shown = false;
    bool m_hooked = false;
};
