#include "download/request/BodyHash.h"

#include "base/FileIo.h"
#include "base/UniqueFd.h"
#include "download/TransferError.h"
#include "log/SystemErrorText.h"

#include <QByteArray>
#include <QStringList>

#include <openssl/evp.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <mutex>
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
} // namespace

class BodyHash::Worker
{
public:
    Worker(const QList<Checksum::Sum> &sums, int fd);
    ~Worker();
    void complete(qint64 size);
    Verdict finish();

private:
    void run();
    // How far the thread may read: the whole body once known, else what the file holds.
    qint64 limit(bool *whole);
    bool waitForMore();
    Verdict compare();

    QList<Checksum::Sum> m_sums;
    std::vector<Context> m_contexts;
    bool m_broken = false;
    UniqueFd m_fd;
    int m_readError = 0;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    qint64 m_size = -1; // of the whole body, once complete
    std::atomic<bool> m_cancelled = false;
    std::thread m_thread;
};

BodyHash::Worker::Worker(const QList<Checksum::Sum> &sums, int fd)
    : m_sums(sums)
    , m_fd(::fcntl(fd, F_DUPFD_CLOEXEC, 0))
{
    if (!m_fd)
        m_readError = errno;
    for (const Checksum::Sum &sum : sums) {
        Context context(EVP_MD_CTX_new());
        m_broken = m_broken || !context || EVP_DigestInit_ex(context.get(), sum.digest, nullptr) != 1;
        m_contexts.push_back(std::move(context));
    }
    try {
        if (!m_broken && m_readError == 0)
            m_thread = std::thread(&Worker::run, this);
    } catch (const std::system_error &) {
        m_broken = true;
    }
}

BodyHash::Worker::~Worker()
{
    {
        const std::lock_guard lock(m_mutex);
        m_cancelled = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

qint64 BodyHash::Worker::limit(bool *whole)
{
    {
        const std::lock_guard lock(m_mutex);
        *whole = m_size >= 0;
        if (*whole)
            return m_size;
    }
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

void BodyHash::Worker::run()
{
    std::vector<char> buffer(static_cast<size_t>(BlockSize));
    for (qint64 at = 0; !m_cancelled;) {
        bool whole = false;
        const qint64 end = limit(&whole);
        if (at >= end) {
            if (whole || !waitForMore())
                return;
            continue;
        }
        const ssize_t n = FileIo::readAt(m_fd.get(), buffer.data(), qsizetype(std::min<qint64>(BlockSize, end - at)), off_t(at));
        if (n <= 0) {
            // Shorter than the body written into it: cut under us.
            m_readError = n < 0 ? errno : EIO;
            return;
        }
        for (const Context &context : m_contexts)
            EVP_DigestUpdate(context.get(), buffer.data(), size_t(n));
        at += n;
    }
}

void BodyHash::Worker::complete(qint64 size)
{
    {
        const std::lock_guard lock(m_mutex);
        m_size = size;
    }
    m_wake.notify_all();
}

BodyHash::Verdict BodyHash::Worker::finish()
{
    if (m_thread.joinable())
        m_thread.join();
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
BodyHash::~BodyHash() = default;

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

BodyHash::Verdict BodyHash::finish()
{
    if (m_worker) {
        // Only a whole body can match; the thread would wait for the rest forever.
        m_verdict = m_complete ? m_worker->finish()
                               : Verdict{false, TransferError::ChecksumFailed, QStringLiteral("Prüfsumme nicht berechenbar"), {}};
        m_worker.reset();
    }
    return m_verdict;
}

void BodyHash::stop()
{
    m_worker.reset();
    m_complete = false;
    m_verdict = {};
}
