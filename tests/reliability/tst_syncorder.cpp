// What a power cut may take is whatever was not synced. Pulling a plug is not
// possible here, so the run's file system calls are recorded (strace -f, all threads)
// over a batch of mixed entries on a disk with slow flushes, so that finished bodies
// are committed in groups, and their order is checked for every entry: its bytes are
// synced before its name is given, the download folder is synced after that and
// before the list forgets the entry, a spare list's bytes before it is swapped in,
// and the program folder after the swap.

#include "common/FakeDesktop.h"
#include "common/ProgramFixture.h"
#include "common/ProgramFolder.h"
#include "common/ServerScript.h"
#include "common/TestData.h"
#include "common/TestServer.h"
#include "shell/MainForm.h"
#include "urllist/UrlList.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHash>
#include <QJsonArray>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <csignal>
#include <unistd.h>

namespace {
using namespace ServerScript;

// One finished call of the trace: its thread, its name, the path of its descriptor (strace -y),
// the quoted paths it names, the bytes it wrote or the size it cut to, and the lines
// where it began and ended (another thread's calls may stand in between).
struct Call
{
    QString tid;
    QString name;
    QString fdPath;
    QStringList paths;
    QByteArray data;
    qint64 size = -1;
    int begin = 0;
    int end = 0;
    bool ok = false;
};

// The bytes of the first quoted string in strace's escaping.
QByteArray firstString(const QString &args)
{
    const QByteArray text = args.toUtf8();
    QByteArray out;
    qsizetype i = text.indexOf('"');
    for (++i; i > 0 && i < text.size() && text.at(i) != '"'; ++i) {
        if (text.at(i) != '\\' || i + 1 >= text.size()) {
            out += text.at(i);
            continue;
        }
        const char c = text.at(++i);
        if (c == 'r' || c == 'n' || c == 't')
            out += c == 'r' ? '\r' : c == 'n' ? '\n' : '\t';
        else if (c >= '0' && c <= '7') {
            int value = 0;
            for (int digits = 0; digits < 3 && i < text.size() && text.at(i) >= '0' && text.at(i) <= '7'; ++digits)
                value = value * 8 + (text.at(i++) - '0');
            out += char(value);
            --i;
        } else
            out += c;
    }
    return out;
}

QList<Call> readTrace(const QString &path)
{
    static const QRegularExpression head(QStringLiteral("^(\\d+)\\s+(.*)$"));
    static const QRegularExpression call(QStringLiteral("^(\\w+)\\((.*)\\)\\s+=\\s+(-?\\d+)"));
    static const QRegularExpression fdPath(QStringLiteral("^-?\\d+<([^>]*)>"));
    static const QRegularExpression quoted(QStringLiteral("\"([^\"]*)\""));
    static const QRegularExpression lastNumber(QStringLiteral("(\\d+)\\s*$"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QHash<QString, std::pair<QString, int>> pending;
    QList<Call> calls;
    int lineNo = 0;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        ++lineNo;
        const QRegularExpressionMatch h = head.match(QString::fromUtf8(raw));
        QString text = h.hasMatch() ? h.captured(2) : QString::fromUtf8(raw);
        const QString pid = h.hasMatch() ? h.captured(1) : QString();
        int begin = lineNo;
        if (text.endsWith(QLatin1String("<unfinished ...>"))) {
            pending.insert(pid, {text.chopped(16), lineNo});
            continue;
        }
        if (text.startsWith(QLatin1String("<... "))) {
            const auto started = pending.take(pid);
            text = started.first + text.section(QStringLiteral("resumed>"), 1);
            begin = started.second;
        }
        const QRegularExpressionMatch m = call.match(text);
        if (!m.hasMatch())
            continue;
        Call c{pid, m.captured(1), fdPath.match(m.captured(2)).captured(1), {}, {}, -1, begin, lineNo, m.captured(3) != u"-1"};
        if (c.name.startsWith(QLatin1String("rename"))) {
            for (auto it = quoted.globalMatch(m.captured(2)); it.hasNext();)
                c.paths << it.next().captured(1);
        } else if (c.name == u"write") {
            c.data = firstString(m.captured(2));
        } else if (c.name == u"ftruncate") {
            c.size = lastNumber.match(m.captured(2)).captured(1).toLongLong();
        }
        calls << c;
    }
    return calls;
}

// What the order checks found: the first broken rule, or empty.
struct Order
{
    QString broken;
    int publishes = 0;
    int folderSyncs = 0;
    int exchanges = 0;
    int cuts = 0;
};

class OrderCheck
{
public:
    // removed: entries the user took out of the list, which never arrive.
    OrderCheck(const QString &programDir, const QByteArray &list, const QList<QByteArray> &removed = {})
        : m_removed(removed)
        , m_programDir(programDir)
        , m_downloads(programDir + QStringLiteral("/Downloads"))
        , m_listFile(programDir + QStringLiteral("/URL-Liste.INI"))
        , m_spare(programDir + QStringLiteral("/.URL-Liste.INI.spare"))
        , m_list(list)
    {
    }

    Order run(const QList<Call> &calls)
    {
        for (const Call &c : calls) {
            if (c.ok)
                take(c);
        }
        listWritten(INT_MAX, m_list, QStringLiteral("the end of the run"));
        return m_order;
    }

private:
    void breaks(const QString &what)
    {
        if (m_order.broken.isEmpty())
            m_order.broken = what;
    }
    // Whether a flush of path that began after its last write ended before line.
    bool synced(const QString &path, int line) const
    {
        for (const Call &s : m_syncs.value(path)) {
            if (s.begin > m_lastWrite.value(path, 0) && s.end < line)
                return true;
        }
        return false;
    }
    bool flushedBetween(const QString &dir, int after, int before) const
    {
        for (const Call &s : m_syncs.value(dir)) {
            if (s.begin > after && s.end < before)
                return true;
        }
        return false;
    }
    void take(const Call &c)
    {
        if (c.name == u"write" || c.name == u"pwrite64" || c.name == u"ftruncate") {
            m_lastWrite[c.fdPath] = c.end;
            if (c.fdPath == m_spare)
                m_spareBytes = c.name == u"ftruncate" ? m_spareBytes.left(c.size) : m_spareBytes + c.data;
            if (c.name == u"ftruncate" && c.fdPath == m_listFile) {
                ++m_order.cuts;
                listWritten(c.begin, m_list.left(c.size), QStringLiteral("a list cut"));
            }
        } else if (c.name == u"fdatasync" || c.name == u"fsync") {
            m_syncs[c.fdPath] << c;
            m_order.folderSyncs += c.fdPath == m_downloads;
        } else if (c.name.startsWith(QLatin1String("rename")) && c.paths.size() == 2) {
            const QString &from = c.paths.at(0), &to = c.paths.at(1);
            if (from.contains(QLatin1String("/.quorvex-part-")) && !to.contains(QLatin1String("/.quorvex-"))) {
                ++m_order.publishes;
                if (!synced(from, c.begin))
                    breaks(QStringLiteral("%1 named before its bytes were synced").arg(to));
                m_published.insert(to, c.end);
            } else if (from == m_spare && to == m_listFile) {
                ++m_order.exchanges;
                if (!synced(from, c.begin))
                    breaks(QStringLiteral("the spare list swapped in at line %1 before its bytes were synced").arg(c.begin));
                listWritten(c.begin, m_spareBytes, QStringLiteral("a list swap"));
                m_lastExchange = c.end;
                // The old list now has the spare's name, and the next save writes over it.
                m_spareBytes.clear();
            }
        }
    }
    // The list file changed at line to hold bytes: every entry it lost must be durable.
    void listWritten(int line, const QByteArray &bytes, const QString &what)
    {
        if (m_lastExchange > 0 && !flushedBetween(m_programDir, m_lastExchange, line))
            breaks(QStringLiteral("%1 at line %2 before the program folder was synced").arg(what).arg(line));
        m_lastExchange = 0;
        QList<QByteArray> left = bytes.split('\n');
        for (const QByteArray &entry : m_list.split('\n')) {
            if (entry.isEmpty() || left.removeOne(entry) || m_removed.contains(entry))
                continue;
            const QString file = m_downloads + u'/' + QString::fromUtf8(entry.left(entry.indexOf(" -> ")));
            if (!m_published.contains(file))
                breaks(QStringLiteral("%1 left the list at line %2 before it was named").arg(file).arg(line));
            else if (!flushedBetween(m_downloads, m_published.value(file), line))
                breaks(QStringLiteral("%1 left the list at line %2 before the download folder was synced").arg(file).arg(line));
        }
        m_list = bytes;
    }

    QList<QByteArray> m_removed;
    QString m_programDir, m_downloads, m_listFile, m_spare;
    QByteArray m_list;
    QByteArray m_spareBytes;
    QHash<QString, int> m_lastWrite;
    QHash<QString, QList<Call>> m_syncs;
    QHash<QString, int> m_published;
    int m_lastExchange = 0;
    Order m_order;
};
} // namespace

class tst_SyncOrder : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void everyPublishAndListSaveIsSyncedInOrder()
    {
        const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
        if (strace.isEmpty())
            QSKIP("strace is not installed (tools/deps.sh lists it for the tests)");
        const QByteArray resumed = randomBytes(600 * 1024, 21);
        const QJsonObject whole{{QStringLiteral("resource_b64"), QString::fromLatin1(resumed.toBase64())},
                                {QStringLiteral("etag"), QStringLiteral("\"r1\"")}};
        QJsonObject cut = whole;
        cut.insert(QStringLiteral("cut_after"), 300 * 1024);
        QJsonObject routes{
            {QStringLiteral("/resumed.bin"), QJsonObject{{QStringLiteral("sequence"), QJsonArray{QJsonArray{cut}, QJsonArray{whole}}}}},
            {QStringLiteral("/missing.bin"), reply(404, "weg")},
            {QStringLiteral("/refused.bin"), reply(403, "nein")},
        };
        // Listed top to bottom, fetched bottom to top: dozens of small bodies first,
        // which leave the list in groups by cutting it short, then failures below the
        // arrived entries make their saves swaps of the whole list.
        QStringList names{"a0.bin", "a1.bin", "a2.bin", "resumed.bin", "missing.bin", "a5.bin", "refused.bin", "a7.bin"};
        for (int i = 0; i < 40; ++i)
            names << QStringLiteral("b%1.bin").arg(i, 2, 10, QLatin1Char('0'));
        QHash<QString, QByteArray> bodies{{QStringLiteral("resumed.bin"), resumed}};
        for (int i = 0; i < names.size(); ++i) {
            if (names.at(i).at(0) != u'a' && names.at(i).at(0) != u'b')
                continue;
            bodies.insert(names.at(i), randomBytes(4096 + i, i));
            routes.insert(u'/' + names.at(i), reply(200, bodies.value(names.at(i))));
        }
        TestServer server(routes);
        QVERIFY2(server.ok(), qPrintable(server.error()));
        ProgramFolder folder;
        QByteArray list;
        for (const QString &name : names)
            list += (name + QStringLiteral(" -> ") + server.url(u'/' + name)).toUtf8() + "\r\n";
        folder.writeList(list);

        QProcessEnvironment env = folder.environment();
        env.insert(QStringLiteral("QUORVEX_RETRY_WAIT_MS"), QStringLiteral("50"));
        // Flushes slow enough that bodies arrive while others wait for the disk.
        ProgramFolder::slowDisk(&env, 50);
        // The sanitizers' leak check cannot run under a tracer and would end the run.
        if (env.contains(QStringLiteral("ASAN_OPTIONS")))
            env.insert(QStringLiteral("ASAN_OPTIONS"), env.value(QStringLiteral("ASAN_OPTIONS")) + QStringLiteral(":detect_leaks=0"));
        const QString trace = folder.path(QStringLiteral("trace.txt"));
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(folder.path());
        process.start(strace, {QStringLiteral("-f"), QStringLiteral("-y"), QStringLiteral("-qq"), QStringLiteral("-s"), QStringLiteral("8192"),
                               QStringLiteral("-o"), trace, QStringLiteral("-e"),
                               QStringLiteral("trace=write,pwrite64,ftruncate,fdatasync,fsync,sync_file_range,rename,renameat,renameat2"),
                               folder.exe(), QStringLiteral("/DOWNLOAD")});
        QVERIFY(process.waitForStarted(10000));
        QVERIFY(process.waitForFinished(90000));
        const QByteArray out = process.readAllStandardOutput();
        QVERIFY2(out.contains("fortgesetzt"), out.right(1500).constData());
        QCOMPARE(process.exitCode(), 1); // two entries failed

        for (auto it = bodies.begin(); it != bodies.end(); ++it)
            QCOMPARE(readFile(folder.downloads() + u'/' + it.key(), QByteArray()), it.value());
        QCOMPARE(folder.readList(), list.split('\n').at(4) + '\n' + list.split('\n').at(6) + '\n');

        const QString programDir = QFileInfo(folder.path()).canonicalFilePath();
        const Order order = OrderCheck(programDir, list).run(readTrace(trace));
        QVERIFY2(order.broken.isEmpty(), qPrintable(order.broken));
        QCOMPARE(order.publishes, int(bodies.size()));
        // Groups formed: fewer folder flushes than names given.
        QVERIFY2(order.folderSyncs < order.publishes, qPrintable(QString::number(order.folderSyncs)));
        QVERIFY(order.exchanges >= 1);
        QVERIFY(order.cuts >= 1);
    }

    // The window's thread never waits for the disk: a paste, a delete and a run with a
    // failure in the middle, traced in-process, leave every flush to other threads.
    void windowThreadNeverFlushes()
    {
        const QString strace = QStandardPaths::findExecutable(QStringLiteral("strace"));
        if (strace.isEmpty())
            QSKIP("strace is not installed (tools/deps.sh lists it for the tests)");
        QJsonObject routes{{QStringLiteral("/missing.bin"), reply(404, "weg")}};
        QStringList names{QStringLiteral("a0.bin")};
        for (int i = 0; i < 12; ++i)
            names << QStringLiteral("c%1.bin").arg(i);
        for (int i = 0; i < names.size(); ++i)
            routes.insert(u'/' + names.at(i), reply(200, randomBytes(4096 + i, i)));
        TestServer server(routes);
        QVERIFY2(server.ok(), qPrintable(server.error()));
        const auto line = [&](const QString &name) { return (name + QStringLiteral(" -> ") + server.url(u'/' + name)).toUtf8() + '\r'; };
        // The 404 stays below an entry that arrives: that one's leaving rewrites the list.
        const QByteArray start = line(names.first()) + '\n' + line(QStringLiteral("missing.bin")) + '\n';
        QString pasted;
        for (const QString &name : names.mid(1))
            pasted += server.url(u'/' + name) + u'\n';
        ProgramFixture fixture(start, std::make_unique<FakeDesktop>());
        QVERIFY(fixture.ok());
        Program &program = fixture.program;
        const QString trace = fixture.dir.filePath(QStringLiteral("trace.txt"));
        QProcess tracer;
        tracer.start(strace, {QStringLiteral("-f"), QStringLiteral("-y"), QStringLiteral("-qq"), QStringLiteral("-s"), QStringLiteral("8192"),
                              QStringLiteral("-o"), trace, QStringLiteral("-e"),
                              QStringLiteral("trace=write,pwrite64,ftruncate,fdatasync,fsync,rename,renameat,renameat2"),
                              QStringLiteral("-p"), QString::number(getpid())});
        QVERIFY(tracer.waitForStarted(10000));
        QTRY_VERIFY_WITH_TIMEOUT(!readFile(QStringLiteral("/proc/self/status")).contains("TracerPid:\t0\n"), 10000);

        QGuiApplication::clipboard()->setText(pasted);
        QTest::keyClick(program.form()->Liste, Qt::Key_V, Qt::ControlModifier);
        QGuiApplication::clipboard()->clear();
        // The last pasted link is taken out again, the 404 stays above the rest.
        program.form()->Liste->setCurrentIndex(program.urlList()->index(program.urlList()->count() - 1));
        QTest::keyClick(program.form()->Liste, Qt::Key_Delete);
        program.Btn_Click(1);
        QVERIFY(program.urlList()->waitSaved(30000));
        ::kill(pid_t(tracer.processId()), SIGINT);
        QVERIFY(tracer.waitForFinished(30000));

        QCOMPARE(readFile(program.UrlListFile), line(QStringLiteral("missing.bin")) + '\n');
        for (const QString &name : names.first(names.size() - 1))
            QVERIFY2(QFileInfo::exists(fixture.downloads() + u'/' + name), qPrintable(name));
        const QList<Call> calls = readTrace(trace);
        for (const Call &c : calls)
            QVERIFY2(c.tid != QString::number(getpid()) || !c.name.contains(QLatin1String("sync")), qPrintable(c.name + u' ' + c.fdPath));
        const Order order = OrderCheck(QFileInfo(fixture.dir.path()).canonicalFilePath(), start, {line(names.constLast())}).run(calls);
        QVERIFY2(order.broken.isEmpty(), qPrintable(order.broken));
        QVERIFY(order.exchanges >= 2);
    }
};

QTEST_MAIN(tst_SyncOrder)
#include "tst_syncorder.moc"
