#include "download/DownloadRun.h"
#include "shell/Program.h"

#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

int main(int argc, char *argv[])
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    const QString arguments = args.join(u' ');
    const bool batch = Program::IsBatchArgument(arguments);

    const bool haveDisplay = qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
        || qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    if (!haveDisplay) {
        if (!batch) {
            std::fprintf(stderr, "Quorvex braucht eine grafische Oberfläche (DISPLAY). "
                                 "Ohne Bildschirm lädt \"quorvex /DOWNLOAD\" die Liste.\n"
                                 "Quorvex needs a display; \"quorvex /DOWNLOAD\" works without one.\n");
            return 2;
        }
        // Batch runs from cron or ssh have no screen; nothing needs to be seen.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    QApplication app(argc, argv);
    Program program(QCoreApplication::applicationDirPath());
    // Tests of stalled servers cannot wait a whole time-out per entry.
    bool ok = false;
    const int timeoutMs = qEnvironmentVariableIntValue("QUORVEX_REQUEST_TIMEOUT_MS", &ok);
    if (ok && timeoutMs > 0)
        program.run()->setRequestTimeoutMs(timeoutMs);
    // Nor the pauses before another try of a passing failure.
    const int retryWaitMs = qEnvironmentVariableIntValue("QUORVEX_RETRY_WAIT_MS", &ok);
    if (ok && retryWaitMs > 0)
        program.run()->setRetryWaitMs(retryWaitMs);
    const int status = program.Main(arguments);
    if (program.BatchMode || status >= 0)
        return status;
    return app.exec();
}
