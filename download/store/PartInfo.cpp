#include "download/store/PartInfo.h"

#include "base/FileIo.h"
#include "base/UniqueFd.h"

#include <QCryptographicHash>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr QByteArrayView Magic = "quorvex-part 1";
// Far more than any URL, validator and number take; a larger file is not ours.
constexpr qsizetype MaxInfoSize = 64 * 1024;

bool hasLineBreak(QByteArrayView text)
{
    return text.contains('\n') || text.contains('\r');
}
} // namespace

bool PartInfo::resumable() const
{
    const QByteArray utf8 = url.toUtf8();
    return total > 0 && !validator.isEmpty() && !url.isEmpty() && !hasLineBreak(utf8) && !hasLineBreak(validator);
}

int PartInfo::write(const QString &path) const
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    const QByteArray text = Magic.toByteArray() + '\n' + url.toUtf8() + '\n' + validator + '\n'
        + QByteArray::number(total) + '\n';
    ::unlink(temporary.constData()); // a killed run's half-written one
    UniqueFd fd(::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd)
        return errno;
    int error = FileIo::writeAll(fd.get(), text);
    if (const int closed = fd.close(); error == 0)
        error = closed;
    if (error == 0 && ::rename(temporary.constData(), target.constData()) != 0)
        error = errno;
    if (error != 0)
        ::unlink(temporary.constData());
    return error;
}

std::optional<PartInfo> PartInfo::read(const QString &path, bool *absent)
{
    QByteArray text;
    const int error = FileIo::readSmallFile(QFile::encodeName(path), MaxInfoSize, &text);
    if (absent)
        *absent = error == ENOENT;
    if (error != 0)
        return std::nullopt;
    const QList<QByteArray> lines = text.split('\n');
    // Four lines, each ended: the last split piece is the empty rest after the end.
    if (lines.size() != 5 || lines.at(0) != Magic || !lines.at(4).isEmpty())
        return std::nullopt;
    bool ok = false;
    PartInfo info;
    info.url = QString::fromUtf8(lines.at(1));
    info.validator = lines.at(2);
    info.total = lines.at(3).toLongLong(&ok);
    if (!ok || QByteArray::number(info.total) != lines.at(3) || !info.resumable())
        return std::nullopt;
    return info;
}

QString PartInfo::keyOf(const QString &url)
{
    return QString::fromLatin1(QCryptographicHash::hash(url.toUtf8(), QCryptographicHash::Sha256).toHex().left(32));
}
