#pragma once

#include <QByteArray>
#include <QString>

#include <curl/curl.h>

// What the program lets a request and its redirects do, and which answers it takes:
// http and https only, at most MaxRedirects hops, never from https back to http
// anywhere in the chain, the list URL's credentials never sent to another host or
// port, and a response only when its framing is beyond doubt. Every URL is read by
// libcurl's own parser, the one the request is then made with.
class RequestPolicy
{
public:
    static constexpr int MaxRedirects = 20;

    struct Verdict
    {
        bool ok = true;
        qint32 code = 0;
        QString text; // German, safe to show
    };

    // The list's URL text as it is requested (a link as a browser shows it, with
    // spaces or umlauts, is encoded here). Starts a new chain.
    Verdict begin(const QString &text, QByteArray *request);
    // The target libcurl read from a redirect answer (CURLINFO_REDIRECT_URL), checked
    // against the chain so far; on success *request is exactly what is asked next.
    Verdict follow(const QByteArray &target, int status, QByteArray *request);
    int hops() const { return m_hops; }
    // The list's URL as requested, without user name and password: where a body came
    // from, fit to be kept beside it.
    QByteArray source() const { return m_source; }
    // The fragment of the list's URL, without "#": never sent, but it may name the
    // checksum of the body.
    QString fragment() const { return m_origin.fragment; }

    // The head of a final answer (after any 1xx), read through libcurl: the status
    // must be one we asked for (206 only when a range was asked) and every
    // Content-Length a single plain number.
    static Verdict checkHead(CURL *easy, long status, bool rangeAsked = false);
    // What the log says of an error status: the number libcurl read, and the reason
    // phrase the server put after it in its status line, made safe to show.
    static QString statusText(const QByteArray &statusLine, long status);

private:
    struct Parts
    {
        QString scheme;
        QString host;
        QString port;
        QString fragment;
    };
    static bool parse(const QByteArray &url, Parts *parts, QByteArray *withoutCredentials);

    Parts m_origin;
    bool m_sawHttps = false;
    int m_hops = 0;
    QByteArray m_source;
};
