// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxactivityserviceadapter.h"

#include <QMetaObject>

BoxActivityServiceAdapter::BoxActivityServiceAdapter(QObject *parent) : QDBusAbstractAdaptor(parent)
{
    setAutoRelaySignals(true);
}

BoxActivityServiceAdapter::~BoxActivityServiceAdapter() = default;

int BoxActivityServiceAdapter::get_boxHolders(const QString &strBoxPath, CBoxHolderList &holders)
{
    int out0 = -1;
    QMetaObject::invokeMethod(parent(), "get_boxHolders", Q_RETURN_ARG(int, out0), Q_ARG(QString, strBoxPath),
                              Q_ARG(CBoxHolderList &, holders));
    return out0;
}

int BoxActivityServiceAdapter::add_boxWatch(const QString &strBoxPath)
{
    int out0 = -1;
    QMetaObject::invokeMethod(parent(), "add_boxWatch", Q_RETURN_ARG(int, out0), Q_ARG(QString, strBoxPath));
    return out0;
}

int BoxActivityServiceAdapter::remove_boxWatch(int nWatchId)
{
    int out0 = -1;
    QMetaObject::invokeMethod(parent(), "remove_boxWatch", Q_RETURN_ARG(int, out0), Q_ARG(int, nWatchId));
    return out0;
}

QString BoxActivityServiceAdapter::get_watchMechanism(int &nLatencyMs)
{
    QString out0;
    QMetaObject::invokeMethod(parent(), "get_watchMechanism", Q_RETURN_ARG(QString, out0),
                              Q_ARG(int &, nLatencyMs));
    return out0;
}
