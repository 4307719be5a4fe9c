#include "base/Rename.h"

#include <cerrno>
#include <fcntl.h>
#include <cstdio> // RENAME_NOREPLACE, RENAME_EXCHANGE
#include <sys/syscall.h>
#include <unistd.h>

namespace {
// Through syscall(): the C library's renameat2() wrapper is younger than some of
// the systems the program runs on.
int renameAt2(const char *from, const char *to, unsigned flags)
{
    if (::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, flags) == 0)
        return 0;
    return errno;
}
} // namespace

int Rename::noReplace(const char *from, const char *to, bool *linked)
{
    *linked = false;
    const int error = renameAt2(from, to, RENAME_NOREPLACE);
    if (error != EINVAL && error != ENOSYS)
        return error;
    // link() never replaces and never follows a link at the target either.
    if (::link(from, to) != 0)
        return errno;
    *linked = true;
    return 0;
}

int Rename::exchange(const char *a, const char *b)
{
    return renameAt2(a, b, RENAME_EXCHANGE);
}
