#include "download/run/DownloadRun.h"
#include "shell/CommandLine.h"
#include "shell/Program.h"
#include "shell/SignalRelay.h"
#include "shell/StartupEnvironment.h"

#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVEX_LEAK_CHECK 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUORVEX_LEAK_CHECK 1
#endif
#ifdef QUORVEX_LEAK_CHECK
#include <sanitizer/lsan_interface.h>
#endif

namespace {
// Runs the program to its end; tells whether it ever had a window.
int run(QApplication &app, const QString &arguments, bool *windowless)
{
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
    // Nor the wait for a disk that hangs when the program is closed.
    const int giveUpMs = qEnvironmentVariableIntValue("QUORVEX_COMMIT_GIVE_UP_MS", &ok);
    if (ok && giveUpMs > 0)
        program.run()->setCommitGiveUpMs(giveUpMs);
    const Program::Outcome outcome = program.Main(arguments);
    const int status = outcome.enterEventLoop ? app.exec() : outcome.exitStatus;
    *windowless = program.form() == nullptr;
    return status;
}
} // namespace

int main(int argc, char *argv[])
{
    SignalRelay::install();
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    // A terminal's questions need no screen and touch nothing in the program folder.
    const QString answer = CommandLine::Answer(args);
    if (!answer.isNull()) {
        std::fputs(answer.toLocal8Bit().constData(), stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
    const QString arguments = args.join(u' ');
    const bool batch = Program::isBatchArgument(arguments);

    if (!StartupEnvironment::screenUsable()) {
        if (!batch) {
            std::fprintf(stderr, "Quorvex: Es konnte kein Bildschirm geöffnet werden (DISPLAY=\"%s\", "
                                 "WAYLAND_DISPLAY=\"%s\"). Ohne Bildschirm lädt \"quorvex /DOWNLOAD\" die Liste.\n",
                         qgetenv("DISPLAY").constData(), qgetenv("WAYLAND_DISPLAY").constData());
            return 2;
        }
        // Batch runs from cron or ssh have no screen; nothing needs to be seen.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    const QString runtimeFolder = StartupEnvironment::provideRuntimeFolder();

    QApplication app(argc, argv);
    StartupEnvironment::removeRuntimeFolder(runtimeFolder);
    bool windowless = false;
    const int status = run(app, arguments, &windowless);
    if (windowless) {
        // Everything of ours is closed and written. Tearing down the window system of a
        // run that never had a window only costs time: the offscreen platform reads the
        // whole font configuration on its way out, a third of a short run's start-up.
        std::fflush(nullptr);
#ifdef QUORVEX_LEAK_CHECK
        // _Exit skips the sanitizer's check at exit; what the run leaked still counts.
        __lsan_do_leak_check();
#endif
        std::_Exit(status);
    }
    return status;
}
