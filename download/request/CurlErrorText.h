#pragma once

#include <QString>

#include <curl/curl.h>

// What a failed transfer looked like when libcurl gave up, for the German text.
struct CurlFailure
{
    CURLcode result = CURLE_OK;
    long osErrno = 0;            // CURLINFO_OS_ERRNO
    bool headComplete = false;   // the final response head had arrived
    bool redirectHop = false;    // the failing request followed a redirect
    qint64 received = 0;         // body bytes so far
    qint64 announced = -1;       // CURLINFO_CONTENT_LENGTH_DOWNLOAD_T
    QString host;                // the host of the failing request, already safe to show
    QString curlMessage;         // libcurl's own error buffer (English)
    long tlsVerifyResult = 0;    // CURLINFO_SSL_VERIFYRESULT: OpenSSL's verdict on the chain
};

struct FailureText
{
    qint32 code;
    QString text;
};

// The one table from libcurl's result codes to the numbers and German texts the log
// shows. Never reads "Success" and never shows an errno of 0.
FailureText curlErrorText(const CurlFailure &failure);
