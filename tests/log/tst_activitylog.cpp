#include "common/LogMessages.h"
#include "log/ActivityLog.h"

#include <QAbstractItemModelTester>
#include <QListView>
#include <QSignalSpy>
#include <QRegularExpression>
#include <QTemporaryFile>
#include <QTest>

class tst_ActivityLog : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }

    void lineFormat()
    {
        ActivityLog log;
        log.WriteLog(QStringLiteral("Kommando: LoadUrlList"));
        log.WriteLog(QString());
        log.WriteLog(QStringLiteral("a\rb"));
        QCOMPARE(log.count(), 3);
        // Time of day with seconds, no date, no zone name; then ": " and the text unchanged.
        const QRegularExpression stamp(QStringLiteral("^\\d{2}:\\d{2}:\\d{2}: "));
        QVERIFY2(stamp.match(log.line(0)).hasMatch(), qPrintable(log.line(0)));
        QVERIFY(log.line(0).endsWith(QStringLiteral(": Kommando: LoadUrlList")));
        QVERIFY(log.line(1).endsWith(QStringLiteral(": ")));
        QCOMPARE(log.line(1).size(), 10);
        QVERIFY(log.line(2).endsWith(QStringLiteral(": a\rb")));
        QCOMPARE(log.selectedRow(), 2);
    }

    void timeFormatDropsZoneName()
    {
        const QString format = ActivityLog::timeFormat();
        QVERIFY(!format.contains(u't'));
        QVERIFY(format.contains(QStringLiteral("ss")));
    }

    void capKeepsNewestThousand()
    {
        ActivityLog log;
        for (int i = 0; i < 999; ++i)
            log.WriteLog(QString::number(i));
        QCOMPARE(log.count(), 999);
        log.WriteLog(QStringLiteral("999"));
        QCOMPARE(log.count(), 1000);
        QVERIFY(log.line(0).endsWith(QStringLiteral(": 0")));
        log.WriteLog(QStringLiteral("1000"));
        QCOMPARE(log.count(), 1000);
        QVERIFY(log.line(0).endsWith(QStringLiteral(": 1")));
        QVERIFY(log.line(999).endsWith(QStringLiteral(": 1000")));
        QCOMPARE(log.selectedRow(), 999);
    }

    void clearStartsAfresh()
    {
        ActivityLog log;
        log.WriteLog(QStringLiteral("eins"));
        log.WriteLog(QStringLiteral("zwei"));
        log.clear();
        QCOMPARE(log.count(), 0);
        QCOMPARE(log.selectedRow(), -1);
        log.WriteLog(QStringLiteral("drei"));
        QCOMPARE(log.count(), 1);
        QVERIFY(log.line(0).endsWith(QStringLiteral(": drei")));
    }

    void viewCatchesUpOncePerPass()
    {
        ActivityLog log;
        QListView view;
        view.setModel(&log);
        view.resize(300, 100);
        view.show();
        int catchUps = 0;
        connect(&log, &ActivityLog::caughtUp, &view, [&](int row) {
            ++catchUps;
            view.setCurrentIndex(log.index(row));
            view.scrollTo(log.index(row));
        });
        for (int i = 0; i < 1500; ++i)
            log.WriteLog(QStringLiteral("Zeile %1").arg(i));
        QCOMPARE(catchUps, 0);
        QCoreApplication::processEvents();
        QCOMPARE(catchUps, 1);
        QCOMPARE(view.model()->rowCount(), 1000);
        QCOMPARE(view.currentIndex().row(), 999);
        QVERIFY(view.currentIndex().data().toString().endsWith(QStringLiteral("Zeile 1499")));
        // The newest line is in view.
        const QRect item = view.visualRect(view.currentIndex());
        QVERIFY(view.viewport()->rect().intersects(item));
    }

    void busyLogCatchesUpAtIntervals()
    {
        // A run passes through the event loop several times per entry; the view must
        // not be relaid out on each pass, yet must not fall behind for long either.
        ActivityLog log;
        int catchUps = 0;
        int lastRow = -1;
        connect(&log, &ActivityLog::caughtUp, &log, [&](int row) {
            ++catchUps;
            lastRow = row;
        });
        log.WriteLog(QStringLiteral("erste"));
        QCoreApplication::processEvents();
        QCOMPARE(catchUps, 1);
        for (int pass = 0; pass < 20; ++pass) {
            log.WriteLog(QStringLiteral("Zeile %1").arg(pass));
            QCoreApplication::processEvents();
        }
        QCOMPARE(catchUps, 1);
        QTRY_COMPARE_WITH_TIMEOUT(catchUps, 2, ActivityLog::CatchUpInterval * 20);
        QCOMPARE(lastRow, 20);
        // Nothing more was written: no further catch-up.
        QTest::qWait(ActivityLog::CatchUpInterval * 3);
        QCOMPARE(catchUps, 2);
        // After a quiet spell the next line is shown on the next pass again.
        log.WriteLog(QStringLiteral("später"));
        QCoreApplication::processEvents();
        QCOMPARE(catchUps, 3);
        QCOMPARE(lastRow, 21);
    }

    void echoWritesEveryLine()
    {
        QTemporaryFile file;
        QVERIFY(file.open());
        std::FILE *stream = std::fopen(qPrintable(file.fileName()), "w");
        QVERIFY(stream);
        {
            ActivityLog log;
            log.setEcho(stream);
            log.WriteLog(QStringLiteral("Kommando: Download starten"));
            log.WriteLog(QStringLiteral("Größe"));
            {
                const ActivityLog::WindowOnly quiet(&log);
                log.WriteLog(QStringLiteral("Kommando: GetChunk 1 OK (2048 Byte)"));
            }
            log.echoOnly(QStringLiteral("Empfangen: 2 Stücke"));
            log.WriteLog(QStringLiteral("Kommando: Cancel"));
            // The window keeps every line it was given, and only those.
            QCOMPARE(logMessages(log), QStringList({"Kommando: Download starten", "Größe",
                                                  "Kommando: GetChunk 1 OK (2048 Byte)", "Kommando: Cancel"}));
            log.flushEcho();
        }
        std::fclose(stream);
        const QList<QByteArray> lines = file.readAll().split('\n');
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines.at(0).endsWith(": Kommando: Download starten"));
        QVERIFY(lines.at(1).endsWith(QStringLiteral(": Größe").toUtf8()));
        QVERIFY(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d: Empfangen: 2 Stücke$"))
                    .match(QString::fromUtf8(lines.at(2)))
                    .hasMatch());
        QVERIFY(lines.at(3).endsWith(": Kommando: Cancel"));
    }

    void keepsTheModelContract()
    {
        // Views are told of every row that comes and goes; between catch-ups they read
        // the rows they know, unchanged, and never a row that is gone.
        ActivityLog log;
        QAbstractItemModelTester tester(&log, QAbstractItemModelTester::FailureReportingMode::QtTest);
        QListView view;
        view.setModel(&log);
        view.resize(300, 100);
        view.show();
        for (int i = 0; i < 10; ++i)
            log.WriteLog(QStringLiteral("a%1").arg(i));
        QCoreApplication::processEvents();
        QCOMPARE(log.rowCount(), 10);

        QSignalSpy removed(&log, &QAbstractItemModel::rowsRemoved);
        QSignalSpy inserted(&log, &QAbstractItemModel::rowsInserted);
        for (int i = 0; i < 2500; ++i)
            log.WriteLog(QStringLiteral("b%1").arg(i));
        QCOMPARE(log.count(), ActivityLog::MaxLines);
        QVERIFY(log.line(0).endsWith(QStringLiteral(": b1500")));
        QCOMPARE(log.rowCount(), 10);
        QVERIFY(log.index(9).data().toString().endsWith(QStringLiteral(": a9")));
        view.viewport()->repaint();
        QTRY_COMPARE(log.rowCount(), ActivityLog::MaxLines);
        QCOMPARE(removed.size(), 1);
        QCOMPARE(inserted.size(), 1);
        QCOMPARE(removed.at(0).at(2).toInt(), 9);
        QCOMPARE(inserted.at(0).at(1).toInt(), 0);
        QCOMPARE(inserted.at(0).at(2).toInt(), ActivityLog::MaxLines - 1);
        QCOMPARE(logMessages(log), [] {
            QStringList expected;
            for (int i = 1500; i < 2500; ++i)
                expected << QStringLiteral("b%1").arg(i);
            return expected;
        }());

        log.WriteLog(QStringLiteral("c"));
        log.clear();
        QCOMPARE(log.rowCount(), 0);
        log.WriteLog(QStringLiteral("d"));
        QTRY_COMPARE(log.rowCount(), 1);
        QVERIFY(log.index(0).data().toString().endsWith(QStringLiteral(": d")));
    }
};

QTEST_MAIN(tst_ActivityLog)
#include "tst_activitylog.moc"
