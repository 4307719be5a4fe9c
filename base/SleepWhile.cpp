#include "base/SleepWhile.h"

#include <QCoreApplication>
#include <QTimer>

#include <chrono>

bool sleepWhile(const std::function<bool()> &busy, QDeadlineTimer deadline)
{
    // Something must arrive when the time is up, or the sleep below would go on.
    QTimer alarm;
    alarm.setSingleShot(true);
    alarm.setTimerType(Qt::PreciseTimer);
    while (busy() && !deadline.hasExpired()) {
        if (!alarm.isActive() && !deadline.isForever())
            alarm.start(std::chrono::milliseconds(deadline.remainingTime() + 1));
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return !busy();
}
