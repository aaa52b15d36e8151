// SPDX-License-Identifier: GPL-2.0-or-later
#include "daemonlink.h"

#include <QDBusError>
#include <QDBusPendingReply>

namespace {

// Bus error texts may span lines; the client says everything in one.
QString oneLine(QString text)
{
    text.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return text.trimmed();
}

QString withDetail(const QString &what, const QDBusError &error)
{
    const QString detail = oneLine(error.message());
    return detail.isEmpty() ? what : what + QStringLiteral(": ") + detail;
}

// One line for a system bus that cannot be connected to.
Outcome describeMissingBus(const QDBusError &error)
{
    return Outcome::unreachable(withDetail(QStringLiteral("cannot reach the system bus"), error));
}

// One line for a call that got no answer from the daemon: unreachable when
// the daemon is not there (not running, not startable, gone mid-call), a
// failure when it or the bus turned the call away.
Outcome describeBusError(const QDBusError &error)
{
    const QString name = error.name();
    if (error.type() == QDBusError::ServiceUnknown
        || name == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
        return Outcome::unreachable(
            QStringLiteral("arkvaned is not running (nothing owns com.tavrin.arkvane on the system bus)"));
    }
    // Bus activation was tried and failed.
    if (name.startsWith(QLatin1String("org.freedesktop.DBus.Error.Spawn."))
        || name == QLatin1String("org.freedesktop.systemd1.NoSuchUnit")) {
        return Outcome::unreachable(
            withDetail(QStringLiteral("arkvaned is not running and could not be started"), error));
    }
    switch (error.type()) {
    case QDBusError::NoReply:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
        return Outcome::unreachable(withDetail(QStringLiteral("arkvaned did not answer"), error));
    case QDBusError::Disconnected:
    case QDBusError::NoServer:
    case QDBusError::NoNetwork:
    case QDBusError::BadAddress:
        return Outcome::unreachable(withDetail(QStringLiteral("lost the system bus"), error));
    case QDBusError::AccessDenied:
        return Outcome::failure(withDetail(QStringLiteral("refused by the system bus policy"), error));
    default:
        break;
    }
    return Outcome::failure(
        withDetail(QStringLiteral("arkvaned answered with the error %1").arg(name), error));
}

const QString kService = QStringLiteral("com.tavrin.arkvane");
const QString kPath = QStringLiteral("/logfile");
const QString kInterface = QStringLiteral("com.tavrin.arkvane");

// The daemon answers every call within its 20 s deadline (a call past it is
// answered -1); the margin is for the reply's way back. Waiting longer would
// only hide a daemon that stopped answering.
constexpr int kCallTimeoutMs = 30000;

template <typename T>
Answer<T> withoutBus(const QDBusConnection &connection)
{
    return {describeMissingBus(connection.lastError()), T{}};
}

template <typename T>
Answer<T> answerOf(const QDBusPendingReply<T> &reply)
{
    Answer<T> answer;
    if (reply.isError())
        answer.failure = describeBusError(reply.error());
    else
        answer.value = reply.value();
    return answer;
}

} // namespace

DaemonLink::DaemonLink() : m_connection(QDBusConnection::systemBus()) {}

QDBusMessage DaemonLink::call(const QString &method, const QVariantList &arguments) const
{
    return call(kPath, kInterface, method, arguments);
}

QDBusMessage DaemonLink::call(const QString &path, const QString &interface, const QString &method,
                              const QVariantList &arguments) const
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    message.setArguments(arguments);
    return m_connection.call(message, QDBus::Block, kCallTimeoutMs);
}

Answer<FileListing> DaemonLink::listOpenFiles(const QString &boxPath) const
{
    if (!m_connection.isConnected())
        return withoutBus<FileListing>(m_connection);
    // Read as Qt clients do: the second out argument is a CBoxFileList.
    const QDBusPendingReply<int, CBoxFileList> reply = call(QStringLiteral("get_allRunFileList"), {boxPath});
    Answer<FileListing> answer;
    if (reply.isError()) {
        answer.failure = describeBusError(reply.error());
        return answer;
    }
    answer.value.result = reply.argumentAt<0>();
    answer.value.files = reply.argumentAt<1>();
    return answer;
}

Answer<HolderListing> DaemonLink::listHolders(const QString &boxPath) const
{
    if (!m_connection.isConnected())
        return withoutBus<HolderListing>(m_connection);
    const QDBusPendingReply<int, CBoxHolderList> reply =
        call(QStringLiteral("/activity"), QStringLiteral("com.tavrin.arkvane.activity"),
             QStringLiteral("get_boxHolders"), {boxPath});
    Answer<HolderListing> answer;
    if (reply.isError()) {
        answer.failure = describeBusError(reply.error());
        return answer;
    }
    answer.value.result = reply.argumentAt<0>();
    answer.value.holders = reply.argumentAt<1>();
    return answer;
}

void WatchInbox::holdersChanged(int watchId, const QString &, int holders)
{
    events.append({watchId, false, holders});
    emit arrived();
}

void WatchInbox::freed(int watchId, const QString &)
{
    events.append({watchId, true, 0});
    emit arrived();
}

void WatchInbox::ownerChanged(const QString &, const QString &, const QString &newOwner)
{
    if (newOwner.isEmpty())
        emit daemonLeft();
}

Answer<int> DaemonLink::watchBox(const QString &boxPath, WatchInbox &inbox) const
{
    if (!m_connection.isConnected())
        return withoutBus<int>(m_connection);
    const QString path = QStringLiteral("/activity");
    const QString interface = QStringLiteral("com.tavrin.arkvane.activity");
    QDBusConnection connection = m_connection;
    connection.connect(kService, path, interface, QStringLiteral("boxHoldersChanged"), &inbox,
                       SLOT(holdersChanged(int, QString, int)));
    connection.connect(kService, path, interface, QStringLiteral("boxFreed"), &inbox,
                       SLOT(freed(int, QString)));
    connection.connect(QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
                       QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameOwnerChanged"), {kService},
                       QString(), &inbox, SLOT(ownerChanged(QString, QString, QString)));
    return answerOf(QDBusPendingReply<int>(call(path, interface, QStringLiteral("add_boxWatch"), {boxPath})));
}

Answer<int> DaemonLink::endProcesses(const QString &boxPath) const
{
    if (!m_connection.isConnected())
        return withoutBus<int>(m_connection);
    return answerOf(QDBusPendingReply<int>(call(QStringLiteral("kill_allProcessSignal"), {boxPath})));
}

Answer<bool> DaemonLink::isCertificationRequired(const QString &userName) const
{
    if (!m_connection.isConnected())
        return withoutBus<bool>(m_connection);
    return answerOf(QDBusPendingReply<bool>(call(QStringLiteral("is_certificationRequired"), {userName})));
}

Answer<int> DaemonLink::certificationInterval(const QString &userName) const
{
    if (!m_connection.isConnected())
        return withoutBus<int>(m_connection);
    return answerOf(QDBusPendingReply<int>(call(QStringLiteral("get_certificationInterval"), {userName})));
}

Answer<int> DaemonLink::setCertificationInterval(const QString &userName, int seconds) const
{
    if (!m_connection.isConnected())
        return withoutBus<int>(m_connection);
    return answerOf(
        QDBusPendingReply<int>(call(QStringLiteral("set_certificationInterval"), {userName, seconds})));
}

Outcome DaemonLink::recordCertificationPassed(const QString &userName) const
{
    if (!m_connection.isConnected())
        return describeMissingBus(m_connection.lastError());
    const QDBusPendingReply<> reply = call(QStringLiteral("set_certificationPassed"), {userName});
    return reply.isError() ? describeBusError(reply.error()) : Outcome::success();
}
