#pragma once

// A scratch program folder holding a copy of the real executable, and a stub
// xdg-open first on PATH for every process started from it, so no test ever opens
// a file manager.

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

class ScratchProgram
{
public:
    ScratchProgram()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QFile::copy(QStringLiteral(QUORVEX_EXE), exe()));
        QVERIFY(QDir().mkpath(m_dir.filePath(QStringLiteral("bin"))));
        QFile stub(m_dir.filePath(QStringLiteral("bin/xdg-open")));
        QVERIFY(stub.open(QIODevice::WriteOnly));
        stub.write("#!/bin/sh\nexit 0\n");
        stub.close();
        QVERIFY(stub.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString dir() const { return m_dir.path(); }
    QString exe() const { return path(QStringLiteral("quorvex")); }
    QString listFile() const { return path(QStringLiteral("URL-Liste.INI")); }

    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), path(QStringLiteral("bin")) + u':' + env.value(QStringLiteral("PATH")));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        return env;
    }

private:
    QTemporaryDir m_dir;
};
