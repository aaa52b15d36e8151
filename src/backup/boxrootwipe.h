// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// Ends the processes holding files in the box root (sparing callerPid),
// detaches the mounts below it and removes it. 0 when it is gone (or was
// never a box root), -1 when something may remain.
int wipeBoxRoot(const QString &boxRoot, int callerPid);
