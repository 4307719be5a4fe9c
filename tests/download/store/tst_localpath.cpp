// The choice of a free local name when the download folder cannot be asked.

#include "download/FileError.h"
#include "download/store/LocalPath.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>

class tst_LocalPath : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void localPathStopsWhenTheFolderCannotBeAsked()
    {
        QTemporaryDir dir;
        QFile notAFolder(dir.filePath(QStringLiteral("Downloads")));
        QVERIFY(notAFolder.open(QIODevice::WriteOnly));
        notAFolder.close();
        int counter = 0;
        try {
            LocalPath::chooseLocalPath(notAFolder.fileName(), QStringLiteral("x"), &counter);
            QFAIL("a file in place of the folder must stop the search");
        } catch (const FileError &e) {
            QCOMPARE(e.errnum(), ENOTDIR);
        }
        QCOMPARE(counter, 0);
    }
};

QTEST_GUILESS_MAIN(tst_LocalPath)
#include "tst_localpath.moc"
