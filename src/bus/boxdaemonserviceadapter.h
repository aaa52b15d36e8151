// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "introspection.h"
#include "wiretypes.h"

#include <QDBusAbstractAdaptor>

// Exports interface "com.tavrin.arkvane" for BoxDaemonService (object
// "/logfile"); every slot forwards by name to the service slot of the same
// name.
class BoxDaemonServiceAdapter : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.tavrin.arkvane")
    Q_CLASSINFO("D-Bus Introspection", ARKVANE_LOGFILE_INTROSPECTION)
public:
    explicit BoxDaemonServiceAdapter(QObject *parent);
    ~BoxDaemonServiceAdapter() override;

public Q_SLOTS:
    int get_allRunFileList(const QString &strBoxPath, CBoxFileList &list);
    int get_certificationInterval(const QString &strUserName);
    bool is_certificationRequired(const QString &strUserName);
    int kill_allProcessSignal(const QString &strBoxPath);
    int set_certificationInterval(const QString &strUserName, int nInterval);
    void set_certificationPassed(const QString &strUserName);
};
