// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "scanvisitor.h"

#include <vector>

// Sends SIGKILL to the process the holder's /proc directory was opened on
// (pidfd_send_signal accepts that descriptor as a pidfd). Only a kernel
// without pidfds gets kill() by number. The holder's procDir must be open.
// The signal is an act of the calling thread's call (see CallGuard): refused,
// with -ECANCELED, once that call has been answered. 0 when the signal was
// sent, else -errno.
int sendKill(const HolderProcess &holder);

// A process that was sent SIGKILL, as a pidfd that becomes readable when it
// has exited (its descriptors closed). Invalid when it could not be had.
struct EndingProcess
{
    int pid = 0;
    OwnedFd pidFd;
};

// The holder as an EndingProcess: a pidfd opened by number and kept only
// while the holder's own /proc directory still names a live process, which
// proves the number was not given to another one in between.
EndingProcess endingProcessOf(const HolderProcess &holder);

// Waits until every process has exited or timeoutMs has passed; the pids of
// those still running then. A process stopped by its tracer (at the stop
// before its exit, which SIGKILL does not pass) is not waited for: only its
// tracer lets it end, so it is among those returned as soon as a slice of
// the wait (kExitSliceMs at first) passes without an exit and its state is
// read.
std::vector<int> waitForExits(const std::vector<EndingProcess> &processes, int timeoutMs);

// How long a wait for exits lets pass without one before it reads the state
// of those not yet gone: first, and at most.
constexpr int kExitSliceMs = 10;
constexpr int kLongestExitSliceMs = 160;
