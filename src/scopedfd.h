#pragma once
// A file descriptor closed when it goes out of scope.

#include <unistd.h>

class ScopedFd {
public:
    explicit ScopedFd(int fd = -1)
        : m_fd(fd)
    {
    }
    ~ScopedFd() { reset(-1); }
    ScopedFd(const ScopedFd &) = delete;
    ScopedFd &operator=(const ScopedFd &) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    // Closes the descriptor held and holds fd instead.
    void reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};
