#include "urllist/UrlList.h"

#include "log/ActivityLog.h"
#include "urllist/UrlEntry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMimeData>
#include <QSet>
#include <QStringDecoder>
#include <QRegularExpression>
#include <QUrl>

#include <cerrno>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

UrlList::UrlList(ActivityLog *log, QObject *parent)
    : QAbstractListModel(parent)
    , m_log(log)
{
}

void UrlList::append(const QString &line)
{
    beginInsertRows({}, int(m_lines.size()), int(m_lines.size()));
    m_lines.append(line);
    endInsertRows();
}

void UrlList::removeAt(int row)
{
    if (row < 0 || row >= m_lines.size())
        return;
    beginRemoveRows({}, row, row);
    m_lines.removeAt(row);
    endRemoveRows();
}

// Windows-1252 differs from Latin-1 only in 0x80..0x9F. The five bytes it leaves
// undefined map to the C1 control of the same value, as Windows itself does, so no
// byte of a link is lost.
static constexpr char16_t Cp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

static QString fromWindows1252(const QByteArray &bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        *out++ = QChar(b >= 0x80 && b < 0xA0 ? Cp1252High[b - 0x80] : char16_t(b));
    }
    return text;
}

static QString decodeListFile(const QByteArray &bytes)
{
    // Notepad's "Unicode" files: without this they would load as a mess of NULs.
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        QStringDecoder utf16(bytes.at(0) == '\xFF' ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE);
        const QString text = utf16.decode(bytes);
        // Lone surrogates pass the decoder but have no form in any file we write.
        if (!utf16.hasError() && QStringView(text).isValidUtf16())
            return text;
    }
    // Lists written on old Windows machines are windows-1252; reading them as UTF-8
    // would turn their umlauts into replacement characters.
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(bytes);
    if (!utf8.hasError())
        return text;
    return fromWindows1252(bytes);
}

QStringList ParseListFile(const QByteArray &bytes)
{
    const QString text = decodeListFile(bytes);
    QStringList lines;
    qsizetype start = 0;
    const qsizetype n = text.size();
    while (start < n) {
        qsizetype end = start;
        while (end < n && text.at(end) != u'\r' && text.at(end) != u'\n')
            ++end;
        // Only blanks are trimmed; tabs and other characters belong to the line. A
        // byte-order mark is no part of a link either: decoding drops only one at the
        // start of the file, and one leading a saved list would be lost on reading.
        qsizetype a = start, b = end;
        while (a < b && (text.at(a) == u' ' || text.at(a) == QChar::ByteOrderMark))
            ++a;
        while (b > a && text.at(b - 1) == u' ')
            --b;
        if (b > a)
            lines.append(text.mid(a, b - a));
        if (end + 1 < n && text.at(end) == u'\r' && text.at(end + 1) == u'\n')
            ++end;
        start = end + 1;
    }
    return lines;
}

void UrlList::RemoveSaveLeftovers() const
{
    const QFileInfo info(m_file);
    const QString target = info.isSymLink() && !info.canonicalFilePath().isEmpty() ? info.canonicalFilePath() : m_file;
    QFile::remove(spareFile(target));
}

bool UrlList::LoadUrlList()
{
    m_log->WriteLog(QStringLiteral("Kommando: LoadUrlList"));
    const QFileInfo info(m_file);
    if (!info.exists())
        return true;
    const auto unreadable = [this](const QString &reason) {
        m_fileTrouble = true;
        m_log->WriteLog(QStringLiteral("### Liste %1 kann nicht gelesen werden: %2").arg(m_file, reason));
        return false;
    };
    // A folder of that name holds no entries, and no save can replace it; anything
    // else that is not an ordinary file (a pipe, a device) might block the reader.
    if (info.isDir())
        return unreadable(QStringLiteral("an ihrer Stelle steht ein Ordner"));
    m_unreadEntries = true;
    if (!info.isFile())
        return unreadable(QStringLiteral("keine gewöhnliche Datei"));
    QFile file(m_file);
    if (!file.open(QIODevice::ReadOnly))
        return unreadable(file.errorString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return unreadable(file.errorString());
    m_unreadEntries = false;
    const QStringList loaded = ParseListFile(bytes);
    if (!loaded.isEmpty()) {
        beginInsertRows({}, int(m_lines.size()), int(m_lines.size() + loaded.size() - 1));
        m_lines.append(loaded);
        endInsertRows();
    }
    return true;
}

bool UrlList::SaveUrlList()
{
    m_log->WriteLog(QStringLiteral("Kommando: SaveUrlList"));
    if (m_unreadEntries) {
        // Writing now would replace entries that were never read with the few on screen.
        m_fileTrouble = true;
        m_log->WriteLog(QStringLiteral("### Liste %1 wird nicht gespeichert: sie konnte nicht gelesen werden, "
                                       "ihre Einträge gingen sonst verloren").arg(m_file));
        return false;
    }
    // One conversion for the whole list: it is rewritten after every arrived download.
    const QByteArray bytes = m_lines.isEmpty() ? QByteArray() : (m_lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8();
    // A new file replaces the old one only when it is complete: it is written into a
    // hidden spare file beside the list, which then swaps names with the list in one
    // step. A kill, a crash or a full disk leaves the old list or the new one, never
    // part of one. Swapping instead of renaming over the list keeps both files: on
    // ext4 every freed inode makes the next file creation slower, and the list is
    // rewritten after every arrived download. There is no sync per save either, as it
    // would cost more than a small download; the kernel keeps what a killed process wrote.
    const auto failed = [this](int error) {
        m_fileTrouble = true;
        m_log->WriteLog(QStringLiteral("### Liste %1 kann nicht gespeichert werden: %2")
                            .arg(m_file, QString::fromLocal8Bit(std::strerror(error))));
        return false;
    };
    // A list that is a link is saved into the file it points to.
    const QFileInfo info(m_file);
    const QString target = info.isSymLink() && !info.canonicalFilePath().isEmpty() ? info.canonicalFilePath() : m_file;
    const QByteArray targetPath = QFile::encodeName(target);
    const QByteArray sparePath = QFile::encodeName(spareFile(target));
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
        return failed(S_ISDIR(st.st_mode) ? EISDIR : EEXIST);
    // Overwritten in place and cut to size afterwards: the list mostly shrinks, and
    // emptying the spare first would free and allocate its blocks on every save.
    const int flags = O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::open(sparePath.constData(), flags, mode);
    if (fd < 0 && errno != ENOENT && errno != ENOSPC && errno != EROFS) {
        // Something else took the spare's name (a link, a folder): it is ours to replace.
        if (!QFile::remove(QFile::decodeName(sparePath)))
            QDir().rmdir(QFile::decodeName(sparePath));
        fd = ::open(sparePath.constData(), flags, mode);
    }
    if (fd < 0)
        return failed(errno);
    const auto giveUp = [&](int error) {
        ::close(fd);
        ::unlink(sparePath.constData());
        return failed(error);
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
    if (::close(fd) != 0 && errno != EINTR) {
        const int error = errno;
        ::unlink(sparePath.constData());
        return failed(error);
    }
    if (::syscall(SYS_renameat2, AT_FDCWD, sparePath.constData(), AT_FDCWD, targetPath.constData(),
                  2u /*RENAME_EXCHANGE*/) == 0)
        return true;
    // No list yet, or a file system that cannot swap: rename over it.
    if (::rename(sparePath.constData(), targetPath.constData()) != 0) {
        const int error = errno;
        ::unlink(sparePath.constData());
        return failed(error);
    }
    return true;
}

QString UrlList::spareFile(const QString &listFile)
{
    const QFileInfo info(listFile);
    return info.path() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".spare");
}

void UrlList::AddUrl(const QString &url)
{
    const QString entry = UrlEntry::make(url);
    if (m_lines.contains(entry))
        return;
    append(entry);
    SaveUrlList();
}

int UrlList::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : int(m_lines.size());
}

QVariant UrlList::data(const QModelIndex &index, int role) const
{
    if (role != Qt::DisplayRole || !index.isValid() || index.row() >= m_lines.size())
        return {};
    return m_lines.at(index.row());
}

// Text/x-moz-url is "url\ntitle" pairs in UTF-16 of the sender's byte order; some
// senders add a byte-order mark or a closing NUL, a few send UTF-8.
static QStringList mozUrlLinks(const QByteArray &bytes)
{
    QString text;
    if (bytes.startsWith("\xFF\xFE") || (bytes.size() >= 2 && bytes.at(0) != 0 && bytes.at(1) == 0))
        text = QStringDecoder(QStringDecoder::Utf16LE).decode(bytes);
    else if (bytes.startsWith("\xFE\xFF") || (bytes.size() >= 2 && bytes.at(0) == 0 && bytes.at(1) != 0))
        text = QStringDecoder(QStringDecoder::Utf16BE).decode(bytes);
    else
        text = QString::fromUtf8(bytes);
    text.remove(QChar(0));
    const QStringList lines = text.split(u'\n');
    QStringList links;
    for (qsizetype i = 0; i < lines.size(); i += 2) {
        const QString link = lines.at(i).trimmed();
        if (!link.isEmpty())
            links.append(link);
    }
    return links;
}

QStringList DroppedLinks(const QMimeData *data)
{
    if (!data)
        return {};
    // A file manager names its files twice: as file:// URLs and, on X11, once more as
    // text (paths or file:// URIs). Neither is a link to download.
    QSet<QString> localFiles;
    QStringList webLinks;
    for (const QUrl &url : data->urls()) {
        if (url.isLocalFile())
            localFiles.insert(QDir::cleanPath(url.toLocalFile()));
        else if (!url.isEmpty())
            webLinks.append(url.toString());
    }
    const auto isDroppedFile = [&localFiles](const QString &line) {
        if (localFiles.isEmpty())
            return false;
        if (localFiles.contains(QDir::cleanPath(line)))
            return true;
        const QUrl url(line);
        return url.isLocalFile() && localFiles.contains(QDir::cleanPath(url.toLocalFile()));
    };

    QStringList links;
    if (data->hasText()) {
        static const QRegularExpression lineEnd(QStringLiteral("\r\n|\r|\n"));
        for (const QString &line : data->text().split(lineEnd)) {
            const QString link = line.trimmed();
            if (!link.isEmpty() && !isDroppedFile(link))
                links.append(link);
        }
    }
    if (links.isEmpty())
        links = webLinks;
    // Qt reads text/x-moz-url as URLs only on X11; elsewhere it is left to us.
    if (links.isEmpty() && data->hasFormat(QStringLiteral("text/x-moz-url"))) {
        for (const QString &link : mozUrlLinks(data->data(QStringLiteral("text/x-moz-url")))) {
            if (!isDroppedFile(link))
                links.append(link);
        }
    }
    return links;
}
