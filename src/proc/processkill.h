#pragma once

#include <QString>

#include <sys/types.h>

#include <optional>

// Sends SIGKILL to every process holding a file below strPath (trailing
// slashes trimmed, one "/" appended; judged by the file, see BoxJudge),
// except nExceptPid and the processes never signalled: the calling process
// itself, pid 1 and the bus daemon (passed over with one log line). Each
// signal goes through the /proc directory the scan read the process's
// descriptors from. 0 when the scan ran to its end and judged every
// descriptor; -1 when it could not run (nothing signalled) or when a process
// whose descriptors could not all be judged may live on (logged by name).
int kill_allProcessByPath(const QString &strPath, int nExceptPid);

// The same, for a caller that may end only its own processes: a holder whose
// /proc directory another user owns is passed over. An unprivileged caller
// would otherwise end any process (the bus daemon, another user's program) by
// handing it a descriptor of a file in the caller's box.
int kill_allProcessByPath(const QString &strPath, int nExceptPid, std::optional<uid_t> onlyOwner);

// The bus daemon's process id (as the bus reports it), never signalled; 0
// while unknown.
void setBusDaemonPid(int pid);
