#include "log/ActivityLog.h"
#include "shell/MainForm.h"
#include "urllist/UrlList.h"

#include "common/Files.h"
#include "common/SavedList.h"
#include "common/LogMessages.h"
#include "common/ProgramFixture.h"
#include "common/ProgramFolder.h"

#include <QClipboard>
#include <QDir>
#include <QGuiApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

namespace {

// Root ignores permissions, but not the file size limit: writes past it fail with
// EFBIG, just as they would on a full disk.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t bytes)
    {
        std::signal(SIGXFSZ, SIG_IGN);
        getrlimit(RLIMIT_FSIZE, &m_old);
        const rlimit limit{bytes, m_old.rlim_max};
        m_set = setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() { setrlimit(RLIMIT_FSIZE, &m_old); }
    bool isSet() const { return m_set; }

private:
    rlimit m_old{};
    bool m_set = false;
};

} // namespace

class TestUrlListFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parse_data();
    void parse();
    void roundTrip();
    void eachLineKeepsItsEncoding();
    void readOnlyListIsLeftAlone();
    void missingFileIsEmptyList();
    void lineBreakInEntryIsWrittenUnchanged();
    void emptyListGivesEmptyFile();
    void failedSaveKeepsOldFileAndCatchesUp();
    void saveOverFolderOrBelowFileIsReported();
    void unreadableFileIsNeverOverwritten();
    void batchModeEchoesFileTrouble();
};

void TestUrlListFile::parse_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("empty") << QByteArray() << QStringList();
    QTest::newRow("blanks and empty lines")
        << QByteArray("   a -> http://h/a  \r\n\r\n     \r\n") << QStringList{"a -> http://h/a"};
    QTest::newRow("tabs stay") << QByteArray("\ta\t \r\n") << QStringList{"\ta\t"};
    QTest::newRow("lone LF") << QByteArray("a\nb\n") << QStringList{"a", "b"};
    QTest::newRow("lone CR") << QByteArray("a\rb\r") << QStringList{"a", "b"};
    QTest::newRow("mixed ends") << QByteArray("a\r\r\nb\n\rc") << QStringList{"a", "b", "c"};
    QTest::newRow("no final end") << QByteArray("a\r\nb") << QStringList{"a", "b"};
    QTest::newRow("no separator") << QByteArray("http://h/x.zip\r\n") << QStringList{"http://h/x.zip"};
    QTest::newRow("same line twice") << QByteArray("a -> b\r\na -> b\r\n") << QStringList{"a -> b", "a -> b"};
    QTest::newRow("utf-8") << QByteArray("Gr\xC3\xB6\xC3\x9F" "e \xE2\x82\xAC\r\n") << QStringList{"Größe €"};
    QTest::newRow("utf-8 bom") << QByteArray("\xEF\xBB\xBF" "a\r\n") << QStringList{"a"};
    QTest::newRow("windows-1252") << QByteArray("f\xE4r \x80 \x84x\x93 \x81\r\n")
                                  << QStringList{QStringLiteral("fär € „x“ ") + QChar(0x81)};
    QTest::newRow("utf-16le bom") << QByteArray("\xFF\xFE" "a\0\r\0\n\0\xE4\0", 10) << QStringList{"a", "ä"};
    QTest::newRow("utf-16be bom") << QByteArray("\xFE\xFF\0a\0\n\0\xE4", 8) << QStringList{"a", "ä"};
}

void TestUrlListFile::parse()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, lines);
    QCOMPARE(parseListFile(bytes), lines);
}

void TestUrlListFile::roundTrip()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("URL-Liste.INI"));
    const QStringList lines{
        QStringLiteral("setup.zip -> http://host/dir/setup.zip"),
        QStringLiteral(" -> http://host/"),
        QStringLiteral("Größe.pdf -> http://host/Größe.pdf"),
        QStringLiteral("http://host/bare"),
        QStringLiteral("a\tb -> http://host/a\tb"),
        QStringLiteral("setup.zip -> http://host/dir/setup.zip"),
    };
    ActivityLog log;
    UrlList list(&log);
    list.setFile(path);
    for (const QString &line : lines)
        list.append(line);
    QVERIFY(saved(list));
    QCOMPARE(readFile(path), (lines.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());
    QCOMPARE(logMessages(log), QStringList{"Kommando: SaveUrlList"});

    ActivityLog log2;
    UrlList loaded(&log2);
    loaded.setFile(path);
    QVERIFY(loaded.LoadUrlList());
    // The entry starting with the separator loses its leading blank, as any blank.
    QStringList expected = lines;
    expected[1] = QStringLiteral("-> http://host/");
    QCOMPARE(loaded.lines(), expected);
    QCOMPARE(loaded.rowCount(), int(lines.size()));
    QCOMPARE(logMessages(log2), QStringList{"Kommando: LoadUrlList"});
    QVERIFY(!loaded.fileTroubleSeen());
}

void TestUrlListFile::eachLineKeepsItsEncoding()
{
    // A list written by several programs: UTF-8 lines and one in windows-1252. Each is
    // read on its own, and a save writes the untouched ones back byte for byte.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("URL-Liste.INI"));
    const QByteArray utf8("Gr\xC3\xB6\xC3\x9F" "e.pdf -> http://host/Gr\xC3\xB6\xC3\x9F" "e.pdf");
    const QByteArray cp1252("M\xE4rz.pdf -> http://host/M\xE4rz.pdf");
    writeFile(path, "  " + utf8 + "  \r\n\r\n" + cp1252 + "\nlast -> http://host/last\r\n");
    ActivityLog log;
    UrlList list(&log);
    list.setFile(path);
    QVERIFY(list.LoadUrlList());
    QCOMPARE(list.lines(), (QStringList{QStringLiteral("Größe.pdf -> http://host/Größe.pdf"),
                                        QStringLiteral("März.pdf -> http://host/März.pdf"),
                                        QStringLiteral("last -> http://host/last")}));
    list.removeAt(2);
    list.AddUrl(QStringLiteral("http://host/Übung.zip"));
    QVERIFY(list.waitSaved(30000));
    QCOMPARE(readFile(path), utf8 + "\r\n" + cp1252 + "\r\n" + QByteArray("\xC3\x9C" "bung.zip -> http://host/\xC3\x9C" "bung.zip\r\n"));
}

void TestUrlListFile::missingFileIsEmptyList()
{
    QTemporaryDir dir;
    ActivityLog log;
    UrlList list(&log);
    list.setFile(dir.filePath(QStringLiteral("URL-Liste.INI")));
    QVERIFY(list.LoadUrlList());
    QCOMPARE(list.count(), 0);
    QCOMPARE(logMessages(log), QStringList{"Kommando: LoadUrlList"});
    QVERIFY(!list.fileTroubleSeen());
}

void TestUrlListFile::lineBreakInEntryIsWrittenUnchanged()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("URL-Liste.INI"));
    ActivityLog log;
    UrlList list(&log);
    list.setFile(path);
    list.append(QStringLiteral("x -> http://h/a\r\nhttp://h/b"));
    QVERIFY(saved(list));
    QCOMPARE(readFile(path), QByteArray("x -> http://h/a\r\nhttp://h/b\r\n"));
    UrlList again(&log);
    again.setFile(path);
    QVERIFY(again.LoadUrlList());
    QCOMPARE(again.lines(), (QStringList{"x -> http://h/a", "http://h/b"}));
}

void TestUrlListFile::emptyListGivesEmptyFile()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("URL-Liste.INI"));
    writeFile(path, "a -> http://h/a\r\n");
    ActivityLog log;
    UrlList list(&log);
    list.setFile(path);
    QVERIFY(list.LoadUrlList());
    list.removeAt(0);
    QVERIFY(saved(list));
    QVERIFY(QFileInfo(path).isFile());
    QCOMPARE(QFileInfo(path).size(), 0);
}

void TestUrlListFile::failedSaveKeepsOldFileAndCatchesUp()
{
    // The list's disk fills up after the start: a paste is reported and stays on
    // screen, and the next save catches up.
    const QByteArray old("old -> http://host/old\r\n");
    ProgramFixture fixture(old);
    QVERIFY(fixture.ok());
    Program &program = fixture.program;
    const QString path = fixture.listFile();
    QString links;
    for (int i = 0; i < 200; ++i)
        links += QStringLiteral("http://host/f%1.zip\n").arg(i);
    QGuiApplication::clipboard()->setText(links);
    {
        FileSizeLimit limit(1024);
        QVERIFY(limit.isSet());
        QTest::keyClick(program.form()->Liste, Qt::Key_V, Qt::ControlModifier);
        QVERIFY(!program.urlList()->waitSaved(30000));
    }
    QGuiApplication::clipboard()->clear();
    QCOMPARE(readFile(path), old);
    QVERIFY(!QFileInfo::exists(UrlList::spareFile(path)));
    QCOMPARE(program.urlList()->count(), 201);
    QVERIFY(program.urlList()->fileTroubleSeen());
    const QString last = logMessages(*program.log()).constLast();
    QVERIFY2(last.startsWith(QStringLiteral("### ")) && last.contains(path) && last.endsWith(QStringLiteral(": Datei zu groß")),
             qPrintable(last));

    program.form()->Liste->setCurrentIndex(program.urlList()->index(0));
    QTest::keyClick(program.form()->Liste, Qt::Key_Delete);
    QVERIFY(program.urlList()->waitSaved(30000));
    const QByteArray now = readFile(path);
    QVERIFY(now.startsWith("f0.zip -> http://host/f0.zip\r\n"));
    QVERIFY(now.endsWith("f199.zip -> http://host/f199.zip\r\n"));
    QCOMPARE(now.count("\r\n"), 200);
}

void TestUrlListFile::saveOverFolderOrBelowFileIsReported()
{
    QTemporaryDir dir;
    writeFile(dir.filePath(QStringLiteral("plain")), "not a folder");
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("URL-Liste.INI")));
    const struct
    {
        QString path;
        QString reason;
    } cases[] = {
        {dir.filePath(QStringLiteral("plain/URL-Liste.INI")), QStringLiteral(": Ein Teil des Pfades ist kein Ordner")},
        {dir.filePath(QStringLiteral("URL-Liste.INI")), QStringLiteral(": Ist ein Ordner")},
    };
    for (const auto &c : cases) {
        ActivityLog log;
        UrlList list(&log);
        list.setFile(c.path);
        list.LoadUrlList();
        list.append(QStringLiteral("a -> http://h/a"));
        QVERIFY(!saved(list));
        QVERIFY(list.fileTroubleSeen());
        QCOMPARE(list.count(), 1);
        const QString last = logMessages(log).constLast();
        QVERIFY2(last.startsWith(QStringLiteral("### ")) && last.contains(c.path) && last.contains(c.reason),
                 qPrintable(last));
    }
    QCOMPARE(readFile(dir.filePath(QStringLiteral("plain"))), QByteArray("not a folder"));
    QVERIFY(QFileInfo(dir.filePath(QStringLiteral("URL-Liste.INI"))).isDir());
}

void TestUrlListFile::unreadableFileIsNeverOverwritten()
{
    // Root reads every file; a pipe stands in for a list file that cannot be read.
    // Reading it must not block, and no save may replace it with the list on screen.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("URL-Liste.INI"));
    QCOMPARE(mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    ActivityLog log;
    UrlList list(&log);
    list.setFile(path);
    QVERIFY(!list.LoadUrlList());
    QVERIFY(list.fileTroubleSeen());
    QVERIFY(logMessages(log).constLast().startsWith(QStringLiteral("### Liste ") + path));
    list.append(QStringLiteral("a -> http://h/a"));
    QVERIFY(!saved(list));
    QVERIFY(logMessages(log).constLast().startsWith(QStringLiteral("### Liste ") + path));
    QCOMPARE(list.count(), 1);
    struct stat info {};
    QCOMPARE(stat(QFile::encodeName(path).constData(), &info), 0);
    QVERIFY(S_ISFIFO(info.st_mode));
}

void TestUrlListFile::batchModeEchoesFileTrouble()
{
    ProgramFolder program;
    QVERIFY(QDir(program.path()).mkdir(QStringLiteral("URL-Liste.INI")));
    const ProgramFolder::Result result = program.run({QStringLiteral("/DOWNLOAD")}, 30000);
    QVERIFY(result.finished);
    const QString out = QString::fromUtf8(result.out);
    QVERIFY2(out.contains(QStringLiteral(": ### Liste ") + program.listFile() + QStringLiteral(" kann nicht gelesen werden")),
             qPrintable(out));
    QCOMPARE(result.exitCode, 2);
}

void TestUrlListFile::readOnlyListIsLeftAlone()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("URL-Liste.INI"));
    const QByteArray old("a -> http://h/a\r\nb -> http://h/b\r\n");
    writeFile(path, old);
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
    ActivityLog log;
    UrlList list(&log);
    list.setFile(path);
    QVERIFY(list.LoadUrlList());
    list.removeAt(1);
    QVERIFY(!saved(list));
    list.removeAt(0);
    QVERIFY(!saved(list));
    QCOMPARE(list.count(), 0);
    QCOMPARE(readFile(path), old);
    QVERIFY(list.fileTroubleSeen());
    const QStringList said = logMessages(log).filter(QStringLiteral("###"));
    QCOMPARE(said.size(), 1);
    QVERIFY2(said.first().contains(QStringLiteral("nicht gespeichert")), qPrintable(said.first()));
}

QTEST_MAIN(TestUrlListFile)
#include "tst_urllistfile.moc"
