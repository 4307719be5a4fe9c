// Cost of one WriteLog call with the log panel on screen and its view attached to the
// log, over 200,000 calls.
// Prints two figures: calls alone (the download's hot path, where the event loop does
// not run between pieces) and calls with a pass of the event loop every 64 calls, so
// that the view's catch-up is paid for too.

#include "log/ActivityLog.h"
#include "shell/Program.h"
#include "shell/MainForm.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    Program program(dir.path());
    program.Main(QString());
    program.ToggleLog();
    QCoreApplication::processEvents();
    ActivityLog *log = program.log();
    if (program.form()->Log->model() != log || !program.form()->Log->isVisible()) {
        std::fprintf(stderr, "the log's view is not attached\n");
        return 1;
    }

    constexpr int Calls = 200000;
    const QString message = QStringLiteral("Kommando: GetChunk %1 OK (2048 Byte)");

    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < Calls; ++i)
        log->WriteLog(message.arg(i));
    const qint64 alone = timer.nsecsElapsed();
    QCoreApplication::processEvents();

    timer.restart();
    for (int i = 0; i < Calls; ++i) {
        log->WriteLog(message.arg(i));
        if (i % 64 == 63)
            QCoreApplication::processEvents();
    }
    const qint64 withViews = timer.nsecsElapsed();

    std::printf("log: %.3f us per WriteLog call over %d calls, view attached (%.3f us with an event-loop pass every 64 calls)\n",
                alone / 1000.0 / Calls, Calls, withViews / 1000.0 / Calls);
    return 0;
}
