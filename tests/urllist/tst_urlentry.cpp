#include "urllist/UrlEntry.h"

#include <QTest>

class TestUrlEntry : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void entryFromLink_data();
    void entryFromLink();
    void parseTakesFirstSeparator();
    void safeFileName_data();
    void safeFileName();
    void overlongNameKeepsItsEnd();
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

void TestUrlEntry::safeFileName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("safe");
    QTest::newRow("plain") << "setup.zip" << "setup.zip";
    QTest::newRow("query kept") << "get.cgi?id=7" << "get.cgi?id=7";
    QTest::newRow("empty") << "" << "index.html";
    QTest::newRow("dot") << "." << "_.";
    QTest::newRow("dot dot") << ".." << "_..";
    QTest::newRow("three dots") << "..." << "...";
    QTest::newRow("slash") << "a/b" << "a_b";
    QTest::newRow("controls") << "a\tb\rc\nd\x7f" << "a_b_c_d_";
    QTest::newRow("nul") << QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b")) << "a_b";
    QTest::newRow("lone surrogate") << QString(QStringLiteral("a") + QChar(0xD800) + QStringLiteral("b")) << "a_b";
    QTest::newRow("umlaut") << "Größe.txt" << "Größe.txt";
    QTest::newRow("C1, separators, format characters")
        << QString::fromUtf8("a\u0085b\u2028c\u202Ed\u2066e\u200Bf\u061Cg\uFEFF.txt") << "a_b_c_d_e_f_g_.txt";
    QTest::newRow("characters beyond 16 bits") << QString::fromUcs4(U"\U0001F600x\U000E0041.txt") << QString::fromUcs4(U"\U0001F600x_.txt");
}

void TestUrlEntry::safeFileName()
{
    QFETCH(QString, name);
    QFETCH(QString, safe);
    QCOMPARE(::safeFileName(name), safe);
}

void TestUrlEntry::overlongNameKeepsItsEnd()
{
    // Two-, three- and four-byte characters so a cut inside one would show.
    const QString ext = QStringLiteral(".tar.gz");
    for (const QString &unit : {QStringLiteral("x"), QStringLiteral("ä"), QStringLiteral("€"), QStringLiteral("😀")}) {
        const QString name = unit.repeated(300) + ext;
        const QString safe = ::safeFileName(name);
        const QByteArray utf8 = safe.toUtf8();
        QVERIFY2(utf8.size() <= 240 && utf8.size() > 240 - 4, utf8.left(20).constData());
        QVERIFY(safe.endsWith(ext));
        QVERIFY(name.endsWith(safe));
        QVERIFY(!safe.at(0).isLowSurrogate());
        QCOMPARE(QString::fromUtf8(utf8), safe);
    }
    // A query string of megabytes: quadratic time would run into the suite's time-out,
    // so no clock is read here.
    const QString huge = ::safeFileName(QString(4 * 1024 * 1024, u'q'));
    QCOMPARE(huge.size(), 240);
}

QTEST_APPLESS_MAIN(TestUrlEntry)
#include "tst_urlentry.moc"
