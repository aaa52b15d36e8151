// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

#include <sys/types.h>

class QDBusConnection;
class QDBusMessage;

// The process behind a bus call as the bus daemon reports it. A failed query
// leaves uidKnown false and both numbers 0.
struct BusCaller
{
    bool uidKnown = false;
    uid_t uid = 0;
    int pid = 0; // 0 when the bus daemon cannot tell
};

// The one place the daemon asks the bus daemon who sent a message: uid and
// pid in one round trip, so both describe the same connection.
BusCaller busCallerOf(const QDBusConnection &connection, const QString &strService);
BusCaller busCallerOf(const QDBusConnection &connection, const QDBusMessage &message);
