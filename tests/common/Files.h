#pragma once

// Whole-file reading and writing for tests, and what a folder holds.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QString>
#include <QTest>

// The file's bytes; ifUnreadable when it cannot be opened, so that a missing file
// never reads like an expected content.
inline QByteArray readFile(const QString &path, const QByteArray &ifUnreadable = QByteArrayLiteral("<unreadable>"))
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : ifUnreadable;
}

// Replaces the file's content; fails the calling test when it cannot.
inline void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path + QStringLiteral(": ") + file.errorString()));
    QCOMPARE(file.write(bytes), bytes.size());
}

// The names directly in the folder, hidden ones included, links not followed, by name.
inline QStringList topEntries(const QString &dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// A copy of the program under test at folder/quorvex, the folder made first (its name
// may be as hostile as a test likes); the copy's path.
inline QString installedCopy(const QString &folder)
{
    const QString exe = folder + QStringLiteral("/quorvex");
    if (!QDir().mkpath(folder) || !QFile::copy(QStringLiteral(QUORVEX_EXE), exe)
        || !QFile::setPermissions(exe, QFile::permissions(exe) | QFile::ExeOwner))
        QTest::qFail(qPrintable(QStringLiteral("cannot install a copy in ") + folder), __FILE__, __LINE__);
    return exe;
}

