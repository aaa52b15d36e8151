#pragma once

#include <functional>

#include <sys/types.h>
#include <sys/wait.h>

// A child process of the test, running body(readyFd), which must not return.
// Its standard input is a pipe the test holds open until finish(). The
// constructor returns once the child has written a byte to readyFd or closed
// it (an exec closes it): "!" there means the child failed before it was ready.
class ChildProcess
{
public:
    explicit ChildProcess(const std::function<void(int readyFd)> &body);
    ~ChildProcess() { finish(); }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return m_pid; }
    bool isReady() const { return m_ready; }
    // Closes the child's standard input and reaps it, returning its wait
    // status (a pending SIGKILL wins over the end of its input).
    int finish();

private:
    pid_t m_pid = -1;
    int m_input = -1;
    bool m_ready = false;
    bool m_reaped = false;
    int m_status = 0;
};

inline bool exitedNormally(int status) { return WIFEXITED(status) && WEXITSTATUS(status) == 0; }
inline bool killedBySigkill(int status) { return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL; }
