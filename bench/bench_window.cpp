// How long the window stops answering when 100 links are pasted into a list of 2000
// on a slow disk (bench/run.sh preloads bench/slowflush.cpp): the longest time the
// window's event loop went without turning, taken from a timer that asks for a turn
// every millisecond, and the time until the list file holds all 100 links.

#include "shell/MainForm.h"
#include "shell/Program.h"

#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {
constexpr int Listed = 2000;
constexpr int Pasted = 100;

QByteArray link(const char *name, int i)
{
    return "http://127.0.0.1:9/" + QByteArray(name) + QByteArray::number(i) + ".zip";
}

// Watches the list file from a thread of its own, so that looking costs the window
// nothing: the time at which it first held every pasted link.
void watchList(const QString &path, const QElapsedTimer &clock, std::atomic<qint64> *arrivedNs, const std::atomic<bool> *stop)
{
    const QByteArray last = link("new", Pasted - 1) + "\r\n";
    while (!stop->load()) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly) && file.readAll().endsWith(last)) {
            arrivedNs->store(clock.nsecsElapsed());
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}
} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QTemporaryDir dir;
    QFile list(dir.filePath(QStringLiteral("URL-Liste.INI")));
    if (!dir.isValid() || !list.open(QIODevice::WriteOnly))
        return 2;
    for (int i = 0; i < Listed; ++i)
        list.write("e" + QByteArray::number(i) + ".zip -> " + link("e", i) + "\r\n");
    list.close();
    Program program(dir.path());
    if (!program.Main(QString()).enterEventLoop || !program.form())
        return 2;
    QByteArray links;
    for (int i = 0; i < Pasted; ++i)
        links += link("new", i) + '\n';
    QGuiApplication::clipboard()->setText(QString::fromLatin1(links));

    QElapsedTimer clock;
    clock.start();
    qint64 lastTurn = clock.nsecsElapsed(), longest = 0;
    QTimer turns;
    turns.setTimerType(Qt::PreciseTimer);
    QObject::connect(&turns, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longest = std::max(longest, now - lastTurn);
        lastTurn = now;
    });
    turns.start(1);
    std::atomic<qint64> arrivedNs{-1};
    std::atomic<bool> stop{false};
    const qint64 pastedNs = clock.nsecsElapsed();
    std::thread watcher(watchList, list.fileName(), std::cref(clock), &arrivedNs, &stop);
    // Through the real paste path: the key press reaches the list as a user's would.
    QCoreApplication::postEvent(program.form()->Liste, new QKeyEvent(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier));
    // Some time after the links are in, for any late block to show.
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (arrivedNs.load() >= 0 && clock.nsecsElapsed() - arrivedNs.load() > 200000000)
            app.quit();
        if (clock.nsecsElapsed() - pastedNs > 20000000000)
            app.quit();
    });
    poll.start(10);
    app.exec();
    stop.store(true);
    watcher.join();
    if (arrivedNs.load() < 0) {
        std::fprintf(stderr, "window: the pasted links never reached the list file\n");
        return 1;
    }
    std::printf("window: %.1f ms longest block, %.1f ms until the list file held all %d links (%d listed)\n",
                double(longest) / 1e6, double(arrivedNs.load() - pastedNs) / 1e6, Pasted, Listed);
    return 0;
}
