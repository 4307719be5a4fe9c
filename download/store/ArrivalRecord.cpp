#include "download/store/ArrivalRecord.h"

#include "download/store/PartFile.h"
#include "download/store/PartInfo.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {
// The name the body is published as, kept on the body itself: no file more to make.
constexpr const char *NameAttribute = "user.quorvex.name";

QByteArray encoded(const QString &path)
{
    return QFile::encodeName(path);
}
} // namespace

QString ArrivalRecord::nameFor(const QString &entry)
{
    return QLatin1String(Prefix) + PartInfo::keyOf(entry);
}

QString ArrivalRecord::pathFor(const QString &dir, const QString &entry)
{
    return dir + u'/' + nameFor(entry);
}

int ArrivalRecord::link(const QString &part, const QString &dir, const QString &entry)
{
    const QByteArray from = encoded(part), to = encoded(pathFor(dir, entry));
    if (::link(from.constData(), to.constData()) == 0)
        return 0;
    if (errno != EEXIST)
        return errno;
    // Left by a download of this entry that was not found to have arrived: it may
    // still hold the user's replaced file, which keeps its other name.
    ::unlink(to.constData());
    return ::link(from.constData(), to.constData()) == 0 ? 0 : errno;
}

int ArrivalRecord::note(int fd, const QString &path)
{
    const QByteArray name = encoded(QFileInfo(path).fileName());
    return ::fsetxattr(fd, NameAttribute, name.constData(), size_t(name.size()), 0) == 0 ? 0 : errno;
}

QString ArrivalRecord::find(const QString &dir, const QString &entry)
{
    const QString record = pathFor(dir, entry);
    struct stat held;
    if (::lstat(encoded(record).constData(), &held) != 0 || !S_ISREG(held.st_mode) || held.st_nlink < 2
        || held.st_uid != ::geteuid())
        return {};
    char noted[NAME_MAX + 1];
    const ssize_t size = ::lgetxattr(encoded(record).constData(), NameAttribute, noted, sizeof noted);
    if (size <= 0)
        return {};
    const QString name = QFile::decodeName(QByteArray(noted, size));
    if (name.contains(u'/') || name == u"." || name == u".." || name.startsWith(QLatin1String(PartFile::OwnPrefix)))
        return {};
    // The very file the record is a link of: not another under its name.
    const QString path = dir + u'/' + name;
    struct stat named;
    if (::lstat(encoded(path).constData(), &named) != 0 || !S_ISREG(named.st_mode) || named.st_dev != held.st_dev
        || named.st_ino != held.st_ino)
        return {};
    return path;
}

void ArrivalRecord::drop(const QString &dir, const QString &entry)
{
    ::unlink(encoded(pathFor(dir, entry)).constData());
}
