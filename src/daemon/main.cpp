// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxactivityservice.h"
#include "boxactivityserviceadapter.h"
#include "boxdaemonbackupservice.h"
#include "boxdaemonbackupserviceadapter.h"
#include "boxdaemonservice.h"
#include "boxdaemonserviceadapter.h"
#include "logsites.h"
#include "privileges.h"
#include "processkill.h"
#include "procwalk.h"
#include "scanengine.h"
#include "wiretypes.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusReply>
#include <QDebug>

namespace {

const QString kBusName = QStringLiteral("com.tavrin.arkvane");

// Why the name could not be claimed, for the line that says so: the bus's
// refusal (its policy) or the connection that owns the name already, with
// its process.
QString claimRefusal(const QDBusConnection &connection)
{
    QDBusConnectionInterface *bus = connection.interface();
    if (!bus)
        return connection.lastError().message();
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> again = bus->registerService(kBusName);
    if (!again.isValid())
        return again.error().message();
    const QDBusReply<QString> owner = bus->serviceOwner(kBusName);
    if (!owner.isValid())
        return QStringLiteral("the name is taken, its owner unknown: ") + owner.error().message();
    const QDBusReply<uint> pid = bus->servicePid(owner.value());
    const int ownerPid = pid.isValid() ? static_cast<int>(pid.value()) : 0;
    return QStringLiteral("owned by %1 (pid %2, %3)")
        .arg(owner.value())
        .arg(ownerPid)
        .arg(QString::fromUtf8(ownerPid > 0 ? processNameOf(ownerPid) : QByteArrayLiteral("?")));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // Loads in the background while the bus is joined.
    startScanEngine();

    // Made once and never deleted: they serve until the process is killed.
    auto *service = new BoxDaemonService(nullptr);
    new BoxDaemonServiceAdapter(service);
    auto *backupService = new BoxDaemonBackupService();
    new BoxDaemonBackupServiceAdapter(backupService);
    auto *activityService = new BoxActivityService();
    new BoxActivityServiceAdapter(activityService);

    registerWireTypes();

    QDBusConnection connection = QDBusConnection::systemBus();
    if (!connection.isConnected()) {
        qDebug(DEBUG_NO_SYSTEM_BUS);
        return 1;
    }

    if (!connection.registerObject(QStringLiteral("/logfile"), service, QDBusConnection::ExportAdaptors)) {
        qDebug() << "failed to register redirection log file service: " << connection.lastError().message();
    }
    if (!connection.registerObject(QStringLiteral("/backup"), backupService,
                                   QDBusConnection::ExportAdaptors)) {
        qDebug() << "failed to register redirection backup service: " << connection.lastError().message();
    }
    if (!connection.registerObject(QStringLiteral("/activity"), activityService,
                                   QDBusConnection::ExportAdaptors)) {
        qDebug() << "failed to register the activity service: " << connection.lastError().message();
    }

    // The name is claimed only once every object is there: a call the bus
    // queued while activating the daemon is delivered after the claim, so it
    // always finds its object.
    if (!connection.registerService(kBusName)) {
        qDebug(DEBUG_NAME_NOT_CLAIMED, qUtf8Printable(claimRefusal(connection)));
        return 1;
    }

    // The bus daemon holds whatever descriptors clients send it: it is never signalled.
    if (const QDBusConnectionInterface *bus = connection.interface())
        setBusDaemonPid(static_cast<int>(bus->servicePid(QStringLiteral("org.freedesktop.DBus")).value()));
    logMissingPrivileges();
    qDebug(DEBUG_STARTED);
    return app.exec();
}
