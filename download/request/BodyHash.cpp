#include "download/request/BodyHash.h"

#include "base/FileIo.h"
#include "base/UniqueFd.h"
#include "download/TransferError.h"
#include "log/SystemErrorText.h"

#include <QAbstractEventDispatcher>
#include <QByteArray>
#include <QDeadlineTimer>
#include <QStringList>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <vector>

namespace {
struct ContextDeleter
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using Context = std::unique_ptr<EVP_MD_CTX, ContextDeleter>;

// How often a thread that has caught up with the body looks whether it grew.
constexpr auto LookAgain = std::chrono::milliseconds(10);
// How long the end of the program waits for threads that were told to stop.
constexpr int LeavingGraceMs = 2000;
} // namespace

class BodyHash::Worker
{
public:
    Worker(const QList<Checksum::Sum> &sums, int fd);
    // Waits for its threads: at once when they are done.
    ~Worker();
    void complete(qint64 size);
    // Tells the threads to stop at their next block; waits for nothing.
    void cancel();
    // Lets the threads run on by themselves; this object must then outlive them.
    void detach();
    bool ended() const { return m_ended; }
    bool done() const { return m_threads == 0; }
    Verdict finish();

private:
    // Hashes on until the body's end; behind: only until the rest is handed over.
    void hash(bool behind);
    // How far the thread may read: the whole body once known, else what the file holds.
    qint64 limit(bool *whole) const;
    bool waitForMore();
    Verdict compare();

    QList<Checksum::Sum> m_sums;
    std::vector<Context> m_contexts;
    bool m_broken = false;
    UniqueFd m_fd;
    // Touched by one thread at a time: the one behind the body, then the one that
    // takes over once it is complete.
    qint64 m_at = 0;
    int m_readError = 0;

    // The owner never takes it: a thread of the idle policy may be held off the
    // processors for long while it holds the lock. A wake-up lost to that costs the
    // thread one LookAgain.
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::atomic<qint64> m_size = -1; // of the whole body, once complete
    std::atomic<bool> m_cancelled = false;
    std::atomic<bool> m_handedOver = false;
    std::atomic<bool> m_ended = false;
    std::atomic<int> m_threads = 0;
    QAbstractEventDispatcher *m_waiter;
    std::thread m_behind;
    std::thread m_rest;
};

BodyHash::Worker::Worker(const QList<Checksum::Sum> &sums, int fd)
    : m_sums(sums)
    , m_fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0))
    , m_waiter(QAbstractEventDispatcher::instance())
{
    if (!m_fd)
        m_readError = errno;
    for (const Checksum::Sum &sum : sums) {
        Context context(EVP_MD_CTX_new());
        m_broken = m_broken || !context || EVP_DigestInit_ex(context.get(), sum.digest, nullptr) != 1;
        m_contexts.push_back(std::move(context));
    }
    if (m_broken || m_readError != 0) {
        m_ended = true;
        return;
    }
    m_threads = 1;
    try {
        m_behind = std::thread([this] {
            // Best effort: where the policy is refused, the hash merely competes.
            sched_param idle{};
            pthread_setschedparam(pthread_self(), SCHED_IDLE, &idle);
            hash(true);
            --m_threads;
        });
    } catch (const std::system_error &) {
        m_broken = true;
        m_ended = true;
        m_threads = 0;
    }
}

BodyHash::Worker::~Worker()
{
    cancel();
    // The one that took over joins the one behind first.
    if (m_rest.joinable())
        m_rest.join();
    if (m_behind.joinable())
        m_behind.join();
}

void BodyHash::Worker::cancel()
{
    m_cancelled = true;
    m_wake.notify_all();
}

void BodyHash::Worker::detach()
{
    cancel();
    // The one that took over still joins the one behind.
    if (m_rest.joinable())
        m_rest.detach();
    else if (m_behind.joinable())
        m_behind.detach();
}

qint64 BodyHash::Worker::limit(bool *whole) const
{
    const qint64 size = m_size;
    *whole = size >= 0;
    if (*whole)
        return size;
    // The kernel moves a file's size only past bytes already in it, so whatever lies
    // below it can be read while the body is still being appended.
    struct stat st;
    return ::fstat(m_fd.get(), &st) == 0 ? qint64(st.st_size) : 0;
}

bool BodyHash::Worker::waitForMore()
{
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, LookAgain, [this] { return m_cancelled || m_size >= 0; });
    return !m_cancelled;
}

void BodyHash::Worker::hash(bool behind)
{
    std::vector<char> buffer(static_cast<size_t>(BlockSize));
    while (!m_cancelled && m_readError == 0) {
        if (behind && m_handedOver)
            return;
        bool whole = false;
        const qint64 end = limit(&whole);
        if (m_at >= end) {
            if (whole || !waitForMore())
                break;
            continue;
        }
        const ssize_t n = FileIo::readAt(m_fd.get(), buffer.data(), qsizetype(std::min<qint64>(BlockSize, end - m_at)), off_t(m_at));
        if (n <= 0) {
            // Shorter than the body written into it: cut under us.
            m_readError = n < 0 ? errno : EIO;
            break;
        }
        for (const Context &context : m_contexts)
            EVP_DigestUpdate(context.get(), buffer.data(), size_t(n));
        m_at += n;
    }
    m_ended = true;
    if (m_waiter)
        m_waiter->wakeUp();
}

void BodyHash::Worker::complete(qint64 size)
{
    m_size = size;
    m_wake.notify_all();
    if (m_rest.joinable() || !m_behind.joinable())
        return;
    // A thread cannot leave the idle policy without privileges: a new one, at the
    // priority of the thread that starts it, goes on where the one behind stops.
    ++m_threads;
    try {
        m_rest = std::thread([this] {
            m_behind.join();
            hash(false);
            --m_threads;
        });
    } catch (const std::system_error &) {
        --m_threads;
        return; // the one behind hashes on to the end
    }
    m_handedOver = true;
}

BodyHash::Verdict BodyHash::Worker::finish()
{
    if (m_rest.joinable())
        m_rest.join();
    if (m_behind.joinable())
        m_behind.join();
    return compare();
}

BodyHash::Verdict BodyHash::Worker::compare()
{
    const Verdict broken{false, TransferError::ChecksumFailed, QStringLiteral("Prüfsumme nicht berechenbar"), {}};
    if (m_broken)
        return broken;
    if (m_readError != 0)
        return {false, TransferError::PartFileFailure,
                QStringLiteral("Datei im Download-Ordner nicht lesbar: ") + systemErrorText(m_readError), {}};
    QStringList checked;
    for (qsizetype i = 0; i < m_sums.size(); ++i) {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        if (EVP_DigestFinal_ex(m_contexts[size_t(i)].get(), digest, &length) != 1)
            return broken;
        const Checksum::Sum &sum = m_sums.at(i);
        const QByteArray received = QByteArray(reinterpret_cast<const char *>(digest), qsizetype(length)).toHex();
        if (received != sum.expected) {
            return {false, TransferError::ChecksumFailed,
                    QStringLiteral("Prüfsumme falsch: %1 erwartet %2, erhalten %3")
                        .arg(QLatin1String(sum.algorithm), QLatin1String(sum.expected), QLatin1String(received)),
                    {}};
        }
        checked << QLatin1String(sum.algorithm);
    }
    return {true, 0, {}, checked.join(QStringLiteral(", "))};
}

BodyHash::BodyHash() = default;

BodyHash::~BodyHash()
{
    letGo();
    // Those let go of were told to stop and end within a block, unless a read waits
    // for a disk that hangs: such a one is left to the end of the process, which
    // would otherwise never come.
    const QDeadlineTimer deadline(LeavingGraceMs);
    while (!m_leaving.empty() && !deadline.hasExpired()) {
        std::this_thread::sleep_for(LookAgain);
        std::erase_if(m_leaving, [](const std::unique_ptr<Worker> &worker) { return worker->done(); });
    }
    for (std::unique_ptr<Worker> &worker : m_leaving)
        worker.release()->detach();
}

void BodyHash::start(const QList<Checksum::Sum> &sums, int fd)
{
    stop();
    if (!sums.isEmpty())
        m_worker = std::make_unique<Worker>(sums, fd);
}

void BodyHash::complete(qint64 size)
{
    m_complete = true;
    if (m_worker)
        m_worker->complete(size);
}

bool BodyHash::hashing() const
{
    return m_worker && m_complete && !m_worker->ended();
}

BodyHash::Verdict BodyHash::finish()
{
    if (!m_worker)
        return m_verdict;
    if (m_complete) {
        m_verdict = m_worker->finish();
        m_worker.reset();
    } else {
        // Only a whole body can match; the thread would wait for the rest forever.
        m_verdict = {false, TransferError::ChecksumFailed, QStringLiteral("Prüfsumme nicht berechenbar"), {}};
        letGo();
    }
    return m_verdict;
}

void BodyHash::stop()
{
    letGo();
    m_complete = false;
    m_verdict = {};
}

void BodyHash::letGo()
{
    // The thread behind the body may wait long for a processor on a busy machine:
    // one still running is told to stop and left to end by itself, never waited for
    // here, on the window's thread.
    if (m_worker) {
        m_worker->cancel();
        if (!m_worker->done())
            m_leaving.push_back(std::move(m_worker));
        m_worker.reset();
    }
    std::erase_if(m_leaving, [](const std::unique_ptr<Worker> &worker) { return worker->done(); });
}
