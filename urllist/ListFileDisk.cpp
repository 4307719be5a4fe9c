#include "urllist/ListFileDisk.h"

#include "base/FileIo.h"
#include "base/Rename.h"
#include "base/UniqueFd.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
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

// The mode a new list gets: the old one's, or what the umask leaves of 0666.
mode_t listMode(const QByteArray &listPath)
{
    struct stat st;
    if (::stat(listPath.constData(), &st) == 0)
        return st.st_mode & 07777;
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return 0666 & ~mask;
}

// Opens the spare file for writing, taking its name back from whatever else has it.
UniqueFd openSpare(const QByteArray &sparePath, mode_t mode)
{
    // Overwritten in place and cut to size afterwards: emptying the spare first would
    // free and allocate its blocks on every save.
    // Not blocking: a FIFO under the spare's name fails the open (ENXIO) and is replaced.
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    UniqueFd fd(::open(sparePath.constData(), flags, mode));
    if (!fd && errno != ENOENT && errno != ENOSPC && errno != EROFS) {
        // Something else took the spare's name (a link, a folder): it is ours to replace.
        if (!QFile::remove(QFile::decodeName(sparePath)))
            QDir().rmdir(QFile::decodeName(sparePath));
        fd.reset(::open(sparePath.constData(), flags, mode));
    }
    return fd;
}

// Writes bytes into the spare file, whole, with the list's mode; *written becomes
// its state. 0 or the errno; a spare that could not be written whole is removed.
int writeSpare(const QByteArray &sparePath, const QByteArray &bytes, mode_t mode, ListFileDisk::Stamp *written,
               QElapsedTimer *syncing)
{
    UniqueFd fd = openSpare(sparePath, mode);
    if (!fd)
        return errno;
    // A short write is retried, so that the system names the reason (disk full, file
    // size limit) instead of a truncated file taking the list's place.
    int error = ::fchmod(fd.get(), mode) == 0 ? FileIo::writeAll(fd.get(), bytes) : errno;
    if (error == 0 && (::ftruncate(fd.get(), off_t(bytes.size())) != 0 || !fdStamp(fd.get(), written)))
        error = errno;
    // On the disk before it takes the list's name: after a power cut the list must
    // not be an empty file.
    if (error == 0) {
        syncing->start();
        error = FileIo::syncData(fd.get());
    }
    if (const int closed = fd.close(); error == 0)
        error = closed;
    if (error != 0)
        ::unlink(sparePath.constData());
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
    const UniqueFd fd(::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return false;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return false;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return false;
    }
    QByteArray data(qsizetype(st.st_size), Qt::Uninitialized);
    if (const int error = FileIo::readAll(fd.get(), &data)) {
        errno = error;
        return false;
    }
    *stamp = stampOf(st);
    stamp->size = off_t(data.size());
    // The stamp must describe what was read, also when the file grew meanwhile.
    struct stat after;
    if (::fstat(fd.get(), &after) == 0 && after.st_size == off_t(data.size()))
        *stamp = stampOf(after);
    *bytes = data;
    return true;
}

int ListFileDisk::replace(const QByteArray &bytes, Stamp *stamp, qint64 *syncNs) const
{
    // The new list is written into a hidden spare file beside the list, which then
    // swaps names with the list in one step. Swapping instead of renaming over the
    // list keeps both files: on ext4 every freed inode makes the next file creation
    // slower.
    const QString listPath = target();
    const QByteArray targetPath = QFile::encodeName(listPath);
    const QByteArray sparePath = QFile::encodeName(spareFile(listPath));
    const mode_t mode = listMode(targetPath);
    // Only an ordinary file is swapped out; a folder in the list's place would be
    // moved aside instead.
    struct stat st;
    if (::lstat(targetPath.constData(), &st) == 0 && !S_ISREG(st.st_mode))
        return S_ISDIR(st.st_mode) ? EISDIR : EEXIST;
    Stamp written;
    QElapsedTimer syncing;
    if (const int error = writeSpare(sparePath, bytes, mode, &written, &syncing))
        return error;
    qint64 synced = syncing.nsecsElapsed();
    // Lines another program added while this was written must not vanish with the
    // file they were added to.
    if (stampAt(targetPath) != *stamp) {
        ::unlink(sparePath.constData());
        return ChangedMeanwhile;
    }
    if (Rename::exchange(sparePath.constData(), targetPath.constData()) == 0) {
        // Written between the look above and the swap: the old list, now under the
        // spare's name, goes back, and the caller takes the other program's lines in.
        if (stampAt(sparePath) != *stamp) {
            Rename::exchange(sparePath.constData(), targetPath.constData());
            return ChangedMeanwhile;
        }
    } else if (::rename(sparePath.constData(), targetPath.constData()) != 0) {
        // No list yet, or a file system that cannot swap: renamed over it.
        const int error = errno;
        ::unlink(sparePath.constData());
        return error;
    }
    // The file is ours whatever the folder's sync says; a failed one is still told,
    // and the next save writes and syncs again.
    *stamp = written;
    syncing.start();
    const int error = FileIo::syncFolder(QFile::encodeName(QFileInfo(listPath).path()));
    if (syncNs)
        *syncNs = synced + syncing.nsecsElapsed();
    return error;
}

int ListFileDisk::cutTo(off_t size, Stamp *stamp) const
{
    // Cut after every entry of a run: the list's own path first, the file a link
    // points to only when it is one.
    constexpr int flags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    UniqueFd fd(::open(QFile::encodeName(m_path).constData(), flags));
    if (!fd && errno == ELOOP)
        fd.reset(::open(QFile::encodeName(target()).constData(), flags));
    if (!fd)
        return errno;
    ListFileDisk::Stamp now;
    if (!fdStamp(fd.get(), &now))
        return errno;
    if (now != *stamp)
        return ChangedMeanwhile;
    if (::ftruncate(fd.get(), size) != 0 || !fdStamp(fd.get(), stamp))
        return errno;
    return 0;
}
