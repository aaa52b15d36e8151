// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxdaemonbackupserviceadapter.h"

#include <QMetaObject>

BoxDaemonBackupServiceAdapter::BoxDaemonBackupServiceAdapter(QObject *parent) : QDBusAbstractAdaptor(parent)
{
    setAutoRelaySignals(true);
}

BoxDaemonBackupServiceAdapter::~BoxDaemonBackupServiceAdapter() = default;

int BoxDaemonBackupServiceAdapter::format_allBoxRootEntries()
{
    int out0 = -1;
    QMetaObject::invokeMethod(parent(), "format_allBoxRootEntries", Q_RETURN_ARG(int, out0));
    return out0;
}

int BoxDaemonBackupServiceAdapter::format_boxRootEntries(const QString &strUserName)
{
    int out0 = -1;
    QMetaObject::invokeMethod(parent(), "format_boxRootEntries", Q_RETURN_ARG(int, out0),
                              Q_ARG(QString, strUserName));
    return out0;
}

QStringList BoxDaemonBackupServiceAdapter::get_allBoxRootEntries()
{
    QStringList out0;
    QMetaObject::invokeMethod(parent(), "get_allBoxRootEntries", Q_RETURN_ARG(QStringList, out0));
    return out0;
}
