#pragma once

#include <QStringList>

#include <sys/types.h>

// A child process that holds files open: it opens every path (directories
// too), says so on one pipe and then blocks reading another, until it is let
// go or killed. It inherits no other descriptor of the test.
class FileHolder
{
public:
    explicit FileHolder(const QStringList &paths);
    ~FileHolder();
    FileHolder(const FileHolder &) = delete;
    FileHolder &operator=(const FileHolder &) = delete;

    pid_t pid() const { return m_pid; }
    // Whether the child opened every path.
    bool isReady() const { return m_ready; }

    // Lets the child go and reaps it, returning its wait status: a normal
    // exit with 0 when nothing signalled it, death by SIGKILL when something
    // did (a pending SIGKILL wins over the release).
    int finish();

private:
    pid_t m_pid = -1;
    int m_releaseFd = -1;
    bool m_ready = false;
    bool m_reaped = false;
    int m_status = 0;
};

bool exitedNormally(int status);
bool killedBySigkill(int status);
