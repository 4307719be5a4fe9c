// What a batch run prints: a readable standard output for a big body, and a run that
// goes on when nobody reads its output any more.

#include "common/ProgramFolder.h"
#include "common/ServerScript.h"
#include "common/TestServer.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QTest>

#include <csignal>

namespace {
// A 200 answer of size bytes of "x", announced or not.
QJsonArray body(qint64 size, bool announced, double seconds = 0)
{
    const QByteArray length = announced ? "Content-Length: " + QByteArray::number(size) + "\r\n" : QByteArray();
    return QJsonArray{ServerScript::pause(seconds), ServerScript::send(ServerScript::head(length)),
                      ServerScript::sendRepeated("x", size)};
}
} // namespace

class tst_BatchOutput : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        // The program must cope with a closed pipe by itself, whatever it inherits.
        std::signal(SIGPIPE, SIG_DFL);
    }

    void bigBodyPrintsFewLines()
    {
        // 64 MiB are 32,769 pieces; one line per piece would be ~98,000 lines.
        constexpr qint64 Size = 64 * 1024 * 1024;
        TestServer server(QJsonObject{{QStringLiteral("/big.bin"), body(Size, true)}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFolder folder;
        folder.writeList((QStringLiteral("big.bin -> ") + server.url("/big.bin") + QStringLiteral("\r\n")).toUtf8());
        const ProgramFolder::Result result = folder.run({QStringLiteral("/DOWNLOAD")}, 120000);
        QVERIFY(result.finished);
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(QFileInfo(folder.downloads() + QStringLiteral("/big.bin")).size(), Size);
        const QList<QByteArray> lines = result.out.trimmed().split('\n');
        QVERIFY2(lines.size() <= 40, result.out.left(4000).constData());
        QVERIFY(!result.out.contains("GetChunk"));
        const QByteArray summary = "Empfangen: 32769 St\xc3\xbc" "cke, 67108864 Byte in ";
        int summaries = 0;
        for (const QByteArray &line : lines) {
            if (line.contains(summary)) {
                ++summaries;
                // In the log's format: time of day, ": ", the text.
                QVERIFY2(QRegularExpression(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d: Empfangen: .* s \\(.*/s\\)$"))
                             .match(QString::fromUtf8(line))
                             .hasMatch(),
                         line.constData());
            }
        }
        QCOMPARE(summaries, 1);
        // A terminal's live line goes to standard error only when that is a terminal.
        QVERIFY(!result.err.contains('\r'));
    }

    void closedOutputDoesNotStopTheRun()
    {
        // The reader quits after the first line; both bodies still arrive and the
        // status reports the downloads, not the reader.
        TestServer server(QJsonObject{{QStringLiteral("/a"), body(300000, true, 0.5)},
                                      {QStringLiteral("/b"), body(300000, false, 0.5)}});
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFolder folder;
        folder.writeList(QStringLiteral("a -> %1\r\nb -> %2\r\n").arg(server.url("/a"), server.url("/b")).toUtf8());
        QProcess shell;
        shell.setProcessEnvironment(folder.environment());
        shell.setWorkingDirectory(folder.path());
        shell.start(QStringLiteral("bash"),
                    {QStringLiteral("-c"), QStringLiteral("\"$0\" /DOWNLOAD | head -n 1; exit ${PIPESTATUS[0]}"),
                     folder.exe()});
        QVERIFY(shell.waitForFinished(60000));
        QCOMPARE(shell.readAllStandardOutput().count('\n'), 1);
        QCOMPARE(shell.exitStatus(), QProcess::NormalExit);
        QCOMPARE(shell.exitCode(), 0);
        QCOMPARE(QFileInfo(folder.downloads() + QStringLiteral("/a")).size(), 300000);
        QCOMPARE(QFileInfo(folder.downloads() + QStringLiteral("/b")).size(), 300000);
        QCOMPARE(folder.readList(), QByteArray());
    }
};

QTEST_GUILESS_MAIN(tst_BatchOutput)
#include "tst_batchoutput.moc"
