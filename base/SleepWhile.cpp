#include "base/SleepWhile.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimer>

#include <chrono>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

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

std::optional<int> runAside(std::function<int()> work, QDeadlineTimer deadline)
{
    struct Shared
    {
        std::mutex mutex;
        bool done = false;
        int result = 0;
        // Cleared by a waiter that gave up: a late end wakes nobody.
        QAbstractEventDispatcher *waiter = nullptr;
    };
    auto shared = std::make_shared<Shared>();
    shared->waiter = QAbstractEventDispatcher::instance();
    std::thread thread;
    try {
        thread = std::thread([shared, work = std::move(work)] {
            const int result = work();
            const std::lock_guard lock(shared->mutex);
            shared->result = result;
            shared->done = true;
            if (shared->waiter)
                shared->waiter->wakeUp();
        });
    } catch (const std::system_error &e) {
        return e.code().value();
    }
    const auto running = [&] {
        const std::lock_guard lock(shared->mutex);
        return !shared->done;
    };
    sleepWhile(running, deadline);
    const std::lock_guard lock(shared->mutex);
    if (!shared->done) {
        shared->waiter = nullptr;
        thread.detach();
        return std::nullopt;
    }
    thread.join();
    return shared->result;
}
