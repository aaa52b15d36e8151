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
