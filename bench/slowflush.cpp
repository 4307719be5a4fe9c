// A slow disk for benchmarks and tests, preloaded (LD_PRELOAD) into the program under
// test and its peer alike: every fsync and fdatasync reaches the real disk and then
// waits like a device whose cache flush takes SLOWFLUSH_MS (default 10) milliseconds,
// as on a USB stick, an SD card or a disk without write cache. Such a device serves
// all flushes asked for before one of its flushes began with that one flush, so
// flushes waiting side by side in several threads cost one; a flush asked for while
// the device flushes waits for the next.
//
// SLOWFLUSH_COUNT names a file that always holds "<calls> <device flushes>".
// SLOWFLUSH_ONLY limits the wait to files whose path holds that text.
// SLOWFLUSH_FAIL makes the flushes of files whose path holds that text fail (EIO),
// touching nothing: a disk that lost what it was given. In both, a text that ends in
// '$' must end the path.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

namespace {
pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t flushEnded = PTHREAD_COND_INITIALIZER;
long begun = 0;
long ended = 0;
long calls = 0;
int countFd = -2;

long delayMs()
{
    const char *value = std::getenv("SLOWFLUSH_MS");
    return value ? std::atol(value) : 10;
}

// Whether the path of fd holds the text of the variable name (unset: false).
bool pathHas(int fd, const char *name)
{
    const char *text = std::getenv(name);
    if (!text || !*text)
        return false;
    char link[64], path[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, path, sizeof path - 1);
    if (n < 0)
        return false;
    path[n] = '\0';
    // A text ending in '$' must end the path.
    const size_t length = std::strlen(text);
    if (text[length - 1] == '$')
        return size_t(n) >= length - 1 && std::strncmp(path + n - (length - 1), text, length - 1) == 0;
    return std::strstr(path, text) != nullptr;
}

// With the lock held.
void record()
{
    if (countFd == -2) {
        const char *path = std::getenv("SLOWFLUSH_COUNT");
        countFd = path ? ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
    }
    if (countFd < 0)
        return;
    char line[64];
    const int n = std::snprintf(line, sizeof line, "%20ld %20ld\n", calls, begun);
    if (::pwrite(countFd, line, size_t(n), 0) != n)
        countFd = -1;
}

void sleepMs(long ms)
{
    timespec left{ms / 1000, (ms % 1000) * 1000000};
    while (::nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void waitForDevice(int fd)
{
    const bool slow = std::getenv("SLOWFLUSH_ONLY") == nullptr || pathHas(fd, "SLOWFLUSH_ONLY");
    pthread_mutex_lock(&lock);
    ++calls;
    const long mine = begun + 1;
    while (slow && ended < mine) {
        if (begun == ended) {
            ++begun;
            record();
            pthread_mutex_unlock(&lock);
            sleepMs(delayMs());
            pthread_mutex_lock(&lock);
            ended = begun;
            pthread_cond_broadcast(&flushEnded);
        } else {
            pthread_cond_wait(&flushEnded, &lock);
        }
    }
    record();
    pthread_mutex_unlock(&lock);
}

int slowly(int (*real)(int), int fd)
{
    if (pathHas(fd, "SLOWFLUSH_FAIL")) {
        errno = EIO;
        return -1;
    }
    const int result = real(fd);
    const int error = errno;
    waitForDevice(fd);
    errno = error;
    return result;
}
} // namespace

extern "C" int fsync(int fd)
{
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fsync"));
    return slowly(real, fd);
}

extern "C" int fdatasync(int fd)
{
    static const auto real = reinterpret_cast<int (*)(int)>(dlsym(RTLD_NEXT, "fdatasync"));
    return slowly(real, fd);
}
