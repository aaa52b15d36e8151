// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxdaemonserviceadapter.h"

#include <QMetaObject>

BoxDaemonServiceAdapter::BoxDaemonServiceAdapter(QObject *parent) : QDBusAbstractAdaptor(parent)
{
    setAutoRelaySignals(true);
}

BoxDaemonServiceAdapter::~BoxDaemonServiceAdapter() = default;

int BoxDaemonServiceAdapter::get_allRunFileList(const QString &strBoxPath, CBoxFileList &list)
{
    int out0 = -1;
    QMetaObject::invokeMethod(parent(), "get_allRunFileList", Q_RETURN_ARG(int, out0),
                              Q_ARG(QString, strBoxPath), Q_ARG(CBoxFileList &, list));
    return out0;
}

int BoxDaemonServiceAdapter::get_certificationInterval(const QString &strUserName)
{
    int out0 = -1;
    QMetaObject::invokeMethod(parent(), "get_certificationInterval", Q_RETURN_ARG(int, out0),
                              Q_ARG(QString, strUserName));
    return out0;
}

bool BoxDaemonServiceAdapter::is_certificationRequired(const QString &strUserName)
{
    bool out0 = true;
    QMetaObject::invokeMethod(parent(), "is_certificationRequired", Q_RETURN_ARG(bool, out0),
                              Q_ARG(QString, strUserName));
    return out0;
}

int BoxDaemonServiceAdapter::kill_allProcessSignal(const QString &strBoxPath)
{
    int out0 = -1;
    QMetaObject::invokeMethod(parent(), "kill_allProcessSignal", Q_RETURN_ARG(int, out0),
                              Q_ARG(QString, strBoxPath));
    return out0;
}

int BoxDaemonServiceAdapter::set_certificationInterval(const QString &strUserName, int nInterval)
{
    int out0 = -1;
    QMetaObject::invokeMethod(parent(), "set_certificationInterval", Q_RETURN_ARG(int, out0),
                              Q_ARG(QString, strUserName), Q_ARG(int, nInterval));
    return out0;
}

void BoxDaemonServiceAdapter::set_certificationPassed(const QString &strUserName)
{
    QMetaObject::invokeMethod(parent(), "set_certificationPassed", Q_ARG(QString, strUserName));
}
