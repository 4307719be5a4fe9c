#pragma once

// Runs tests/common/scripted_server.py on 127.0.0.1 for the life of the object. The
// routes map a path to the list of actions the server performs on the connection (see
// the script's description). Check ok() before use; error() says what went wrong.
// Given a certificate (tlsCert: CERT names CERT.pem and CERT.key, see TestCa.h) it
// speaks https.

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

class TestServer
{
public:
    // host is 127.0.0.1 or ::1; nothing else is ever listened on.
    explicit TestServer(const QJsonObject &routes, bool logRequests = false,
                        const QString &host = QStringLiteral("127.0.0.1"), const QString &tlsCert = QString())
        : m_host(host)
        , m_scheme(tlsCert.isEmpty() ? QStringLiteral("http") : QStringLiteral("https"))
    {
        if (!m_dir.isValid()) {
            m_error = QStringLiteral("no temporary folder");
            return;
        }
        const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"));
        if (python.isEmpty()) {
            m_error = QStringLiteral("python3 not found");
            return;
        }
        const QString routesPath = m_dir.filePath(QStringLiteral("routes.json"));
        QFile file(routesPath);
        if (!file.open(QIODevice::WriteOnly) || file.write(QJsonDocument(routes).toJson()) < 0) {
            m_error = QStringLiteral("cannot write the routes");
            return;
        }
        file.close();
        const QString portFile = m_dir.filePath(QStringLiteral("port"));
        QStringList args{QStringLiteral(QUORVEX_TESTS_DIR "/common/scripted_server.py"),
                         QStringLiteral("--routes"), routesPath, QStringLiteral("--port-file"), portFile};
        if (logRequests)
            args << QStringLiteral("--request-log") << requestLogPath();
        args << QStringLiteral("--transfer-log") << transferLogPath();
        if (host != u"127.0.0.1")
            args << QStringLiteral("--host") << host;
        if (!tlsCert.isEmpty())
            args << QStringLiteral("--tls-cert") << tlsCert + QStringLiteral(".pem") << QStringLiteral("--tls-key")
                 << tlsCert + QStringLiteral(".key");
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(python, args);
        if (!m_process.waitForStarted(5000)) {
            m_error = QStringLiteral("the server did not start: ") + m_process.errorString();
            return;
        }
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            QFile port(portFile);
            if (port.open(QIODevice::ReadOnly)) {
                bool ok = false;
                const int value = port.readAll().trimmed().toInt(&ok);
                if (ok && value > 0) {
                    m_port = value;
                    return;
                }
            }
            QThread::msleep(20);
        }
        m_error = QStringLiteral("the server did not report its port");
    }

    ~TestServer()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    bool ok() const { return m_port > 0; }
    QString error() const { return m_error; }
    int port() const { return m_port; }
    QString url(const QString &path) const
    {
        const QString host = m_host.contains(u':') ? u'[' + m_host + u']' : m_host;
        return m_scheme + QStringLiteral("://") + host + u':' + QString::number(m_port) + path;
    }
    QString requestLogPath() const { return m_dir.filePath(QStringLiteral("requests.log")); }
    // The request lines the server saw so far ("GET /path HTTP/1.1"), when logging.
    QStringList requestLines() const
    {
        QFile log(requestLogPath());
        if (!log.open(QIODevice::ReadOnly))
            return {};
        return QString::fromLatin1(log.readAll()).split(u'\n', Qt::SkipEmptyParts);
    }

    // One request as the server saw it: its Range and If-Range fields, and the bytes
    // sent on its connection (-1 while it is still open).
    struct Transfer
    {
        QString target;
        QString range;
        QString ifRange;
        qint64 sent = -1;
    };
    QString transferLogPath() const { return m_dir.filePath(QStringLiteral("transfers.log")); }
    // Every request so far, in the order they arrived.
    QList<Transfer> transfers() const
    {
        QFile log(transferLogPath());
        if (!log.open(QIODevice::ReadOnly))
            return {};
        QMap<int, Transfer> byId;
        for (const QByteArray &line : log.readAll().split('\n')) {
            const QJsonObject record = QJsonDocument::fromJson(line).object();
            const int id = record.value(QStringLiteral("id")).toInt();
            if (id <= 0)
                continue;
            Transfer &t = byId[id];
            if (record.contains(QStringLiteral("sent"))) {
                t.sent = qint64(record.value(QStringLiteral("sent")).toDouble());
            } else {
                t.target = record.value(QStringLiteral("target")).toString();
                t.range = record.value(QStringLiteral("range")).toString();
                t.ifRange = record.value(QStringLiteral("if_range")).toString();
            }
        }
        return byId.values();
    }

private:
    QString m_host;
    QString m_scheme;
    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    QString m_error;
};
