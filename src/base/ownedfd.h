// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <unistd.h>

#include <utility>

// Owns one file descriptor and closes it when it goes.
class OwnedFd
{
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : m_fd(fd) {}
    OwnedFd(OwnedFd &&other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    OwnedFd &operator=(OwnedFd &&other) noexcept
    {
        if (this != &other)
            reset(std::exchange(other.m_fd, -1));
        return *this;
    }
    OwnedFd(const OwnedFd &) = delete;
    OwnedFd &operator=(const OwnedFd &) = delete;
    ~OwnedFd() { reset(); }

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    explicit operator bool() const { return isValid(); }

    int release() { return std::exchange(m_fd, -1); }

    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd = -1;
};
