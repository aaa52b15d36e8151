// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

struct BusCaller;

// The target of /proc/<nPid>/exe in pBuffer (at least 256 bytes), cut to fit;
// 0, or -1 when it cannot be read whole.
int programPathOf(int nPid, char *pBuffer, int nSize);

// Whether the caller is the backup tool: uid 0 running one of the admitted
// programs. A refusal is logged.
bool isAdmittedBackupCaller(const BusCaller &caller);
