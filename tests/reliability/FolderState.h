#pragma once

// What a folder holds, recursively and without following links, in a form two states
// can be compared by: relative path -> "file:<bytes>", "dir", "link:<target>" or
// "special" (a FIFO or socket, never opened).

#include "common/Files.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QStringList>

using FolderState = QMap<QString, QByteArray>;

inline FolderState folderState(const QString &dir)
{
    FolderState state;
    QDirIterator it(dir, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info = it.fileInfo();
        const QString name = QDir(dir).relativeFilePath(path);
        if (info.isSymLink()) {
            state.insert(name, "link:" + QFile::encodeName(info.symLinkTarget()));
        } else if (info.isDir()) {
            state.insert(name, "dir");
        } else if (!info.isFile()) {
            state.insert(name, "special");
        } else {
            QFile file(path);
            state.insert(name, file.open(QIODevice::ReadOnly) ? "file:" + file.readAll() : QByteArray("unreadable"));
        }
    }
    return state;
}

// Differences for a failure message, without dumping whole bodies.
inline QString describeDifference(const FolderState &actual, const FolderState &expected)
{
    QStringList lines;
    const auto brief = [](const QByteArray &value) {
        return value.size() > 60 ? QString::fromLatin1(value.left(40)) + QStringLiteral("... (%1 bytes)").arg(value.size())
                                 : QString::fromLatin1(value);
    };
    for (auto it = actual.begin(); it != actual.end(); ++it) {
        if (!expected.contains(it.key()))
            lines << QStringLiteral("unexpected %1 = %2").arg(it.key(), brief(it.value()));
        else if (expected.value(it.key()) != it.value())
            lines << QStringLiteral("differs %1 = %2, expected %3").arg(it.key(), brief(it.value()), brief(expected.value(it.key())));
    }
    for (auto it = expected.begin(); it != expected.end(); ++it) {
        if (!actual.contains(it.key()))
            lines << QStringLiteral("missing %1").arg(it.key());
    }
    return lines.join(u'\n');
}

// Runs a system tool (mount, chattr) to its end; true when it succeeded.
inline bool runTool(const QString &program, const QStringList &arguments, QString *error = nullptr)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted(5000) || !process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(2000);
        if (error)
            *error = program + QStringLiteral(" did not run");
        return false;
    }
    if (error)
        *error = QString::fromLocal8Bit(process.readAll()).trimmed();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}
