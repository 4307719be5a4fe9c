// The texts a run reads from a body and prints for it: the look at the first piece that
// takes a "404 not found" page for a missing file (where the words may stand, what may
// come between them, what is not such a page), and the line that sums up the pieces.

#include "download/run/DownloadRun.h"

#include <QTest>

class tst_RunTexts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void firstPiece_data()
    {
        QTest::addColumn<QByteArray>("piece");
        QTest::addColumn<bool>("notFound");

        QTest::newRow("empty") << QByteArray() << false;
        QTest::newRow("title") << QByteArray("<html><title>404 Not Found</title>") << true;
        QTest::newRow("capitals") << QByteArray("404 NOT FOUND") << true;
        QTest::newRow("at the very end") << QByteArray("xx 404 not found") << true;
        QTest::newRow("cut off at the end") << QByteArray("xx 404 not foun") << false;
        // Control bytes are not text: they drop out, the spaces around them stay.
        QTest::newRow("line break inside") << QByteArray("404 \r\nnot \tfound") << true;
        QTest::newRow("words run together") << QByteArray("404\r\nnot found") << false;
        QTest::newRow("control byte first") << QByteArray("\x01" "404 not found") << true;
        // The match may start at any '4', also right after one that failed.
        QTest::newRow("4404") << QByteArray("4404 not found") << true;
        QTest::newRow("40404") << QByteArray("40404 not found") << true;
        QTest::newRow("many false starts") << QByteArray("4 44 404 40 404 no 404 not found") << true;
        QTest::newRow("space is text") << QByteArray("404  not found") << false;
        QTest::newRow("other code") << QByteArray("403 not found") << false;
        QTest::newRow("high bytes are text") << QByteArray("404 not\xa0" "found") << false;
        QTest::newRow("zero bytes skipped") << QByteArray("404 not\0 found", 14) << true;
        QByteArray binary(4096, '4');
        QTest::newRow("all fours") << binary << false;
        binary.replace(4096 - 13, 13, "404 Not Found");
        QTest::newRow("fours, then the text") << binary << true;
    }

    void firstPiece()
    {
        QFETCH(QByteArray, piece);
        QFETCH(bool, notFound);
        QCOMPARE(DownloadRun::isNotFoundPage(piece), notFound);
    }

    void summary_data()
    {
        QTest::addColumn<int>("pieces");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<qint64>("milliseconds");
        QTest::addColumn<QString>("line");

        QTest::newRow("empty body") << 1 << qint64(0) << qint64(3) << QStringLiteral("Empfangen: 1 Stück, 0 Byte in 0,00 s (0 Byte/s)");
        QTest::newRow("no time at all counts as 1 ms")
            << 3 << qint64(4096) << qint64(0) << QStringLiteral("Empfangen: 3 Stücke, 4096 Byte in 0,00 s (4,1 MB/s)");
        QTest::newRow("big") << 131073 << qint64(268435456) << qint64(1250)
                             << QStringLiteral("Empfangen: 131073 Stücke, 268435456 Byte in 1,25 s (214,7 MB/s)");
    }

    void summary()
    {
        QFETCH(int, pieces);
        QFETCH(qint64, bytes);
        QFETCH(qint64, milliseconds);
        QFETCH(QString, line);
        QCOMPARE(DownloadRun::piecesSummary(pieces, bytes, milliseconds), line);
    }
};

QTEST_APPLESS_MAIN(tst_RunTexts)
#include "tst_runtexts.moc"
