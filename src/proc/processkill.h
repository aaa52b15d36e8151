#pragma once

#include <QString>

// Sends SIGKILL to every process holding a file below strPath (trailing
// slashes trimmed, one "/" appended), except nExceptPid and the calling
// process itself. Each signal goes through the /proc directory the scan read
// the process's descriptors from. 0 when the scan ran to its end, -1 when it
// could not run (nothing signalled).
int kill_allProcessByPath(const QString &strPath, int nExceptPid);
