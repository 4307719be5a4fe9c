#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// The list file on disk: reading it, replacing it whole, cutting lines off its end,
// and telling whether anyone but us changed it since.
class ListFileDisk
{
public:
    // What identifies one state of the file: a rewrite by any program changes at
    // least one of these.
    struct Stamp
    {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        qint64 modifiedNs = 0;

        bool operator==(const Stamp &other) const = default;
    };

    void setPath(const QString &path) { m_path = path; }
    QString path() const { return m_path; }

    // The file a save goes to: for a list that is a link, the file it points to.
    QString target() const;
    static QString spareFile(const QString &listFile);
    void removeSpare() const;

    // The current state of the file; errno is left for the caller when it fails.
    Stamp stamp() const;
    // Whether its owner made the file read-only, or the system refuses to write it.
    // Root may write anything, so the write permission bits count on their own too.
    bool readOnly() const;

    // Reads the whole file. On failure returns false with errno set.
    bool read(QByteArray *bytes, Stamp *stamp) const;
    // What replace and cutTo return when the file is no longer in the state expected:
    // someone else wrote it since it was last looked at.
    static constexpr int ChangedMeanwhile = -1;

    // Replaces the file by one holding bytes, in one step: a kill, a crash or a full
    // disk leaves the old file or the new one, never part of one; a power cut too,
    // as its bytes are synced before the swap and the folder after it. Returns 0 or errno.
    // *stamp is the state the file is expected in, and becomes the new one.
    // *syncNs, when asked for, is the part of the time spent waiting for the disk.
    int replace(const QByteArray &bytes, Stamp *stamp, qint64 *syncNs = nullptr) const;
    // Cuts the file to size bytes (lines off its end) in one system call. Returns 0 or
    // errno; *stamp as for replace.
    int cutTo(off_t size, Stamp *stamp) const;

private:
    QString m_path;
};
