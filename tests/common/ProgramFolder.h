#pragma once

// A scratch program folder with a copy of the real executable, and a stub xdg-open
// first on PATH so that no test ever opens a real file manager. The stub records each
// call in xdg-open.log inside the folder.

#include "common/Files.h"
#include "common/XdgOpenStub.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QTest>

class ProgramFolder
{
public:
    ProgramFolder()
    {
        QVERIFY(m_dir.isValid());
        QVERIFY(QFile::copy(QStringLiteral(QUORVEX_EXE), exe()));
        QFile::setPermissions(exe(), QFile::permissions(exe()) | QFile::ExeOwner);
        writeXdgOpenStub(path(QStringLiteral("bin")), xdgOpenLog());
    }

    QString path() const { return m_dir.path(); }
    QString path(const QString &name) const { return m_dir.filePath(name); }
    QString exe() const { return path(QStringLiteral("quorvex")); }
    QString listFile() const { return path(QStringLiteral("URL-Liste.INI")); }
    QString downloads() const { return path(QStringLiteral("Downloads")); }
    // One line per start of the file manager, with its arguments.
    QString xdgOpenLog() const { return path(QStringLiteral("xdg-open.log")); }

    void writeList(const QByteArray &bytes) const { writeFile(listFile(), bytes); }
    // Empty also when there is no list file to read.
    QByteArray readList() const { return readFile(listFile(), QByteArray()); }

    // Environment for the program: offscreen, the stub first on PATH, no display.
    QProcessEnvironment environment() const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PATH"), path(QStringLiteral("bin")) + u':' + env.value(QStringLiteral("PATH")));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("WAYLAND_DISPLAY"));
        return env;
    }

    // A disk whose flushes take ms longer (bench/slowflush.cpp): all of them, or those
    // of paths holding only; the flushes of paths holding fail fail (EIO).
    static void slowDisk(QProcessEnvironment *env, int ms, const QString &only = {}, const QString &fail = {})
    {
        env->insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(QUORVEX_SLOWFLUSH));
        env->insert(QStringLiteral("SLOWFLUSH_MS"), QString::number(ms));
        if (!only.isEmpty())
            env->insert(QStringLiteral("SLOWFLUSH_ONLY"), only);
        if (!fail.isEmpty())
            env->insert(QStringLiteral("SLOWFLUSH_FAIL"), fail);
    }

    struct Result
    {
        int exitCode = -1;
        QByteArray out;
        QByteArray err;
        bool finished = false;
    };

    // Runs the program to its end (bounded by timeoutMs).
    Result run(const QStringList &arguments, const QProcessEnvironment &env, int timeoutMs = 60000) const
    {
        QProcess process;
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(path());
        process.start(exe(), arguments);
        Result result;
        if (!process.waitForStarted(10000))
            return result;
        result.finished = process.waitForFinished(timeoutMs);
        if (!result.finished) {
            process.kill();
            process.waitForFinished(5000);
        }
        result.exitCode = process.exitCode();
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }
    Result run(const QStringList &arguments, int timeoutMs = 60000) const
    {
        return run(arguments, environment(), timeoutMs);
    }

private:
    QTemporaryDir m_dir;
};
