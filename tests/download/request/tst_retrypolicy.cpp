// How long the run pauses before another try of a passing failure.

#include "download/request/RetryPolicy.h"

#include <QTest>

class tst_RetryPolicy : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void retryWaits_data()
    {
        QTest::addColumn<int>("retry");
        QTest::addColumn<int>("retryAfterS");
        QTest::addColumn<int>("firstWaitMs");
        // How many tries there are, and a Retry-After past the bound, show in the fault
        // matrix; the lengths of the pauses only here.
        QTest::addColumn<qint64>("waitMs");
        QTest::newRow("first") << 1 << -1 << 1000 << qint64(1000);
        QTest::newRow("second") << 2 << -1 << 1000 << qint64(2000);
        QTest::newRow("third") << 3 << -1 << 1000 << qint64(4000);
        QTest::newRow("Retry-After longer") << 1 << 30 << 1000 << qint64(30000);
        QTest::newRow("Retry-After shorter") << 3 << 1 << 1000 << qint64(4000);
        QTest::newRow("Retry-After at the bound") << 1 << 60 << 1000 << qint64(60000);
        QTest::newRow("shortened") << 3 << 30 << 20 << qint64(600);
    }

    void retryWaits()
    {
        QFETCH(int, retry);
        QFETCH(int, retryAfterS);
        QFETCH(int, firstWaitMs);
        QFETCH(qint64, waitMs);
        QCOMPARE(RetryPolicy::waitMs(retry, retryAfterS, firstWaitMs), waitMs);
    }
};

QTEST_GUILESS_MAIN(tst_RetryPolicy)
#include "tst_retrypolicy.moc"
