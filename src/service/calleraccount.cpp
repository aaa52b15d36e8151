#include "calleraccount.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>

QByteArray uidForLog(const CallerAccount &caller)
{
    return caller.uidKnown ? QByteArray::number(caller.uid) : QByteArrayLiteral("unknown");
}

CallerAccount callerAccount(const QDBusConnection &connection, const QDBusMessage &message)
{
    QDBusConnectionInterface *bus = connection.interface();
    if (!bus)
        return {};
    const QDBusReply<uint> uid = bus->serviceUid(message.service());
    if (!uid.isValid())
        return {};
    return accountOfUid(uid.value());
}
