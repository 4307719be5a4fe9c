// What a terminal gets without starting the program: the usage text, the version, and
// the man page that says the same.

#include "shell/CommandLine.h"

#include "common/Files.h"
#include "common/ProgramFolder.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

class tst_CommandLine : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answeredWithoutAScreen_data()
    {
        QTest::addColumn<QString>("argument");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("--help") << QStringLiteral("--help") << CommandLine::UsageText().toUtf8();
        QTest::newRow("-h") << QStringLiteral("-h") << CommandLine::UsageText().toUtf8();
        QTest::newRow("--version") << QStringLiteral("--version") << QByteArray("Quorvex " QUORVEX_VERSION "\n");
    }
    void answeredWithoutAScreen()
    {
        QFETCH(QString, argument);
        QFETCH(QByteArray, expected);
        ProgramFolder folder;
        QProcessEnvironment env = folder.environment();
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        const ProgramFolder::Result result = folder.run({argument}, env);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.err, QByteArray());
        QCOMPARE(result.out, expected);
        // No download folder, list, lock or runtime folder.
        QCOMPARE(topEntries(folder.path()), QStringList({"bin", "quorvex"}));
    }

    void otherArgumentsStartTheProgram()
    {
        for (const QStringList &arguments : {QStringList{"--help", "/DOWNLOAD"}, QStringList{"/DOWNLOAD", "--version"},
                                             QStringList{"--HELP"}, QStringList{"/DOWNLOAD"}, QStringList{}})
            QVERIFY2(CommandLine::Answer(arguments).isNull(), qPrintable(arguments.join(u' ')));
    }

    void manPageIsCleanAndComplete()
    {
        const QString page = QStringLiteral(QUORVEX_SOURCE_DIR "/docs/quorvex.1");
        QProcess formatter;
        if (!QStandardPaths::findExecutable(QStringLiteral("man")).isEmpty())
            formatter.start(QStringLiteral("man"), {QStringLiteral("--warnings"), QStringLiteral("--nh"), QStringLiteral("-l"), page});
        else if (!QStandardPaths::findExecutable(QStringLiteral("groff")).isEmpty())
            formatter.start(QStringLiteral("groff"), {QStringLiteral("-k"), QStringLiteral("-ww"), QStringLiteral("-man"),
                                                      QStringLiteral("-Tutf8"), page});
        else
            QSKIP("man (man-db) or groff is needed to check the man page");
        QVERIFY(formatter.waitForFinished(30000));
        const QByteArray warnings = formatter.readAllStandardError();
        QVERIFY2(warnings.isEmpty(), warnings.constData());
        QCOMPARE(formatter.exitCode(), 0);

        QVERIFY(readFile(page).contains("\"Quorvex " QUORVEX_VERSION "\""));
        // Every argument, file and setting the usage text names is in the page too.
        const QString text = QString::fromUtf8(formatter.readAllStandardOutput());
        static const QRegularExpression name(QStringLiteral("(?<![\\w-])(--?\\w+|/DOWNLOAD|(?:QUORVEX|SSL_CERT)_\\w+|[\\w-]+\\.INI)"));
        auto names = name.globalMatch(CommandLine::UsageText());
        int count = 0;
        while (names.hasNext()) {
            const QString found = names.next().captured(1);
            ++count;
            QVERIFY2(text.contains(found), qPrintable(found));
        }
        QVERIFY(count >= 6);
    }
};

QTEST_GUILESS_MAIN(tst_CommandLine)
#include "tst_commandline.moc"
