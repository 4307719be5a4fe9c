#pragma once

#include <QByteArray>
#include <QString>

#include <stdexcept>

// A failure of the local file system during a download, with a German description.
class FileError : public std::runtime_error
{
public:
    FileError(int errnum, const QString &description)
        : std::runtime_error(description.toStdString())
        , m_errnum(errnum)
        , m_description(description)
    {
    }
    int errnum() const { return m_errnum; }
    QString description() const { return m_description; }

private:
    int m_errnum;
    QString m_description;
};

// German text for an errno value.
QString SystemErrorText(int errnum);

// The file a download is written into: a hidden, exclusively created file in the
// download folder that only gets a real name once the body is complete. Until then
// nothing under a real name can be mistaken for a finished download.
class PartFile
{
public:
    static constexpr const char *Prefix = ".quorvex-part-";

    PartFile() = default;
    ~PartFile();
    PartFile(const PartFile &) = delete;
    PartFile &operator=(const PartFile &) = delete;

    void open(const QString &dir);
    void write(const QByteArray &piece);
    // Writes what is buffered; throws FileError when the disk refuses it.
    void flush();
    // Gives the complete file its name: path when still free, otherwise the next free
    // numbered name (nothing is ever replaced). Returns the path used.
    QString publish(const QString &dir, const QString &fileName, const QString &path);
    // Removes the unfinished file.
    void discard();

    bool isOpen() const { return m_fd >= 0; }

private:
    void close();

    int m_fd = -1;
    QString m_tempPath;
    QByteArray m_buffer;
};
