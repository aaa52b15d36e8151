// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <cstddef>
#include <optional>

// The fields of a /proc/PID/stat line the daemon reads. The process's name
// (field 2, in parentheses) may hold any byte a process chose, ")" and
// spaces included, so the fields after it are counted from its last ")".
struct ProcStat
{
    char state = 0;                    // field 3: R, S, D, T, t, Z, X, ...
    unsigned long long startTicks = 0; // field 22: clock ticks after boot
};

// Nothing when the text is no such line (cut short, no name, a field missing).
std::optional<ProcStat> parseProcStat(const char *text, std::size_t length);

// The stat file at path below dirFd (a process's or thread's /proc
// directory, or one above it), read and parsed into stat: 0, or -errno when
// it cannot be read (-ENOENT or -ESRCH: the process has ended) or parsed
// (-EINVAL).
int procStatIn(int dirFd, ProcStat &stat, const char *path = "stat");
