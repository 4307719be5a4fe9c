#include "base/UniqueFd.h"

#include <cerrno>
#include <unistd.h>

UniqueFd::~UniqueFd()
{
    const int saved = errno;
    close();
    errno = saved;
}

void UniqueFd::reset(int fd)
{
    close();
    m_fd = fd;
}

int UniqueFd::close()
{
    const int fd = release();
    if (fd < 0 || ::close(fd) == 0 || errno == EINTR)
        return 0;
    return errno;
}
