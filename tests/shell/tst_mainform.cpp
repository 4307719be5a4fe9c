#include "download/run/DownloadRun.h"
#include "log/ActivityLog.h"
#include "log/TransferProgress.h"
#include "shell/MainForm.h"
#include "shell/Program.h"
#include "urllist/UrlList.h"

#include "common/FakeDesktop.h"
#include "common/Files.h"
#include "common/ProgramFixture.h"
#include "common/LogMessages.h"
#include "common/MessageBoxCloser.h"
#include "common/ServerScript.h"
#include "common/TestServer.h"

#include <QAccessible>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QLockFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

class tst_MainForm : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void layoutWithLogHidden();
    void toggleLogTwiceRestores();
    void tabOrder_data();
    void tabOrder();
    void windowDecoration();
    void batchArgument_data();
    void batchArgument();
    void downloadFolder();
    void buttonCommands();
    void infoBox();
    void startShowsListAndLog();
    void secondInstanceSaysSoInABox();
    void accessibleNames();
    void pasteIsADrop();
    void deleteLeavesATrace();
    void keysWaitWhileARunGoes();
};

void tst_MainForm::layoutWithLogHidden()
{
    ProgramFixture fixture;
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    Program &program = fixture.program;
    MainForm *form = program.form();

    // 15 twips to a pixel: client area 561 x 303 as laid out, 174 with the log hidden.
    QCOMPARE(form->size(), QSize(561, 174));
    QCOMPARE(form->Frame1->geometry(), QRect(4, 4, 553, 165));
    QCOMPARE(form->LogFrame->geometry(), QRect(4, 172, 553, 125));
    QCOMPARE(form->Liste->geometry(), QRect(8, 20, 477, 134));
    QCOMPARE(form->Log->geometry(), QRect(8, 20, 477, 95));
    QCOMPARE(form->Btn[1]->geometry(), QRect(492, 20, 53, 37));
    QCOMPARE(form->Btn[2]->geometry(), QRect(492, 68, 53, 37));
    QCOMPARE(form->Btn[3]->geometry(), QRect(492, 116, 53, 37));
    QCOMPARE(form->Btn[0]->geometry(), QRect(492, 20, 53, 37));
    QCOMPARE(form->Btn[0]->parentWidget(), form->LogFrame);
    QCOMPARE(form->Btn[3]->parentWidget(), form->Frame1);
    QCOMPARE(form->Frame1->title(), QStringLiteral("URL-Liste"));
    QCOMPARE(form->LogFrame->title(), QStringLiteral("Log"));
    QCOMPARE(form->Btn[0]->text(), QStringLiteral("Log L&öschen"));
    QCOMPARE(form->Btn[1]->text(), QStringLiteral("&Jetzt laden"));
    QCOMPARE(form->Btn[2]->text(), QStringLiteral("&Log zeigen"));
    QCOMPARE(form->Btn[3]->text(), QStringLiteral("&Info"));
    QVERIFY(!form->LogFrame->isEnabled());
    QVERIFY(program.LogHidden);
    // Only the top 2 pixels of the log frame lie inside the client area.
    QCOMPARE(form->height() - form->LogFrame->y(), 2);
}

void tst_MainForm::toggleLogTwiceRestores()
{
    ProgramFixture fixture;
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    Program &program = fixture.program;
    MainForm *form = program.form();

    program.Btn_Click(2);
    QCOMPARE(form->size(), QSize(561, 303));
    QCOMPARE(form->Btn[2]->text(), QStringLiteral("&Log aus- blenden"));
    QVERIFY(form->LogFrame->isEnabled());
    QVERIFY(!program.LogHidden);

    program.Btn_Click(2);
    QCOMPARE(form->size(), QSize(561, 174));
    QCOMPARE(form->Btn[2]->text(), QStringLiteral("&Log zeigen"));
    QVERIFY(!form->LogFrame->isEnabled());
    // The window stays fixed-size in both states.
    QCOMPARE(form->minimumSize(), form->maximumSize());

    // Asking for the state the window is in moves nothing.
    form->setLogShown(false);
    QCOMPARE(form->size(), QSize(561, 174));
    form->setLogShown(true);
    form->setLogShown(true);
    QCOMPARE(form->size(), QSize(561, 303));
}

void tst_MainForm::tabOrder_data()
{
    QTest::addColumn<bool>("logShown");
    QTest::newRow("log hidden") << false;
    QTest::newRow("log shown") << true;
}

void tst_MainForm::tabOrder()
{
    QFETCH(bool, logShown);
    ProgramFixture fixture;
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    Program &program = fixture.program;
    MainForm *form = program.form();
    if (logShown)
        program.ToggleLog();
    form->activateWindow();
    form->Liste->setFocus();
    QTRY_VERIFY(form->Liste->hasFocus());

    QList<QWidget *> expected{form->Btn[1], form->Btn[2]};
    if (logShown)
        expected << form->Log << form->Btn[0];
    expected << form->Btn[3] << form->Liste;
    for (QWidget *next : expected) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), next);
    }
}

void tst_MainForm::windowDecoration()
{
    ProgramFixture fixture;
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    Program &program = fixture.program;
    MainForm *form = program.form();
    QCOMPARE(form->windowTitle(), QStringLiteral("Quorvex"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Quorvex"));
    QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
    QCOMPARE(form->minimumSize(), form->maximumSize());
    const QList<QSize> sizes = form->windowIcon().availableSizes();
    QVERIFY(sizes.contains(QSize(16, 16)));
    QVERIFY(sizes.contains(QSize(32, 32)));
    // The narrow buttons' captions must fit in two lines inside the button.
    for (WrapButton *button : form->Btn) {
        const QFontMetrics metrics(button->font());
        const QRect text = metrics.boundingRect(QRect(0, 0, button->width() - 6, 1000),
                                                Qt::AlignCenter | Qt::TextWordWrap | Qt::TextShowMnemonic,
                                                button->text());
        QVERIFY2(text.width() <= button->width() - 6, qPrintable(button->text()));
        QVERIFY2(text.height() <= button->height() - 4, qPrintable(button->text()));
    }
}

void tst_MainForm::batchArgument_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::addColumn<bool>("batch");
    QTest::newRow("upper") << "/DOWNLOAD" << true;
    QTest::newRow("lower") << "/download" << true;
    QTest::newRow("mixed with blanks") << "   /Download  " << true;
    QTest::newRow("further word") << "/DOWNLOAD now" << false;
    QTest::newRow("dash") << "-DOWNLOAD" << false;
    QTest::newRow("plural") << "/DOWNLOADS" << false;
    QTest::newRow("none") << "" << false;
    QTest::newRow("tab is no blank") << "\t/DOWNLOAD" << false;
}

void tst_MainForm::batchArgument()
{
    QFETCH(QString, arguments);
    QFETCH(bool, batch);
    QCOMPARE(Program::isBatchArgument(arguments), batch);
}

void tst_MainForm::downloadFolder()
{
    {
        ProgramFixture fixture;
        QVERIFY(fixture.ok());
        QVERIFY(fixture.outcome.enterEventLoop);
        QTemporaryDir &dir = fixture.dir;
        Program &program = fixture.program;
        QCOMPARE(program.DownloadDir, dir.filePath(QStringLiteral("Downloads")));
        QCOMPARE(program.UrlListFile, dir.filePath(QStringLiteral("URL-Liste.INI")));
        QVERIFY(QFileInfo(program.DownloadDir).isDir());
        QVERIFY(program.downloadDirUsable());
    }
    {
        // An existing folder is left alone, contents and all.
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Downloads")));
        writeFile(dir.filePath(QStringLiteral("Downloads/keep.bin")), "x");
        Program program(dir.path());
        QVERIFY(program.Main(QString()).enterEventLoop);
        QCOMPARE(readFile(dir.filePath(QStringLiteral("Downloads/keep.bin"))), QByteArray("x"));
    }
    {
        // A plain file of that name counts as present: nothing is created, but it cannot
        // hold a download, which is said once.
        QTemporaryDir dir;
        writeFile(dir.filePath(QStringLiteral("Downloads")), QByteArray());
        Program program(dir.path());
        QVERIFY(program.Main(QString()).enterEventLoop);
        QVERIFY(QFileInfo(program.DownloadDir).isFile());
        QVERIFY(!program.downloadDirUsable());
        QCOMPARE(program.log()->lines().filter(QStringLiteral("### Download-Ordner ")).size(), 1);
    }
    {
        // A link to nowhere blocks the name: the reason is logged and start-up goes on.
        QTemporaryDir dir;
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("missing")), dir.filePath(QStringLiteral("Downloads"))));
        Program program(dir.path());
        QVERIFY(program.Main(QString()).enterEventLoop);
        QVERIFY(!program.downloadDirUsable());
        const QString first = program.log()->line(0);
        QVERIFY2(first.contains(QStringLiteral(": ### Download-Ordner ")), qPrintable(first));
        QVERIFY(program.log()->line(1).endsWith(QStringLiteral("Kommando: LoadUrlList")));
    }
}

void tst_MainForm::buttonCommands()
{
    ProgramFixture fixture;
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    Program &program = fixture.program;
    ActivityLog *log = program.log();
    QVERIFY(log->count() > 0);
    // While the panel is hidden its button is out of reach.
    QTest::mouseClick(program.form()->Btn[0], Qt::LeftButton);
    QVERIFY(log->count() > 0);
    program.ToggleLog();
    QTest::mouseClick(program.form()->Btn[0], Qt::LeftButton);
    QCOMPARE(log->count(), 0);
    log->WriteLog(QStringLiteral("neu"));
    QCOMPARE(log->count(), 1);

    const QSize before = program.form()->size();
    program.Btn_Click(4);
    program.Btn_Click(-1);
    QCOMPARE(program.form()->size(), before);
    QCOMPARE(log->count(), 1);
}

void tst_MainForm::infoBox()
{
    const QString text = Program::infoText(QStringLiteral("Quorvex - ein Utility für den automatischen HTTP-Download"));
    const QString expected = QStringLiteral(
        "Quorvex - ein Utility für den automatischen HTTP-Download\r\r"
        "Quorvex " QUORVEX_VERSION " – © 2026 Quorvex-Team\r\r"
        "Verbesserungsvorschläge und konstruktive Kritik bitte per E-Mail an \r\r"
        "                          support@quorvex.example\r\r"
        "Weitere interessante Infos und Tools finden Sie auf meiner Web-Site \r\r"
        "                             https://quorvex.example/\r");
    QCOMPARE(text, expected);
    QVERIFY(!text.contains(u'\n'));

    ProgramFixture fixture;
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    Program &program = fixture.program;
    MessageBoxCloser closer;
    QTest::mouseClick(program.form()->Btn[3], Qt::LeftButton);
    QTRY_COMPARE(closer.count(), 1);
    QCOMPARE(closer.title(), QStringLiteral("Quorvex"));
    QCOMPARE(closer.text(), expected);
    QCOMPARE(closer.icon(), QMessageBox::Information);
}

void tst_MainForm::startShowsListAndLog()
{
    ProgramFixture fixture("a.zip -> http://127.0.0.1:9/a.zip\r\nb.zip -> http://127.0.0.1:9/b.zip\r\n");
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    Program &program = fixture.program;
    QVERIFY(program.form()->isVisible());
    QVERIFY(!program.BatchMode);
    QCOMPARE(program.urlList()->count(), 2);
    QCOMPARE(program.form()->Liste->model()->rowCount(), 2);
    QCOMPARE(program.log()->count(), 1);
    QVERIFY(program.log()->line(0).endsWith(QStringLiteral(": Kommando: LoadUrlList")));
    QCOMPARE(program.form()->Log->currentIndex().row(), 0);
    QVERIFY(program.form()->Btn[1]->isEnabled());
}

void tst_MainForm::secondInstanceSaysSoInABox()
{
    QTemporaryDir dir;
    QLockFile first(dir.filePath(QStringLiteral(".quorvex.lock")));
    QVERIFY(first.tryLock(0));
    auto desktop = std::make_unique<FakeDesktop>();
    const FakeDesktop &seen = *desktop;
    Program program(dir.path(), std::move(desktop));
    const Program::Outcome outcome = program.Main(QString());
    QVERIFY(!outcome.enterEventLoop);
    QCOMPARE(outcome.exitStatus, 2);
    QCOMPARE(seen.messages.size(), 1);
    QCOMPARE(seen.messages.first().title, QStringLiteral("Quorvex"));
    QVERIFY2(seen.messages.first().text.startsWith(QStringLiteral("Quorvex läuft bereits für den Ordner ") + dir.path()),
             qPrintable(seen.messages.first().text));
    // It steps back before touching anything of the first instance's.
    QVERIFY(!program.form());
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("Downloads"))));
}

void tst_MainForm::accessibleNames()
{
    ProgramFixture fixture;
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    Program &program = fixture.program;
    MainForm *form = program.form();
    const QList<QWidget *> controls{form->Liste, form->Log, form->Btn[0], form->Btn[1], form->Btn[2], form->Btn[3]};
    QStringList names, descriptions;
    for (QWidget *control : controls) {
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
        QVERIFY(accessible);
        names << accessible->text(QAccessible::Name);
        descriptions << accessible->text(QAccessible::Description);
    }
    QCOMPARE(names, QStringList({"URL-Liste", "Log", "Log löschen", "Jetzt laden", "Log zeigen", "Info"}));
    // Each says something of its own.
    for (const QString &description : descriptions)
        QVERIFY2(description.size() > 10 && descriptions.count(description) == 1, qPrintable(description));
    QVERIFY(descriptions.first().contains(QStringLiteral("Strg+V")));
    program.ToggleLog();
    QCOMPARE(QAccessible::queryAccessibleInterface(form->Btn[2])->text(QAccessible::Name), QStringLiteral("Log ausblenden"));
}

// Pasting takes the clipboard as a drop of it: one entry per line, the same refusal,
// saved at once.
void tst_MainForm::pasteIsADrop()
{
    auto desktop = std::make_unique<FakeDesktop>();
    const FakeDesktop &seen = *desktop;
    ProgramFixture fixture({}, std::move(desktop));
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    QTemporaryDir &dir = fixture.dir;
    Program &program = fixture.program;
    DropListView *liste = program.form()->Liste;
    QClipboard *clipboard = QGuiApplication::clipboard();

    clipboard->setText(QStringLiteral("  http://127.0.0.1:9/a.zip\r\n\nhttp://127.0.0.1:9/b.zip\n"));
    QTest::keyClick(liste, Qt::Key_V, Qt::ControlModifier);
    clipboard->setText(QStringLiteral("http://127.0.0.1:9/c.zip"));
    QTest::keyClick(liste, Qt::Key_Insert, Qt::ShiftModifier);
    const QByteArray list = "a.zip -> http://127.0.0.1:9/a.zip\r\nb.zip -> http://127.0.0.1:9/b.zip\r\n"
                            "c.zip -> http://127.0.0.1:9/c.zip\r\n";
    QVERIFY(program.urlList()->waitSaved(30000));
    QCOMPARE(readFile(program.UrlListFile), list);
    QVERIFY(seen.messages.isEmpty());

    // A file copied in a file manager is no link.
    auto *file = new QMimeData;
    file->setUrls({QUrl::fromLocalFile(dir.filePath(QStringLiteral("x.txt")))});
    clipboard->setMimeData(file);
    QTest::keyClick(liste, Qt::Key_V, Qt::ControlModifier);
    QTRY_COMPARE(seen.messages.size(), 1);
    QCOMPARE(seen.messages.first().text, QStringLiteral("Bitte nur echte HTTP-Links in die Liste ziehen"));
    QCOMPARE(readFile(program.UrlListFile), list);
    clipboard->clear();
}

void tst_MainForm::deleteLeavesATrace()
{
    ProgramFixture fixture("a -> http://127.0.0.1:9/a\r\nb b -> http://127.0.0.1:9/b?x=%1\r\nc -> http://127.0.0.1:9/c\r\n");
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    Program &program = fixture.program;
    DropListView *liste = program.form()->Liste;

    // Nothing selected, nothing removed.
    QTest::keyClick(liste, Qt::Key_Delete);
    QCOMPARE(program.urlList()->count(), 3);

    liste->setCurrentIndex(liste->model()->index(1, 0));
    QTest::keyClick(liste, Qt::Key_Delete);
    QVERIFY(program.urlList()->waitSaved(30000));
    QCOMPARE(readFile(program.UrlListFile), "a -> http://127.0.0.1:9/a\r\nc -> http://127.0.0.1:9/c\r\n");
    QTRY_VERIFY(logMessages(*program.log()).contains(QStringLiteral("Aus der Liste entfernt: b b -> http://127.0.0.1:9/b?x=%1")));
}

void tst_MainForm::keysWaitWhileARunGoes()
{
    TestServer server(QJsonObject{{QStringLiteral("/stall"), QJsonArray{ServerScript::pause(30)}}});
    QVERIFY2(server.ok(), qPrintable(server.error()));
    const QByteArray list = "stall -> " + server.url(QStringLiteral("/stall")).toUtf8() + "\r\n";
    auto desktop = std::make_unique<FakeDesktop>();
    const FakeDesktop &seen = *desktop;
    ProgramFixture fixture(list, std::move(desktop));
    QVERIFY(fixture.ok());
    QVERIFY(fixture.outcome.enterEventLoop);
    Program &program = fixture.program;
    MainForm *form = program.form();
    QGuiApplication::clipboard()->setText(QStringLiteral("http://127.0.0.1:9/new.zip"));

    QStringList during;
    int beeps = -1;
    connect(program.progress(), &TransferProgress::entryStarted, form, [&] {
        form->Liste->setCurrentIndex(form->Liste->model()->index(0, 0));
        QTest::keyClick(form->Liste, Qt::Key_Delete);
        QTest::keyClick(form->Liste, Qt::Key_V, Qt::ControlModifier);
        during = program.urlList()->lines();
        beeps = seen.beeps;
        form->close();
    }, Qt::QueuedConnection);
    program.Btn_Click(1);
    QCOMPARE(during, QStringList{QString::fromUtf8(list.trimmed())});
    QCOMPARE(beeps, 2);
    QCOMPARE(readFile(program.UrlListFile), list);
    QGuiApplication::clipboard()->clear();
}

QTEST_MAIN(tst_MainForm)
#include "tst_mainform.moc"
