// The list file shared with other programs and saved cheaply: lines others add or
// remove, cutting instead of rewriting, long runs, and a run through the real program.

#include "log/ActivityLog.h"
#include "urllist/UrlList.h"

#include "common/ProgramFolder.h"
#include "common/Files.h"
#include "common/SavedList.h"
#include "common/LogMessages.h"
#include "common/ServerScript.h"
#include "common/TestServer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

class TestListSharing : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void otherWritersLinesAreKept_data();
    void otherWritersLinesAreKept();
    void removingTheLastEntryOnlyCutsTheFile_data();
    void removingTheLastEntryOnlyCutsTheFile();
    void longRunSavesCostWhatChanged();
    void runKeepsLinesAddedMeanwhile_data();
    void runKeepsLinesAddedMeanwhile();
};

void TestListSharing::otherWritersLinesAreKept_data()
{
    // The list starts as a, b, c; another program then leaves the file as onDisk. With
    // "save", the last entry c is taken off (as a run does when it arrived) and saved;
    // with "watch", the list only follows the file.
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("runGoing");
    QTest::addColumn<QByteArray>("onDisk");
    QTest::addColumn<QStringList>("after");
    const QByteArray abcd("a -> http://h/a\r\nb -> http://h/b\r\nc -> http://h/c\r\nd -> http://h/d\r\n");
    const QByteArray ac("a -> http://h/a\r\nc -> http://h/c\r\n");
    QTest::newRow("gained, no run") << "save" << false << abcd << QStringList{"a", "b", "d"};
    QTest::newRow("gained during a run") << "save" << true << abcd << QStringList{"a", "b", "d"};
    QTest::newRow("lost, no run") << "save" << false << ac << QStringList{"a"};
    QTest::newRow("lost during a run") << "save" << true << ac << QStringList{"a", "b"};
    QTest::newRow("rewritten by an editor")
        << "save" << false << QByteArray("a -> http://h/a\n  b -> http://h/b \nc -> http://h/c\n\nd -> http://h/d\n")
        << QStringList{"a", "b", "d"};
    QTest::newRow("deleted") << "save" << false << QByteArray() << QStringList{"a", "b"};
    QTest::newRow("window follows a gain") << "watch" << false << abcd << QStringList{"a", "b", "c", "d"};
    QTest::newRow("window follows a loss") << "watch" << false << ac << QStringList{"a", "c"};
}

void TestListSharing::otherWritersLinesAreKept()
{
    QFETCH(QString, how);
    QFETCH(bool, runGoing);
    QFETCH(QByteArray, onDisk);
    QFETCH(QStringList, after);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("URL-Liste.INI"));
    writeFile(path, "a -> http://h/a\r\nb -> http://h/b\r\nc -> http://h/c\r\n");
    ActivityLog log;
    UrlList list(&log);
    list.setFile(path);
    QVERIFY(list.LoadUrlList());
    QStringList expected;
    QByteArray expectedFile;
    for (const QString &name : std::as_const(after)) {
        expected << name + QStringLiteral(" -> http://h/") + name;
        expectedFile += expected.constLast().toUtf8() + "\r\n";
    }
    if (how == u"watch") {
        list.followFile();
        writeFile(path, onDisk);
        QTRY_COMPARE_WITH_TIMEOUT(list.lines(), expected, 10000);
        QCOMPARE(readFile(path), onDisk);
        return;
    }
    if (onDisk.isEmpty())
        QVERIFY(QFile::remove(path));
    else
        writeFile(path, onDisk);
    list.setRunGoing(runGoing);
    list.removeAt(2);
    QVERIFY(saved(list));
    list.setRunGoing(false);
    QCOMPARE(list.lines(), expected);
    QCOMPARE(readFile(path), expectedFile);
}

void TestListSharing::removingTheLastEntryOnlyCutsTheFile_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("plain file") << false;
    // A list kept elsewhere and linked into the program folder stays a link.
    QTest::newRow("link to the list") << true;
}

void TestListSharing::removingTheLastEntryOnlyCutsTheFile()
{
    QFETCH(bool, throughLink);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("URL-Liste.INI"));
    const QString file = throughLink ? dir.filePath(QStringLiteral("lists/mine.txt")) : path;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("lists")));
    writeFile(file, "a -> http://h/a\r\nb -> http://h/b\r\nc -> http://h/c\r\n");
    if (throughLink)
        QVERIFY(QFile::link(QStringLiteral("lists/mine.txt"), path));
    ActivityLog log;
    UrlList list(&log);
    list.setFile(path);
    QVERIFY(list.LoadUrlList());
    struct stat before {}, now {};
    QCOMPARE(stat(QFile::encodeName(file).constData(), &before), 0);
    list.removeAt(2);
    QVERIFY(saved(list));
    QCOMPARE(readFile(file), QByteArray("a -> http://h/a\r\nb -> http://h/b\r\n"));
    QCOMPARE(stat(QFile::encodeName(file).constData(), &now), 0);
    QCOMPARE(now.st_ino, before.st_ino);
    QCOMPARE(QFileInfo(path).isSymLink(), throughLink);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"URL-Liste.INI"});
    // Anything else is written whole.
    list.removeAt(0);
    QVERIFY(saved(list));
    QCOMPARE(readFile(file), QByteArray("b -> http://h/b\r\n"));
    QCOMPARE(QFileInfo(path).isSymLink(), throughLink);
}

void TestListSharing::longRunSavesCostWhatChanged()
{
    // 100,000 entries, the last one failing and so staying at the end: every other
    // arrival is taken out of the middle of the file. Saving the whole list each time
    // would write hundreds of gigabytes.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("URL-Liste.INI"));
    constexpr int Entries = 100000;
    QByteArray bytes;
    for (int i = 0; i < Entries; ++i)
        bytes += "f" + QByteArray::number(i) + ".bin -> http://127.0.0.1:1/f" + QByteArray::number(i) + ".bin\r\n";
    writeFile(path, bytes);
    ActivityLog log;
    UrlList list(&log);
    list.setFile(path);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(list.LoadUrlList());
    const qint64 loadMs = clock.elapsed();
    QCOMPARE(list.count(), Entries);
    clock.start();
    list.setRunGoing(true);
    // The run's event loop turns between entries; the writer's outcomes arrive there.
    for (int row = Entries - 2; row >= 0; --row) {
        list.removeAt(row);
        list.SaveUrlList();
        QCoreApplication::processEvents();
    }
    list.setRunGoing(false);
    QVERIFY(list.waitSaved(60000));
    const qint64 runMs = clock.elapsed();
    qInfo("loaded %d entries in %lld ms, saved %d removals in %lld ms", Entries, loadMs, Entries - 1, runMs);
    QCOMPARE(readFile(path), bytes.mid(bytes.lastIndexOf("f" + QByteArray::number(Entries - 1) + ".bin -> ")));
    // Generous: the machine is shared, and sanitizers slow everything down.
    QVERIFY2(loadMs < 5000, qPrintable(QString::number(loadMs)));
    QVERIFY2(runMs < 60000, qPrintable(QString::number(runMs)));
}

void TestListSharing::runKeepsLinesAddedMeanwhile_data()
{
    // When the line is added: while a request waits, or while the list is being
    // written (its flush slowed down), so that the write must not swap the line away.
    QTest::addColumn<bool>("duringWrite");
    QTest::newRow("during a request") << false;
    QTest::newRow("during a write of the list") << true;
}

void TestListSharing::runKeepsLinesAddedMeanwhile()
{
    // Through the real program: a line added by hand while a run goes stays in the
    // list and is not fetched in that run; the windows-1252 line that failed is kept
    // byte for byte.
    QFETCH(bool, duringWrite);
    TestServer server(QJsonObject{
                          {QStringLiteral("/slow"), QJsonArray{ServerScript::pause(1.0), ServerScript::response(200, "slow")}},
                          {QStringLiteral("/ok"), ServerScript::reply(200, "ok")}},
                      true);
    QVERIFY2(server.ok(), qPrintable(server.error()));
    ProgramFolder program;
    const QByteArray kept = "M\xE4rz.pdf -> " + server.url(QStringLiteral("/gone")).toUtf8() + "\r\n";
    const QByteArray added = "added -> " + server.url(QStringLiteral("/added")).toUtf8() + "\r\n";
    const QByteArray ok = "ok -> " + server.url(QStringLiteral("/ok")).toUtf8() + "\r\n";
    // The failed line below the arrived one makes the arrival's leaving a rewrite.
    writeFile(program.listFile(), duringWrite ? ok + kept : kept + ok + "slow -> " + server.url(QStringLiteral("/slow")).toUtf8() + "\r\n");
    QProcessEnvironment env = program.environment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (duringWrite)
        ProgramFolder::slowDisk(&env, 3000, QStringLiteral(".URL-Liste.INI.spare"));
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(program.exe(), {QStringLiteral("/DOWNLOAD")});
    QByteArray out;
    QElapsedTimer clock;
    clock.start();
    const QString spare = UrlList::spareFile(program.listFile());
    while (!(duringWrite ? QFileInfo::exists(spare) : out.contains("Kommando: Execute " + server.url(QStringLiteral("/slow")).toUtf8()))
           && clock.elapsed() < 20000 && process.state() != QProcess::NotRunning) {
        process.waitForReadyRead(10);
        out += process.readAllStandardOutput();
    }
    QFile file(program.listFile());
    QVERIFY(file.open(QIODevice::Append));
    file.write(added);
    file.close();
    QVERIFY(process.waitForFinished(30000));
    out += process.readAllStandardOutput();
    QCOMPARE(process.exitCode(), 1);
    QCOMPARE(readFile(program.listFile()), kept + added);
    QVERIFY2(out.contains("wurde außerhalb geändert: 1 neu, 0 entfernt"), out.right(800).constData());
    QVERIFY(!server.requestLines().join(u'\n').contains(QStringLiteral("/added")));
}

QTEST_GUILESS_MAIN(TestListSharing)
#include "tst_listsharing.moc"
