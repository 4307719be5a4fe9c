// The download run behind the button, in-process: the closing message, the button,
// the window staying usable during a run, and closing the window mid-transfer.

#include "download/run/DownloadRun.h"
#include "download/TransferStates.h"
#include "log/ActivityLog.h"
#include "shell/Desktop.h"
#include "shell/MainForm.h"
#include "shell/Program.h"
#include "urllist/UrlList.h"

#include "common/FakeDesktop.h"
#include "common/Files.h"
#include "common/MessageBoxCloser.h"
#include "common/ProgramFixture.h"
#include "common/ServerScript.h"
#include "common/TestCa.h"
#include "common/TestServer.h"
#include "common/LogMessages.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QMimeData>
#include <QTemporaryDir>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <memory>

Q_DECLARE_METATYPE(Desktop::OpenResult)

namespace {
using namespace ServerScript;

QString listFile(const QTemporaryDir &dir)
{
    return dir.filePath(QStringLiteral("URL-Liste.INI"));
}
} // namespace

class tst_DownloadRun : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void emptyListClosingMessage()
    {
        ProgramFixture fixture;
        QVERIFY(fixture.ok());
        Program &program = fixture.program;
        MessageBoxCloser closer;
        program.log()->clear();
        program.Btn_Click(1);
        QCOMPARE(closer.count(), 1);
        QCOMPARE(closer.title(), QStringLiteral("Quorvex"));
        QCOMPARE(closer.text(), QStringLiteral("Der Download ist abgeschlossen!"));
        QCOMPARE(closer.icon(), QMessageBox::Information);
        QVERIFY(program.form()->Btn[1]->isEnabled());
        QCOMPARE(logMessages(program.log()->lines()).first(), QStringLiteral("Kommando: Download starten"));
    }

    void successLogsEveryStep()
    {
        TestServer server(QJsonObject{{QStringLiteral("/f.txt"), reply(200, "fünf")}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        const QString url = server.url("/f.txt");
        ProgramFixture fixture((QStringLiteral("f.txt -> ") + url + QStringLiteral("\r\n")).toUtf8());
        QVERIFY(fixture.ok());
        QTemporaryDir &dir = fixture.dir;
        Program &program = fixture.program;
        MessageBoxCloser closer;
        program.Btn_Click(1);
        QCOMPARE(closer.text(), QStringLiteral("Der Download ist abgeschlossen!"));
        QCOMPARE(program.urlList()->count(), 0);
        QCOMPARE(readFile(listFile(dir)), QByteArray());

        QStringList messages = logMessages(program.log()->lines());
        // State lines depend on the connection; the commands and waits around them do not.
        messages.erase(std::remove_if(messages.begin(), messages.end(),
                                      [](const QString &m) { return m.startsWith(u'\''); }),
                       messages.end());
        const QString path = dir.filePath(QStringLiteral("Downloads/f.txt"));
        const QStringList expected{
            QStringLiteral("Kommando: LoadUrlList"),
            QStringLiteral("Kommando: Download starten"),
            QStringLiteral("Kommando: Execute ") + url,
            QStringLiteral("WaitFor: Warte auf State 12"),
            QStringLiteral("WaitFor: State 12 eingetroffen"),
            QStringLiteral("Kommando: Datei ") + path + QStringLiteral(" öffnen"),
            QStringLiteral("Kommando: GetChunk 0 OK (5 Byte)"),
            QStringLiteral("WaitFor: Warte auf State 8"),
            QStringLiteral("WaitFor: State 8 eingetroffen"),
            QStringLiteral("Kommando: GetChunk 1 OK (0 Byte)"),
            QStringLiteral("Kommando: Datei schließen"),
            QStringLiteral("Kommando: Cancel"),
            QStringLiteral("Kommando: SaveUrlList"),
        };
        QCOMPARE(messages.mid(0, expected.size()), expected);
        QVERIFY(logMessages(program.log()->lines())
                    .contains(QStringLiteral("'Die Anforderung wurde beendet, und alle Daten wurden empfangen.' (Code 12)")));
        QCOMPARE(readFile(path), QByteArray("fünf"));
    }

    // Every piece has its line, numbered on past single digits, the last one empty.
    void pieceLinesCountThroughTheBody()
    {
        const QByteArray body(11 * 2048 + 7, 'p');
        TestServer server(QJsonObject{{QStringLiteral("/p"), reply(200, body)}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFixture fixture((QStringLiteral("p -> ") + server.url("/p") + QStringLiteral("\r\n")).toUtf8());
        QVERIFY(fixture.ok());
        QTemporaryDir &dir = fixture.dir;
        Program &program = fixture.program;
        MessageBoxCloser closer;
        program.Btn_Click(1);
        const QStringList pieces = logMessages(program.log()->lines()).filter(QStringLiteral("Kommando: GetChunk "));
        QCOMPARE(pieces.size(), 13);
        QCOMPARE(pieces.at(0), QStringLiteral("Kommando: GetChunk 0 OK (2048 Byte)"));
        QCOMPARE(pieces.at(10), QStringLiteral("Kommando: GetChunk 10 OK (2048 Byte)"));
        QCOMPARE(pieces.at(11), QStringLiteral("Kommando: GetChunk 11 OK (7 Byte)"));
        QCOMPARE(pieces.at(12), QStringLiteral("Kommando: GetChunk 12 OK (0 Byte)"));
        QCOMPARE(readFile(dir.filePath(QStringLiteral("Downloads/p"))), body);
    }

    // What the run asks of the desktop: a beep for every entry, the closing message, and
    // the download folder in the file manager, with a log line when that cannot be.
    void runAsksTheDesktop_data()
    {
        QTest::addColumn<Desktop::OpenResult>("openResult");
        QTest::addColumn<QString>("logSays");
        QTest::newRow("file manager started") << Desktop::OpenResult::Started << QString();
        QTest::newRow("no screen") << Desktop::OpenResult::NoScreen
                                   << QStringLiteral("Kein Bildschirm: der Dateimanager wird nicht geöffnet");
        QTest::newRow("xdg-open missing") << Desktop::OpenResult::NotStarted
                                          << QStringLiteral("### Dateimanager (xdg-open) kann nicht gestartet werden");
    }

    void runAsksTheDesktop()
    {
        QFETCH(Desktop::OpenResult, openResult);
        QFETCH(QString, logSays);
        TestServer server(QJsonObject{{QStringLiteral("/ok"), reply(200, "gut")}, {QStringLiteral("/busy"), reply(503, "später")}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        auto desktop = std::make_unique<FakeDesktop>();
        FakeDesktop &seen = *desktop;
        seen.openResult = openResult;
        ProgramFixture fixture(QStringLiteral("ok -> %1\r\nbusy -> %2\r\n").arg(server.url("/ok"), server.url("/busy")).toUtf8(), std::move(desktop));
        QVERIFY(fixture.ok());
        QVERIFY(fixture.outcome.enterEventLoop);
        Program &program = fixture.program;
        program.Btn_Click(1);
        QCOMPARE(seen.beeps, 2);
        const QList<FakeDesktop::Message> closing{
            {QStringLiteral("Quorvex"), QStringLiteral("Der Download ist abgeschlossen!\r(Anzahl der Dateien mit Fehlern: 1)")}};
        QCOMPARE(seen.messages, closing);
        QCOMPARE(seen.opened, QStringList{program.DownloadDir});
        const QStringList said = logMessages(program.log()->lines()).filter(QStringLiteral("Dateimanager"));
        QCOMPARE(said, logSays.isEmpty() ? QStringList() : QStringList{logSays});
    }

    void abortOfAnEarlierRunIsForgotten()
    {
        // A close that was asked for while a run waited, and then did not happen, must
        // not end the next run before it starts.
        TestServer server(QJsonObject{{QStringLiteral("/f.txt"), reply(200, "da")}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFixture fixture((QStringLiteral("f.txt -> ") + server.url("/f.txt") + QStringLiteral("\r\n")).toUtf8());
        QVERIFY(fixture.ok());
        QTemporaryDir &dir = fixture.dir;
        Program &program = fixture.program;
        MessageBoxCloser closer;
        program.states()->requestAbort();
        program.Btn_Click(1);
        QVERIFY(!program.run()->aborted());
        QCOMPARE(program.urlList()->count(), 0);
        QCOMPARE(topEntries(dir.filePath(QStringLiteral("Downloads"))), QStringList{QStringLiteral("f.txt")});
    }

    void failureCountInMessage()
    {
        TestServer server(QJsonObject{{QStringLiteral("/err"), reply(503, "busy")}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFixture fixture((QStringLiteral("err -> ") + server.url("/err") + QStringLiteral("\r\n")).toUtf8());
        QVERIFY(fixture.ok());
        QTemporaryDir &dir = fixture.dir;
        Program &program = fixture.program;
        MessageBoxCloser closer;
        program.Btn_Click(1);
        QCOMPARE(closer.text(), QStringLiteral("Der Download ist abgeschlossen!\r(Anzahl der Dateien mit Fehlern: 1)"));
        QCOMPARE(program.urlList()->count(), 1);
        QVERIFY(topEntries(dir.filePath(QStringLiteral("Downloads"))).isEmpty());
    }

    void windowStaysUsableDuringRun()
    {
        TestServer server(QJsonObject{{QStringLiteral("/slow"), QJsonArray{pause(1.5), response(200, "langsam")}}}, true);
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFixture fixture((QStringLiteral("slow -> ") + server.url("/slow") + QStringLiteral("\r\n")).toUtf8());
        QVERIFY(fixture.ok());
        QTemporaryDir &dir = fixture.dir;
        Program &program = fixture.program;
        MainForm *form = program.form();
        // The boxes opened during the run are left open while it goes on.
        MessageBoxCloser closer(QStringLiteral("Der Download ist abgeschlossen!"), 20000);

        bool checked = false;
        QTimer::singleShot(400, form, [&] {
            QVERIFY(program.run()->running());
            QVERIFY(!form->Btn[1]->isEnabled());
            program.Btn_Click(2);
            QCOMPARE(form->height(), 303);
            program.Btn_Click(0);
            QCOMPARE(program.log()->count(), 0);
            // A link dropped now goes behind the entries the run visits.
            QMimeData data;
            data.setText(server.url("/later.zip"));
            program.Liste_OLEDragDrop(&data);
            QCOMPARE(program.urlList()->count(), 2);
            // Neither box may hold the run, and a second refusal adds no box.
            program.Btn_Click(3);
            QMimeData file;
            program.Liste_OLEDragDrop(&file);
            program.Liste_OLEDragDrop(&file);
            checked = true;
        });
        QElapsedTimer timer;
        timer.start();
        program.Btn_Click(1);
        QVERIFY(checked);
        QVERIFY(timer.elapsed() >= 1000);
        QVERIFY(form->Btn[1]->isEnabled());
        // The log was cleared during the run; its later lines are in the new list.
        QVERIFY(logMessages(program.log()->lines()).contains(QStringLiteral("Kommando: Datei schließen")));
        QCOMPARE(server.requestLines(), QStringList({"GET /slow HTTP/1.1"}));
        QCOMPARE(program.urlList()->lines(), QStringList({"later.zip -> " + server.url("/later.zip")}));
        QCOMPARE(readFile(listFile(dir)), ("later.zip -> " + server.url("/later.zip") + "\r\n").toUtf8());
        QCOMPARE(closer.count(), 1);
        QVERIFY(closer.text().endsWith(QStringLiteral("(Anzahl der Dateien mit Fehlern: 1)")));
        QCOMPARE(MessageBoxCloser::openTexts(),
                 QStringList({QStringLiteral("Bitte nur echte HTTP-Links in die Liste ziehen"),
                              Program::infoText(QStringLiteral("Quorvex - ein Utility für den automatischen HTTP-Download"))}));
    }

    // Writing a big body's pieces still lets the window work, and closing it then ends
    // the run without a file under a real name.
    void windowRespondsWhileABigBodyIsWritten()
    {
        const int size = 128 * 1024 * 1024;
        TestServer server(QJsonObject{
            {QStringLiteral("/big"),
             QJsonArray{send("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(size) + "\r\n\r\n"),
                        sendRepeated("x", size)}}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        const QString list = QStringLiteral("big -> ") + server.url("/big") + QStringLiteral("\r\n");
        ProgramFixture fixture(list.toUtf8());
        QVERIFY(fixture.ok());
        QTemporaryDir &dir = fixture.dir;
        Program &program = fixture.program;
        MessageBoxCloser closer;
        int seenInChunkLoop = 0;
        // Fires at every pass of the event loop, so it sees each yield of the chunk loop,
        // however quickly the pieces are handed out.
        QTimer probe;
        probe.setInterval(0);
        connect(&probe, &QTimer::timeout, &probe, [&] {
            // In the chunk loop the newest lines are a piece and its wait for state 8.
            const QString piece = program.log()->line(program.log()->count() - 3);
            if (!piece.contains(QStringLiteral(": Kommando: GetChunk ")) || piece.contains(QStringLiteral("GetChunk 0 ")))
                return;
            if (++seenInChunkLoop == 1)
                program.form()->close();
        });
        probe.start();
        program.Btn_Click(1);
        probe.stop();
        QVERIFY(seenInChunkLoop >= 1);
        QVERIFY(program.run()->aborted());
        QCOMPARE(closer.count(), 0);
        QVERIFY(topEntries(dir.filePath(QStringLiteral("Downloads"))).isEmpty());
        QCOMPARE(QString::fromUtf8(readFile(listFile(dir))), list);
    }

    void titleAndSelectionFollowTheTransfer_data()
    {
        QTest::addColumn<bool>("announced");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QString>("title");
        QTest::newRow("size known") << true << "slow.bin" << QByteArray() << QStringLiteral("^Quorvex – 37 % slow\\.bin$");
        QTest::newRow("size unknown") << false << "slow.bin" << QByteArray()
                                      << QStringLiteral("^Quorvex – 37,0 kB \\(.+/s\\) slow\\.bin$");
        // Shown while the body arrives, not only once it is in.
        QTest::newRow("server's name") << true << "slow" << QByteArray("Content-Disposition: inline; filename=\"Bericht.pdf\"\r\n")
                                       << QStringLiteral("^Quorvex – 37 % Bericht\\.pdf$");
    }

    void titleAndSelectionFollowTheTransfer()
    {
        QFETCH(bool, announced);
        QFETCH(QString, name);
        QFETCH(QByteArray, field);
        QFETCH(QString, title);
        const QByteArray start = announced ? "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n" + field + "\r\n" : head(field);
        const auto part = [](int count) { return sendRepeated("x", count); };
        TestServer server(QJsonObject{
            {QStringLiteral("/slow"),
             // The second part comes too soon to be shown at once, and must be shown
             // all the same before the stall ends.
             QJsonArray{send(start), part(1000), pause(0.05), part(36000), pause(1.5), part(63000)}},
            {QStringLiteral("/done"), reply(200, "fertig")}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFixture fixture(QStringLiteral("a -> %1\r\n%2 -> %3\r\n").arg(server.url("/done"), name, server.url("/slow")).toUtf8());
        QVERIFY(fixture.ok());
        Program &program = fixture.program;
        MessageBoxCloser closer;
        QCOMPARE(program.form()->windowTitle(), QStringLiteral("Quorvex"));
        int matched = 0;
        QStringList titles;
        QTimer probe;
        probe.setInterval(50);
        connect(&probe, &QTimer::timeout, &probe, [&] {
            const QString now = program.form()->windowTitle();
            if (titles.isEmpty() || titles.last() != now)
                titles << now;
            // The entry being fetched is the selected line.
            if (QRegularExpression(title).match(now).hasMatch() && program.form()->Liste->currentIndex().row() == 1
                && program.form()->Liste->selectionModel()->isRowSelected(1))
                ++matched;
        });
        probe.start();
        program.Btn_Click(1);
        probe.stop();
        QVERIFY2(matched > 0, qPrintable(titles.join(u'|')));
        QCOMPARE(closer.count(), 1);
        QCOMPARE(program.urlList()->count(), 0);
        QCOMPARE(program.form()->windowTitle(), QStringLiteral("Quorvex"));
    }

    // Each run reads the bundle afresh: one missing, then one with the authority, then
    // one without it, in one window.
    void trustFollowsEachRun()
    {
        TestCa ca;
        QVERIFY2(ca.ok(), qPrintable(ca.error()));
        TestServer server(QJsonObject{{QStringLiteral("/f"), reply(200, "sicher")}}, false, QStringLiteral("127.0.0.1"),
                          ca.cert(QStringLiteral("server")));
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFixture fixture;
        QVERIFY(fixture.ok());
        MessageBoxCloser closer;
        const QString bundle = fixture.dir.filePath(QStringLiteral("bundle.pem"));
        qputenv("SSL_CERT_FILE", QFile::encodeName(bundle));
        qputenv("SSL_CERT_DIR", QByteArray());
        const auto restore = qScopeGuard([] { qunsetenv("SSL_CERT_FILE"); qunsetenv("SSL_CERT_DIR"); });
        QList<int> arrived;
        for (const QString trusted : {"", "ca.pem", "untrusted.pem"}) {
            QFile::remove(bundle);
            QVERIFY(trusted.isEmpty() || QFile::copy(ca.cert(trusted), bundle));
            fixture.program.urlList()->AddUrl(server.url("/f"));
            fixture.program.Btn_Click(1);
            arrived << fixture.program.run()->arrived();
        }
        QCOMPARE(arrived, QList<int>({0, 1, 0}));
    }

    void closingTheWindowEndsTheRun()
    {
        TestServer server(QJsonObject{
            {QStringLiteral("/stall"),
             QJsonArray{send("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\nerster Teil"), pause(30)}},
            {QStringLiteral("/done"), reply(200, "fertig")}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        const QString list = QStringLiteral("a -> %1\r\nb -> %2\r\n").arg(server.url("/done"), server.url("/stall"));
        ProgramFixture fixture(list.toUtf8());
        QVERIFY(fixture.ok());
        QTemporaryDir &dir = fixture.dir;
        Program &program = fixture.program;
        MessageBoxCloser closer;
        QTimer::singleShot(700, program.form(), [&] { program.form()->close(); });
        QElapsedTimer timer;
        timer.start();
        program.Btn_Click(1);
        QVERIFY(timer.elapsed() < 10000);
        QVERIFY(program.run()->aborted());
        QCOMPARE(closer.count(), 0);
        // Nothing arrived, nothing half-written stays, and both entries are kept.
        QVERIFY(topEntries(dir.filePath(QStringLiteral("Downloads"))).isEmpty());
        QCOMPARE(program.urlList()->count(), 2);
        QCOMPARE(QString::fromUtf8(readFile(listFile(dir))), list);
    }
};

QTEST_MAIN(tst_DownloadRun)
#include "tst_downloadrun.moc"
