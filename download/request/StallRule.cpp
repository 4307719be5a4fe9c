#include "download/request/StallRule.h"

#include "download/TransferError.h"
#include "log/TransferProgress.h"

StallRule::Verdict StallRule::judge(Phase phase, qint64 bodyBytes, qint64 headBytes, int timeoutMs)
{
    if (phase == Phase::Body && bodyBytes >= FloorBytes)
        return {};
    // No connection within the time-out is a host that is down, not a passing stall.
    const bool passing = phase != Phase::Connect;
    const QString seconds = TransferProgress::secondsText(timeoutMs);
    if (phase == Phase::Body && bodyBytes > 0)
        return {false, TransferError::TooSlow,
                QStringLiteral("Übertragung zu langsam: weniger als %1 Byte in %2 s").arg(FloorBytes).arg(seconds), passing};
    if (phase == Phase::AwaitingHead && headBytes > 0)
        return {false, TransferError::TimedOut,
                QStringLiteral("Zeitüberschreitung: Antwortkopf nach %1 s nicht vollständig").arg(seconds), passing};
    return {false, TransferError::TimedOut, QStringLiteral("Zeitüberschreitung: %1 s ohne Antwort").arg(seconds), passing};
}
