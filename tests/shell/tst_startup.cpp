// Starts the real executable from a scratch program folder.

#include "common/Files.h"
#include "common/ProgramFolder.h"
#include "common/XvfbServer.h"

#include <QDir>
#include <QFileInfo>
#include <QLockFile>
#include <QStandardPaths>
#include <QTest>

class tst_Startup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void batchWithEmptyListNeedsNoDisplay()
    {
        ProgramFolder folder;
        // What a save killed half-way leaves beside the list goes at the next start.
        QFile leftover(folder.path(QStringLiteral(".URL-Liste.INI.spare")));
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.close();
        QProcessEnvironment env = folder.environment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        const ProgramFolder::Result result = folder.run({QStringLiteral("/download")}, env);
        QVERIFY(!leftover.exists());
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        const QList<QByteArray> lines = result.out.trimmed().split('\n');
        QVERIFY2(lines.size() >= 3, result.out.constData());
        QVERIFY(lines.first().endsWith(": Kommando: LoadUrlList"));
        QVERIFY(result.out.contains(": Kommando: Download starten\n"));
        QCOMPARE(lines.last(), QByteArray("Ergebnis: 0 geladen, 0 fehlgeschlagen"));
        QVERIFY(QFileInfo(folder.downloads()).isDir());
        // No screen, so no file manager either.
        QVERIFY(!QFile::exists(folder.xdgOpenLog()));
    }

    void interactiveWithoutDisplayExplains()
    {
        ProgramFolder folder;
        QProcessEnvironment env = folder.environment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        const ProgramFolder::Result result = folder.run({}, env);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 2);
        QVERIFY(result.err.contains("/DOWNLOAD"));
        QVERIFY(result.out.isEmpty());
    }

    void interactiveStaysUp()
    {
        const QString stdbuf = QStandardPaths::findExecutable(QStringLiteral("stdbuf"));
        if (stdbuf.isEmpty())
            QSKIP("stdbuf is needed to see standard output before the end");
        ProgramFolder folder;
        QProcess process;
        process.setProcessEnvironment(folder.environment());
        // Unbuffered, so that whatever the program writes shows before it is killed.
        process.start(stdbuf, {QStringLiteral("-o0"), folder.exe(), QStringLiteral("/DOWNLOAD"), QStringLiteral("later")});
        QVERIFY(process.waitForStarted(10000));
        QVERIFY(!process.waitForFinished(1500));
        QVERIFY(QFileInfo(folder.downloads()).isDir());
        process.kill();
        process.waitForFinished(5000);
        // Interactive mode keeps its log in the window and writes nothing to standard output.
        QCOMPARE(process.readAllStandardOutput(), QByteArray());
    }

    void secondInstanceLeavesTheFolderAlone()
    {
        ProgramFolder folder;
        folder.writeList("a -> http://127.0.0.1:9/a\r\n");
        QLockFile first(folder.path(QStringLiteral(".quorvex.lock")));
        QVERIFY(first.tryLock(0));
        const ProgramFolder::Result result = folder.run({QStringLiteral("/DOWNLOAD")});
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("läuft bereits"), result.err.constData());
        QVERIFY(!result.out.contains("Kommando: Download starten"));
        QCOMPARE(folder.readList(), QByteArray("a -> http://127.0.0.1:9/a\r\n"));
        first.unlock();
        // A lock left by a killed process does not block the next start.
        QFile stale(folder.path(QStringLiteral(".quorvex.lock")));
        QVERIFY(stale.open(QIODevice::WriteOnly));
        stale.write("4194303\nquorvex\n" + QSysInfo::machineHostName().toUtf8() + "\n");
        stale.close();
        const ProgramFolder::Result again = folder.run({QStringLiteral("/DOWNLOAD")});
        QCOMPARE(again.exitCode, 1);
    }

    // With a screen, a run ends by showing the download folder in the file manager.
    void batchOnScreenOpensTheFolder()
    {
        if (!XvfbServer::available())
            QSKIP("Xvfb is needed for a run on a real screen");
        XvfbServer xvfb(QStringLiteral("800x600x24"));
        QVERIFY2(!xvfb.display().isEmpty(), qPrintable(xvfb.error()));

        ProgramFolder folder;
        QProcessEnvironment env = folder.environment();
        env.insert(QStringLiteral("DISPLAY"), xvfb.display());
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        const ProgramFolder::Result result = folder.run({QStringLiteral("/DOWNLOAD")}, env);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(folder.xdgOpenLog()), 5000);
        QCOMPARE(readFile(folder.xdgOpenLog()), QFile::encodeName(folder.downloads()) + '\n');
    }

    void blockedDownloadFolderIsReported()
    {
        ProgramFolder folder;
        QVERIFY(QFile::link(folder.path(QStringLiteral("nowhere")), folder.downloads()));
        const ProgramFolder::Result result = folder.run({QStringLiteral("/DOWNLOAD")});
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("Download-Ordner"), result.err.constData());
        QVERIFY(result.out.contains(": ### Download-Ordner "));
    }
};

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
