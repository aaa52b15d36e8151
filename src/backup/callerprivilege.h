// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

struct BusCaller;

// The target of /proc/<nPid>/exe in pBuffer (at least 256 bytes, else
// -EINVAL), cut to fit; 0, or -errno when it cannot be read whole
// (-ENAMETOOLONG for a target of 4096 bytes or more).
int programPathOf(int nPid, char *pBuffer, int nSize);

// Whether the caller is the backup tool: uid 0 running one of the admitted
// programs. A refusal is logged.
bool isAdmittedBackupCaller(const BusCaller &caller);
