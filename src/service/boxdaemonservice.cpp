// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxdaemonservice.h"

#include "cauthcredservice.h"

BoxDaemonService::BoxDaemonService(QObject *parent) : QObject(parent) {}

// The registry is the only holder of its entries. The daemon never destroys
// the service, but a service made in a test leaves nothing behind, timers
// included.
BoxDaemonService::~BoxDaemonService()
{
    qDeleteAll(m_mapAuthCred);
}
