#pragma once

// Whole-file reading and writing for tests.

#include <QByteArray>
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
