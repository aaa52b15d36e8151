// SPDX-License-Identifier: GPL-2.0-or-later
#include "pidsignal.h"

#include "callguard.h"
#include "direntries.h"
#include "pathtext.h"
#include "procstat.h"

#include <fcntl.h>

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

bool isAlive(const HolderProcess &holder)
{
    return syscall(SYS_pidfd_send_signal, holder.procDir.get(), 0, nullptr, 0) == 0;
}

bool isAlive(const EndingProcess &process)
{
    return syscall(SYS_pidfd_send_signal, process.pidFd.get(), 0, nullptr, 0) == 0;
}

// Whether a thread of the process is stopped by its tracer ("t"). The state
// is read by number and counts only while the pidfd shows the process alive
// after it, which proves the number was still its own.
bool isStoppedByTracer(const EndingProcess &process)
{
    char path[40];
    formatFitting(path, sizeof path, "/proc/%d/task", process.pid);
    const OwnedFd threads(open(path, kDirOpenFlags));
    if (!threads)
        return false;
    char buffer[4096];
    DirEntries entries(threads.get(), buffer, sizeof buffer);
    bool stopped = false;
    const char *thread = nullptr;
    while (!stopped && (thread = entries.next())) {
        char statPath[kFdDirPathSize + 8];
        formatFitting(statPath, sizeof statPath, "%s/stat", thread);
        ProcStat stat;
        stopped = procStatIn(threads.get(), stat, statPath) == 0 && stat.state == 't';
    }
    return stopped && isAlive(process);
}

} // namespace

int sendKill(const HolderProcess &holder)
{
    assert(holder.procDir && holder.pid > 0);
    const GuardedAct act(CallGuard::Act::Signal);
    if (!act)
        return -ECANCELED;
    if (syscall(SYS_pidfd_send_signal, holder.procDir.get(), SIGKILL, nullptr, 0) == 0)
        return 0;
    // Any other failure (ESRCH above all: the process has ended, and its
    // number may already be someone else's) must not fall back to the number.
    if (errno != ENOSYS)
        return -errno;
    return kill(holder.pid, SIGKILL) == 0 ? 0 : -errno;
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
    std::vector<const EndingProcess *> left;
    for (const EndingProcess &process : processes) {
        if (process.pidFd) {
            waiting.push_back({process.pidFd.get(), POLLIN, 0});
            left.push_back(&process);
        }
    }
    std::vector<int> held; // stopped by a tracer: not waited for
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    // Each slice without an exit doubles the next: processes in a long
    // uninterruptible sleep are not read over and over.
    int sliceMs = kExitSliceMs;
    while (!waiting.empty()) {
        const auto remaining =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        if (remaining <= 0)
            break;
        const int ready =
            poll(waiting.data(), waiting.size(), static_cast<int>(std::min<long long>(remaining, sliceMs)));
        sliceMs = ready == 0 ? std::min(2 * sliceMs, kLongestExitSliceMs) : kExitSliceMs;
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (std::size_t i = waiting.size(); i-- > 0;) {
            // A slice without an exit: those stopped by a tracer are not waited for.
            const bool gone = waiting[i].revents != 0;
            if (gone || (ready == 0 && isStoppedByTracer(*left[i]))) {
                if (!gone)
                    held.push_back(left[i]->pid);
                waiting.erase(waiting.begin() + static_cast<long>(i));
                left.erase(left.begin() + static_cast<long>(i));
            }
        }
    }
    for (const EndingProcess *process : left)
        held.push_back(process->pid);
    return held;
}
