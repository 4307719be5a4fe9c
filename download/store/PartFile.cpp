#include "download/store/PartFile.h"

#include "base/FileIo.h"
#include "download/store/ArrivalRecord.h"
#include "download/store/LocalPath.h"
#include "download/store/PartInfo.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSet>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <utility>

namespace {
// The spool files of older versions; only ever cleared away.
constexpr const char *SpoolPrefix = ".quorvex-spool-";
} // namespace

PartFile::~PartFile()
{
    close();
}

QString PartFile::pathFor(const QString &dir, const QString &url)
{
    return dir + u'/' + QLatin1String(Prefix) + PartInfo::keyOf(url);
}

void PartFile::setPaths(const QString &dir, const QString &url)
{
    // An entry asks for its paths several times; the hash is worked out once.
    if (url != m_keyUrl || m_key.isEmpty()) {
        m_key = PartInfo::keyOf(url);
        m_keyUrl = url;
    }
    m_path = dir + u'/' + QLatin1String(Prefix) + m_key;
    m_infoPath = m_path + QLatin1String(InfoSuffix);
    m_infoMayExist = m_path != m_clearPath;
}

void PartFile::resetReading()
{
    m_buffer.resize(0);
    m_readBuffer = QByteArray();
    m_readBufferPos = 0;
    m_readPos = 0;
    m_sinceFlush.start();
}

PartFile::Kept PartFile::findKept(const QString &dir, const QString &url)
{
    close();
    setPaths(dir, url);
    bool infoAbsent = false;
    const std::optional<PartInfo> info = PartInfo::read(m_infoPath, &infoAbsent);
    m_infoMayExist = !infoAbsent;
    struct stat st;
    if (infoAbsent && ::lstat(QFile::encodeName(m_path).constData(), &st) != 0 && errno == ENOENT) {
        // Nothing of this URL here, as for most entries. Asked without removing: an
        // unlink, even of nothing, waits for the folder while its names are synced.
        m_clearPath = m_path;
        m_path.clear();
        m_infoPath.clear();
        return {};
    }
    // Without a description there is nothing to continue; what is left is only removed.
    // Not blocking: whatever lies under the name, it is looked at, not waited for.
    UniqueFd fd(info ? ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK) : -1);
    // A second link means the file was published under its name by a run killed
    // before it could drop this one: writing here would change the published file.
    const bool usable = info && info->url == url && fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode)
        && st.st_nlink == 1 && st.st_uid == ::geteuid() && st.st_size > 0 && st.st_size <= info->total;
    if (!usable) {
        fd.close();
        removeFiles();
        return {};
    }
    m_fd = std::move(fd);
    m_keep = true;
    m_size = st.st_size;
    resetReading();
    return {m_size, info->validator, info->total};
}

void PartFile::open(const QString &dir, const QString &url, const QByteArray &validator, qint64 total)
{
    // The description goes first and is written again before any new byte: at no
    // moment do old bytes stand under a new description.
    discard();
    setPaths(dir, url);
    // Usually the request began by looking here and cleared the place; a leftover that
    // appeared since is removed, then the file is made anew.
    if (m_path != m_clearPath)
        unlinkFiles();
    const QByteArray path = QFile::encodeName(m_path);
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    UniqueFd fd(::open(path.constData(), flags, 0644));
    if (!fd && errno == EEXIST) {
        unlinkFiles();
        fd.reset(::open(path.constData(), flags, 0644));
    }
    m_clearPath.clear();
    m_infoMayExist = false;
    if (!fd) {
        const int error = errno;
        m_path.clear();
        m_infoPath.clear();
        throw FileError(error);
    }
    m_fd = std::move(fd);
    m_size = 0;
    m_writtenOut = 0;
    resetReading();
    m_buffer.reserve(BlockSize);
    // Described only when its first bytes go to disk: a body that arrives whole before
    // that needs no description, and every file created costs the file system dearly
    // when a list holds thousands of small entries.
    m_keep = false;
    const PartInfo info{url, validator, total};
    if (info.resumable())
        m_pendingInfo = info;
}

void PartFile::describe()
{
    if (!m_pendingInfo || m_infoPath.isEmpty())
        return;
    m_infoMayExist = true;
    m_clearPath.clear();
    m_keep = m_pendingInfo->write(m_infoPath) == 0;
    m_pendingInfo.reset();
}

void PartFile::resume(qint64 offset)
{
    if (!m_fd || offset < 0 || offset > m_size)
        throw FileError(EBADF);
    if (offset < m_size && ::ftruncate(m_fd.get(), offset) != 0)
        throw FileError(errno);
    if (::lseek(m_fd.get(), offset, SEEK_SET) < 0)
        throw FileError(errno);
    m_size = offset;
    m_writtenOut = offset;
    resetReading();
    m_buffer.reserve(BlockSize);
}

int PartFile::append(const char *data, qsizetype size)
{
    if (!m_fd)
        return EBADF;
    m_size += size;
    if (m_buffer.size() + size <= BlockSize && m_sinceFlush.elapsed() < FlushIntervalMs) {
        m_buffer.append(data, size);
        return 0;
    }
    if (const int error = finishWriting())
        return error;
    if (size >= BlockSize) {
        const int error = FileIo::writeAll(m_fd.get(), data, size);
        if (error == 0)
            startWriteOut(m_size);
        return error;
    }
    m_buffer.append(data, size);
    return 0;
}

void PartFile::startWriteOut(qint64 writtenTo)
{
    constexpr qint64 WriteOutBytes = 8 * 1024 * 1024;
    if (writtenTo - m_writtenOut < WriteOutBytes)
        return;
    // Only a head start: whether it fails or not, the sync before publishing decides.
    ::sync_file_range(m_fd.get(), off_t(m_writtenOut), off_t(writtenTo - m_writtenOut), SYNC_FILE_RANGE_WRITE);
    m_writtenOut = writtenTo;
}

int PartFile::finishWriting(bool whole)
{
    m_sinceFlush.start();
    if (m_buffer.isEmpty())
        return 0;
    // The description goes before the bytes it describes. A whole body goes out without
    // one: it is published at once, and a kill in between only costs its download.
    if (!whole)
        describe();
    const int error = m_fd ? FileIo::writeAll(m_fd.get(), m_buffer) : EBADF;
    m_buffer.resize(0);
    if (error == 0)
        startWriteOut(m_size);
    return error;
}

QByteArray PartFile::read(qsizetype size)
{
    if (m_readBufferPos >= m_readBuffer.size() && m_readPos < m_size) {
        if (!m_fd)
            throw FileError(EBADF);
        m_readBuffer.resize(qsizetype(std::min<qint64>(BlockSize, m_size - m_readPos)));
        const ssize_t n = FileIo::readAt(m_fd.get(), m_readBuffer.data(), m_readBuffer.size(), off_t(m_readPos));
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

PartFile::Finished PartFile::finish()
{
    if (!m_fd)
        throw FileError(EBADF);
    if (const int error = finishWriting(true))
        throw FileError(error);
    Finished body;
    body.fd = std::move(m_fd);
    body.path = std::exchange(m_path, QString());
    body.infoPath = std::exchange(m_infoPath, QString());
    body.infoMayExist = m_infoMayExist;
    body.described = std::exchange(m_keep, false);
    body.pendingInfo = std::exchange(m_pendingInfo, std::nullopt);
    body.size = std::exchange(m_size, 0);
    resetReading();
    return body;
}

QString PartFile::name(Finished &body, const QString &dir, const QString &fileName, const QString &path, int counter,
                       const QString &entry)
{
    // The record comes first, and the body notes each name before it is tried: from
    // the moment the body has its name, a kill leaves the proof of its arrival.
    // Without hard links the body is only named, as before.
    const bool recorded = !entry.isEmpty() && ArrivalRecord::link(body.path, dir, entry) == 0;
    QString used;
    try {
        used = LocalPath::publish(body.path, dir, fileName, path, counter, [&](const QString &target) {
            if (recorded)
                ArrivalRecord::note(body.fd.get(), target);
        });
    } catch (const FileError &) {
        if (recorded)
            ArrivalRecord::drop(dir, entry);
        throw;
    }
    body.fd.close();
    if (body.infoMayExist)
        ::unlink(QFile::encodeName(body.infoPath).constData());
    body.path.clear();
    return used;
}

void PartFile::letGo(Finished &body)
{
    bool keep = body.described;
    if (body.pendingInfo && body.size > 0 && !body.infoPath.isEmpty()) {
        body.infoMayExist = true;
        keep = body.pendingInfo->write(body.infoPath) == 0;
    }
    body.fd.close();
    if (keep)
        return;
    if (body.infoMayExist)
        ::unlink(QFile::encodeName(body.infoPath).constData());
    ::unlink(QFile::encodeName(body.path).constData());
}

void PartFile::drop(Finished &body)
{
    body.fd.close();
    // The description first: a body without one is never continued.
    if (body.infoMayExist || body.described)
        ::unlink(QFile::encodeName(body.infoPath).constData());
    ::unlink(QFile::encodeName(body.path).constData());
}

void PartFile::close()
{
    if (m_fd) {
        // Ended without being published: what arrived is kept for the next request.
        if (m_size > 0)
            describe();
        finishWriting();
        m_fd.close();
    }
    if (!m_keep)
        removeFiles();
    m_keep = false;
    m_pendingInfo.reset();
    m_size = 0;
    resetReading();
    m_path.clear();
    m_infoPath.clear();
}

void PartFile::discard()
{
    m_keep = false;
    m_pendingInfo.reset();
    m_buffer.resize(0);
    close();
}

void PartFile::unlinkFiles()
{
    // The description first: a body without one is never continued. One that was
    // never written is not looked for: each miss costs a lookup in a large folder.
    if (!m_infoPath.isEmpty() && m_infoMayExist)
        ::unlink(QFile::encodeName(m_infoPath).constData());
    m_infoMayExist = false;
    if (!m_path.isEmpty()) {
        ::unlink(QFile::encodeName(m_path).constData());
        m_clearPath = m_path;
    }
}

void PartFile::removeFiles()
{
    unlinkFiles();
    m_path.clear();
    m_infoPath.clear();
}

void PartFile::removeLeftovers(const QString &dir, const QStringList &urls, const QStringList &entries, qint64 maxAgeS)
{
    QSet<QString> listed;
    for (const QString &url : urls)
        listed.insert(QLatin1String(Prefix) + PartInfo::keyOf(url));
    // A record proves an arrival as long as its entry is listed, however old it is.
    QSet<QString> recorded;
    for (const QString &entry : entries)
        recorded.insert(ArrivalRecord::nameFor(entry));
    const QDir folder(dir);
    const qint64 oldest = QDateTime::currentSecsSinceEpoch() - maxAgeS;
    const QStringList names = folder.entryList({QLatin1String(Prefix) + u'*', QLatin1String(SpoolPrefix) + u'*',
                                                QLatin1String(ArrivalRecord::Prefix) + u'*'},
                                               QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        QString body = name;
        if (body.endsWith(QLatin1String(InfoSuffix)))
            body.chop(qsizetype(qstrlen(InfoSuffix)));
        if (recorded.contains(body))
            continue;
        struct stat st;
        const bool fresh = ::lstat(QFile::encodeName(folder.filePath(body)).constData(), &st) == 0
            && S_ISREG(st.st_mode) && st.st_mtime >= oldest;
        if (!listed.contains(body) || !fresh)
            ::unlink(QFile::encodeName(folder.filePath(name)).constData());
    }
}

void PartFile::setOrigin(const QByteArray &url)
{
    if (m_fd.valid() && !url.isEmpty())
        ::fsetxattr(m_fd.get(), "user.xdg.origin.url", url.constData(), size_t(url.size()), 0);
}
