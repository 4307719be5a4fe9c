#pragma once

// Ends a helper process a test started: asked first, killed when it does not listen.
// Bounded either way, so a hung helper cannot hold up the test.

#include <QProcess>

inline void stopProcess(QProcess &process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(3000)) {
        process.kill();
        process.waitForFinished(3000);
    }
}
