// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// Ends the processes holding files in the box root (sparing callerPid),
// detaches the mounts below it and removes it. 0 when it is gone (or was
// never a box root), -1 when something may remain.
int wipeBoxRoot(const QString &boxRoot, int callerPid);

// wipeOne for each box root, two at a time, each box root on the thread that
// takes it next: one whose wipe stalls (an unlink its file system never
// answers) holds up none of the others. Both threads act through the calling
// thread's call guard; once the call is answered no further box root is begun.
void wipeEachBoxRoot(const QStringList &boxRoots, const std::function<void(const QString &)> &wipeOne);
