#include "download/PartFile.h"

#include "download/LocalPath.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// renameat2() flag: fail with EEXIST instead of replacing the target.
constexpr unsigned RenameNoReplace = 1u;
// Random names tried for the hidden file before giving up.
constexpr int HiddenNameTries = 100;

int writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size_t(size));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return errno;
        }
        data += written;
        size -= written;
    }
    return 0;
}
} // namespace

PartFile::~PartFile()
{
    discard();
}

void PartFile::open(const QString &dir)
{
    discard();
    for (int attempt = 0; attempt < HiddenNameTries; ++attempt) {
        const QString candidate = dir + u'/' + QLatin1String(Prefix)
            + QString::number(QRandomGenerator::global()->generate64(), 36);
        const int fd = ::open(QFile::encodeName(candidate).constData(),
                              O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            m_fd = fd;
            m_path = candidate;
            m_buffer.reserve(BlockSize);
            return;
        }
        if (errno != EEXIST)
            throw FileError(errno);
    }
    throw FileError(EEXIST);
}

int PartFile::append(const char *data, qsizetype size)
{
    if (m_fd < 0)
        return EBADF;
    m_size += size;
    if (m_buffer.size() + size <= BlockSize) {
        m_buffer.append(data, size);
        return 0;
    }
    if (const int error = finishWriting())
        return error;
    if (size >= BlockSize)
        return writeAll(m_fd, data, size);
    m_buffer.append(data, size);
    return 0;
}

int PartFile::finishWriting()
{
    if (m_buffer.isEmpty())
        return 0;
    const int error = m_fd < 0 ? EBADF : writeAll(m_fd, m_buffer.constData(), m_buffer.size());
    m_buffer.resize(0);
    return error;
}

QByteArray PartFile::read(qsizetype size)
{
    if (m_readBufferPos >= m_readBuffer.size() && m_readPos < m_size) {
        if (m_fd < 0)
            throw FileError(EBADF);
        m_readBuffer.resize(qsizetype(std::min<qint64>(BlockSize, m_size - m_readPos)));
        ssize_t n;
        do
            n = ::pread(m_fd, m_readBuffer.data(), size_t(m_readBuffer.size()), m_readPos);
        while (n < 0 && errno == EINTR);
        if (n <= 0) {
            // Shorter than what was written: someone cut the file under us.
            const int error = n < 0 ? errno : EIO;
            m_readBuffer.resize(0);
            throw FileError(error);
        }
        m_readBuffer.resize(n);
        m_readBufferPos = 0;
        m_readPos += n;
    }
    const QByteArray piece = m_readBuffer.mid(m_readBufferPos, size);
    m_readBufferPos += piece.size();
    return piece;
}

int PartFile::moveNoReplace(const QByteArray &from, const QByteArray &to, bool *moved)
{
    *moved = false;
    // A rename that refuses to replace: one step, and whatever took the name meanwhile
    // stays, so the next number is tried.
    if (::syscall(SYS_renameat2, AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RenameNoReplace) == 0) {
        *moved = true;
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS)
        return errno;
    // Kernels or file systems without that rename: link() never replaces and never
    // follows a link at the target either.
    if (::link(from.constData(), to.constData()) == 0)
        return 0;
    return errno;
}

QString PartFile::publish(const QString &dir, const QString &fileName, const QString &path, int counter)
{
    if (const int error = finishWriting())
        throw FileError(error);
    const QByteArray from = QFile::encodeName(m_path);
    QString target = path;
    for (int attempt = 0; attempt < LocalPath::MaxNameTries; ++attempt) {
        bool moved = false;
        const int error = moveNoReplace(from, QFile::encodeName(target), &moved);
        if (error == 0) {
            if (!moved)
                ::unlink(from.constData());
            m_path.clear();
            discard();
            return target;
        }
        if (error != EEXIST)
            throw FileError(error);
        target = LocalPath::ChooseLocalPath(dir, fileName, &counter);
    }
    throw FileError(EEXIST);
}

void PartFile::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_buffer.resize(0);
    m_readBuffer = QByteArray();
    m_readBufferPos = 0;
    m_size = m_readPos = 0;
    if (!m_path.isEmpty()) {
        ::unlink(QFile::encodeName(m_path).constData());
        m_path.clear();
    }
}
