#pragma once

#include <QObject>
#include <QString>

#include <functional>

class ActivityLog;
class Inet;

// Keeps the latest state the transfer component reported (LastState), logs every
// state in German, and lets the download run wait for a state.
class TransferStates : public QObject
{
    Q_OBJECT

public:
    TransferStates(ActivityLog *log, Inet *inet, QObject *parent = nullptr);

    static QString StateText(qint16 code);

    // Connected to Inet::StateChanged.
    void Inet_StateChanged(qint16 State);

    // Sleeps in the event loop until LastState equals s. Ends early only when the
    // program is being closed (abortRequested), so that a run can wind down.
    void WaitFor(qint16 s);
    // Sleeps in the event loop for ms, the window usable meanwhile. False when the
    // program is being closed, which ends the pause at once.
    bool pause(qint64 ms);
    // Sleeps in the event loop while busy() holds, at most ms (-1: no limit). Closing
    // the program ends the wait too, unless untilDone. True when busy() ended.
    bool waitWhile(const std::function<bool()> &busy, qint64 ms, bool untilDone = false);

    void requestAbort();
    // A new run starts with no abort pending.
    void clearAbort() { m_abort = false; }
    bool abortRequested() const { return m_abort; }

    qint16 LastState = 0;

private:
    ActivityLog *m_log;
    Inet *m_inet;
    bool m_abort = false;
    qint16 m_waitState = -1;
    QString m_waitingLine;
    QString m_arrivedLine;
};
