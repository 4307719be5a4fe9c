// Starts the real executable from a scratch program folder.

#include "common/Files.h"
#include "common/ProgramFolder.h"
#include "common/ServerScript.h"
#include "common/XvfbServer.h"
#include "common/TestServer.h"
#include "common/WestonServer.h"
#include "reliability/FolderState.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QScopeGuard>
#include <QJsonArray>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
// What a screen can look like to a program started from cron, ssh or a broken session.
void addScreenRows()
{
    QTest::addColumn<QString>("display");
    QTest::addColumn<QString>("wayland");
    QTest::addColumn<QString>("platform");
    QTest::newRow("no screen at all") << QString() << QString() << QString();
    QTest::newRow("DISPLAY without an X server") << QStringLiteral(":77") << QString() << QString();
    QTest::newRow("WAYLAND_DISPLAY without a compositor") << QString() << QStringLiteral("wayland-77") << QString();
    QTest::newRow("xcb asked for, no X server") << QStringLiteral(":77") << QString() << QStringLiteral("xcb");
}

// The environment of a cron job: no session, and a HOME and TMPDIR of the test's own.
QProcessEnvironment screenEnvironment(const ProgramFolder &folder, const QTemporaryDir &home, const QTemporaryDir &tmp)
{
    QFETCH(QString, display);
    QFETCH(QString, wayland);
    QFETCH(QString, platform);
    QProcessEnvironment env = folder.environment();
    env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("TMPDIR"), tmp.path());
    const auto set = [&env](const QString &name, const QString &value) {
        if (value.isEmpty())
            env.remove(name);
        else
            env.insert(name, value);
    };
    set(QStringLiteral("DISPLAY"), display);
    set(QStringLiteral("WAYLAND_DISPLAY"), wayland);
    set(QStringLiteral("QT_QPA_PLATFORM"), platform);
    return env;
}

// Holds the instance lock the way a running Quorvex does.
class HeldLock
{
public:
    explicit HeldLock(const QString &path)
        : m_fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644))
    {
        m_held = m_fd >= 0 && ::flock(m_fd, LOCK_EX | LOCK_NB) == 0;
    }
    ~HeldLock()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool held() const { return m_held; }

private:
    int m_fd;
    bool m_held = false;
};
} // namespace

class tst_Startup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void batchRunsWithoutAScreen_data() { addScreenRows(); }
    void batchRunsWithoutAScreen()
    {
        ProgramFolder folder;
        // What a save killed half-way leaves beside the list goes at the next start.
        QFile leftover(folder.path(QStringLiteral(".URL-Liste.INI.spare")));
        QVERIFY(leftover.open(QIODevice::WriteOnly));
        leftover.close();
        QTemporaryDir home, tmp;
        const ProgramFolder::Result result = folder.run({QStringLiteral("/download")}, screenEnvironment(folder, home, tmp));
        QVERIFY(!leftover.exists());
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        // Cron mails whatever lands on stderr, and nothing may pile up in HOME or TMPDIR.
        QCOMPARE(result.err, QByteArray());
        QCOMPARE(topEntries(home.path()), QStringList());
        QCOMPARE(topEntries(tmp.path()), QStringList());
        QCOMPARE(topEntries(folder.path()), QStringList({"Downloads", "bin", "quorvex"}));
        const QList<QByteArray> lines = result.out.trimmed().split('\n');
        QVERIFY2(lines.size() >= 3, result.out.constData());
        QVERIFY(lines.first().endsWith(": Kommando: LoadUrlList"));
        QVERIFY(result.out.contains(": Kommando: Download starten\n"));
        QCOMPARE(lines.last(), QByteArray("Ergebnis: 0 geladen, 0 fehlgeschlagen"));
        QVERIFY(QFileInfo(folder.downloads()).isDir());
        // No screen, so no file manager either.
        QVERIFY(!QFile::exists(folder.xdgOpenLog()));
    }

    void interactiveWithoutAScreenExplains_data() { addScreenRows(); }
    void interactiveWithoutAScreenExplains()
    {
        ProgramFolder folder;
        QTemporaryDir home, tmp;
        const ProgramFolder::Result result = folder.run({}, screenEnvironment(folder, home, tmp));
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 2);
        const QString err = QString::fromLocal8Bit(result.err);
        QVERIFY2(err.startsWith(QStringLiteral("Quorvex: Es konnte kein Bildschirm geöffnet werden"))
                     && err.contains(QStringLiteral("/DOWNLOAD")) && err.count(u'\n') == 1,
                 qPrintable(err));
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
        // Interactive mode writes nothing to standard output.
        QVERIFY(process.readAllStandardOutput().isEmpty());
        // SIGTERM closes the window, and with it the program.
        QCOMPARE(::kill(pid_t(process.processId()), SIGTERM), 0);
        QVERIFY(process.waitForFinished(10000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(topEntries(folder.path()), QStringList({"Downloads", "bin", "quorvex"}));
    }

    // A Wayland session without X: the window opens natively, closes as usual, and a
    // start with nothing to report says nothing.
    void waylandOnlySessionShowsTheWindow()
    {
        if (!WestonServer::available())
            QSKIP("weston is needed for a Wayland session (Debian package weston)");
        WestonServer weston;
        QVERIFY2(weston.ok(), qPrintable(weston.error()));
        ProgramFolder folder;
        QProcessEnvironment env = folder.environment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), weston.runtimeDir());
        env.insert(QStringLiteral("WAYLAND_DISPLAY"), weston.socket());
        // Mesa's EGL driver, which Qt's Wayland platform sets up and keeps, is unloaded
        // before the sanitizer's leak check; only the slow unwinder still sees the
        // frames tests/lsan.supp names.
        if (env.contains(QStringLiteral("ASAN_OPTIONS")))
            env.insert(QStringLiteral("ASAN_OPTIONS"),
                       env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":fast_unwind_on_malloc=0"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.start(folder.exe(), QStringList());
        QVERIFY(process.waitForStarted(10000));
        const auto stop = qScopeGuard([&process] { stopProcess(process); });
        const QDeadlineTimer deadline(30000);
        bool drawn = false;
        while (!(drawn = weston.windowDrawn(QStringLiteral("Quorvex"))) && !deadline.hasExpired()
               && process.state() == QProcess::Running)
            QTest::qWait(50);
        QVERIFY2(drawn, process.readAllStandardError().constData());
        QCOMPARE(::kill(pid_t(process.processId()), SIGTERM), 0);
        QVERIFY(process.waitForFinished(10000));
        const QByteArray err = process.readAllStandardError();
        QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, err.constData());
        QCOMPARE(err, QByteArray());
        QCOMPARE(process.readAllStandardOutput(), QByteArray());
    }

    void secondInstanceLeavesTheFolderAlone()
    {
        ProgramFolder folder;
        folder.writeList("a -> http://127.0.0.1:9/a\r\n");
        HeldLock first(folder.path(QStringLiteral(".quorvex.lock")));
        QVERIFY(first.held());
        const ProgramFolder::Result result = folder.run({QStringLiteral("/DOWNLOAD")});
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 2);
        QVERIFY2(result.err.contains("läuft bereits"), result.err.constData());
        QVERIFY(!result.out.contains("Kommando: Download starten"));
        QCOMPARE(folder.readList(), QByteArray("a -> http://127.0.0.1:9/a\r\n"));
    }

    // Only a live holder counts: no content of a lock file left behind keeps a start out.
    void leftLockFileNeverBlocks_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("a dead process here") << "4194303\nquorvex\n" + QSysInfo::machineHostName().toUtf8() + "\n";
        QTest::newRow("a live process of another machine") << QByteArray("1\nquorvex\nbackup-host\n");
        QTest::newRow("garbage") << QByteArray("\xFF\x00\n\n\n\n-1\n", 9);
    }
    void leftLockFileNeverBlocks()
    {
        QFETCH(QByteArray, content);
        ProgramFolder folder;
        folder.writeList("a -> http://127.0.0.1:9/a\r\n");
        QFile lock(folder.path(QStringLiteral(".quorvex.lock")));
        QVERIFY(lock.open(QIODevice::WriteOnly));
        lock.write(content);
        lock.close();
        const ProgramFolder::Result result = folder.run({QStringLiteral("/DOWNLOAD")});
        QVERIFY(result.finished);
        QVERIFY2(result.exitCode == 1, result.err.constData());
        QVERIFY(result.out.contains("Kommando: Download starten"));
        QVERIFY(!lock.exists());
    }

    void readOnlyProgramFolderIsSaidAsSuch()
    {
        ProgramFolder folder;
        QString error;
        // Root writes anywhere; only a read-only mount says no.
        if (!runTool(QStringLiteral("mount"), {QStringLiteral("--bind"), folder.path(), folder.path()}, &error))
            QSKIP(qPrintable(QStringLiteral("cannot bind-mount here: ") + error));
        const bool readOnly = runTool(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("remount,ro,bind"), folder.path()}, &error);
        const ProgramFolder::Result result = readOnly ? folder.run({QStringLiteral("/DOWNLOAD")}) : ProgramFolder::Result();
        runTool(QStringLiteral("umount"), {QStringLiteral("-l"), folder.path()});
        if (!readOnly)
            QSKIP(qPrintable(QStringLiteral("cannot make the folder read-only: ") + error));
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 2);
        const QString err = QString::fromLocal8Bit(result.err);
        QVERIFY2(!err.contains(QStringLiteral("läuft bereits")) && err.contains(QStringLiteral("schreibgeschützt")),
                 qPrintable(err));
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

    // Found before anything is fetched, said once, and quick about it.
    void unusableDownloadFolderStopsTheRun_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::newRow("dangling link") << QStringLiteral("link");
        QTest::newRow("a file in its place") << QStringLiteral("file");
    }
    void unusableDownloadFolderStopsTheRun()
    {
        QFETCH(QString, setup);
        TestServer server(QJsonObject{{QStringLiteral("/a"), ServerScript::reply(200, "a")}}, true);
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFolder folder;
        const QByteArray list = "a -> " + server.url(QStringLiteral("/a")).toUtf8() + "\r\nb -> "
            + server.url(QStringLiteral("/a")).toUtf8() + "\r\n";
        folder.writeList(list);
        if (setup == u"link") {
            QVERIFY(QFile::link(folder.path(QStringLiteral("nowhere")), folder.downloads()));
        } else {
            QFile file(folder.downloads());
            QVERIFY(file.open(QIODevice::WriteOnly));
        }
        QElapsedTimer clock;
        clock.start();
        const ProgramFolder::Result result = folder.run({QStringLiteral("/DOWNLOAD")});
        QVERIFY(result.finished);
        QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(result.exitCode, 2);
        QCOMPARE(result.err.count("Download-Ordner"), 1);
        QCOMPARE(result.out.count(": ### Download-Ordner "), 1);
        QVERIFY(!result.out.contains("Kommando: Execute"));
        QCOMPARE(server.requestLines(), QStringList());
        QCOMPARE(folder.readList(), list);
        QVERIFY(result.out.trimmed().endsWith("Ergebnis: 0 geladen, 2 fehlgeschlagen"));
    }

    // A signal ends a batch run the way closing the window does: the transfer is
    // cancelled, no hidden file stays, the list keeps what did not arrive, the summary
    // line comes last and the exit status is 1.
    void signalEndsTheRunCleanly_data()
    {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGTERM") << int(SIGTERM);
        QTest::newRow("SIGINT") << int(SIGINT);
        QTest::newRow("SIGHUP") << int(SIGHUP);
    }
    void signalEndsTheRunCleanly()
    {
        QFETCH(int, signal);
        // Big, and never finished.
        TestServer server(QJsonObject{
            {QStringLiteral("/ok"), ServerScript::reply(200, "ok")},
            {QStringLiteral("/stall"),
             QJsonArray{ServerScript::send("HTTP/1.1 200 OK\r\nContent-Length: 9000000\r\n\r\n"),
                        ServerScript::sendRepeated("s", 3000000), ServerScript::pause(30)}}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFolder folder;
        const QByteArray stalled = "stall -> " + server.url(QStringLiteral("/stall")).toUtf8() + "\r\n";
        folder.writeList(stalled + "ok -> " + server.url(QStringLiteral("/ok")).toUtf8() + "\r\n");
        QProcess process;
        process.setProcessEnvironment(folder.environment());
        process.start(folder.exe(), {QStringLiteral("/DOWNLOAD")});
        QVERIFY(process.waitForStarted(10000));
        QByteArray out;
        QElapsedTimer clock;
        clock.start();
        while (!out.contains("Kommando: Execute " + server.url(QStringLiteral("/stall")).toUtf8()) && clock.elapsed() < 20000
               && process.state() == QProcess::Running) {
            process.waitForReadyRead(100);
            out += process.readAllStandardOutput();
        }
        QTest::qWait(700);
        QCOMPARE(::kill(pid_t(process.processId()), signal), 0);
        QVERIFY(process.waitForFinished(10000));
        out += process.readAllStandardOutput();
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 1);
        QVERIFY2(out.trimmed().endsWith("Ergebnis: 1 geladen, 0 fehlgeschlagen"), out.right(600).constData());
        QCOMPARE(folder.readList(), stalled);
        QCOMPARE(topEntries(folder.downloads()), QStringList{"ok"});
        QCOMPARE(topEntries(folder.path()), QStringList({"Downloads", "URL-Liste.INI", "bin", "quorvex"}));
    }

    // "quorvex /DOWNLOAD | head -n 1": the reader goes away, the run goes on.
    void closedOutputDoesNotEndTheRun()
    {
        TestServer server(QJsonObject{{QStringLiteral("/a"), ServerScript::reply(200, "a")},
                                      {QStringLiteral("/b"), QJsonArray{ServerScript::pause(0.5), ServerScript::response(200, "b")}}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFolder folder;
        folder.writeList("a -> " + server.url(QStringLiteral("/a")).toUtf8() + "\r\nb -> " + server.url(QStringLiteral("/b")).toUtf8() + "\r\n");
        QProcess process;
        process.setProcessEnvironment(folder.environment());
        process.start(folder.exe(), {QStringLiteral("/DOWNLOAD")});
        QVERIFY(process.waitForStarted(10000));
        QVERIFY(process.waitForReadyRead(10000));
        process.closeReadChannel(QProcess::StandardOutput);
        QVERIFY(process.waitForFinished(20000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(folder.readList(), QByteArray());
        QCOMPARE(process.exitCode(), 0);
        QCOMPARE(topEntries(folder.downloads()), QStringList({"a", "b"}));
    }
};

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
