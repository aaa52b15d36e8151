// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "introspection.h"

#include <QDBusAbstractAdaptor>
#include <QStringList>

// Exports interface "com.tavrin.arkvane.backup" for BoxDaemonBackupService
// (object "/backup"); every slot forwards by name to the service slot of the
// same name.
class BoxDaemonBackupServiceAdapter : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tavrin.arkvane.backup")
    Q_CLASSINFO("D-Bus Introspection", ARKVANE_BACKUP_INTROSPECTION)
public:
    explicit BoxDaemonBackupServiceAdapter(QObject *parent);
    ~BoxDaemonBackupServiceAdapter() override;

public Q_SLOTS:
    int format_allBoxRootEntries();
    int format_boxRootEntries(const QString &strUserName);
    QStringList get_allBoxRootEntries();
};
