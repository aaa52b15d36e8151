// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <csignal>
#include <functional>

#include <sys/types.h>
#include <sys/wait.h>

// A child running body(readyFd), which must not return, its input a pipe held until finish().
// Ready once it writes a byte to readyFd or closes it (as exec does); "!" means it failed.
class ChildProcess
{
public:
    explicit ChildProcess(const std::function<void(int readyFd)> &body);
    ~ChildProcess() { finish(); }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return m_pid; }
    bool isReady() const { return m_ready; }
    // Closes its input and reaps it: the wait status (a pending SIGKILL wins).
    int finish();

private:
    pid_t m_pid = -1;
    int m_input = -1;
    bool m_ready = false;
    bool m_reaped = false;
    int m_status = 0;
};

inline bool exitedNormally(int status)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}
inline bool killedBySigkill(int status)
{
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}
