#pragma once

#include <QString>

// When a request has waited long enough. Each phase (connecting, waiting for the head,
// the body) gets the time-out; a body gets it again for every FloorBytes it brings, so
// a slow but steady body arrives and a server that only keeps the line open does not
// hold an entry forever.
class StallRule
{
public:
    enum class Phase { Connect, AwaitingHead, Body };

    // 1 KiB per 45 s: far below any link worth using, far above a server that only
    // keeps the connection alive.
    static constexpr qint64 FloorBytes = 1024;

    struct Verdict
    {
        bool goesOn = true; // a body that brought enough: the next period starts
        qint32 code = 0;
        QString text;
        bool passing = false; // worth another try later
    };

    // The time-out of timeoutMs has run out in phase; the body brought bodyBytes in it,
    // the head so far headBytes.
    static Verdict judge(Phase phase, qint64 bodyBytes, qint64 headBytes, int timeoutMs);
};
