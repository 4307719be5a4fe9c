#include "urllist/ListFileDisk.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
ListFileDisk::Stamp stampOf(const struct stat &st)
{
    ListFileDisk::Stamp s;
    s.exists = true;
    s.device = st.st_dev;
    s.inode = st.st_ino;
    s.size = st.st_size;
    s.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return s;
}

bool fdStamp(int fd, ListFileDisk::Stamp *stamp)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return false;
    *stamp = stampOf(st);
    return true;
}

ListFileDisk::Stamp stampAt(const QByteArray &path)
{
    struct stat st;
    return ::stat(path.constData(), &st) == 0 ? stampOf(st) : ListFileDisk::Stamp();
}

// Closes fd and hands back error, whatever close does to errno.
int closeAfter(int fd, int error)
{
    ::close(fd);
    errno = error;
    return error;
}
} // namespace

QString ListFileDisk::target() const
{
    const QFileInfo info(m_path);
    return info.isSymLink() && !info.canonicalFilePath().isEmpty() ? info.canonicalFilePath() : m_path;
}

QString ListFileDisk::spareFile(const QString &listFile)
{
    const QFileInfo info(listFile);
    return info.path() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".spare");
}

void ListFileDisk::removeSpare() const
{
    QFile::remove(spareFile(target()));
}

ListFileDisk::Stamp ListFileDisk::stamp() const
{
    return stampAt(QFile::encodeName(m_path));
}

bool ListFileDisk::readOnly() const
{
    // stat and access follow a link by themselves: the list's own path says it all.
    const QByteArray path = QFile::encodeName(m_path);
    struct stat st;
    if (::stat(path.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    if ((st.st_mode & 0222) == 0)
        return true;
    return ::access(path.constData(), W_OK) != 0 && (errno == EACCES || errno == EROFS || errno == EPERM);
}

bool ListFileDisk::read(QByteArray *bytes, Stamp *stamp) const
{
    // Non-blocking, so that a pipe in the list's place cannot hold the program.
    const int fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        closeAfter(fd, errno);
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    QByteArray data(qsizetype(st.st_size), Qt::Uninitialized);
    qsizetype done = 0;
    for (;;) {
        if (done == data.size())
            data.resize(done + 65536);
        const ssize_t n = ::read(fd, data.data() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            closeAfter(fd, errno);
            return false;
        }
        if (n == 0)
            break;
        done += n;
    }
    data.truncate(done);
    *stamp = stampOf(st);
    stamp->size = off_t(done);
    // The stamp must describe what was read, also when the file grew meanwhile.
    struct stat after;
    if (::fstat(fd, &after) == 0 && after.st_size == off_t(done))
        *stamp = stampOf(after);
    ::close(fd);
    *bytes = data;
    return true;
}

int ListFileDisk::replace(const QByteArray &bytes, Stamp *stamp) const
{
    // The new list is written into a hidden spare file beside the list, which then
    // swaps names with the list in one step. Swapping instead of renaming over the
    // list keeps both files: on ext4 every freed inode makes the next file creation
    // slower. There is no sync either; the kernel keeps what a killed process wrote.
    const QString listPath = target();
    const QByteArray targetPath = QFile::encodeName(listPath);
    const QByteArray sparePath = QFile::encodeName(spareFile(listPath));
    struct stat st;
    mode_t mode = 0;
    if (::stat(targetPath.constData(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        mode = ::umask(0);
        ::umask(mode);
        mode = 0666 & ~mode;
    }
    // Only an ordinary file is swapped out; a folder in the list's place would be
    // moved aside instead.
    if (::lstat(targetPath.constData(), &st) == 0 && !S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
    // Overwritten in place and cut to size afterwards: emptying the spare first would
    // free and allocate its blocks on every save.
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(sparePath.constData(), flags, mode);
    if (fd < 0 && errno != ENOENT && errno != ENOSPC && errno != EROFS) {
        // Something else took the spare's name (a link, a folder): it is ours to replace.
        if (!QFile::remove(QFile::decodeName(sparePath)))
            QDir().rmdir(QFile::decodeName(sparePath));
        fd = ::open(sparePath.constData(), flags, mode);
    }
    if (fd < 0)
        return errno;
    const auto giveUp = [&](int error) {
        ::close(fd);
        ::unlink(sparePath.constData());
        return error;
    };
    if (::fchmod(fd, mode) != 0)
        return giveUp(errno);
    // A short write is retried, so that the system names the reason (disk full, file
    // size limit) instead of a truncated file taking the list's place.
    for (qsizetype done = 0; done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return giveUp(n < 0 ? errno : ENOSPC);
        done += n;
    }
    if (::ftruncate(fd, off_t(bytes.size())) != 0)
        return giveUp(errno);
    Stamp written;
    if (!fdStamp(fd, &written))
        return giveUp(errno);
    if (::close(fd) != 0 && errno != EINTR) {
        const int error = errno;
        ::unlink(sparePath.constData());
        return error;
    }
    // Lines another program added while this was written must not vanish with the
    // file they were added to.
    if (stampAt(targetPath) != *stamp) {
        ::unlink(sparePath.constData());
        return ChangedMeanwhile;
    }
    if (::syscall(SYS_renameat2, AT_FDCWD, sparePath.constData(), AT_FDCWD, targetPath.constData(),
                  2u /*RENAME_EXCHANGE*/) != 0) {
        // No list yet, or a file system that cannot swap: rename over it.
        if (::rename(sparePath.constData(), targetPath.constData()) != 0) {
            const int error = errno;
            ::unlink(sparePath.constData());
            return error;
        }
    }
    *stamp = written;
    return 0;
}

int ListFileDisk::cutTo(off_t size, Stamp *stamp) const
{
    // Cut after every entry of a run: the list's own path first, the file a link
    // points to only when it is one.
    constexpr int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int fd = ::open(QFile::encodeName(m_path).constData(), flags);
    if (fd < 0 && errno == ELOOP)
        fd = ::open(QFile::encodeName(target()).constData(), flags);
    if (fd < 0)
        return errno;
    ListFileDisk::Stamp now;
    if (!fdStamp(fd, &now))
        return closeAfter(fd, errno);
    if (now != *stamp) {
        ::close(fd);
        return ChangedMeanwhile;
    }
    if (::ftruncate(fd, size) != 0 || !fdStamp(fd, stamp))
        return closeAfter(fd, errno);
    ::close(fd);
    return 0;
}
