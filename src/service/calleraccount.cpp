#include "calleraccount.h"

#include "buscaller.h"

QByteArray uidForLog(const CallerAccount &caller)
{
    return caller.uidKnown ? QByteArray::number(caller.uid) : QByteArrayLiteral("unknown");
}

CallerAccount callerAccount(const QDBusConnection &connection, const QDBusMessage &message)
{
    const BusCaller caller = busCallerOf(connection, message);
    return caller.uidKnown ? accountOfUid(caller.uid) : CallerAccount{};
}
