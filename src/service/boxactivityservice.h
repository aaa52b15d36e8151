// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "wiretypes.h"

#include <QDBusContext>
#include <QObject>
#include <QString>

class BoxWatches;

// The object behind "/activity": who holds the files of a box, and the
// watches that tell a caller when that changes.
class BoxActivityService : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    explicit BoxActivityService(QObject *parent = nullptr);

public Q_SLOTS:
    // The processes holding files inside strBoxPath, under the listing's
    // rules (see get_allRunFileList): 0, or -1 with no holders when the
    // caller is refused or the scan failed.
    int get_boxHolders(const QString &strBoxPath, CBoxHolderList &holders);

    // Starts a watch of strBoxPath for the caller (see BoxWatches), under the
    // same rules: its id, or -1 when the caller is refused (or the call does
    // not come over the bus), -EUSERS or -ENOSPC at the limits.
    int add_boxWatch(const QString &strBoxPath);
    // Ends the caller's watch nWatchId: 0, or -ENOENT.
    int remove_boxWatch(int nWatchId);
    // How changes are noticed, and in how many milliseconds at most.
    QString get_watchMechanism(int &nLatencyMs);

private:
    // Made on the first call, on the connection calls come on.
    BoxWatches &watches();

    BoxWatches *m_watches = nullptr;
};
