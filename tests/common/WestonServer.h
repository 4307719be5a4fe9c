#pragma once

// A private headless Wayland compositor for the life of the object, with a runtime
// folder of its own, so a program can be started as on a Wayland-only session.
// It logs the protocol of every client, which tells whether a window was drawn.
// Check ok() before use; error() says what went wrong.

#include "common/Processes.h"

#include <QDeadlineTimer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>
#include <QTest>

#include <map>

class WestonServer
{
public:
    static bool available() { return !QStandardPaths::findExecutable(QStringLiteral("weston")).isEmpty(); }

    WestonServer()
    {
        if (!m_runtime.isValid()) {
            m_error = QStringLiteral("no runtime folder: ") + m_runtime.errorString();
            return;
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime.path());
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("weston"),
                        {QStringLiteral("--backend=headless-backend.so"), QStringLiteral("--socket=") + socket(),
                         QStringLiteral("--no-config"), QStringLiteral("--idle-time=0"),
                         QStringLiteral("--logger-scopes=proto")});
        if (!m_process.waitForStarted(5000)) {
            m_error = QStringLiteral("weston did not start: ") + m_process.errorString();
            return;
        }
        const QDeadlineTimer deadline(15000);
        while (!deadline.hasExpired() && m_process.state() == QProcess::Running) {
            QLocalSocket probe;
            probe.connectToServer(m_runtime.filePath(socket()));
            if (probe.waitForConnected(200)) {
                m_ok = true;
                return;
            }
            QTest::qWait(50);
        }
        m_error = QStringLiteral("weston did not open its socket: ") + QString::fromLocal8Bit(log().right(2000));
    }

    ~WestonServer() { stopProcess(m_process); }

    WestonServer(const WestonServer &) = delete;
    WestonServer &operator=(const WestonServer &) = delete;

    bool ok() const { return m_ok; }
    QString error() const { return m_error; }
    QString runtimeDir() const { return m_runtime.path(); }
    QString socket() const { return QStringLiteral("wayland-quorvex-test"); }

    // Whether a client drew a top-level window of this title: after the compositor's
    // configure it attached a buffer to the window's surface and committed it. Qt
    // draws a window only once it is exposed.
    bool windowDrawn(const QString &title)
    {
        static const QRegularExpression request(QStringLiteral("client (\\S+) rq (\\w+)@(\\d+)\\.(\\w+)\\((.*)\\)$"));
        static const QRegularExpression surfaceOf(QStringLiteral("new id xdg_surface@(\\d+), wl_surface@(\\d+)"));
        struct Client
        {
            std::map<QString, QString> surfaces; // xdg_surface -> wl_surface
            bool titled = false;
            QString configured; // the wl_surface whose configure was acknowledged
            QString attached;
        };
        std::map<QString, Client> clients;
        const QString quotedTitle = u'"' + title + u'"';
        for (const QByteArray &line : log().split('\n')) {
            const QRegularExpressionMatch m = request.match(QString::fromUtf8(line));
            if (!m.hasMatch())
                continue;
            Client &client = clients[m.captured(1)];
            const QString object = m.captured(3), call = m.captured(2) + u'.' + m.captured(4), args = m.captured(5);
            if (call == u"xdg_wm_base.get_xdg_surface") {
                const QRegularExpressionMatch s = surfaceOf.match(args);
                if (s.hasMatch())
                    client.surfaces[s.captured(1)] = s.captured(2);
            } else if (call == u"xdg_toplevel.set_title" && args == quotedTitle) {
                client.titled = true;
            } else if (call == u"xdg_surface.ack_configure") {
                client.configured = client.surfaces[object];
            } else if (call == u"wl_surface.attach" && object == client.configured && args.startsWith(u"wl_buffer@")) {
                client.attached = object;
            } else if (call == u"wl_surface.commit" && client.titled && object == client.attached) {
                return true;
            }
        }
        return false;
    }

private:
    QByteArray log()
    {
        m_log += m_process.readAll();
        return m_log;
    }

    QTemporaryDir m_runtime;
    QProcess m_process;
    QByteArray m_log;
    QString m_error;
    bool m_ok = false;
};
