#pragma once

#include <utility>

// A file descriptor with one owner: closed once, when its owner lets go of it.
// Where a failed close means lost data (a file just written), the owner calls
// close() itself and looks at the answer; otherwise the destructor closes quietly.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : m_fd(fd)
    {
    }
    // Leaves errno as it was: a caller may return an error it just set.
    ~UniqueFd();
    UniqueFd(UniqueFd &&other) noexcept
        : m_fd(other.release())
    {
    }
    UniqueFd &operator=(UniqueFd &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    explicit operator bool() const { return valid(); }

    // Hands the descriptor over without closing it.
    int release() { return std::exchange(m_fd, -1); }
    // Closes the one held (quietly) and takes fd.
    void reset(int fd = -1);
    // Closes it now: 0, or the errno of a close that failed. An interrupted close
    // has closed the descriptor all the same on Linux, and counts as done.
    int close();

private:
    int m_fd = -1;
};
