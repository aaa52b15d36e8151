// SPDX-License-Identifier: GPL-2.0-or-later
#include "childprocess.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

ChildProcess::ChildProcess(const std::function<void(int readyFd)> &body)
{
    int input[2] = {-1, -1};
    int ready[2] = {-1, -1};
    if (pipe2(input, O_CLOEXEC) == 0 && pipe2(ready, O_CLOEXEC) == 0 && (m_pid = fork()) == 0) {
        close(input[1]);
        close(ready[0]);
        if (dup2(input[0], STDIN_FILENO) == STDIN_FILENO)
            body(ready[1]);
        _exit(127);
    }
    char byte = 0;
    ssize_t count = -1;
    if (m_pid > 0) {
        close(std::exchange(ready[1], -1));
        m_input = std::exchange(input[1], -1);
        while ((count = read(ready[0], &byte, 1)) < 0 && errno == EINTR) {
        }
    }
    m_ready = count == 0 || (count == 1 && byte != '!');
    for (const int fd : {input[0], input[1], ready[0], ready[1]})
        close(fd);
}

int ChildProcess::finish()
{
    if (m_input >= 0)
        close(std::exchange(m_input, -1));
    if (m_pid > 0 && !m_reaped) {
        while (waitpid(m_pid, &m_status, 0) < 0 && errno == EINTR) {
        }
        m_reaped = true;
    }
    return m_status;
}
