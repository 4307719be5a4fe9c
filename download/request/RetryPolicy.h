#pragma once

#include <QtGlobal>

#include <curl/curl.h>

// Which failures are tried again in the same run, and after how long. A cut, a
// time-out once connected, or a server busy for a moment may pass; a refusal, an
// unknown host, a bad answer or a failed connection setup (a host that is down) will
// not, and trying again would only hold up the rest of the list.
class RetryPolicy
{
public:
    // Tries after the first.
    static constexpr int MaxRetries = 3;
    // The first wait; each further one doubles it.
    static constexpr int FirstWaitMs = 1000;
    // A longer Retry-After is not waited for within the run.
    static constexpr int MaxRetryAfterS = 60;

    static bool statusPasses(long status);
    // A failure libcurl reported (result) as the program numbered it (code).
    static bool failurePasses(CURLcode result, qint32 code);

    // The wait before try number retry (1 for the first retry), given the server's
    // Retry-After in seconds (-1: none). firstWaitMs stands for a second throughout,
    // so a shortened first wait shortens a Retry-After alike. -1: do not try again.
    static qint64 waitMs(int retry, int retryAfterS, int firstWaitMs = FirstWaitMs);
};
