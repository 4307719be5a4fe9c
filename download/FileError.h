#pragma once

#include "log/SystemErrorText.h"

#include <QString>

#include <stdexcept>

// A failure of the local file system during a download, with a German description.
class FileError : public std::runtime_error
{
public:
    explicit FileError(int errnum, const QString &description = QString())
        : std::runtime_error("file error")
        , m_errnum(errnum)
        , m_description(description.isEmpty() ? systemErrorText(errnum) : description)
    {
    }
    int errnum() const { return m_errnum; }
    QString description() const { return m_description; }

private:
    int m_errnum;
    QString m_description;
};
