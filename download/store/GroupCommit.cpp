#include "download/store/GroupCommit.h"

#include "base/FileIo.h"
#include "download/FileError.h"

#include <QFile>
#include <QHash>
#include <QSet>

#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

struct GroupCommit::State
{
    struct Item
    {
        quint64 ticket = 0;
        Body body;
        int error = 0;
    };

    std::mutex mutex;
    std::condition_variable toFlushReady;
    std::condition_variable flushedReady;
    std::deque<Item> toFlush;
    std::vector<Item> flushed;
    int flushing = 0;
    QList<Report> reports;
    // Not yet durable or failed; of those, the part files not yet named, and those a
    // naming thread took: the path planned until named, then the path it got.
    QSet<quint64> pending;
    QHash<quint64, QString> unnamed;
    QHash<quint64, QString> naming;
    quint64 nextTicket = 1;
    int idleFlushers = 0;
    bool stopping = false;
    // Bodies with a lower ticket were given up on.
    quint64 abandonedBefore = 0;
    std::function<void()> reportsWaiting;
    // Touched only by the owner's thread.
    std::vector<std::thread> threads;
    bool namerStarted = false;

    int flushers() const { return int(threads.size()) - (namerStarted ? 1 : 0); }

    // With the mutex held.
    void post(Report report)
    {
        if (!pending.contains(report.ticket))
            return;
        if (report.kind != Report::Kind::Named)
            pending.remove(report.ticket);
        const bool first = reports.isEmpty();
        reports.append(std::move(report));
        if (first && reportsWaiting)
            reportsWaiting();
    }
};

namespace {
using Kind = GroupCommit::Report::Kind;

// A body that gets no name. One whose flush failed is never continued: the kernel
// may have dropped the pages that did not reach the disk and will not say so again,
// so a later request would build on holes.
void release(PartFile::Finished &file, int flushError)
{
    if (flushError != 0)
        PartFile::drop(file);
    else
        PartFile::letGo(file);
}

// Names one flushed body; what it failed with otherwise.
GroupCommit::Report nameOne(quint64 ticket, GroupCommit::Body &body, int flushError)
{
    if (flushError == 0) {
        try {
            return {Kind::Named, ticket, PartFile::name(body.file, body.dir, body.fileName, body.path, body.counter, body.entry)};
        } catch (const FileError &e) {
            release(body.file, 0);
            return {Kind::Failed, ticket, body.path, e.errnum()};
        }
    }
    release(body.file, flushError);
    return {Kind::Failed, ticket, body.path, flushError};
}
} // namespace

GroupCommit::GroupCommit(std::function<void()> reportsWaiting)
    : m(std::make_shared<State>())
{
    m->reportsWaiting = std::move(reportsWaiting);
}

GroupCommit::~GroupCommit()
{
    std::unique_lock lock(m->mutex);
    m->stopping = true;
    m->reportsWaiting = nullptr;
    // A thread given up on may hang in a flush of a dead disk for good: it keeps the
    // state alive by itself and names nothing when it comes back.
    const bool finish = m->abandonedBefore == 0;
    std::vector<std::thread> threads = std::move(m->threads);
    lock.unlock();
    m->toFlushReady.notify_all();
    m->flushedReady.notify_all();
    for (std::thread &thread : threads) {
        if (finish)
            thread.join();
        else
            thread.detach();
    }
}

quint64 GroupCommit::add(Body body)
{
    std::unique_lock lock(m->mutex);
    try {
        if (!m->namerStarted) {
            m->threads.emplace_back(nameLoop, m);
            m->namerStarted = true;
        }
        // A body that finds no idle flusher gets a new one: on a slow disk every flush
        // waits long, and bodies keep coming meanwhile.
        if (qsizetype(m->toFlush.size()) >= m->idleFlushers && m->flushers() < MaxFlushers) {
            try {
                m->threads.emplace_back(flushLoop, m);
            } catch (const std::system_error &) {
                // The flushers there are serve it later.
                if (m->flushers() == 0)
                    throw;
            }
        }
    } catch (const std::system_error &e) {
        // Nothing would ever take the body: it is not handed in.
        lock.unlock();
        PartFile::letGo(body.file);
        throw FileError(e.code().value() != 0 ? e.code().value() : EAGAIN);
    }
    const quint64 ticket = m->nextTicket++;
    m->pending.insert(ticket);
    m->unnamed.insert(ticket, body.file.path);
    m->toFlush.push_back({ticket, std::move(body), 0});
    m->toFlushReady.notify_one();
    return ticket;
}

QList<GroupCommit::Report> GroupCommit::takeReports()
{
    std::lock_guard lock(m->mutex);
    return std::exchange(m->reports, {});
}

int GroupCommit::pending() const
{
    std::lock_guard lock(m->mutex);
    return int(m->pending.size());
}

bool GroupCommit::holds(const QString &partPath) const
{
    std::lock_guard lock(m->mutex);
    for (const QString &path : std::as_const(m->unnamed)) {
        if (path == partPath)
            return true;
    }
    return false;
}

int GroupCommit::abandon()
{
    std::lock_guard lock(m->mutex);
    m->abandonedBefore = m->nextTicket;
    // Whether a body taken for naming gets its name cannot be waited for on a disk
    // that hangs; either way its entry stays, and the report says so.
    for (auto it = m->naming.cbegin(); it != m->naming.cend(); ++it)
        m->post({Kind::Unsettled, it.key(), it.value(), 0});
    const int left = int(m->pending.size());
    m->pending.clear();
    m->unnamed.clear();
    m->naming.clear();
    return left;
}

void GroupCommit::flushLoop(const std::shared_ptr<State> &s)
{
    std::unique_lock lock(s->mutex);
    for (;;) {
        ++s->idleFlushers;
        s->toFlushReady.wait(lock, [&] { return !s->toFlush.empty() || s->stopping; });
        --s->idleFlushers;
        if (s->toFlush.empty())
            return;
        State::Item item = std::move(s->toFlush.front());
        s->toFlush.pop_front();
        ++s->flushing;
        const bool wanted = item.ticket >= s->abandonedBefore;
        lock.unlock();
        if (wanted)
            item.error = FileIo::syncData(item.body.file.fd.get());
        lock.lock();
        --s->flushing;
        s->flushed.push_back(std::move(item));
        s->flushedReady.notify_one();
    }
}

void GroupCommit::nameLoop(const std::shared_ptr<State> &s)
{
    std::unique_lock lock(s->mutex);
    for (;;) {
        s->flushedReady.wait(lock, [&] {
            return !s->flushed.empty() || (s->stopping && s->toFlush.empty() && s->flushing == 0);
        });
        if (s->flushed.empty())
            return;
        // Everything flushed so far forms the group: named one by one, then one flush
        // of the folder makes all its names durable.
        std::vector<State::Item> group = std::exchange(s->flushed, {});
        QHash<QString, QList<quint64>> namedIn;
        for (State::Item &item : group) {
            const bool wanted = item.ticket >= s->abandonedBefore;
            // Taken while the lock is held: a give-up from here on knows it may be named.
            if (wanted && item.error == 0)
                s->naming.insert(item.ticket, item.body.path);
            lock.unlock();
            if (!wanted) {
                release(item.body.file, item.error);
                lock.lock();
                continue;
            }
            Report report = nameOne(item.ticket, item.body, item.error);
            lock.lock();
            s->unnamed.remove(item.ticket);
            if (report.kind == Kind::Named && s->naming.contains(item.ticket)) {
                s->naming.insert(item.ticket, report.path);
                namedIn[item.body.dir].append(item.ticket);
            } else {
                s->naming.remove(item.ticket);
            }
            // The one place that decides whether the name is worth telling.
            if (report.kind != Kind::Named || report.path != item.body.path)
                s->post(std::move(report));
        }
        for (auto it = namedIn.cbegin(); it != namedIn.cend(); ++it) {
            lock.unlock();
            const int error = FileIo::syncFolder(QFile::encodeName(it.key()));
            lock.lock();
            for (const quint64 ticket : it.value()) {
                // Gone when given up on meanwhile; that reported it already.
                const QString path = s->naming.take(ticket);
                s->post({error == 0 ? Kind::Durable : Kind::Unsettled, ticket, path, error});
            }
        }
    }
}
