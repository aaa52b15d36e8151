// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "introspection.h"
#include "wiretypes.h"

#include <QDBusAbstractAdaptor>

// Exports interface "com.tavrin.arkvane.activity" for BoxActivityService
// (object "/activity"); every slot forwards by name to the service slot of
// the same name.
class BoxActivityServiceAdapter : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tavrin.arkvane.activity")
    Q_CLASSINFO("D-Bus Introspection", ARKVANE_ACTIVITY_INTROSPECTION)
public:
    explicit BoxActivityServiceAdapter(QObject *parent);
    ~BoxActivityServiceAdapter() override;

public Q_SLOTS:
    int get_boxHolders(const QString &strBoxPath, CBoxHolderList &holders);
    int add_boxWatch(const QString &strBoxPath);
    int remove_boxWatch(int nWatchId);
    QString get_watchMechanism(int &nLatencyMs);
};
