#pragma once

// Whole files as bytes, and log lines without their time stamps, for tests of the
// list file.

#include "log/ActivityLog.h"

#include <QFile>
#include <QTest>

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

inline void writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

inline QStringList messages(const ActivityLog &log)
{
    QStringList result;
    for (const QString &line : log.lines())
        result.append(line.section(QStringLiteral(": "), 1));
    return result;
}
