// One real drop across processes: under a private Xvfb, a drag source of our own
// drags a link onto the running program's list, moved by xdotool.

#include "common/ProgramFolder.h"
#include "common/Processes.h"
#include "common/XvfbServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <functional>
#include <memory>

namespace {

bool waitUntil(const std::function<bool()> &done, int ms)
{
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > ms)
            return false;
        QTest::qWait(100);
    }
    return true;
}

} // namespace

class TestX11Drop : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void linkDraggedFromAnotherProgram();

private:
    QString xdotool(const QStringList &args);
    QString findWindow(const QString &title);

    QProcessEnvironment m_env;
    std::unique_ptr<XvfbServer> m_xvfb;
    QString m_xdotool;
};

void TestX11Drop::initTestCase()
{
    m_xdotool = QStandardPaths::findExecutable(QStringLiteral("xdotool"));
    if (!XvfbServer::available() || m_xdotool.isEmpty())
        QSKIP("Xvfb and xdotool are needed for a real X11 drop");
    m_xvfb = std::make_unique<XvfbServer>();
    QVERIFY2(!m_xvfb->display().isEmpty(), qPrintable(m_xvfb->error()));

    m_env = QProcessEnvironment::systemEnvironment();
    m_env.insert(QStringLiteral("DISPLAY"), m_xvfb->display());
    m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    m_env.remove(QStringLiteral("WAYLAND_DISPLAY"));
}

void TestX11Drop::cleanupTestCase()
{
    m_xvfb.reset();
}

QString TestX11Drop::xdotool(const QStringList &args)
{
    QProcess process;
    process.setProcessEnvironment(m_env);
    process.start(m_xdotool, args);
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(1000);
        return {};
    }
    return QString::fromLatin1(process.readAllStandardOutput()).trimmed();
}

QString TestX11Drop::findWindow(const QString &title)
{
    QString id;
    waitUntil([&] {
        id = xdotool({QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"),
                      u'^' + title + u'$'})
                 .section(u'\n', -1);
        return !id.isEmpty();
    }, 30000); // a loaded machine may take long to map a window
    return id;
}

void TestX11Drop::linkDraggedFromAnotherProgram()
{
    ProgramFolder program;
    QProcessEnvironment env = program.environment();
    for (const QString &key : {QStringLiteral("DISPLAY"), QStringLiteral("QT_QPA_PLATFORM")})
        env.insert(key, m_env.value(key));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    m_env = env;

    QProcess quorvex;
    quorvex.setProcessEnvironment(env);
    quorvex.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    quorvex.start(program.exe(), {});
    QVERIFY(quorvex.waitForStarted(5000));
    const QString link = QStringLiteral("http://127.0.0.1/dir/setup.zip");
    QProcess source;
    source.setProcessEnvironment(env);
    source.start(QStringLiteral(DRAG_SOURCE_EXE), {link});
    QVERIFY(source.waitForStarted(5000));

    const QString target = findWindow(QStringLiteral("Quorvex"));
    const QString from = findWindow(QStringLiteral("urllist-dragsource"));
    QVERIFY2(!target.isEmpty(), "the program's window did not appear");
    QVERIFY2(!from.isEmpty(), "the drag source's window did not appear");
    // The window is mapped before the program has loaded its list; give it a moment.
    QTest::qWait(500);

    const QString geometry = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), target});
    const auto value = [&geometry](const char *key) {
        const QRegularExpression re(QStringLiteral("%1=(-?\\d+)").arg(QLatin1String(key)));
        return re.match(geometry).captured(1).toInt();
    };
    // The middle of the URL list inside the window (its frame and the list's place
    // in it, in twips: 60 + 120, 60 + 300, 7155 x 2010).
    const int x = value("X") + 12 + 238;
    const int y = value("Y") + 24 + 67;

    xdotool({QStringLiteral("mousemove"), QStringLiteral("--window"), from, QStringLiteral("100"), QStringLiteral("60")});
    QTest::qWait(200);
    xdotool({QStringLiteral("mousedown"), QStringLiteral("1")});
    QTest::qWait(300);
    // The drag follows motion events; cross to the list in steps, then linger so the
    // target can answer the position messages before the release.
    const int startX = 20 + 100, startY = 20 + 60;
    for (int step = 1; step <= 12; ++step) {
        xdotool({QStringLiteral("mousemove"), QString::number(startX + (x - startX) * step / 12),
                 QString::number(startY + (y - startY) * step / 12)});
        QTest::qWait(60);
    }
    xdotool({QStringLiteral("mousemove"), QString::number(x + 3), QString::number(y + 2)});
    QTest::qWait(400);
    xdotool({QStringLiteral("mouseup"), QStringLiteral("1")});

    const QByteArray expected = "setup.zip -> " + link.toUtf8() + "\r\n";
    QByteArray list;
    waitUntil([&] {
        list = program.readList();
        return list == expected;
    }, 10000);
    QByteArray sourceSaid = source.readAllStandardOutput();
    stopProcess(source);
    stopProcess(quorvex);
    QVERIFY2(list == expected, (list + " / source: " + sourceSaid).constData());
}

QTEST_GUILESS_MAIN(TestX11Drop)
#include "tst_x11drop.moc"
