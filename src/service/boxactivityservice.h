// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "wiretypes.h"

#include <QDBusContext>
#include <QObject>
#include <QString>

// The object behind "/activity": who holds the files of a box.
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
};
