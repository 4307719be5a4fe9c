// Which Content-Range answers let a kept body be continued.

#include "download/request/ResumeCheck.h"

#include <QTest>

class tst_ResumeCheck : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void contentRange_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<qint64>("first"); // -1: refused
        QTest::addColumn<qint64>("last");
        QTest::addColumn<qint64>("total");
        QTest::newRow("plain") << QByteArray("bytes 40-99/100") << qint64(40) << qint64(99) << qint64(100);
        QTest::newRow("one byte") << QByteArray("bytes 0-0/1") << qint64(0) << qint64(0) << qint64(1);
        QTest::newRow("large") << QByteArray("bytes 5000000000-5999999999/6000000000") << qint64(5000000000)
                               << qint64(5999999999) << qint64(6000000000);
        for (const char *bad : {"bytes 40-99/*", "bytes */100", "bytes 40-/100", "bytes -99/100", "bytes 40-99", "40-99/100",
                                "items 40-99/100", "Bytes 40-99/100", "bytes  40-99/100", "bytes 40 -99/100",
                                "bytes 40-99/100 ", "bytes 40-99/100,0-1/100", "bytes 040-99/100", "bytes +40-99/100",
                                "bytes 99-40/100", "bytes 40-100/100", "bytes 0-9/99999999999999999999", "bytes 4x-99/100", ""})
            QTest::newRow(bad) << QByteArray(bad) << qint64(-1) << qint64(0) << qint64(0);
    }

    void contentRange()
    {
        QFETCH(QByteArray, value);
        QFETCH(qint64, first);
        QFETCH(qint64, last);
        QFETCH(qint64, total);
        const std::optional<ResumeCheck::Range> range = ResumeCheck::parseContentRange(value);
        QCOMPARE(range.has_value(), first >= 0);
        if (range) {
            QCOMPARE(range->first, first);
            QCOMPARE(range->last, last);
            QCOMPARE(range->total, total);
        }
    }
};

QTEST_GUILESS_MAIN(tst_ResumeCheck)
#include "tst_resumecheck.moc"
