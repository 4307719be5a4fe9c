// Two batch runs on one program folder: the second must step back (status 2, with a
// message) without touching the list file or the first run's download, however close
// together they start.

#include "common/Files.h"
#include "common/ProgramFolder.h"
#include "common/ServerScript.h"
#include "common/TestData.h"
#include "common/TestServer.h"
#include "reliability/FolderState.h"

#include <QDeadlineTimer>
#include <QJsonArray>
#include <QRandomGenerator>
#include <QTest>

namespace {
using namespace ServerScript;

const QByteArray Slow = randomBytes(2 * 1024 * 1024, 11); // arriving for 2 s
const QByteArray Small = randomBytes(3000, 12);

QJsonObject routes()
{
    QJsonArray slow{send(head("Content-Length: " + QByteArray::number(Slow.size()) + "\r\n"))};
    const int pieces = 8;
    const int piece = int(Slow.size()) / pieces;
    for (int p = 0; p < pieces; ++p) {
        slow.append(pause(0.25));
        slow.append(sendBase64(Slow.mid(p * piece, piece)));
    }
    return {{QStringLiteral("/slow.bin"), slow},
            {QStringLiteral("/small.bin"), reply(200, Small)}};
}

void startBatch(QProcess &process, const ProgramFolder &folder)
{
    process.setProcessEnvironment(folder.environment());
    process.setWorkingDirectory(folder.path());
    process.start(folder.exe(), {QStringLiteral("/DOWNLOAD")});
}

// Both entries arrived intact and nothing else is left, the lock included.
void verifyCompleted(const ProgramFolder &folder)
{
    QCOMPARE(folder.readList(), QByteArray());
    QCOMPARE(topEntries(folder.downloads()), QStringList({"slow.bin", "small.bin"}));
    QVERIFY(readFile(folder.downloads() + QStringLiteral("/slow.bin")) == Slow);
    QVERIFY(readFile(folder.downloads() + QStringLiteral("/small.bin")) == Small);
    QCOMPARE(topEntries(folder.path()), QStringList({"Downloads", "URL-Liste.INI", "bin", "quorvex"}));
}
} // namespace

class tst_Instances : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        m_server = std::make_unique<TestServer>(routes());
        QVERIFY2(m_server->ok(), qPrintable(m_server->error()));
        m_list = QStringLiteral("small.bin -> %1\r\nslow.bin -> %2\r\n")
                     .arg(m_server->url(QStringLiteral("/small.bin")), m_server->url(QStringLiteral("/slow.bin")))
                     .toUtf8();
    }

    void secondRunStepsBackDuringADownload()
    {
        ProgramFolder folder;
        folder.writeList(m_list);
        QProcess first;
        startBatch(first, folder);
        QVERIFY(first.waitForStarted(10000));
        // Wait until the first run is inside the slow transfer.
        QByteArray firstOut;
        const QDeadlineTimer deadline(15000);
        while (!firstOut.contains("Kommando: Execute") && !deadline.hasExpired() && first.state() == QProcess::Running) {
            first.waitForReadyRead(200);
            firstOut += first.readAllStandardOutput();
        }
        QVERIFY2(firstOut.contains("Kommando: Execute"), firstOut.constData());

        const ProgramFolder::Result second = folder.run({QStringLiteral("/DOWNLOAD")}, 20000);
        QVERIFY(second.finished);
        QCOMPARE(second.exitCode, 2);
        QVERIFY2(QString::fromLocal8Bit(second.err).contains(QStringLiteral("läuft bereits")), second.err.constData());
        QVERIFY2(!second.out.contains("Kommando: Execute"), second.out.constData());
        QVERIFY2(first.state() == QProcess::Running, "the first run ended before the second one was done");
        QCOMPARE(folder.readList(), m_list);

        QVERIFY(first.waitForFinished(30000));
        firstOut += first.readAllStandardOutput();
        QVERIFY2(first.exitStatus() == QProcess::NormalExit && first.exitCode() == 0, firstOut.right(800).constData());
        verifyCompleted(folder);
    }

    // Started at the same moment, exactly one of them runs the list.
    void simultaneousStartsLetOneRun()
    {
        for (int round = 0; round < 4; ++round) {
            ProgramFolder folder;
            folder.writeList(m_list);
            QProcess a;
            QProcess b;
            startBatch(a, folder);
            startBatch(b, folder);
            QVERIFY(a.waitForStarted(10000));
            QVERIFY(b.waitForStarted(10000));
            QVERIFY(a.waitForFinished(40000));
            QVERIFY(b.waitForFinished(40000));
            QList<int> codes{a.exitCode(), b.exitCode()};
            std::sort(codes.begin(), codes.end());
            QVERIFY2(codes == QList<int>({0, 2}),
                     qPrintable(QStringLiteral("round %1: exit %2 and %3\n%4%5")
                                    .arg(round)
                                    .arg(a.exitCode())
                                    .arg(b.exitCode())
                                    .arg(QString::fromUtf8(a.readAllStandardError()), QString::fromUtf8(b.readAllStandardError()))));
            verifyCompleted(folder);
            if (QTest::currentTestFailed())
                return;
        }
    }

private:
    std::unique_ptr<TestServer> m_server;
    QByteArray m_list;
};

QTEST_GUILESS_MAIN(tst_Instances)
#include "tst_instances.moc"
