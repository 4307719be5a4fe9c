// The hash of a body written while it is hashed: the thread behind the body hands
// over to one at full priority once the body is complete, and neither loses nor
// repeats a byte. A hash that never woke the waiting event loop hangs here.

#include "base/SleepWhile.h"
#include "common/TestData.h"
#include "download/request/BodyHash.h"

#include <QCryptographicHash>
#include <QTemporaryFile>
#include <QTest>

class tst_BodyHash : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void handsOverWhole_data()
    {
        QTest::addColumn<bool>("writtenFirst");
        QTest::addColumn<bool>("afterALetGo");
        // Complete at once: the thread behind has hardly begun when the other takes over.
        QTest::newRow("complete before the hash began") << true << false;
        QTest::newRow("growing while hashed") << false << false;
        // The body before is dropped while its thread is still behind it.
        QTest::newRow("after a body let go of mid-hash") << false << true;
    }

    void handsOverWhole()
    {
        QFETCH(bool, writtenFirst);
        QFETCH(bool, afterALetGo);
        const QByteArray body = randomBytes(8 * 1024 * 1024, 31);
        const QByteArray sum = QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex();
        const QList<Checksum::Sum> sums = Checksum::fromFragment(QStringLiteral("sha256=") + QLatin1String(sum)).sums;
        QTemporaryFile file;
        QVERIFY(file.open());
        BodyHash hash;
        if (afterALetGo) {
            QTemporaryFile other;
            QVERIFY(other.open());
            QVERIFY(other.write(body) == body.size());
            QVERIFY(other.flush());
            hash.start(sums, int(other.handle()));
            hash.stop();
        }
        if (writtenFirst) {
            QVERIFY(file.write(body) == body.size());
            QVERIFY(file.flush());
        }
        hash.start(sums, int(file.handle()));
        for (qsizetype at = 0; !writtenFirst && at < body.size(); at += 128 * 1024) {
            QVERIFY(file.write(body.mid(at, 128 * 1024)) > 0);
            QVERIFY(file.flush());
        }
        hash.complete(body.size());
        QVERIFY(sleepWhile([&] { return hash.hashing(); }, QDeadlineTimer::Forever));
        const BodyHash::Verdict verdict = hash.finish();
        QVERIFY2(verdict.ok, qPrintable(verdict.text));
        QCOMPARE(verdict.checked, QStringLiteral("sha256"));
    }
};

QTEST_GUILESS_MAIN(tst_BodyHash)
#include "tst_bodyhash.moc"
