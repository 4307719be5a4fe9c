#include "download/store/LocalPath.h"

#include "download/FileError.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>

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
