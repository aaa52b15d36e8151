#pragma once

#include <QString>

// Sends SIGKILL to every process holding a file below strPath, except
// nExceptPid. 0 when the scan ran to its end, -1 when it could not run.
int kill_allProcessByPath(const QString &strPath, int nExceptPid);
