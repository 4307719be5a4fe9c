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
    // Not blocking: a FIFO under the name would hold the open until someone writes to
    // it. Only a plain file is read.
    const UniqueFd fd(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (absent)
        *absent = !fd && errno == ENOENT;
    if (!fd)
        return std::nullopt;
    struct stat st;
    QByteArray text;
    if (::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0 && st.st_size <= MaxInfoSize) {
        text.resize(qsizetype(st.st_size));
        const ssize_t n = FileIo::readAt(fd.get(), text.data(), text.size(), 0);
        text.resize(n < 0 ? 0 : qsizetype(n));
    }
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
