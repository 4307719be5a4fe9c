#include "download/request/RetryPolicy.h"

#include "download/TransferError.h"

#include <algorithm>

bool RetryPolicy::statusPasses(long status)
{
    return status == 408 || status == 429 || status == 500 || status == 502 || status == 503 || status == 504;
}

bool RetryPolicy::failurePasses(CURLcode result, qint32 code)
{
    if (code == TransferError::Incomplete || code == TransferError::TimedOut || code == TransferError::TooSlow)
        return true;
    if (result == CURLE_GOT_NOTHING)
        return true;
    return code == TransferError::NetworkFailure && (result == CURLE_RECV_ERROR || result == CURLE_SEND_ERROR);
}

qint64 RetryPolicy::waitMs(int retry, int retryAfterS, int firstWaitMs)
{
    if (retry < 1 || retry > MaxRetries || retryAfterS > MaxRetryAfterS)
        return -1;
    const qint64 second = std::max(1, firstWaitMs);
    const qint64 backoff = second << (retry - 1);
    // A server asking for less than the usual wait gets the usual wait.
    return std::max<qint64>(backoff, qint64(std::max(0, retryAfterS)) * second);
}
