#pragma once

// A stand-in for xdg-open, to be put first on PATH for the program under test, so that
// no test ever opens a real file manager. Each call appends its arguments as one line
// to a log file.

#include "common/Files.h"

#include <QDir>
#include <QFile>
#include <QString>
#include <QTest>

inline void writeXdgOpenStub(const QString &binDir, const QString &callLog)
{
    QVERIFY(QDir().mkpath(binDir));
    const QString stub = binDir + QStringLiteral("/xdg-open");
    writeFile(stub, "#!/bin/sh\necho \"$@\" >> \"" + QFile::encodeName(callLog) + "\"\n");
    QVERIFY(QFile::setPermissions(stub, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
}
