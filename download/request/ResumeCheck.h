#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <curl/curl.h>

#include <optional>

// Whether a partial answer (206) continues exactly the body kept from an earlier
// request. Everything is read through libcurl except the Content-Range value, which
// libcurl does not parse and which is taken here in its one plain form only.
class ResumeCheck
{
public:
    struct Range
    {
        qint64 first = 0;
        qint64 last = 0;
        qint64 total = 0;
    };

    // "bytes first-last/total": digits only, first <= last < total, no blanks but the
    // one after "bytes"; anything else (an unknown total "*", a list) is nothing.
    static std::optional<Range> parseContentRange(QByteArrayView value);

    // The response's validator as If-Range may carry it: a strong ETag, else
    // Last-Modified. Empty when there is none, or it is repeated or not plain text.
    static QByteArray validatorOf(CURL *easy);

    // A 206 to "Range: bytes=from-" fits when it starts at from, runs to the end of
    // the same total, and names the same validator.
    static bool fits(CURL *easy, qint64 from, const QByteArray &validator, qint64 total);
};
