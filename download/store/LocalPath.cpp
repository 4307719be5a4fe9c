#include "download/store/LocalPath.h"

#include "base/FileIo.h"
#include "base/Rename.h"
#include "download/FileError.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

QString LocalPath::chooseLocalPath(const QString &dir, const QString &fileName, int *counter)
{
    int n = counter ? *counter : 0;
    for (; n < MaxNameTries; ++n) {
        const QString prefix = n == 0 ? QString() : u'(' + QString::number(n) + u')';
        const QString path = dir + u'/' + prefix + fileName;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) == 0)
            continue;
        const int error = errno;
        if (error != ENOENT)
            throw FileError(error);
        if (counter)
            *counter = n + 1;
        return path;
    }
    if (counter)
        *counter = n;
    throw FileError(EEXIST);
}

QString LocalPath::publish(const QString &from, const QString &dir, const QString &fileName, const QString &path,
                           int counter, const std::function<void(const QString &)> &beforeEach)
{
    const QByteArray source = QFile::encodeName(from);
    QString target = path;
    for (int attempt = 0; attempt < MaxNameTries; ++attempt) {
        if (beforeEach)
            beforeEach(target);
        bool linked = false;
        const int error = Rename::noReplace(source.constData(), QFile::encodeName(target).constData(), &linked);
        if (error == 0) {
            if (linked)
                ::unlink(source.constData());
            return target;
        }
        if (error != EEXIST)
            throw FileError(error);
        target = chooseLocalPath(dir, fileName, &counter);
    }
    throw FileError(EEXIST);
}

void LocalPath::syncFolder(const QString &dir)
{
    if (const int error = FileIo::syncFolder(QFile::encodeName(dir)))
        throw FileError(error);
}
