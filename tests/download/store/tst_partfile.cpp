// The part file on disk: whether a kept body may be continued, and which hidden files
// survive a start.

#include "download/store/PartFile.h"
#include "download/store/PartInfo.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sys/time.h>
#include <unistd.h>

namespace {
const QString Url = QStringLiteral("http://127.0.0.1:1/a.bin");
const QByteArray Tag = "\"v1\"";

// A body of 100 bytes announced, cut after 40, as an interrupted request leaves it.
void leaveKept(const QString &dir, const QString &url = Url)
{
    PartFile part;
    part.open(dir, url, Tag, 100);
    QCOMPARE(part.append(QByteArray(40, 'k').constData(), 40), 0);
    part.close();
}

QString bodyPath(const QString &dir, const QString &url = Url)
{
    return dir + u'/' + QLatin1String(PartFile::Prefix) + PartInfo::keyOf(url);
}

QStringList hidden(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

void write(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(bytes);
}

void age(const QString &path, qint64 seconds)
{
    const qint64 then = QDateTime::currentSecsSinceEpoch() - seconds;
    const struct timeval times[2] = {{time_t(then), 0}, {time_t(then), 0}};
    QCOMPARE(::utimes(QFile::encodeName(path).constData(), times), 0);
}
} // namespace

class tst_PartFile : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keptBody_data();
    void keptBody();
    void continuedBodyReadsFromItsStart();
    void leftovers();
};

void tst_PartFile::keptBody_data()
{
    QTest::addColumn<QString>("tamper");
    QTest::addColumn<qint64>("size"); // what findKept offers; 0: nothing, and nothing left
    QTest::newRow("as left") << QString() << qint64(40);
    QTest::newRow("asked for another URL") << QStringLiteral("other url") << qint64(0);
    QTest::newRow("description missing") << QStringLiteral("no info") << qint64(0);
    QTest::newRow("description garbled") << QStringLiteral("garbled info") << qint64(0);
    QTest::newRow("longer than announced") << QStringLiteral("too long") << qint64(0);
    // A run killed between publishing and dropping the hidden name: writing on would
    // change the published file.
    QTest::newRow("second link") << QStringLiteral("hard link") << qint64(0);
    QTest::newRow("symbolic link") << QStringLiteral("symlink") << qint64(0);
    QTest::newRow("no server validator") << QStringLiteral("no validator") << qint64(0);
}

void tst_PartFile::keptBody()
{
    QFETCH(QString, tamper);
    QFETCH(qint64, size);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString body = bodyPath(dir.path());
    const QString info = body + QLatin1String(PartFile::InfoSuffix);
    QString url = Url;
    if (tamper == u"no validator") {
        PartFile part;
        part.open(dir.path(), Url, QByteArray(), 100);
        part.append("abc", 3);
        part.close();
    } else {
        leaveKept(dir.path());
    }
    const QByteArray target = QFile::encodeName(dir.filePath(QStringLiteral("elsewhere")));
    if (tamper == u"other url")
        url = Url + QStringLiteral("?x");
    else if (tamper == u"no info")
        QVERIFY(QFile::remove(info));
    else if (tamper == u"garbled info")
        write(info, "quorvex-part 1\n" + Url.toUtf8() + "\n\"v1\"\nhundert\n");
    else if (tamper == u"too long")
        write(body, QByteArray(101, 'k'));
    else if (tamper == u"hard link")
        QCOMPARE(::link(QFile::encodeName(body).constData(), target.constData()), 0);
    else if (tamper == u"symlink") {
        QVERIFY(QFile::rename(body, QString::fromLocal8Bit(target)));
        QVERIFY(QFile::link(QString::fromLocal8Bit(target), body));
    }

    PartFile part;
    // Another URL has a name of its own, and sees nothing here.
    const PartFile::Kept kept = part.findKept(dir.path(), url);
    QCOMPARE(kept.size, size);
    if (size > 0) {
        QCOMPARE(kept.validator, Tag);
        QCOMPARE(kept.total, qint64(100));
        return;
    }
    part.close();
    if (tamper == u"other url")
        url = Url;
    // What cannot be continued is gone from the hidden names; a file it shared its
    // bytes with keeps them.
    if (tamper != u"other url")
        QCOMPARE(hidden(dir.path()).filter(QStringLiteral(".quorvex-")), QStringList());
    if (tamper == u"hard link" || tamper == u"symlink") {
        QFile other(QString::fromLocal8Bit(target));
        QVERIFY(other.open(QIODevice::ReadOnly));
        QCOMPARE(other.readAll(), QByteArray(40, 'k'));
    }
}

void tst_PartFile::continuedBodyReadsFromItsStart()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    leaveKept(dir.path());
    PartFile part;
    QCOMPARE(part.findKept(dir.path(), Url).size, qint64(40));
    // Taking up one byte early drops the rest of what was kept.
    part.resume(39);
    QCOMPARE(part.append(QByteArray(61, 'n').constData(), 61), 0);
    QCOMPARE(part.finishWriting(), 0);
    QByteArray all;
    for (QByteArray piece = part.read(16); !piece.isEmpty(); piece = part.read(16))
        all += piece;
    QCOMPARE(all, QByteArray(39, 'k') + QByteArray(61, 'n'));
    PartFile::Finished finished = part.finish();
    const QString published = PartFile::name(finished, dir.path(), QStringLiteral("a.bin"), dir.filePath(QStringLiteral("a.bin")), 1);
    QCOMPARE(hidden(dir.path()), QStringList{QStringLiteral("a.bin")});
    QCOMPARE(QFileInfo(published).size(), qint64(100));
}

void tst_PartFile::leftovers()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString listed = QStringLiteral("http://127.0.0.1:1/listed");
    const QString stale = QStringLiteral("http://127.0.0.1:1/stale");
    leaveKept(dir.path(), listed);
    leaveKept(dir.path(), stale);
    leaveKept(dir.path(), QStringLiteral("http://127.0.0.1:1/gone"));
    age(bodyPath(dir.path(), stale), PartFile::MaxAgeS + 3600);
    // A description whose body is gone, a half-written description, and the hidden
    // files of older versions.
    QVERIFY(QFile::remove(bodyPath(dir.path(), QStringLiteral("http://127.0.0.1:1/gone"))));
    write(bodyPath(dir.path(), listed) + QStringLiteral(".info.new"), "quorvex-part 1\n");
    write(dir.filePath(QStringLiteral(".quorvex-part-1x2y3z")), "old");
    write(dir.filePath(QStringLiteral(".quorvex-spool-AbC")), "old");
    write(dir.filePath(QStringLiteral("download.bin")), "mine");

    PartFile::removeLeftovers(dir.path(), {listed, stale, QStringLiteral("http://127.0.0.1:1/never")});
    const QString kept = QFileInfo(bodyPath(dir.path(), listed)).fileName();
    QStringList expected{QStringLiteral("download.bin"), kept, kept + QStringLiteral(".info")};
    expected.sort();
    QCOMPARE(hidden(dir.path()), expected);
}

QTEST_GUILESS_MAIN(tst_PartFile)
#include "tst_partfile.moc"
