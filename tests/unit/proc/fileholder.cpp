#include "fileholder.h"

#include <QFile>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

namespace {

// Closes every descriptor from 3 up except the two pipe ends.
void closeAllBut(int first, int second)
{
    const unsigned int low = static_cast<unsigned int>(first < second ? first : second);
    const unsigned int high = static_cast<unsigned int>(first < second ? second : first);
    if (low > 3)
        close_range(3, low - 1, 0);
    if (high > low + 1)
        close_range(low + 1, high - 1, 0);
    close_range(high + 1, ~0U, 0);
}

[[noreturn]] void holdAndWait(const std::vector<QByteArray> &paths, int readyFd, int releaseFd)
{
    closeAllBut(readyFd, releaseFd);
    for (const QByteArray &path : paths) {
        if (open(path.constData(), O_RDONLY | O_NOCTTY) < 0)
            _exit(2);
    }
    char byte = 'r';
    if (write(readyFd, &byte, 1) != 1)
        _exit(3);
    for (;;) {
        const ssize_t count = read(releaseFd, &byte, 1);
        if (count == 0 || (count < 0 && errno != EINTR))
            _exit(0);
    }
}

} // namespace

FileHolder::FileHolder(const QStringList &paths)
{
    std::vector<QByteArray> encoded;
    for (const QString &path : paths)
        encoded.push_back(QFile::encodeName(path));
    int ready[2];
    int release[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return;
    if (pipe2(release, O_CLOEXEC) != 0) {
        close(ready[0]);
        close(ready[1]);
        return;
    }
    m_pid = fork();
    if (m_pid == 0) {
        close(ready[0]);
        close(release[1]);
        holdAndWait(encoded, ready[1], release[0]);
    }
    close(ready[1]);
    close(release[0]);
    m_releaseFd = release[1];
    if (m_pid > 0) {
        char byte = 0;
        ssize_t count;
        do
            count = read(ready[0], &byte, 1);
        while (count < 0 && errno == EINTR);
        m_ready = count == 1;
    }
    close(ready[0]);
}

FileHolder::~FileHolder()
{
    finish();
}

int FileHolder::finish()
{
    if (m_releaseFd >= 0) {
        close(m_releaseFd);
        m_releaseFd = -1;
    }
    if (m_pid > 0 && !m_reaped) {
        while (waitpid(m_pid, &m_status, 0) < 0 && errno == EINTR) {
        }
        m_reaped = true;
    }
    return m_status;
}

bool exitedNormally(int status)
{
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool killedBySigkill(int status)
{
    return WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
}
