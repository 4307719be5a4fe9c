#include "common/LogMessages.h"
#include "common/Ports.h"
#include "common/ServerScript.h"
#include "common/TestServer.h"
#include "download/Inet.h"
#include "download/StateCode.h"
#include "download/TransferStates.h"
#include "log/ActivityLog.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>

class TestTransferStates : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }
    void stateTexts();
    void logLines();
    void waitForCurrentStateReturnsAtOnce();
    void waitForEndsAfterFailure();
    void waitForIgnoresThePreviousTwelve();
    void waitSleepsWhileTheServerStalls();
    void pauseEndsWhenTheWindowCloses();
};

namespace {
// CPU time this process has used so far, user and system.
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Ends a wait that would otherwise hang the test run.
void guard(TransferStates &states, int ms)
{
    QTimer::singleShot(ms, &states, [&states] { states.requestAbort(); });
}
} // namespace

void TestTransferStates::stateTexts()
{
    QSet<QString> seen;
    for (qint16 code = 0; code <= 12; ++code) {
        const QString text = TransferStates::StateText(code);
        QVERIFY2(text.endsWith(u'.'), qPrintable(QString::number(code)));
        seen.insert(text);
    }
    QCOMPARE(seen.size(), 13);
    QCOMPARE(TransferStates::StateText(12), QStringLiteral("Die Anforderung wurde beendet, und alle Daten wurden empfangen."));
    QCOMPARE(TransferStates::StateText(8),
             QStringLiteral("Das Steuerelement hat eine Antwort vom Host-Rechner erfolgreich abgerufen."));
    QCOMPARE(TransferStates::StateText(-1), QString());
    QCOMPARE(TransferStates::StateText(13), QString());
}

void TestTransferStates::logLines()
{
    ActivityLog log;
    Inet inet;
    TransferStates states(&log, &inet);

    // ResponseCode 0: one line, even for an unknown code, which still becomes current.
    states.Inet_StateChanged(99);
    QCOMPARE(states.LastState, qint16(99));
    QCOMPARE(logMessages(log), QStringList{"'' (Code 99)"});

    // A failure: each state gets a second line with ResponseInfo and ResponseCode.
    const int from = log.count();
    inet.Execute(QStringLiteral("ftp://127.0.0.1/x"));
    const QString info = inet.ResponseInfo();
    QVERIFY(!info.isEmpty());
    QCOMPARE(logMessages(log.lines().mid(from)),
             (QStringList{u'\'' + TransferStates::StateText(11) + "' (Code 11)", u'\'' + info + "' (Code 1)",
                          u'\'' + TransferStates::StateText(12) + "' (Code 12)", u'\'' + info + "' (Code 1)"}));
    QCOMPARE(states.LastState, qint16(12));
}

void TestTransferStates::waitForCurrentStateReturnsAtOnce()
{
    ActivityLog log;
    TransferStates states(&log, nullptr);
    states.LastState = ResponseCompleted;
    bool processed = false;
    QMetaObject::invokeMethod(&states, [&processed] { processed = true; }, Qt::QueuedConnection);
    states.WaitFor(ResponseCompleted);
    QVERIFY2(!processed, "a current state must end the wait before any event processing");
    QCOMPARE(logMessages(log), (QStringList{"WaitFor: Warte auf State 12", "WaitFor: State 12 eingetroffen"}));
    QCoreApplication::processEvents();
    QVERIFY(processed);
}

void TestTransferStates::waitForEndsAfterFailure()
{
    const int port = unusedLocalPort();

    ActivityLog log;
    Inet inet;
    TransferStates states(&log, &inet);
    guard(states, 10000);
    inet.Execute(QStringLiteral("http://127.0.0.1:%1/file").arg(port));
    states.WaitFor(ResponseCompleted);
    QVERIFY(!states.abortRequested());
    QCOMPARE(states.LastState, qint16(12));
    QCOMPARE(inet.ResponseCode(), qint32(Inet::ConnectionRefused));
    QVERIFY(logMessages(log).contains("'Verbindung abgelehnt' (Code 3)"));
}

void TestTransferStates::waitForIgnoresThePreviousTwelve()
{
    TestServer server(QJsonObject{{"/ok", ServerScript::reply(200, "fine")}, {"/stall", QJsonArray{ServerScript::pause(5)}}});
    QVERIFY2(server.ok(), qPrintable(server.error()));
    ActivityLog log;
    Inet inet;
    TransferStates states(&log, &inet);
    guard(states, 15000);

    inet.Execute(server.url("/ok"));
    states.WaitFor(ResponseCompleted);
    QCOMPARE(inet.ResponseCode(), 0);
    inet.Cancel();

    inet.setRequestTimeoutMs(800);
    inet.Execute(server.url("/stall"));
    QCOMPARE(states.LastState, qint16(1));
    states.WaitFor(ResponseCompleted);
    QVERIFY(!states.abortRequested());
    QCOMPARE(inet.ResponseCode(), qint32(Inet::TimedOut));
}

void TestTransferStates::waitSleepsWhileTheServerStalls()
{
    // A wait that polls instead of sleeping burns a core for as long as the server keeps
    // quiet. Sleeping costs a few milliseconds here; the bound leaves room for a loaded
    // machine, where a polling wait still gets well over a second of a core.
    TestServer server(QJsonObject{{"/stall", QJsonArray{ServerScript::pause(6)}}});
    QVERIFY2(server.ok(), qPrintable(server.error()));
    ActivityLog log;
    Inet inet;
    TransferStates states(&log, &inet);
    guard(states, 15000);
    inet.setRequestTimeoutMs(3000);

    const double before = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    inet.Execute(server.url("/stall"));
    states.WaitFor(ResponseCompleted);
    const double used = cpuSeconds() - before;
    QCOMPARE(inet.ResponseCode(), qint32(Inet::TimedOut));
    QVERIFY(clock.elapsed() >= 2500);
    QVERIFY2(used < 0.5, qPrintable(QStringLiteral("%1 s CPU during a wait of %2 s").arg(used).arg(clock.elapsed() / 1000.0)));
}

void TestTransferStates::pauseEndsWhenTheWindowCloses()
{
    ActivityLog log;
    TransferStates states(&log, nullptr);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(states.pause(50));
    QVERIFY(clock.elapsed() >= 50);
    // Closing the window ends a long pause at once, and the run learns of it.
    QTimer::singleShot(50, &states, [&states] { states.requestAbort(); });
    clock.start();
    QVERIFY(!states.pause(60000));
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
}

QTEST_GUILESS_MAIN(TestTransferStates)
#include "tst_transferstates.moc"
