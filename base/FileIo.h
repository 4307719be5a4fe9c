#pragma once

#include <QByteArray>

#include <sys/types.h>

// Whole reads and writes on a descriptor, retried where a signal cut them short.
namespace FileIo {
// Writes all size bytes; 0, or the errno (ENOSPC for a write that stores nothing,
// so that the reason is named rather than a short file left).
int writeAll(int fd, const char *data, qsizetype size);
inline int writeAll(int fd, const QByteArray &bytes)
{
    return writeAll(fd, bytes.constData(), bytes.size());
}
// Reads from the current position to the end, growing *bytes as needed (its
// size going in is a hint). 0, or the errno.
int readAll(int fd, QByteArray *bytes);
// One pread of at most size bytes at offset: the count read, or -1 with errno set.
ssize_t readAt(int fd, char *data, qsizetype size, off_t offset);
// The whole of a small plain file named path, never waiting on what is not one (a
// FIFO, say) and never following a link. 0, or the errno: ENOENT when nothing has
// the name, EINVAL when it is no plain file or larger than maxSize.
int readSmallFile(const QByteArray &path, qsizetype maxSize, QByteArray *bytes);

// What survives a power cut is only what was synced: the bytes of a file before it
// is given a name others rely on, and the folder after a name in it changed.
// Brings fd's bytes (and the size that reaches them) to the disk; 0 or the errno.
int syncData(int fd);
// Brings the names in folder dir to the disk; 0 or the errno.
int syncFolder(const QByteArray &dir);
} // namespace FileIo
