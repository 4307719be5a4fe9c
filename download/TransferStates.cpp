#include "download/TransferStates.h"

#include "base/SleepWhile.h"
#include "download/Inet.h"
#include "download/StateCode.h"
#include "log/ActivityLog.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

#include <array>

TransferStates::TransferStates(ActivityLog *log, Inet *inet, QObject *parent)
    : QObject(parent)
    , m_log(log)
    , m_inet(inet)
{
    if (m_inet)
        connect(m_inet, &Inet::StateChanged, this, &TransferStates::Inet_StateChanged);
}

QString TransferStates::StateText(qint16 code)
{
    switch (code) {
    case NothingToReport: return QStringLiteral("Kein zu berichtender Status.");
    case Resolving: return QStringLiteral("Das Steuerelement sucht die IP-Adresse des angegebenen Host-Rechners.");
    case Resolved: return QStringLiteral("Das Steuerelement hat die IP-Adresse des angegebenen Host-Rechners gefunden.");
    case Connecting: return QStringLiteral("Das Steuerelement baut die Verbindung mit dem Host-Rechner auf.");
    case Connected: return QStringLiteral("Das Steuerelement hat die Verbindung mit dem Host-Rechner aufgebaut.");
    case Requesting: return QStringLiteral("Das Steuerelement sendet eine Anforderung an den Host-Rechner.");
    case RequestSent: return QStringLiteral("Das Steuerelement hat die Anforderung erfolgreich gesendet.");
    case Receiving: return QStringLiteral("Das Steuerelement ruft eine Antwort vom Host-Rechner ab.");
    case ResponseReceived: return QStringLiteral("Das Steuerelement hat eine Antwort vom Host-Rechner erfolgreich abgerufen.");
    case Closing: return QStringLiteral("Das Steuerelement versucht die Verbindung mit dem Host-Rechner zu beenden.");
    case Closed: return QStringLiteral("Das Steuerelement hat die Verbindung mit dem Host-Rechner erfolgreich beendet.");
    case CommunicationError: return QStringLiteral("Bei der Kommunikation mit dem Host-Rechner ist ein Fehler aufgetreten.");
    case ResponseCompleted: return QStringLiteral("Die Anforderung wurde beendet, und alle Daten wurden empfangen.");
    default: return QString();
    }
}

namespace {
QString stateLine(qint16 state)
{
    return u'\'' + TransferStates::StateText(state) + QStringLiteral("' (Code ") + QString::number(state) + u')';
}
} // namespace

void TransferStates::Inet_StateChanged(qint16 State)
{
    LastState = State;
    // A dozen of these per entry, always the same few: made once.
    static const std::array<QString, ResponseCompleted + 1> known = [] {
        std::array<QString, ResponseCompleted + 1> lines;
        for (qint16 state = 0; state < qint16(lines.size()); ++state)
            lines[size_t(state)] = stateLine(state);
        return lines;
    }();
    m_log->WriteLog(State >= 0 && State < qint16(known.size()) ? known[size_t(State)] : stateLine(State));
    const qint32 code = m_inet ? m_inet->ResponseCode() : 0;
    if (code != 0)
        m_log->WriteLog(u'\'' + m_inet->ResponseInfo() + QStringLiteral("' (Code ") + QString::number(code) + u')');
}

void TransferStates::WaitFor(qint16 s)
{
    if (s != m_waitState) {
        // A body's pieces wait for the same state over and over: its lines are made once.
        m_waitState = s;
        m_waitingLine = QStringLiteral("WaitFor: Warte auf State ") + QString::number(s);
        m_arrivedLine = QStringLiteral("WaitFor: State ") + QString::number(s) + QStringLiteral(" eingetroffen");
    }
    m_log->WriteLog(m_waitingLine);
    // Test first: a state that is already current ends the wait without touching the
    // event loop. Otherwise sleep until something arrives; every request ends with a
    // final state, so this returns.
    while (LastState != s && !m_abort)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    if (LastState == s)
        m_log->WriteLog(m_arrivedLine);
}

bool TransferStates::pause(qint64 ms)
{
    waitWhile([] { return true; }, ms);
    return !m_abort;
}

bool TransferStates::waitWhile(const std::function<bool()> &busy, qint64 ms, bool untilDone)
{
    const QDeadlineTimer deadline(ms < 0 ? QDeadlineTimer::Forever : QDeadlineTimer(ms));
    sleepWhile([&] { return busy() && (untilDone || !m_abort); }, deadline);
    return !busy();
}

void TransferStates::requestAbort()
{
    m_abort = true;
    // Wake a WaitFor that sleeps in the event loop.
    if (auto *dispatcher = QAbstractEventDispatcher::instance(thread()))
        dispatcher->wakeUp();
}
