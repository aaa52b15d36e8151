// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "boxpath.h"

#include <QString>

#include <sys/types.h>

#include <optional>

class MountTable;

// Sends SIGKILL to every process holding a file below strPath (trailing
// slashes trimmed, one "/" appended; judged by the file, see BoxJudge),
// except nExceptPid and the processes never signalled: the calling process
// itself, pid 1 and the bus daemon (passed over with one log line). Each
// signal goes through the /proc directory the scan read the process's
// descriptors from, as soon as the scan finds it.
//
// 0 means no holder is left: a scan that read every process, those made
// while it ran included, found none. After its signals the kill waits for
// the processes to exit and scans again, as long as the last round ended
// holders and new ones turn up (a holder's children inherit its
// descriptors): at most kKillRounds rounds of signals, and no round begins
// after kKillBoundMs. A process that outlives SIGKILL (stopped by a tracer at
// its exit) is not waited for; it is named at once. -1 when the scan could
// not run (nothing signalled), when a process whose descriptors could not
// all be judged may live on, when no scan read every process (made faster
// than /proc is read), or when holders are still found after the last round
// (each logged by name).
// Kept for callers of the published interface; the daemon itself calls
// endHoldersBelow with the box path its caller's resolution gave.
int kill_allProcessByPath(const QString &strPath, int nExceptPid);

// The same for a box, with the daemon's mount table read by the caller (every
// round scans with it); for a caller that may end only its own processes
// (onlyOwner), a holder whose /proc directory another user owns is passed
// over. An unprivileged caller would otherwise end any process (the bus
// daemon, another user's program) by handing it a descriptor of a file in
// the caller's box.
int endHoldersBelow(const BoxPath &box, const MountTable &mounts, int exceptPid,
                    std::optional<uid_t> onlyOwner);
// The same with the daemon's mount table read first (-1 when it cannot be).
int endHoldersOf(const BoxPath &box, int exceptPid, std::optional<uid_t> onlyOwner);

// Rounds of signals a kill makes before it gives up on holders that keep
// turning up; how long a round waits at most for its processes to exit (a
// process sent SIGKILL ends within milliseconds unless the kernel holds it,
// in uninterruptible sleep, say); and the time after which no round begins
// (so a kill, or a wipe's holders of one box, is answered within it and one
// more scan).
constexpr int kKillRounds = 8;
constexpr int kExitWaitMs = 2000;
constexpr int kKillBoundMs = 3000;

// The bus daemon's process id (as the bus reports it), never signalled; 0
// while unknown.
void setBusDaemonPid(int pid);
