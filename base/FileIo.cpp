#include "base/FileIo.h"

#include "base/UniqueFd.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int FileIo::writeAll(int fd, const char *data, qsizetype size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? errno : ENOSPC;
        data += n;
        size -= n;
    }
    return 0;
}

int FileIo::readAll(int fd, QByteArray *bytes)
{
    QByteArray &data = *bytes;
    qsizetype done = 0;
    for (;;) {
        if (done == data.size())
            data.resize(done + 65536);
        const ssize_t n = ::read(fd, data.data() + done, size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int error = errno;
            data.truncate(done);
            return error;
        }
        if (n == 0)
            break;
        done += n;
    }
    data.truncate(done);
    return 0;
}

ssize_t FileIo::readAt(int fd, char *data, qsizetype size, off_t offset)
{
    ssize_t n;
    do
        n = ::pread(fd, data, size_t(size), offset);
    while (n < 0 && errno == EINTR);
    return n;
}

int FileIo::readSmallFile(const QByteArray &path, qsizetype maxSize, QByteArray *bytes)
{
    bytes->clear();
    const UniqueFd fd(::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd)
        return errno;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0)
        return errno;
    if (!S_ISREG(st.st_mode) || st.st_size > maxSize)
        return EINVAL;
    bytes->resize(qsizetype(st.st_size));
    const ssize_t n = readAt(fd.get(), bytes->data(), bytes->size(), 0);
    if (n < 0) {
        const int error = errno;
        bytes->clear();
        return error;
    }
    bytes->resize(qsizetype(n));
    return 0;
}

int FileIo::syncData(int fd)
{
    int result;
    do
        result = ::fdatasync(fd);
    while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}

int FileIo::syncFolder(const QByteArray &dir)
{
    UniqueFd fd(::open(dir.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return errno;
    int result;
    do
        result = ::fsync(fd.get());
    while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : errno;
}
