#include "log/ActivityLog.h"
#include "shell/MainForm.h"
#include "shell/Program.h"
#include "urllist/UrlList.h"

#include "common/FakeDesktop.h"
#include "common/Files.h"
#include "common/ProgramFixture.h"

#include <QApplication>
#include <QDragEnterEvent>
#include <QMimeData>
#include <QStringEncoder>
#include <QTemporaryDir>
#include <QTest>
#include <QUrl>

#include <memory>

namespace {

QByteArray utf16le(const QString &text)
{
    return QStringEncoder(QStringEncoder::Utf16LE).encode(text);
}

// The formats real sources put on an X11 drag, as far as Qt passes them on.
std::unique_ptr<QMimeData> shape(const QString &name)
{
    auto data = std::make_unique<QMimeData>();
    const QString link = QStringLiteral("http://127.0.0.1/dir/setup.zip");
    if (name == u"chromium link") {
        data->setText(link);
        data->setData(QStringLiteral("text/x-moz-url"), utf16le(link + QStringLiteral("\nSetup herunterladen")));
        data->setHtml(QStringLiteral("<a href=\"%1\">Setup herunterladen</a>").arg(link));
    } else if (name == u"firefox link") {
        data->setData(QStringLiteral("text/x-moz-url"), utf16le(link + QStringLiteral("\nSetup")));
        data->setData(QStringLiteral("text/x-moz-url-data"), utf16le(link));
        data->setData(QStringLiteral("text/_moz_htmlcontext"), utf16le(QStringLiteral("<html><body></body></html>")));
        data->setData(QStringLiteral("text/_moz_htmlinfo"), utf16le(QStringLiteral("0,0")));
        data->setUrls({QUrl(link)});
        data->setText(link);
    } else if (name == u"link only") {
        data->setData(QStringLiteral("text/x-moz-url"), utf16le(link + QStringLiteral("\nSetup")));
    } else if (name == u"link only, bom and nul") {
        data->setData(QStringLiteral("text/x-moz-url"),
                      QByteArray("\xFF\xFE") + utf16le(link + QStringLiteral("\nSetup")) + QByteArray(2, '\0'));
    } else if (name == u"link only, big endian") {
        data->setData(QStringLiteral("text/x-moz-url"),
                      QStringEncoder(QStringEncoder::Utf16BE).encode(link + QStringLiteral("\nSetup")));
    } else if (name == u"two tabs") {
        data->setData(QStringLiteral("text/x-moz-url"),
                      utf16le(QStringLiteral("http://a/1.zip\nEins\nhttp://a/2.zip\nZwei")));
    } else if (name == u"uri list only") {
        data->setUrls({QUrl(link)});
    } else if (name == u"several lines") {
        data->setText(QStringLiteral("  http://a/1.zip \r\n\r\n\thttp://a/2.zip\n   \nhttp://a/3.zip"));
    } else if (name == u"files only") {
        data->setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/a b.txt")), QUrl::fromLocalFile(QStringLiteral("/tmp/dir"))});
    } else if (name == u"files with paths as text") {
        data->setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/a b.txt")), QUrl::fromLocalFile(QStringLiteral("/tmp/dir"))});
        data->setText(QStringLiteral("/tmp/a b.txt\n/tmp/dir/\n"));
    } else if (name == u"files with uris as text") {
        data->setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/a b.txt"))});
        data->setText(QStringLiteral("file:///tmp/a%20b.txt\r\n"));
    } else if (name == u"file with a link as text") {
        data->setUrls({QUrl::fromLocalFile(QStringLiteral("/tmp/setup.zip"))});
        data->setText(link);
    } else if (name == u"image only") {
        data->setImageData(QImage(4, 4, QImage::Format_RGB32));
    } else if (name == u"html only") {
        data->setHtml(QStringLiteral("<b>fett</b>"));
    } else if (name == u"blank text") {
        data->setText(QStringLiteral(" \r\n \t "));
    }
    return data;
}

} // namespace

class TestListDrops : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void droppedLinks_data();
    void droppedLinks();
    void dropOnList_data();
    void dropOnList();
    void sameLinkTwiceAddsOnce();

private:
    // Sends a whole drag over the list's viewport; the source proposes a move (Shift).
    static Qt::DropAction drop(Program &program, const QMimeData *data);
};

void TestListDrops::droppedLinks_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("links");
    const QStringList link{QStringLiteral("http://127.0.0.1/dir/setup.zip")};
    QTest::newRow("chromium link") << "chromium link" << link;
    QTest::newRow("firefox link") << "firefox link" << link;
    QTest::newRow("link only") << "link only" << link;
    QTest::newRow("link only, bom and nul") << "link only, bom and nul" << link;
    QTest::newRow("link only, big endian") << "link only, big endian" << link;
    QTest::newRow("two tabs") << "two tabs" << QStringList{"http://a/1.zip", "http://a/2.zip"};
    QTest::newRow("uri list only") << "uri list only" << link;
    QTest::newRow("several lines") << "several lines" << QStringList{"http://a/1.zip", "http://a/2.zip", "http://a/3.zip"};
    QTest::newRow("files only") << "files only" << QStringList();
    QTest::newRow("files with paths as text") << "files with paths as text" << QStringList();
    QTest::newRow("files with uris as text") << "files with uris as text" << QStringList();
    QTest::newRow("file with a link as text") << "file with a link as text" << link;
    QTest::newRow("image only") << "image only" << QStringList();
    QTest::newRow("html only") << "html only" << QStringList();
    QTest::newRow("blank text") << "blank text" << QStringList();
}

void TestListDrops::droppedLinks()
{
    QFETCH(QString, name);
    QFETCH(QStringList, links);
    QCOMPARE(::droppedLinks(shape(name).get()), links);
}

Qt::DropAction TestListDrops::drop(Program &program, const QMimeData *data)
{
    QWidget *viewport = program.form()->Liste->viewport();
    const QPoint pos = viewport->rect().center();
    const Qt::DropActions actions = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(pos, actions, data, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(viewport, &enter);
    if (!enter.isAccepted())
        return Qt::IgnoreAction;
    QDragMoveEvent move(pos, actions, data, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(viewport, &move);
    QDropEvent dropped(QPointF(pos), actions, data, Qt::LeftButton, Qt::ShiftModifier);
    QApplication::sendEvent(viewport, &dropped);
    return dropped.isAccepted() ? dropped.dropAction() : Qt::IgnoreAction;
}

void TestListDrops::dropOnList_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QStringList>("entries");
    QTest::newRow("text") << "chromium link" << QStringList{"setup.zip -> http://127.0.0.1/dir/setup.zip"};
    QTest::newRow("firefox") << "firefox link" << QStringList{"setup.zip -> http://127.0.0.1/dir/setup.zip"};
    QTest::newRow("link only") << "link only" << QStringList{"setup.zip -> http://127.0.0.1/dir/setup.zip"};
    QTest::newRow("several lines") << "several lines"
                                   << QStringList{"1.zip -> http://a/1.zip", "2.zip -> http://a/2.zip", "3.zip -> http://a/3.zip"};
    QTest::newRow("files only") << "files with paths as text" << QStringList();
    QTest::newRow("nothing textual") << "image only" << QStringList();
}

void TestListDrops::dropOnList()
{
    QFETCH(QString, name);
    QFETCH(QStringList, entries);
    QTemporaryDir dir;
    const QByteArray before("old.zip -> http://host/old.zip\r\n");
    writeFile(dir.filePath(QStringLiteral("URL-Liste.INI")), before);
    auto desktop = std::make_unique<FakeDesktop>();
    const FakeDesktop &seen = *desktop;
    Program program(dir.path(), std::move(desktop));
    QVERIFY(program.Main(QString()).enterEventLoop);
    QVERIFY(QTest::qWaitForWindowExposed(program.form()));

    const std::unique_ptr<QMimeData> data = shape(name);
    // A copy, never a move: the source must not delete what it offered.
    QCOMPARE(drop(program, data.get()), Qt::CopyAction);

    QVERIFY(program.urlList()->waitSaved(30000));
    const QByteArray after = readFile(program.UrlListFile);
    const QStringList expected = QStringList{QStringLiteral("old.zip -> http://host/old.zip")} + entries;
    QCOMPARE(program.urlList()->lines(), expected);
    QCOMPARE(after, (expected.join(QStringLiteral("\r\n")) + QStringLiteral("\r\n")).toUtf8());
    // The refusal comes once the drop has ended, never inside it.
    QCOMPARE(seen.messages.size(), 0);
    QTest::qWait(50);
    const QList<FakeDesktop::Message> refusal{{QStringLiteral("Quorvex"), QStringLiteral("Bitte nur echte HTTP-Links in die Liste ziehen")}};
    QCOMPARE(seen.messages, entries.isEmpty() ? refusal : QList<FakeDesktop::Message>());
}

void TestListDrops::sameLinkTwiceAddsOnce()
{
    ProgramFixture fixture;
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    Program &program = fixture.program;
    const std::unique_ptr<QMimeData> data = shape(QStringLiteral("chromium link"));
    drop(program, data.get());
    QCOMPARE(program.urlList()->count(), 1);
    const QString path = program.UrlListFile;
    QVERIFY(program.urlList()->waitSaved(30000));
    QVERIFY(QFile::exists(path));
    // Any rewrite, even with the same bytes, would show as a new file.
    QVERIFY(QFile::rename(path, path + QStringLiteral(".seen")));
    const int logLines = program.log()->count();

    drop(program, data.get());
    const std::unique_ptr<QMimeData> again = shape(QStringLiteral("link only"));
    drop(program, again.get());
    QCOMPARE(program.urlList()->lines(), QStringList{"setup.zip -> http://127.0.0.1/dir/setup.zip"});
    QVERIFY(program.urlList()->waitSaved(30000));
    QVERIFY(!QFile::exists(path));
    QCOMPARE(program.log()->count(), logLines);
}

QTEST_MAIN(TestListDrops)
#include "tst_listdrops.moc"
