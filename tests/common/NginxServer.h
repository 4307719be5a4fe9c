#pragma once

// Runs nginx on 127.0.0.1 for the life of the object, serving the files of a folder,
// for tests that need a real server and bulk bodies. Everything nginx writes (pid,
// logs, temporary files) stays in a temporary folder. Use QUORVEX_REQUIRE_NGINX(server)
// in a test function to skip it when nginx is not installed.

#include "common/Ports.h"
#include "common/Processes.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

class NginxServer
{
public:
    static QString binary() { return QStringLiteral("/usr/sbin/nginx"); }
    static bool available() { return QFileInfo(binary()).isExecutable(); }

    // limitRate: nginx's limit_rate value ("64k"), empty for none.
    explicit NginxServer(const QString &root, const QString &limitRate = QString())
    {
        if (!available()) {
            m_error = QStringLiteral("nginx is not installed");
            return;
        }
        if (!m_dir.isValid()) {
            m_error = QStringLiteral("no temporary folder");
            return;
        }
        // Two attempts: another process may take the free port before nginx binds it.
        for (int attempt = 0; attempt < 2 && m_port == 0; ++attempt)
            start(root, limitRate);
    }

    ~NginxServer() { stop(); }

    NginxServer(const NginxServer &) = delete;
    NginxServer &operator=(const NginxServer &) = delete;

    bool ok() const { return m_port > 0; }
    QString error() const { return m_error; }
    int port() const { return m_port; }
    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:") + QString::number(m_port) + path;
    }

private:
    void start(const QString &root, const QString &limitRate)
    {
        stop();
        const int port = unusedLocalPort();
        if (port == 0) {
            m_error = QStringLiteral("no free port");
            return;
        }
        const QString d = m_dir.path();
        QString conf = QStringLiteral(
            "daemon off;\nmaster_process off;\nworker_processes 1;\n"
            "pid %1/nginx.pid;\nerror_log %1/error.log warn;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  access_log off;\n"
            "  client_body_temp_path %1/body;\n  proxy_temp_path %1/proxy;\n"
            "  fastcgi_temp_path %1/fastcgi;\n  uwsgi_temp_path %1/uwsgi;\n  scgi_temp_path %1/scgi;\n"
            "  default_type application/octet-stream;\n"
            "  server {\n    listen 127.0.0.1:%2;\n    root %3;\n%4"
            "  }\n}\n")
                           .arg(d)
                           .arg(port)
                           .arg(root, limitRate.isEmpty() ? QString() : QStringLiteral("    limit_rate %1;\n").arg(limitRate));
        QFile file(d + QStringLiteral("/nginx.conf"));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(conf.toUtf8()) < 0) {
            m_error = QStringLiteral("cannot write nginx.conf");
            return;
        }
        file.close();
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start(binary(), {QStringLiteral("-e"), d + QStringLiteral("/error.log"), QStringLiteral("-p"), d,
                                   QStringLiteral("-c"), d + QStringLiteral("/nginx.conf")});
        if (!m_process.waitForStarted(5000)) {
            m_error = QStringLiteral("nginx did not start: ") + m_process.errorString();
            return;
        }
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (socket.waitForConnected(200)) {
                m_port = port;
                return;
            }
            QThread::msleep(20);
        }
        m_error = QStringLiteral("nginx did not listen on port ") + QString::number(port);
    }

    void stop() { stopProcess(m_process); }

    QTemporaryDir m_dir;
    QProcess m_process;
    int m_port = 0;
    QString m_error;
};

#define QUORVEX_REQUIRE_NGINX(server)                                                                         \
    do {                                                                                                       \
        if (!NginxServer::available())                                                                         \
            QSKIP("nginx is not installed");                                                                   \
        QVERIFY2((server).ok(), qPrintable((server).error()));                                                 \
    } while (false)
