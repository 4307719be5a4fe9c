#pragma once

// The program as a user starts it, in-process: a fresh program folder with the given
// list file (none when empty), the program made and started without an argument. The
// folder goes with the fixture.

#include "common/Files.h"
#include "shell/Desktop.h"
#include "shell/Program.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class ProgramFixture
{
public:
    explicit ProgramFixture(const QByteArray &list = {}, std::unique_ptr<Desktop> desktop = nullptr)
        : m_listWritten(writeList(list))
        , program(dir.path(), std::move(desktop))
        , outcome(program.Main(QString()))
    {
    }

    QString listFile() const { return dir.filePath(QStringLiteral("URL-Liste.INI")); }
    QString downloads() const { return dir.filePath(QStringLiteral("Downloads")); }
    // The folder could be made and the list written.
    bool ok() const { return dir.isValid() && m_listWritten; }

    QTemporaryDir dir;

private:
    bool writeList(const QByteArray &list)
    {
        if (!list.isEmpty())
            writeFile(listFile(), list);
        return !QTest::currentTestFailed();
    }
    bool m_listWritten;

public:
    Program program;
    Program::Outcome outcome;
};
