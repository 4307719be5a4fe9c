#pragma once

// Log lines without their time stamps, for comparing what the program said, from the
// log itself or from a batch run's standard output.

#include "log/ActivityLog.h"

#include <QRegularExpression>
#include <QStringList>

inline QStringList logMessages(const QStringList &lines)
{
    static const QRegularExpression stamp(QStringLiteral("^\\d{2}:\\d{2}:\\d{2}: "));
    QStringList messages;
    for (const QString &line : lines) {
        const QRegularExpressionMatch match = stamp.match(line);
        if (match.hasMatch())
            messages << line.mid(match.capturedLength());
    }
    return messages;
}

inline QStringList logMessages(const QByteArray &output)
{
    return logMessages(QString::fromUtf8(output).split(u'\n'));
}

inline QStringList logMessages(const ActivityLog &log)
{
    return logMessages(log.lines());
}
