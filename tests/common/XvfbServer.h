#pragma once

// A private X server for the life of the object, on a display number it picks itself.
// Check display() before use; error() says what went wrong.

#include "common/Processes.h"

#include <QDeadlineTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

class XvfbServer
{
public:
    static bool available() { return !QStandardPaths::findExecutable(QStringLiteral("Xvfb")).isEmpty(); }

    // screen: width x height x depth.
    explicit XvfbServer(const QString &screen = QStringLiteral("1280x1024x24"))
    {
        // -displayfd lets the server pick a free display number and tell us.
        m_process.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                                                 QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"), screen});
        if (!m_process.waitForStarted(5000)) {
            m_error = QStringLiteral("Xvfb did not start: ") + m_process.errorString();
            return;
        }
        const QDeadlineTimer deadline(10000);
        while (!m_process.canReadLine() && !deadline.hasExpired() && m_process.waitForReadyRead(int(deadline.remainingTime())))
            ;
        const QString number = QString::fromLatin1(m_process.readLine()).trimmed();
        if (number.isEmpty()) {
            m_error = QStringLiteral("Xvfb named no display: ") + QString::fromLocal8Bit(m_process.readAllStandardError());
            return;
        }
        m_display = u':' + number;
    }

    ~XvfbServer() { stopProcess(m_process); }

    XvfbServer(const XvfbServer &) = delete;
    XvfbServer &operator=(const XvfbServer &) = delete;

    // ":N", empty when the server is not up.
    QString display() const { return m_display; }
    QString error() const { return m_error; }

private:
    QProcess m_process;
    QString m_display;
    QString m_error;
};
