// Peak memory while a large body arrives and is read back in 2048-byte pieces: the
// spool keeps it bounded whatever the body's size.
//
//   bench_spool_memory [SIZE_MIB [URL]]
//
// Without a URL a body of SIZE_MIB (default 256) is served from a thread of this
// process on 127.0.0.1, from one small buffer, so the server adds nothing to the peak.

#include "download/Inet.h"
#include "download/TransferStates.h"
#include "log/ActivityLog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {
long peakRssKiB()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

void serveOnce(int listener, qint64 size)
{
    const int connection = ::accept(listener, nullptr, nullptr);
    if (connection < 0)
        return;
    char request[4096];
    [[maybe_unused]] const ssize_t got = ::recv(connection, request, sizeof request, 0);
    const QByteArray head = "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + QByteArray::number(size) + "\r\n\r\n";
    bool ok = ::send(connection, head.constData(), size_t(head.size()), MSG_NOSIGNAL) == head.size();
    QByteArray block(64 * 1024, 'q');
    for (qint64 left = size; ok && left > 0;) {
        const qint64 n = std::min<qint64>(left, block.size());
        const ssize_t sent = ::send(connection, block.constData(), size_t(n), MSG_NOSIGNAL);
        ok = sent > 0;
        left -= sent;
    }
    ::close(connection);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const qint64 size = (args.size() > 1 ? args.at(1).toLongLong() : 256) * 1024 * 1024;
    QString url = args.size() > 2 ? args.at(2) : QString();

    int listener = -1;
    std::thread server;
    if (url.isEmpty()) {
        listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0
            || ::listen(listener, 4) != 0
            || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
            return 1;
        }
        url = QStringLiteral("http://127.0.0.1:%1/big.bin").arg(ntohs(address.sin_port));
        server = std::thread(serveOnce, listener, size);
    }

    QTemporaryDir spool;
    const long baseline = peakRssKiB();
    ActivityLog log;
    Inet inet;
    inet.setSpoolDir(spool.path());
    TransferStates states(&log, &inet);
    QElapsedTimer clock;
    clock.start();
    inet.Execute(url);
    states.WaitFor(12);
    const double transfer = double(clock.elapsed()) / 1000.0;
    if (server.joinable())
        server.join();
    if (listener >= 0)
        ::close(listener);
    if (inet.ResponseCode() != 0) {
        std::fprintf(stderr, "failed: %s (%d)\n", qPrintable(inet.ResponseInfo()), int(inet.ResponseCode()));
        return 1;
    }
    qint64 total = 0;
    try {
        for (;;) {
            const QByteArray piece = inet.GetChunk(2048);
            if (piece.isEmpty())
                break;
            total += piece.size();
        }
    } catch (const TransferError &e) {
        std::fprintf(stderr, "read failed: %s\n", qPrintable(e.description()));
        return 1;
    }
    const double read = double(clock.elapsed()) / 1000.0 - transfer;
    inet.Cancel();
    std::printf("body: %lld bytes, transfer %.2f s, read %.2f s\n", static_cast<long long>(total), transfer, read);
    std::printf("peak RSS: %.1f MiB (%.1f MiB before the transfer)\n", double(peakRssKiB()) / 1024.0,
                double(baseline) / 1024.0);
    return 0;
}
