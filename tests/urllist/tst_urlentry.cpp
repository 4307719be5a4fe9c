#include "urllist/UrlEntry.h"

#include <QTest>

class TestUrlEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void entryFromLink_data();
    void entryFromLink();
    void parseTakesFirstSeparator();
};

void TestUrlEntry::entryFromLink_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("path") << "http://host/dir/setup.zip" << "setup.zip";
    QTest::newRow("query") << "http://host/cgi/get.cgi?id=7" << "get.cgi?id=7";
    QTest::newRow("slash in query") << "http://host/a?f=b/c" << "c";
    QTest::newRow("ends in slash") << "http://host/" << "";
    QTest::newRow("no separator char") << "setup.zip" << "setup.zip";
    QTest::newRow("backslash") << "C:\\Temp\\file.txt" << "file.txt";
    QTest::newRow("colon last") << "http://host:8080" << "8080";
    QTest::newRow("empty name, arrow in url") << "http://host/?a= -> b/" << "";
    // A fragment never names the file, wherever a "/" or ":" stands in it.
    QTest::newRow("page anchor") << "http://host/guide.html#install" << "guide.html";
    QTest::newRow("checksum") << "http://host/dl/tool.tar.gz#sha256=ab:cd" << "tool.tar.gz";
    QTest::newRow("slash in fragment, query") << "http://host/get?id=7#a/b" << "get?id=7";
}

void TestUrlEntry::entryFromLink()
{
    QFETCH(QString, url);
    QFETCH(QString, fileName);
    QCOMPARE(fileNameFromUrl(url), fileName);
    const QString entry = UrlEntry::make(url);
    QCOMPARE(entry, fileName + QStringLiteral(" -> ") + url);
    // What the download run takes apart must be what was put together.
    const UrlEntry back = UrlEntry::parse(entry);
    QCOMPARE(back.fileName, fileName);
    QCOMPARE(back.url, url);
    QVERIFY(back.hasSeparator);
    // The list file trims the blank an empty file name leaves at the start.
    const UrlEntry reread = UrlEntry::parse(entry.trimmed());
    QCOMPARE(reread.fileName, fileName);
    QCOMPARE(reread.url, url);
}

void TestUrlEntry::parseTakesFirstSeparator()
{
    const UrlEntry entry = UrlEntry::parse(QStringLiteral("a -> http://host/x?q= -> y"));
    QCOMPARE(entry.fileName, QStringLiteral("a"));
    QCOMPARE(entry.url, QStringLiteral("http://host/x?q= -> y"));

    const UrlEntry bare = UrlEntry::parse(QStringLiteral("http://host/dir/file.bin#sha256=ab"));
    QVERIFY(!bare.hasSeparator);
    QCOMPARE(bare.url, QStringLiteral("http://host/dir/file.bin#sha256=ab"));
    QCOMPARE(bare.fileName, QStringLiteral("file.bin"));
}

QTEST_APPLESS_MAIN(TestUrlEntry)
#include "tst_urlentry.moc"
