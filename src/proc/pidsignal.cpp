// SPDX-License-Identifier: GPL-2.0-or-later
#include "pidsignal.h"

#include "callguard.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <chrono>
#include <csignal>

namespace {

bool isAlive(const HolderProcess &holder)
{
    return syscall(SYS_pidfd_send_signal, holder.procDir.get(), 0, nullptr, 0) == 0;
}

} // namespace

bool sendKill(const HolderProcess &holder)
{
    assert(holder.procDir && holder.pid > 0);
    const GuardedAct act(CallGuard::Act::Signal);
    if (!act) {
        errno = ECANCELED;
        return false;
    }
    if (syscall(SYS_pidfd_send_signal, holder.procDir.get(), SIGKILL, nullptr, 0) == 0)
        return true;
    // Any other failure (ESRCH above all: the process has ended, and its
    // number may already be someone else's) must not fall back to the number.
    if (errno != ENOSYS)
        return false;
    return kill(holder.pid, SIGKILL) == 0;
}

EndingProcess endingProcessOf(const HolderProcess &holder)
{
    assert(holder.procDir && holder.pid > 0);
    EndingProcess ending{holder.pid, OwnedFd(static_cast<int>(syscall(SYS_pidfd_open, holder.pid, 0)))};
    // The holder was alive before the pidfd was opened; still alive after,
    // the number named it all along.
    if (ending.pidFd && !isAlive(holder))
        ending.pidFd.reset();
    return ending;
}

std::vector<int> waitForExits(const std::vector<EndingProcess> &processes, int timeoutMs)
{
    std::vector<pollfd> waiting;
    std::vector<int> pids;
    for (const EndingProcess &process : processes) {
        if (process.pidFd) {
            waiting.push_back({process.pidFd.get(), POLLIN, 0});
            pids.push_back(process.pid);
        }
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!waiting.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int ready = poll(waiting.data(), waiting.size(), left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        for (std::size_t i = waiting.size(); i-- > 0;) {
            if (waiting[i].revents != 0) {
                waiting.erase(waiting.begin() + static_cast<long>(i));
                pids.erase(pids.begin() + static_cast<long>(i));
            }
        }
    }
    return pids;
}
