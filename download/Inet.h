#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>
#include <stdexcept>

// Raised by GetChunk when the request failed; the download run's guarded part catches it.
class TransferError : public std::runtime_error
{
public:
    TransferError(qint32 code, const QString &description, int httpStatus = 0)
        : std::runtime_error(description.toStdString())
        , m_code(code)
        , m_description(description)
        , m_httpStatus(httpStatus)
    {
    }
    qint32 code() const { return m_code; }
    QString description() const { return m_description; }
    // The HTTP status when the server answered with 400 or more, otherwise 0.
    int httpStatus() const { return m_httpStatus; }

private:
    qint32 m_code;
    QString m_description;
    int m_httpStatus;
};

// The transfer component: one HTTP(S) GET at a time, driven from the event loop of
// the thread it lives on, reporting its progress as numbered states:
//   1/2 name resolution, 3/4 connecting, 5/6 sending the request, 7 response arriving,
//   8 after the first piece of a body was handed out by GetChunk, 9/10 connection
//   closed, 11 failure, 12 request finished (after success and after failure alike).
// The body is spooled (memory, then an unnamed file in the spool folder) so that it is
// complete when 12 is reported while memory stays bounded.
class Inet : public QObject
{
    Q_OBJECT

public:
    // Numbers reported in ResponseCode besides HTTP statuses (400 and more).
    enum Error : qint32 {
        NoError = 0,
        BadUrl = 1,
        HostNotFound = 2,
        ConnectionRefused = 3,
        TimedOut = 4,
        TlsFailure = 5,
        Incomplete = 6,
        BadResponse = 7,
        TooManyRedirects = 8,
        BadRedirect = 9,
        SpoolFailure = 10,
        NetworkFailure = 11,
    };

    explicit Inet(QObject *parent = nullptr);
    ~Inet() override;

    // Seconds without any progress (connecting, headers, body bytes) before a
    // request gives up.
    void setRequestTimeout(int seconds);
    int RequestTimeout() const;
    // Finer control for tests and benchmarks.
    void setRequestTimeoutMs(int milliseconds);

    // Where bodies larger than the in-memory limit are spooled (the download folder).
    void setSpoolDir(const QString &dir);

    // Starts a GET and returns at once. Ends any previous request and drops its body.
    // Reports a fresh state before returning, so a wait for 12 never ends on the
    // previous request's 12.
    void Execute(const QString &url);

    // The next piece of the finished response body, at most size bytes; empty at the
    // end. Throws TransferError when the request failed.
    QByteArray GetChunk(int size);

    // Ends the current request and its connection and drops the spooled body.
    void Cancel();

    qint32 ResponseCode() const;
    QString ResponseInfo() const;

    // Removes spool files a killed process left behind in dir.
    static void RemoveSpoolLeftovers(const QString &dir);

Q_SIGNALS:
    void StateChanged(qint16 State);
    // Body bytes so far and the announced size (-1 when unknown); a few times a
    // second while the body arrives, and once when it is complete.
    void Progress(qint64 received, qint64 total);

private:
    class Private;
    std::unique_ptr<Private> d;
};
