#include "buscaller.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QVariantMap>

BusCaller busCallerOf(const QDBusConnection &connection, const QString &strService)
{
    BusCaller caller;
    if (!connection.isConnected() || strService.isEmpty())
        return caller;
    QDBusMessage query = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionCredentials"));
    query << strService;
    const QDBusMessage reply = connection.call(query);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return caller;
    const QVariantMap credentials =
        qdbus_cast<QVariantMap>(reply.arguments().constFirst().value<QDBusArgument>());
    const QVariant uid = credentials.value(QStringLiteral("UnixUserID"));
    if (uid.isValid()) {
        caller.uidKnown = true;
        caller.uid = static_cast<uid_t>(uid.toUInt());
    }
    caller.pid = static_cast<int>(credentials.value(QStringLiteral("ProcessID")).toUInt());
    return caller;
}

BusCaller busCallerOf(const QDBusConnection &connection, const QDBusMessage &message)
{
    return busCallerOf(connection, message.service());
}
