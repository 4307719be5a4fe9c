// The menu entry script: a valid .desktop file whose Exec starts exactly the given
// executable, whatever its path holds, and the icon in every size it names.

#include "common/Files.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
// What a launcher makes of an Exec value that is one quoted argument.
QString execPath(QString value)
{
    QString unescaped;
    for (qsizetype i = 0; i < value.size(); ++i) {
        if (value.at(i) == u'\\' && i + 1 < value.size() && value.at(i + 1) == u'\\')
            ++i;
        unescaped += value.at(i);
    }
    if (!unescaped.startsWith(u'"') || !unescaped.endsWith(u'"'))
        return QStringLiteral("<not quoted>");
    QString argument;
    for (qsizetype i = 1; i + 1 < unescaped.size(); ++i) {
        if (unescaped.at(i) == u'\\')
            ++i;
        argument += unescaped.at(i);
    }
    return argument.replace(QStringLiteral("%%"), QStringLiteral("%"));
}
} // namespace

class tst_DesktopEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writesAValidEntry()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate")).isEmpty())
            QSKIP("desktop-file-validate (desktop-file-utils) is not installed");
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString folder = dir.filePath(QStringLiteral("Pro gramme $HOME `x` \"q\" 100% \\back"));
        const QString exe = installedCopy(folder);
        if (QTest::currentTestFailed())
            return;

        QProcess script;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_DATA_HOME"), dir.filePath(QStringLiteral("data")));
        script.setProcessEnvironment(env);
        script.start(QStringLiteral(QUORVEX_SOURCE_DIR "/tools/desktop-entry.sh"), {exe});
        QVERIFY(script.waitForFinished(30000));
        QVERIFY2(script.exitCode() == 0, script.readAllStandardError().constData());

        const QString entry = dir.filePath(QStringLiteral("data/applications/quorvex.desktop"));
        QCOMPARE(QProcess::execute(QStringLiteral("desktop-file-validate"), {entry}), 0);
        QFile file(entry);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(file.readAll()).split(u'\n');
        QString exec, icon;
        for (const QString &line : lines) {
            if (line.startsWith(QStringLiteral("Exec=")))
                exec = line.mid(5);
            else if (line.startsWith(QStringLiteral("Icon=")))
                icon = line.mid(5);
        }
        QCOMPARE(execPath(exec), exe);
        for (const int size : {16, 32, 48, 128}) {
            const QImage image(dir.filePath(QStringLiteral("data/icons/hicolor/%1x%1/apps/%2.png").arg(size).arg(icon)));
            QCOMPARE(image.size(), QSize(size, size));
        }
    }
};

QTEST_GUILESS_MAIN(tst_DesktopEntry)
#include "tst_desktopentry.moc"
