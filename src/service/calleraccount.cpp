// SPDX-License-Identifier: GPL-2.0-or-later
#include "calleraccount.h"

#include "buscaller.h"

CallerAccount accountOfCaller(const BusCaller &caller)
{
    return caller.uidKnown ? accountOfUid(caller.uid) : CallerAccount{};
}

CallerAccount callerAccount(const QDBusConnection &connection, const QDBusMessage &message)
{
    return accountOfCaller(busCallerOf(connection, message));
}
