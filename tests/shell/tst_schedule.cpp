// The scheduling script: a service and a timer that systemd accepts, starting exactly
// the given executable in its own folder, whatever that folder's name holds.

#include "common/Files.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

class tst_Schedule : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writesUnitsSystemdAccepts()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("systemd-analyze")).isEmpty())
            QSKIP("systemd-analyze (systemd) is needed to check the units");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString folder = dir.filePath(QStringLiteral("Pro gramme $HOME 100% a&b"));
        const QString exe = installedCopy(folder);
        if (QTest::currentTestFailed())
            return;
        const QString runtime = dir.filePath(QStringLiteral("run"));
        QVERIFY(QDir().mkpath(runtime));
        QVERIFY(QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.filePath(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
        QProcess script;
        script.setProcessEnvironment(env);
        script.start(QStringLiteral(QUORVEX_SOURCE_DIR "/tools/schedule.sh"), {exe});
        QVERIFY(script.waitForFinished(30000));
        QVERIFY2(script.exitCode() == 0, script.readAllStandardError().constData());

        const QString units = dir.filePath(QStringLiteral("config/systemd/user/"));
        const QString service = units + QStringLiteral("quorvex.service");
        // The check also finds an ExecStart that names no executable.
        QProcess verify;
        verify.setProcessEnvironment(env);
        verify.start(QStringLiteral("systemd-analyze"), {QStringLiteral("verify"), QStringLiteral("--user"), service,
                                                          units + QStringLiteral("quorvex.timer")});
        QVERIFY(verify.waitForFinished(30000));
        const QByteArray complaints = verify.readAllStandardError();
        QVERIFY2(verify.exitCode() == 0 && complaints.isEmpty(), complaints.constData());

        const QStringList lines = QString::fromUtf8(readFile(service)).split(u'\n');
        QVERIFY(lines.contains(QStringLiteral("ExecStart=\"%1\" /DOWNLOAD").arg(QString(exe).replace(QStringLiteral("%"), QStringLiteral("%%")))));
        QVERIFY(lines.contains(QStringLiteral("WorkingDirectory=") + QString(folder).replace(QStringLiteral("%"), QStringLiteral("%%"))));
    }
};

QTEST_GUILESS_MAIN(tst_Schedule)
#include "tst_schedule.moc"
