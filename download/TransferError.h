#pragma once

#include <QString>

#include <stdexcept>

// Raised by GetChunk when the request failed; the download run's guarded part catches it.
class TransferError : public std::runtime_error
{
public:
    // Numbers reported in ResponseCode besides HTTP statuses (400 and more).
    enum Code : qint32 {
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
        PartFileFailure = 10,
        NetworkFailure = 11,
        TooSlow = 12,
        // The body does not hash to what its link says, or its hash could not be made.
        ChecksumFailed = 13,
    };

    TransferError(qint32 code, const QString &description, int httpStatus = 0)
        : std::runtime_error("transfer error")
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
