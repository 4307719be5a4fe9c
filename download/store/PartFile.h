#pragma once

#include "base/UniqueFd.h"
#include "download/FileError.h"
#include "download/store/PartInfo.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QString>
#include <QStringList>

#include <optional>

// The one copy of a body on disk: a hidden file in the download folder that the body
// is written into as it arrives, read back piece by piece, and in the end either given
// its real name or kept for a later request. Nothing under a real name can be mistaken
// for a finished download, and a body of size S takes S on disk.
//
// Each URL has its own hidden file, so a later run finds what an interrupted one left.
// Beside it lies what continuing needs (PartInfo); a body without it is never kept.
class PartFile
{
public:
    // Every hidden file the engine leaves in the download folder starts with this.
    static constexpr const char *OwnPrefix = ".quorvex-";
    static constexpr const char *Prefix = ".quorvex-part-";
    static constexpr const char *InfoSuffix = ".info";
    // Writes and reads go to the disk in blocks of this size, not piece by piece.
    static constexpr qsizetype BlockSize = 256 * 1024;
    // Bytes wait in memory at most this long, so a kill on a slow line loses little.
    static constexpr qint64 FlushIntervalMs = 250;
    // Kept bodies not written to for this long are given up.
    static constexpr qint64 MaxAgeS = 30 * 24 * 3600;

    // What an earlier request left for a URL: size 0 when nothing can be continued.
    struct Kept
    {
        qint64 size = 0;
        QByteArray validator;
        qint64 total = -1;
    };

    // Where the part file of url lies in dir.
    static QString pathFor(const QString &dir, const QString &url);

    PartFile() = default;
    ~PartFile();
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    // Opens what an earlier request for url left in dir. Anything that cannot be
    // continued safely (no or foreign description, longer than announced, not a plain
    // file of ours, or a name shared with a published file) is removed. Never throws.
    Kept findKept(const QString &dir, const QString &url);
    // Starts a new body for url, replacing anything kept, and describes it for later
    // (validator empty and total -1 when the server named none: not kept then).
    // Throws FileError.
    void open(const QString &dir, const QString &url, const QByteArray &validator, qint64 total);
    // Continues the kept body at offset, dropping anything after it. Throws FileError.
    void resume(qint64 offset);
    bool isOpen() const { return m_fd.valid(); }
    // What the body is written through, for a reader beside the writer; -1 when closed.
    int descriptor() const { return m_fd.get(); }

    // Appends body bytes; on failure returns the errno and the file stays as it was
    // written so far. Called from inside libcurl, so it cannot throw.
    int append(const char *data, qsizetype size);
    // Writes what is buffered; returns 0 or the errno.
    // whole: the body is complete and is published next, so it needs no description.
    int finishWriting(bool whole = false);
    qint64 size() const { return m_size; }
    // Notes on the file where it came from (user.xdg.origin.url, read by file managers
    // and browsers), so the name it is published under carries it. A file system
    // without extended attributes keeps nothing, and that is no failure.
    void setOrigin(const QByteArray &url);

    // The next at most size bytes from the start of the body; empty at its end.
    // Throws FileError.
    QByteArray read(qsizetype size);
    // Whether read has handed out the whole body.
    bool readToEnd() const { return m_readBufferPos >= m_readBuffer.size() && m_readPos >= m_size; }

    // A complete body on its way to its name, no longer held by any PartFile: its
    // descriptor, its hidden paths and what is needed to keep it should it not be named.
    struct Finished
    {
        UniqueFd fd;
        QString path;
        QString infoPath;
        bool infoMayExist = false;
        bool described = false;
        std::optional<PartInfo> pendingInfo;
        qint64 size = 0;
    };
    // Writes what is buffered and lets go of the complete body; this object holds no
    // file afterwards. Throws FileError.
    Finished finish();
    // Gives a finished body, whose bytes must already be on the disk, its name: path
    // when still free, otherwise the next free numbered name of fileName in dir
    // (nothing is ever replaced); its description goes. For a list entry (entry not
    // empty) the body keeps a hidden second link as the record of its arrival
    // (ArrivalRecord) until the entry has left the list. Returns the path used. The
    // folder is not synced here. Throws FileError.
    static QString name(Finished &body, const QString &dir, const QString &fileName, const QString &path, int counter,
                        const QString &entry = {});
    // A finished body that is not named after all: kept for a later request when it
    // can be continued, else removed.
    static void letGo(Finished &body);
    // A finished body whose flush failed: removed with its description, never
    // continued, since its bytes on the disk may hold holes nobody reports any more.
    static void drop(Finished &body);
    // Lets go of the file: kept for a later request when it can be continued, else
    // removed.
    void close();
    // Removes the file and its description; harmless when there is none.
    void discard();

    // At start: removes the hidden files in dir except the kept bodies of urls that
    // were written to within maxAgeS and the arrival records of entries.
    static void removeLeftovers(const QString &dir, const QStringList &urls, const QStringList &entries = {},
                                qint64 maxAgeS = MaxAgeS);

private:
    void setPaths(const QString &dir, const QString &url);
    // Removes the body and its description; removeFiles also forgets their paths.
    void unlinkFiles();
    void removeFiles();
    // Writes the pending description, which decides whether the body is kept.
    void describe();
    void resetReading();
    // Starts the disk's write-out of what was written since the last call, once it
    // is worth it, so that the sync before publishing a big body waits little.
    void startWriteOut(qint64 writtenTo);
    UniqueFd m_fd;
    QString m_path;
    QString m_infoPath;
    QString m_keyUrl;
    QString m_key;
    // Where neither a body nor a description lies, as far as this object knows: it
    // removed them or looked and found none, and has created nothing there since.
    QString m_clearPath;
    bool m_infoMayExist = true;
    bool m_keep = false;
    std::optional<PartInfo> m_pendingInfo;
    QByteArray m_buffer;
    QElapsedTimer m_sinceFlush;
    qint64 m_size = 0;
    // Bytes up to here were handed to the disk's write-out while the body arrived.
    qint64 m_writtenOut = 0;
    qint64 m_readPos = 0;
    QByteArray m_readBuffer;
    qsizetype m_readBufferPos = 0;
};
