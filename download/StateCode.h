#pragma once

#include <QtGlobal>

// The numbered states the transfer component reports, with their codes.
enum StateCode : qint16 {
    NothingToReport = 0,
    Resolving = 1,
    Resolved = 2,
    Connecting = 3,
    Connected = 4,
    Requesting = 5,
    RequestSent = 6,
    Receiving = 7,
    ResponseReceived = 8,
    Closing = 9,
    Closed = 10,
    CommunicationError = 11,
    ResponseCompleted = 12,
};
