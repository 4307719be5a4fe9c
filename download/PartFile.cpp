#include "download/PartFile.h"

#include "download/DownloadRun.h"

#include <QFile>
#include <QRandomGenerator>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

QString SystemErrorText(int errnum)
{
    switch (errnum) {
    case ENOSPC: return QStringLiteral("Kein Platz mehr auf dem Datenträger");
    case EDQUOT: return QStringLiteral("Speicherkontingent erschöpft");
    case EACCES:
    case EPERM: return QStringLiteral("Zugriff verweigert");
    case EROFS: return QStringLiteral("Datenträger ist schreibgeschützt");
    case ENOENT: return QStringLiteral("Ordner nicht gefunden");
    case ENOTDIR: return QStringLiteral("Download-Ordner ist kein Ordner");
    case ENAMETOOLONG: return QStringLiteral("Dateiname zu lang");
    case EEXIST: return QStringLiteral("Datei existiert bereits");
    case EIO: return QStringLiteral("Ein-/Ausgabefehler");
    case EFBIG: return QStringLiteral("Datei zu groß");
    case EMFILE:
    case ENFILE: return QStringLiteral("Zu viele offene Dateien");
    default: return QStringLiteral("Dateifehler: %1").arg(QString::fromLocal8Bit(std::strerror(errnum)));
    }
}

namespace {
constexpr qsizetype BufferSize = 256 * 1024;

[[noreturn]] void fail(int errnum)
{
    throw FileError(errnum, SystemErrorText(errnum));
}
} // namespace

PartFile::~PartFile()
{
    discard();
}

void PartFile::open(const QString &dir)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QString candidate = dir + u'/' + QLatin1String(Prefix)
            + QString::number(QRandomGenerator::global()->generate64(), 36);
        const int fd = ::open(QFile::encodeName(candidate).constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            m_fd = fd;
            m_tempPath = candidate;
            m_buffer.reserve(BufferSize);
            return;
        }
        if (errno != EEXIST)
            fail(errno);
    }
    fail(EEXIST);
}

void PartFile::write(const QByteArray &piece)
{
    if (piece.isEmpty())
        return;
    m_buffer.append(piece);
    if (m_buffer.size() >= BufferSize)
        flush();
}

void PartFile::flush()
{
    const char *data = m_buffer.constData();
    qsizetype left = m_buffer.size();
    while (left > 0) {
        const ssize_t written = ::write(m_fd, data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            fail(errno);
        }
        data += written;
        left -= written;
    }
    m_buffer.clear();
}

void PartFile::close()
{
    if (m_fd >= 0) {
        const int fd = m_fd;
        m_fd = -1;
        if (::close(fd) != 0 && errno != EINTR)
            fail(errno);
    }
}

QString PartFile::publish(const QString &dir, const QString &fileName, const QString &path)
{
    flush();
    close();
    const QByteArray from = QFile::encodeName(m_tempPath);
    QString target = path;
    int counter = 0;
    for (int attempt = 0; attempt < 10000; ++attempt) {
        const QByteArray to = QFile::encodeName(target);
        // link() never replaces and never follows a link at the target: whatever took
        // the name meanwhile stays, and the next number is tried.
        int rc = ::link(from.constData(), to.constData());
        if (rc != 0 && errno != EEXIST) {
            // File systems without hard links: a rename that refuses to replace.
            rc = int(::syscall(SYS_renameat2, AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), 1u /*RENAME_NOREPLACE*/));
            if (rc == 0) {
                m_tempPath.clear();
                return target;
            }
        }
        if (rc == 0) {
            ::unlink(from.constData());
            m_tempPath.clear();
            return target;
        }
        if (errno != EEXIST)
            fail(errno);
        target = DownloadRun::ChooseLocalPath(dir, fileName, &counter);
    }
    fail(EEXIST);
}

void PartFile::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    m_buffer.clear();
    if (!m_tempPath.isEmpty()) {
        ::unlink(QFile::encodeName(m_tempPath).constData());
        m_tempPath.clear();
    }
}
