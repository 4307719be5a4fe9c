#include "shell/InstanceLock.h"

#include <QFile>

#include <cerrno>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

InstanceLock::InstanceLock(const QString &path)
    : m_path(path)
{
}

InstanceLock::~InstanceLock()
{
    unlock();
}

InstanceLock::Result InstanceLock::tryLock()
{
    const QByteArray path = QFile::encodeName(m_path);
    // The holder removes the file before it lets go; a start that opened the file
    // just before that holds a lock on a file nobody else can see, and tries again.
    for (int attempt = 0; attempt < 100; ++attempt) {
        // Not blocking: a FIFO under the name must not hold the start.
        UniqueFd fd(::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644));
        // A lock file left in a folder that is read-only now still serves.
        if (!fd && (errno == EROFS || errno == EACCES)) {
            const int refused = errno;
            fd.reset(::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
            if (!fd)
                errno = refused;
        }
        if (!fd) {
            m_error = errno;
            return Result::Failed;
        }
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
            m_error = errno;
            return m_error == EWOULDBLOCK ? Result::HeldElsewhere : Result::Failed;
        }
        struct stat held, named;
        if (::fstat(fd.get(), &held) == 0 && ::stat(path.constData(), &named) == 0 && held.st_dev == named.st_dev
            && held.st_ino == named.st_ino) {
            m_fd = std::move(fd);
            return Result::Locked;
        }
    }
    m_error = EAGAIN;
    return Result::Failed;
}

void InstanceLock::unlock()
{
    if (!m_fd)
        return;
    ::unlink(QFile::encodeName(m_path).constData());
    m_fd.reset();
}
