#pragma once

#include "download/FileError.h"

#include <QByteArray>
#include <QString>

// The one copy of a body on disk: a hidden, exclusively created file in the download
// folder that the body is written into as it arrives, read back piece by piece, and
// in the end either given its real name or removed. Until then nothing under a real
// name can be mistaken for a finished download, and a body of size S takes S on disk.
class PartFile
{
public:
    static constexpr const char *Prefix = ".quorvex-part-";
    // Writes and reads go to the disk in blocks of this size, not piece by piece.
    static constexpr qsizetype BlockSize = 256 * 1024;

    PartFile() = default;
    ~PartFile();
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    // Throws FileError.
    void open(const QString &dir);
    bool isOpen() const { return m_fd >= 0; }

    // Appends body bytes; on failure returns the errno and the file stays as it was
    // written so far. Called from inside libcurl, so it cannot throw.
    int append(const char *data, qsizetype size);
    // Writes what is buffered; returns 0 or the errno.
    int finishWriting();
    qint64 size() const { return m_size; }

    // The next at most size bytes from the start of the body; empty at its end.
    // Throws FileError.
    QByteArray read(qsizetype size);

    // Gives the complete file its name: path when still free, otherwise the next free
    // numbered name of fileName in dir (nothing is ever replaced). Returns the path
    // used. Throws FileError.
    QString publish(const QString &dir, const QString &fileName, const QString &path, int counter);
    // Removes the unfinished file; harmless when there is none.
    void discard();

private:
    // 0 on success, else the errno; never replaces.
    static int moveNoReplace(const QByteArray &from, const QByteArray &to, bool *moved);

    int m_fd = -1;
    QString m_path;
    QByteArray m_buffer;
    qint64 m_size = 0;
    qint64 m_readPos = 0;
    QByteArray m_readBuffer;
    qsizetype m_readBufferPos = 0;
};
