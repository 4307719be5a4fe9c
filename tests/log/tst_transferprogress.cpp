// The progress displays: what the window title and a terminal's live line say, and
// that names from URLs cannot steer a terminal or a title.

#include "log/ActivityLog.h"
#include "log/TerminalProgress.h"
#include "log/TransferProgress.h"

#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QTest>

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

namespace {
// "*" stands for any text; everything else must match exactly.
bool matches(const QString &pattern, const QString &text)
{
    const QString expression = QRegularExpression::escape(pattern).replace(QStringLiteral("\\*"), QStringLiteral(".*"));
    return QRegularExpression(QRegularExpression::anchoredPattern(expression)).match(text).hasMatch();
}
} // namespace

class tst_TransferProgress : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void texts_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<qint64>("received");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("line");
        QTest::newRow("before any byte") << "setup.zip" << qint64(0) << qint64(-1) << "Quorvex – setup.zip"
                                         << "setup.zip  0 Byte";
        QTest::newRow("known total") << "setup.zip" << qint64(37000) << qint64(100000) << "Quorvex – 37 % setup.zip"
                                     << "setup.zip  37,0 kB von 100,0 kB  37 %  * noch *";
        QTest::newRow("unknown total") << "a.bin" << qint64(1500000) << qint64(-1) << "Quorvex – 1,5 MB (*/s) a.bin"
                                       << "a.bin  1,5 MB  *B/s";
        QTest::newRow("more than announced") << "b" << qint64(120) << qint64(100) << "Quorvex – 100 % b" << "b  120 Byte von 100 Byte  100 %*";
        QTest::newRow("empty body") << "e" << qint64(0) << qint64(0) << "Quorvex – 100 % e" << "e  0 Byte von 0 Byte  100 %";
        QTest::newRow("escape sequence") << "x\x1b]0;owned\x07.zip" << qint64(0) << qint64(-1)
                                         << "Quorvex – x?]0;owned?.zip" << "x?]0;owned?.zip  0 Byte";
        QTest::newRow("line break and reversal") << QStringLiteral("a\r\nb\u202Egpj.exe\u2028") << qint64(0) << qint64(-1)
                                                 << "Quorvex – a??b?gpj.exe?" << "a??b?gpj.exe?  0 Byte";
        QTest::newRow("long name") << QString(200, u'n') << qint64(0) << qint64(-1)
                                   << "Quorvex – " + QString(60, u'n') + u'…' << QString(60, u'n') + u'…' + "  0 Byte";
    }

    void texts()
    {
        QFETCH(QString, name);
        QFETCH(qint64, received);
        QFETCH(qint64, total);
        TransferProgress progress;
        QCOMPARE(progress.titleText(), QStringLiteral("Quorvex"));
        progress.begin(0, name);
        if (received > 0 || total >= 0)
            progress.update(received, total);
        QFETCH(QString, title);
        QFETCH(QString, line);
        QVERIFY2(matches(title, progress.titleText()), qPrintable(progress.titleText()));
        QVERIFY2(matches(line, progress.lineText()), qPrintable(progress.lineText()));
        progress.end();
        QCOMPARE(progress.titleText(), QStringLiteral("Quorvex"));
    }

    // Time-outs and retry pauses share this text; a shortened test pause must not
    // read as a whole second.
    void secondsTexts()
    {
        QCOMPARE(TransferProgress::secondsText(45000), QStringLiteral("45"));
        QCOMPARE(TransferProgress::secondsText(700), QStringLiteral("0,7"));
        QCOMPARE(TransferProgress::secondsText(1250), QStringLiteral("1,25"));
        QCOMPARE(TransferProgress::secondsText(50), QStringLiteral("0,05"));
    }

    void updatesAreSpacedOut()
    {
        // The transfer may report far more often than anybody can read.
        TransferProgress progress;
        int changes = 0;
        connect(&progress, &TransferProgress::changed, &progress, [&] { ++changes; });
        progress.begin(0, QStringLiteral("f"));
        QElapsedTimer clock;
        clock.start();
        for (qint64 n = 1; n < 100000; ++n)
            progress.update(n, 100000);
        const qint64 spent = clock.elapsed();
        QVERIFY2(changes <= 2 + spent / TransferProgress::UpdateInterval, qPrintable(QString::number(changes)));
        progress.update(100000, 100000); // the last one always shows
        QCOMPARE(progress.titleText(), QStringLiteral("Quorvex – 100 % f"));
        QCOMPARE(changes >= 2, true);
    }

    void terminalLine()
    {
        int master = -1, slave = -1;
        QVERIFY(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
        ::fcntl(master, F_SETFL, O_NONBLOCK);
        ActivityLog log;
        std::FILE *sink = std::fopen("/dev/null", "w");
        log.setEcho(sink);
        QByteArray seen;
        {
            TransferProgress progress;
            TerminalProgress terminal(&progress, slave, &log);
            QVERIFY(terminal.enabled());
            progress.begin(3, QStringLiteral("setup.zip"));
            progress.update(50, 100);
            progress.update(100, 100);
            // An echoed log line makes the live line step aside first.
            log.WriteLog(QStringLiteral("Kommando: Cancel"));
            progress.end();
        }
        std::fclose(sink);
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(master, buffer, sizeof buffer)) > 0)
            seen.append(buffer, n);
        ::close(master);
        ::close(slave);
        QVERIFY2(seen.startsWith("\r\x1b[Ksetup.zip  0 Byte"), seen.constData());
        QVERIFY2(seen.contains("\r\x1b[Ksetup.zip  100 Byte von 100 Byte  100 %"), seen.constData());
        QVERIFY2(seen.endsWith("\r\x1b[K"), seen.constData());

        // Not a terminal: nothing at all.
        QTemporaryFile file;
        QVERIFY(file.open());
        TransferProgress progress;
        TerminalProgress terminal(&progress, file.handle(), nullptr);
        QVERIFY(!terminal.enabled());
        progress.begin(0, QStringLiteral("x"));
        progress.update(1, 2);
        progress.end();
        QCOMPARE(file.size(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_TransferProgress)
#include "tst_transferprogress.moc"
