// SPDX-License-Identifier: GPL-2.0-or-later
#include "buscaller.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QHash>
#include <QMutex>
#include <QMutexLocker>
#include <QVariantMap>

namespace {

// Answers already had, by unique name. A unique name is never given to a
// second connection while the bus runs, and a connection's uid and pid are
// fixed when it connects, so an answer never goes stale; the cache only
// spares a caller's next calls the round trip to the bus daemon.
class CallerCache
{
public:
    bool find(const QString &name, BusCaller &caller)
    {
        const QMutexLocker locker(&m_mutex);
        const auto it = m_callers.constFind(name);
        if (it == m_callers.constEnd())
            return false;
        caller = *it;
        return true;
    }

    void insert(const QString &name, const BusCaller &caller)
    {
        const QMutexLocker locker(&m_mutex);
        // Names of connections long gone are dropped wholesale.
        if (m_callers.size() >= kEntries)
            m_callers.clear();
        m_callers.insert(name, caller);
    }

private:
    static constexpr int kEntries = 256;
    QMutex m_mutex;
    QHash<QString, BusCaller> m_callers;
};

CallerCache &callerCache()
{
    static CallerCache cache;
    return cache;
}

} // namespace

BusCaller busCallerOf(const QDBusConnection &connection, const QString &strService)
{
    BusCaller caller;
    if (!connection.isConnected() || strService.isEmpty())
        return caller;
    const bool unique = strService.startsWith(QLatin1Char(':'));
    if (unique && callerCache().find(strService, caller))
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
    if (unique && caller.uidKnown)
        callerCache().insert(strService, caller);
    return caller;
}

BusCaller busCallerOf(const QDBusConnection &connection, const QDBusMessage &message)
{
    return busCallerOf(connection, message.service());
}
