#include "urllist/ListWriter.h"

#include "urllist/ListFileFormat.h"

#include <QElapsedTimer>
#include <QMetaObject>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <system_error>

// What the window's thread and the writer's share. The writer keeps it alive on its
// own, so that a writer left behind at the end of the program touches nothing freed.
struct ListWriter::Shared
{
    std::mutex mutex;
    std::condition_variable wake;
    std::optional<Job> job;
    bool writing = false;
    bool stop = false;
    // Cleared when the owner goes: a write that ends later tells nobody.
    ListWriter *owner = nullptr;
    ListFileDisk disk;
};

ListWriter::ListWriter(const ListFileDisk &disk, QObject *parent)
    : QObject(parent)
    , m_disk(disk)
{
}

ListWriter::~ListWriter()
{
    if (!m_shared)
        return;
    bool writing = false;
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->owner = nullptr;
        m_shared->stop = true;
        writing = m_shared->writing || m_shared->job.has_value();
    }
    m_shared->wake.notify_all();
    if (writing)
        m_thread.detach();
    else
        m_thread.join();
}

bool ListWriter::start(Job job)
{
    if (!m_shared) {
        auto shared = std::make_shared<Shared>();
        shared->owner = this;
        shared->disk = m_disk;
        try {
            m_thread = std::thread(writeLoop, shared);
        } catch (const std::system_error &) {
            return false;
        }
        m_shared = std::move(shared);
    }
    {
        const std::lock_guard lock(m_shared->mutex);
        m_shared->job = std::move(job);
    }
    m_busy = true;
    m_shared->wake.notify_one();
    return true;
}

void ListWriter::writeLoop(std::shared_ptr<Shared> shared)
{
    std::unique_lock lock(shared->mutex);
    for (;;) {
        shared->wake.wait(lock, [&] { return shared->stop || shared->job; });
        if (!shared->job)
            return;
        const Job job = std::move(*shared->job);
        shared->job.reset();
        shared->writing = true;
        lock.unlock();
        const Done done = write(shared->disk, job);
        lock.lock();
        shared->writing = false;
        // Posted under the lock: the owner cannot go in between, and once it has gone
        // the event goes with it.
        if (ListWriter *owner = shared->owner)
            QMetaObject::invokeMethod(owner, [owner, done] { owner->deliver(done); }, Qt::QueuedConnection);
    }
}

ListWriter::Done ListWriter::write(const ListFileDisk &disk, const Job &job)
{
    Done done;
    done.stamp = job.stamp;
    if (job.cutTo >= 0) {
        done.error = disk.cutTo(job.cutTo, &done.stamp);
        done.landed = done.error == 0;
        return done;
    }
    QElapsedTimer clock;
    clock.start();
    qint64 syncNs = 0;
    done.error = disk.replace(joinedLines(job.lines), &done.stamp, &syncNs);
    done.landed = !(done.stamp == job.stamp);
    done.rewriteNs = clock.nsecsElapsed() - syncNs;
    return done;
}

void ListWriter::deliver(const Done &done)
{
    m_busy = false;
    Q_EMIT finished(done);
}
