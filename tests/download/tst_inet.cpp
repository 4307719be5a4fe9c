#include "common/NginxServer.h"
#include "common/Ports.h"
#include "common/ServerScript.h"
#include "common/TestServer.h"
#include "download/Inet.h"
#include "download/StateCode.h"

#include <QDir>
#include <QFileInfo>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QJsonArray>
#include <QPointer>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <optional>

#include <sys/xattr.h>

namespace {
using namespace ServerScript;

// Records every state an Inet reports.
class Recorder
{
public:
    explicit Recorder(Inet &inet)
        : m_inet(inet)
    {
        QObject::connect(&inet, &Inet::StateChanged, &m_context, [this](qint16 s) { states.append(s); });
    }

    // Runs the event loop until the request reports 12; false after limitMs.
    bool waitForEnd(int limitMs = 10000)
    {
        if (!states.isEmpty() && states.last() == ResponseCompleted)
            return true;
        QEventLoop loop;
        QObject::connect(&m_inet, &Inet::StateChanged, &loop, [&loop](qint16 s) {
            if (s == ResponseCompleted)
                loop.quit();
        });
        QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
        loop.exec();
        return !states.isEmpty() && states.last() == ResponseCompleted;
    }

    // Runs the event loop for a while so that queued states can arrive.
    static void settle(int ms = 50)
    {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }

    QList<qint16> states;

private:
    Inet &m_inet;
    QObject m_context;
};

// The whole body in pieces of 2048 bytes; the sizes of the pieces when asked.
QByteArray readBody(Inet &inet, QList<int> *sizes = nullptr)
{
    QByteArray body;
    for (int i = 0; i < 1000000; ++i) {
        const QByteArray piece = inet.GetChunk(2048);
        if (sizes)
            sizes->append(int(piece.size()));
        if (piece.isEmpty())
            break;
        body += piece;
    }
    return body;
}

QByteArray binaryBody(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + i / 251) & 0xff);
    return data;
}
// Commits the finished body under dir/name and waits until it is durable; what was
// told of it.
QList<Inet::CommitReport> commitBody(Inet &inet, const QString &dir, const QString &name)
{
    inet.commitBody(dir, name, dir + u'/' + name, 1);
    QDeadlineTimer deadline(10000);
    while (inet.commitsPending() > 0 && !deadline.hasExpired())
        QTest::qWait(5);
    return inet.takeCommitReports();
}
} // namespace

class TestInet : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void successfulBodies_data();
    void successfulBodies();
    void requestHead();
    void stateSequence();
    void queuedEightIsDropped();
    void redirectChain();
    void failures_data();
    void failures();
    void refusedConnection_data();
    void refusedConnection();
    void badUrls_data();
    void badUrls();
    void progress_data();
    void progress();
    void cancelAndReuse();
    void largeBodyGoesIntoOnePartFile();
    void publishedFileKeepsItsOrigin_data();
    void publishedFileKeepsItsOrigin();
    void partFileCannotBeMade();

private:
    std::optional<TestServer> m_server;
    QByteArray m_binary = binaryBody(5000);
    int m_refused = 0;
};

void TestInet::initTestCase()
{
    m_refused = unusedLocalPort();
    const QString refusedHttps = QStringLiteral("https://127.0.0.1:%1/x").arg(m_refused);
    const QByteArray chunkedHead = head("Transfer-Encoding: chunked\r\n");
    QJsonObject routes{
        {"/plain", raw(head("Content-Length: 5000\r\n") + m_binary)},
        {"/empty", reply(200)},
        {"/nocontent", raw("HTTP/1.1 204 No Content\r\n\r\n")},
        {"/exact2048", reply(200, QByteArray(2048, 'a'))},
        {"/untilclose", QJsonArray{send(head({}) + "read until the end"), closeNow()}},
        {"/chunked", raw(chunkedHead + "5\r\nhello\r\n7\r\n, world\r\n0\r\n\r\n")},
        {"/gzip", raw(head("Content-Encoding: gzip\r\nContent-Length: 6\r\n") + "\x1f\x8b\x08zzz")},
        {"/query?x=1", reply(200, "with query")},
        {"/%C3%A4%20x.bin", reply(200, "encoded")},
        {"/r1", redirect(301, "/r2")},
        {"/r2", redirect(302, "r3")},
        {"/r3", redirect(307, "/plain?from=r3")},
        {"/loop", redirect(302, "/loop")},
        {"/tohttps", redirect(302, refusedHttps)},
        {"/toftp", redirect(302, "ftp://127.0.0.1/file")},
        {"/nolocation", raw("HTTP/1.1 302 Found\r\nContent-Length: 0\r\n\r\n")},
        {"/short", QJsonArray{send(head("Content-Length: 100000\r\n")), send(QByteArray(5000, 'x')), closeNow()}},
        {"/chunkcut", QJsonArray{send(chunkedHead + "5\r\nhello\r\n100\r\nabc"), closeNow()}},
        {"/chunkbad", raw(chunkedHead + "zz\r\nhello\r\n0\r\n\r\n")},
        {"/twolengths", raw(head("Content-Length: 5\r\nContent-Length: 7\r\n") + "hello..")},
        {"/notfound", reply(404, "<h1>Nothing here</h1>")},
        {"/servererror", reply(500, "<h1>Oops</h1>")},
        {"/garbage", raw("HELLO THERE\r\n\r\n")},
        {"/stallhead", QJsonArray{pause(5), response(200, "late")}},
        {"/stallbody", QJsonArray{send(head("Content-Length: 100\r\n") + "first part"), pause(5)}},
        {"/slow", QJsonArray{pause(3), response(200, "slow")}},
    };
    m_server.emplace(routes, true);
    QVERIFY2(m_server->ok(), qPrintable(m_server->error()));
}

void TestInet::init()
{
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
}

void TestInet::successfulBodies_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QList<int>>("pieces");

    QTest::newRow("binary with length") << "/plain" << m_binary << QList<int>{2048, 2048, 904, 0};
    QTest::newRow("empty 200") << "/empty" << QByteArray() << QList<int>{0};
    QTest::newRow("204") << "/nocontent" << QByteArray() << QList<int>{0};
    QTest::newRow("exactly 2048") << "/exact2048" << QByteArray(2048, 'a') << QList<int>{2048, 0};
    QTest::newRow("ends with the connection") << "/untilclose" << QByteArray("read until the end") << QList<int>{18, 0};
    QTest::newRow("chunked") << "/chunked" << QByteArray("hello, world") << QList<int>{12, 0};
    QTest::newRow("gzip kept raw") << "/gzip" << QByteArray("\x1f\x8b\x08zzz") << QList<int>{6, 0};
    QTest::newRow("query string") << "/query?x=1" << QByteArray("with query") << QList<int>{10, 0};
    QTest::newRow("umlaut and space in path") << QStringLiteral("/ä x.bin") << QByteArray("encoded") << QList<int>{7, 0};
}

void TestInet::successfulBodies()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QFETCH(QList<int>, pieces);
    Inet inet;
    Recorder rec(inet);
    inet.Execute(m_server->url(path));
    QVERIFY(rec.waitForEnd());
    QVERIFY2(!rec.states.contains(CommunicationError), qPrintable(inet.ResponseInfo()));
    QCOMPARE(inet.ResponseCode(), 0);
    QList<int> sizes;
    QCOMPARE(readBody(inet, &sizes), body);
    QCOMPARE(sizes, pieces);
}

void TestInet::requestHead()
{
    // What goes out on the wire: the User-Agent, and no Accept-Encoding, so that the
    // file holds exactly what the server has.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QByteArray head;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        QTcpSocket *socket = server.nextPendingConnection();
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [&head, socket] {
            head += socket->readAll();
            if (head.contains("\r\n\r\n")) {
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
                socket->disconnectFromHost();
            }
        });
    });
    Inet inet;
    Recorder rec(inet);
    inet.Execute(QStringLiteral("http://127.0.0.1:%1/file.bin").arg(server.serverPort()));
    QVERIFY(rec.waitForEnd());
    QCOMPARE(readBody(inet), QByteArray("ok"));
    QVERIFY2(head.startsWith("GET /file.bin HTTP/1.1\r\n"), head.constData());
    QVERIFY2(head.contains("\r\nUser-Agent: Quorvex/" QUORVEX_VERSION "\r\n"), head.constData());
    QVERIFY2(!head.toLower().contains("accept-encoding"), head.constData());
}

void TestInet::stateSequence()
{
    Inet inet;
    Recorder rec(inet);
    inet.Execute(m_server->url("/plain"));
    // Reported before Execute returns, so a wait for 12 cannot end on an old 12.
    QCOMPARE(rec.states, QList<qint16>{1});
    QVERIFY(rec.waitForEnd());
    QCOMPARE(rec.states, (QList<qint16>{1, 2, 3, 4, 5, 6, 7, 9, 10, 12}));

    rec.states.clear();
    QCOMPARE(inet.GetChunk(2048).size(), 2048);
    QVERIFY2(rec.states.isEmpty(), "8 must arrive with the next event processing, not inside GetChunk");
    QCoreApplication::processEvents();
    QCOMPARE(rec.states, QList<qint16>{8});
    readBody(inet);
    Recorder::settle();
    QCOMPARE(rec.states, QList<qint16>{8}); // once per body

    // The next request after a finished one: fresh state at once, no stale 12.
    rec.states.clear();
    inet.Cancel();
    inet.Execute(m_server->url("/empty"));
    QCOMPARE(rec.states.last(), qint16(1));
    QVERIFY(rec.waitForEnd());
    QCOMPARE(readBody(inet), QByteArray());
    Recorder::settle();
    QVERIFY2(!rec.states.contains(8), "an empty body hands out no piece");
}

void TestInet::queuedEightIsDropped()
{
    Inet inet;
    Recorder rec(inet);
    inet.Execute(m_server->url("/plain"));
    QVERIFY(rec.waitForEnd());
    QVERIFY(!inet.GetChunk(2048).isEmpty());
    inet.Execute(m_server->url("/slow")); // replaces the request before the 8 is delivered
    rec.states.clear();
    Recorder::settle(200);
    QVERIFY2(!rec.states.contains(8), "an 8 of a replaced request arrived");

    inet.Cancel();
    inet.Execute(m_server->url("/plain"));
    QVERIFY(rec.waitForEnd());
    QVERIFY(!inet.GetChunk(2048).isEmpty());
    inet.Cancel();
    rec.states.clear();
    Recorder::settle(100);
    QVERIFY2(!rec.states.contains(8), "an 8 of a cancelled request arrived");
}

void TestInet::redirectChain()
{
    Inet inet;
    Recorder rec(inet);
    const int before = int(m_server->requestLines().size());
    inet.Execute(m_server->url("/r1"));
    QVERIFY(rec.waitForEnd());
    QCOMPARE(readBody(inet), m_binary);
    const QList<qint16> hop{1, 2, 3, 4, 5, 6, 7, 9, 10};
    QCOMPARE(rec.states, hop + hop + hop + hop + QList<qint16>{12});
    QCOMPARE(m_server->requestLines().mid(before),
             (QStringList{"GET /r1 HTTP/1.1", "GET /r2 HTTP/1.1", "GET /r3 HTTP/1.1", "GET /plain?from=r3 HTTP/1.1"}));
}

void TestInet::failures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("timeoutMs");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("info");

    QTest::newRow("body shorter than its length")
        << "/short" << 0 << int(Inet::Incomplete) << "Übertragung unvollständig: 5000 von 100000 Byte";
    QTest::newRow("chunked cut off") << "/chunkcut" << 0 << int(Inet::Incomplete) << "";
    QTest::newRow("chunked malformed") << "/chunkbad" << 0 << int(Inet::BadResponse) << "";
    QTest::newRow("two content lengths") << "/twolengths" << 0 << int(Inet::BadResponse) << "";
    QTest::newRow("not http") << "/garbage" << 0 << int(Inet::BadResponse) << "";
    QTest::newRow("302 without Location")
        << "/nolocation" << 0 << int(Inet::BadResponse) << "Weiterleitung ohne Ziel (Status 302)";
    QTest::newRow("404") << "/notfound" << 0 << 404 << "Server meldet Status 404 (Not Found)";
    QTest::newRow("500") << "/servererror" << 0 << 500 << "Server meldet Status 500 (Internal Server Error)";
    QTest::newRow("redirect loop") << "/loop" << 0 << int(Inet::TooManyRedirects) << "Zu viele Weiterleitungen (mehr als 20)";
    QTest::newRow("redirect to ftp") << "/toftp" << 0 << int(Inet::BadRedirect) << "";
    // http to https is allowed: followed, then refused by the closed port.
    QTest::newRow("redirect to https") << "/tohttps" << 0 << int(Inet::ConnectionRefused) << "Verbindung abgelehnt";
    QTest::newRow("stall before headers")
        << "/stallhead" << 700 << int(Inet::TimedOut) << "Zeitüberschreitung: 0,7 s ohne Antwort";
    // Ten bytes, then nothing: below the floor of the first period.
    QTest::newRow("stall mid-body")
        << "/stallbody" << 1000 << int(Inet::TooSlow) << "Übertragung zu langsam: weniger als 1024 Byte in 1 s";
}

void TestInet::failures()
{
    QFETCH(QString, path);
    QFETCH(int, timeoutMs);
    QFETCH(int, code);
    QFETCH(QString, info);
    Inet inet;
    if (timeoutMs > 0)
        inet.setRequestTimeoutMs(timeoutMs);
    Recorder rec(inet);
    QElapsedTimer clock;
    clock.start();
    inet.Execute(m_server->url(path));
    QVERIFY(rec.waitForEnd());
    // Not before the time-out; one that is not kept at all runs past the wait's bound.
    if (timeoutMs > 0)
        QVERIFY2(clock.elapsed() >= timeoutMs - 50, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(rec.states.count(CommunicationError), 1);
    QCOMPARE(rec.states.at(rec.states.size() - 2), qint16(CommunicationError));
    QCOMPARE(inet.ResponseCode(), code);
    QVERIFY(!inet.ResponseInfo().isEmpty());
    if (!info.isEmpty())
        QCOMPARE(inet.ResponseInfo(), info);
    try {
        inet.GetChunk(2048);
        QFAIL("reading a failed body must throw");
    } catch (const TransferError &e) {
        QCOMPARE(e.code(), code);
        QCOMPARE(e.description(), inet.ResponseInfo());
        QCOMPARE(e.httpStatus(), code >= 400 ? code : 0);
    }
    Recorder::settle();
    QVERIFY(!rec.states.contains(8));
}

void TestInet::refusedConnection_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::newRow("http") << "http";
    QTest::newRow("https") << "https";
}

void TestInet::refusedConnection()
{
    QFETCH(QString, scheme);
    Inet inet;
    Recorder rec(inet);
    inet.Execute(QStringLiteral("%1://127.0.0.1:%2/file").arg(scheme).arg(m_refused));
    QVERIFY(rec.waitForEnd());
    QCOMPARE(inet.ResponseCode(), int(Inet::ConnectionRefused));
    QCOMPARE(inet.ResponseInfo(), QStringLiteral("Verbindung abgelehnt"));
    QCOMPARE(rec.states.mid(0, 3), (QList<qint16>{1, 2, 3}));
    QCOMPARE(rec.states.mid(rec.states.size() - 2), (QList<qint16>{11, 12}));
}

void TestInet::badUrls_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("ftp") << "ftp://127.0.0.1/file";
    QTest::newRow("file") << "file:///etc/passwd";
    QTest::newRow("no scheme") << "127.0.0.1/file";
    QTest::newRow("words") << "kein Link";
    QTest::newRow("empty") << "";
    QTest::newRow("no host") << "http://";
    QTest::newRow("broken port") << "http://127.0.0.1:99999999/";
}

void TestInet::badUrls()
{
    QFETCH(QString, url);
    Inet inet;
    Recorder rec(inet);
    inet.Execute(url);
    // Ends before Execute returns; nothing goes out.
    QCOMPARE(rec.states, (QList<qint16>{11, 12}));
    QCOMPARE(inet.ResponseCode(), int(Inet::BadUrl));
    QVERIFY(inet.ResponseInfo().contains(u"Adresse"));
    QVERIFY_THROWS_EXCEPTION(TransferError, inet.GetChunk(2048));
}

void TestInet::progress_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<qint64>("total");
    QTest::newRow("announced length") << "/plain" << qint64(5000);
    QTest::newRow("chunked: length unknown") << "/chunked" << qint64(-1);
}

void TestInet::progress()
{
    QFETCH(QString, path);
    QFETCH(qint64, total);
    Inet inet;
    QList<QPair<qint64, qint64>> reports;
    bool before12 = false;
    Recorder rec(inet);
    connect(&inet, &Inet::progress, &inet, [&](qint64 received, qint64 all) {
        reports.append({received, all});
        before12 = !rec.states.contains(ResponseCompleted);
    });
    inet.Execute(m_server->url(path));
    QVERIFY(rec.waitForEnd());
    const qint64 size = readBody(inet).size();
    QVERIFY(!reports.isEmpty());
    // The last report is the whole body, given once, before the request is over.
    QCOMPARE(reports.last(), (QPair<qint64, qint64>(size, total)));
    QCOMPARE(reports.count(reports.last()), 1);
    QVERIFY(before12);
    inet.Cancel();
    Recorder::settle();
    QCOMPARE(reports.last(), (QPair<qint64, qint64>(size, total)));
}

void TestInet::cancelAndReuse()
{
    Inet inet;
    Recorder rec(inet);
    inet.Cancel(); // before anything: harmless
    QCOMPARE(inet.GetChunk(2048), QByteArray());

    inet.Execute(m_server->url("/stallhead"));
    Recorder::settle(300);
    QVERIFY(rec.states.contains(6));
    rec.states.clear();
    inet.Cancel();
    QCOMPARE(rec.states, (QList<qint16>{9, 10})); // the connection is closed at once
    inet.Cancel();
    QCOMPARE(inet.ResponseCode(), 0);
    QCOMPARE(inet.GetChunk(2048), QByteArray());
    Recorder::settle(100);
    QVERIFY(!rec.states.contains(ResponseCompleted));

    // A running request replaced by the next one.
    inet.Execute(m_server->url("/stallhead"));
    Recorder::settle(200);
    rec.states.clear();
    inet.Execute(m_server->url("/chunked"));
    QVERIFY(rec.waitForEnd());
    QCOMPARE(rec.states.count(ResponseCompleted), 1);
    QCOMPARE(readBody(inet), QByteArray("hello, world"));

    // Destroyed in the middle of a transfer: the connection goes with it.
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QPointer<QTcpSocket> peer;
    bool closed = false;
    QObject::connect(&server, &QTcpServer::newConnection, &server, [&] {
        peer = server.nextPendingConnection();
        QObject::connect(peer, &QTcpSocket::disconnected, &server, [&closed] { closed = true; });
        peer->write("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + QByteArray(100, 's'));
    });
    {
        Inet doomed;
        doomed.Execute(QStringLiteral("http://127.0.0.1:%1/stallbody").arg(server.serverPort()));
        QTRY_VERIFY_WITH_TIMEOUT(peer && peer->bytesToWrite() == 0, 5000);
        Recorder::settle(100);
        QVERIFY(!closed);
    }
    QTRY_VERIFY_WITH_TIMEOUT(closed, 5000);
}

void TestInet::largeBodyGoesIntoOnePartFile()
{
    QTemporaryDir root;
    QTemporaryDir bodies;
    QVERIFY(root.isValid() && bodies.isValid());
    QByteArray data(3 * 1024 * 1024 + 123, Qt::Uninitialized);
    auto *random = QRandomGenerator::global();
    random->fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
    QFile file(root.filePath("big.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(data) == data.size());
    file.close();
    NginxServer nginx(root.path());
    QUORVEX_REQUIRE_NGINX(nginx);

    Inet inet;
    inet.setPartDir(bodies.path());
    Recorder rec(inet);
    int reports = 0;
    connect(&inet, &Inet::progress, &inet, [&reports] { ++reports; });
    QElapsedTimer clock;
    clock.start();
    inet.Execute(nginx.url("/big.bin"));
    QVERIFY(rec.waitForEnd(20000));
    // About four a second and the final one; never one per piece.
    QVERIFY2(reports >= 1 && reports <= clock.elapsed() / 250 + 2, qPrintable(QString::number(reports)));
    QVERIFY2(!rec.states.contains(CommunicationError), qPrintable(inet.ResponseInfo()));
    // The body is on disk once, in the hidden part file, while it is read back; beside
    // it only the few bytes that describe it for a later request.
    const QStringList during = QDir(bodies.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(during.size(), 2);
    QVERIFY(during.first().startsWith(QStringLiteral(".quorvex-part-")));
    QCOMPARE(during.last(), during.first() + QStringLiteral(".info"));
    QCOMPARE(QFileInfo(bodies.filePath(during.first())).size(), data.size());
    QVERIFY(QFileInfo(bodies.filePath(during.last())).size() < 1024);
    QList<int> sizes;
    const QByteArray body = readBody(inet, &sizes);
    QCOMPARE(body.size(), data.size());
    QVERIFY(body == data);
    QCOMPARE(sizes.size(), int(data.size() / 2048) + 2);
    QCOMPARE(sizes.at(sizes.size() - 2), int(data.size() % 2048));

    // The published file is that same file: no copy, no part file left.
    const QString target = bodies.filePath(QStringLiteral("big.bin"));
    const QList<Inet::CommitReport> commits = commitBody(inet, bodies.path(), QStringLiteral("big.bin"));
    // Its name was free: only its end is told.
    QCOMPARE(commits.size(), 1);
    QVERIFY(commits.last().kind == Inet::CommitReport::Kind::Durable);
    QCOMPARE(QDir(bodies.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"big.bin"});
    QFile published(target);
    QVERIFY(published.open(QIODevice::ReadOnly));
    QVERIFY(published.readAll() == data);

    // A failed request leaves no part file behind.
    inet.Execute(nginx.url("/missing.bin"));
    QVERIFY(rec.waitForEnd());
    QCOMPARE(inet.ResponseCode(), 404);
    QCOMPARE(QDir(bodies.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{"big.bin"});
}

void TestInet::publishedFileKeepsItsOrigin_data()
{
    QTest::addColumn<QString>("userInfo");
    QTest::newRow("plain link") << "";
    QTest::newRow("user name and password") << "anna:geheim@";
    QTest::newRow("user name only") << "anna@";
}

void TestInet::publishedFileKeepsItsOrigin()
{
    QFETCH(QString, userInfo);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    Inet inet;
    inet.setPartDir(dir.path());
    Recorder rec(inet);
    const QString url = m_server->url(QStringLiteral("/query?x=1"));
    inet.Execute(QString(url).replace(QStringLiteral("http://"), QStringLiteral("http://") + userInfo));
    QVERIFY(rec.waitForEnd());
    QCOMPARE(readBody(inet), QByteArray("with query"));
    QCOMPARE(commitBody(inet, dir.path(), QStringLiteral("q")).size(), 1);
    const QString path = dir.filePath(QStringLiteral("q"));
    char value[512] = {};
    const ssize_t size = ::getxattr(QFile::encodeName(path).constData(), "user.xdg.origin.url", value, sizeof value);
    if (size < 0 && errno == ENOTSUP)
        QSKIP("no extended attributes on the temporary folder's file system");
    QCOMPARE(QByteArray(value, int(std::max<ssize_t>(size, 0))), url.toUtf8());
}

void TestInet::partFileCannotBeMade()
{
    QTemporaryDir root;
    QVERIFY(root.isValid());
    QFile file(root.filePath("big.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(QByteArray(2 * 1024 * 1024, 'z')) > 0);
    file.close();
    NginxServer nginx(root.path());
    QUORVEX_REQUIRE_NGINX(nginx);

    // A body folder that cannot take the body stands in for a full disk.
    Inet inet;
    inet.setPartDir(root.filePath("no-such-folder"));
    Recorder rec(inet);
    inet.Execute(nginx.url("/big.bin"));
    QVERIFY(rec.waitForEnd());
    QCOMPARE(inet.ResponseCode(), int(Inet::PartFileFailure));
    QCOMPARE(inet.ResponseInfo(), QStringLiteral("Datei im Download-Ordner nicht anlegbar: Datei oder Ordner nicht gefunden"));
    QVERIFY_THROWS_EXCEPTION(TransferError, inet.GetChunk(2048));
}

QTEST_GUILESS_MAIN(TestInet)
#include "tst_inet.moc"
