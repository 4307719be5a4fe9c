#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP ask the program to end the way closing its window does.
// The handler only writes the signal's number into a pipe; the event loop reads it
// and says so through requested(). A second signal of the same kind ends the process
// at once, for a user who will not wait. SIGPIPE is ignored: a closed standard output
// is a failed write, not the end of a run.
class SignalRelay : public QObject
{
    Q_OBJECT

public:
    // Sets the handlers; call first thing in main, before anything can be interrupted.
    static void install();

    explicit SignalRelay(QObject *parent = nullptr);

Q_SIGNALS:
    void requested(int signal);

private:
    QSocketNotifier *m_notifier = nullptr;
};
