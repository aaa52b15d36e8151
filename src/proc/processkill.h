#pragma once

#include <QString>

#include <sys/types.h>

#include <optional>

// Sends SIGKILL to every process holding a file below strPath (trailing
// slashes trimmed, one "/" appended), except nExceptPid and the calling
// process itself. Each signal goes through the /proc directory the scan read
// the process's descriptors from. 0 when the scan ran to its end, -1 when it
// could not run (nothing signalled).
int kill_allProcessByPath(const QString &strPath, int nExceptPid);

// The same, for a caller that may end only its own processes: a holder whose
// /proc directory another user owns is passed over. An unprivileged caller
// would otherwise end any process (the bus daemon, another user's program) by
// handing it a descriptor of a file in the caller's box.
int kill_allProcessByPath(const QString &strPath, int nExceptPid, std::optional<uid_t> onlyOwner);
