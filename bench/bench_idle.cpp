// CPU used while the download run waits for a server that says nothing for 10 s.
// A wait that sleeps in the event loop costs next to nothing; one that polls shows up
// here at once.

#include "download/Inet.h"
#include "download/StateCode.h"
#include "download/TransferStates.h"
#include "log/ActivityLog.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    constexpr int StallMs = 10000;

    // The kernel completes the connection and takes the request; the server itself
    // only accepts and answers after the stall.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0
        || ::listen(listener, 4) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        std::fprintf(stderr, "cannot listen on 127.0.0.1\n");
        return 1;
    }
    const int port = ntohs(address.sin_port);
    QTimer::singleShot(StallMs, [listener] {
        const int connection = ::accept(listener, nullptr, nullptr);
        if (connection < 0)
            return;
        char request[4096];
        [[maybe_unused]] const ssize_t got = ::recv(connection, request, sizeof request, 0);
        static const char answer[] = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\nConnection: close\r\n\r\nlate";
        [[maybe_unused]] const ssize_t sent = ::send(connection, answer, sizeof answer - 1, MSG_NOSIGNAL);
        ::close(connection);
    });

    ActivityLog log;
    Inet inet;
    TransferStates states(&log, &inet);
    inet.setRequestTimeout(Inet::DefaultRequestTimeoutS);

    const double before = cpuSeconds();
    QElapsedTimer clock;
    clock.start();
    inet.Execute(QStringLiteral("http://127.0.0.1:%1/stall").arg(port));
    states.WaitFor(ResponseCompleted);
    const double used = cpuSeconds() - before;
    const double wall = double(clock.elapsed()) / 1000.0;

    std::printf("idle: %.3f CPU s over %.0f s stall (wall %.2f s, result code %d)\n", used, StallMs / 1000.0, wall,
                int(inet.ResponseCode()));
    ::close(listener);
    return inet.ResponseCode() == 0 ? 0 : 1;
}
