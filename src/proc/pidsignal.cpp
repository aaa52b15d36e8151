#include "pidsignal.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <csignal>

bool sendKill(const HolderProcess &holder)
{
    assert(holder.procDir && holder.pid > 0);
    if (syscall(SYS_pidfd_send_signal, holder.procDir.get(), SIGKILL, nullptr, 0) == 0)
        return true;
    // Any other failure (ESRCH above all: the process has ended, and its
    // number may already be someone else's) must not fall back to the number.
    if (errno != ENOSYS)
        return false;
    return kill(holder.pid, SIGKILL) == 0;
}
