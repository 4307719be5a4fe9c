#pragma once

// A port on 127.0.0.1 that nobody listens on right now: taken and given back at once.
// Good for a refused connection, or for a server of the test's own to bind next.

#include <QHostAddress>
#include <QTcpServer>

inline int unusedLocalPort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}
