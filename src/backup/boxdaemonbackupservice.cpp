#include "boxdaemonbackupservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <unistd.h>

BoxDaemonBackupService::BoxDaemonBackupService()
    : QObject(nullptr)
{
}

BoxDaemonBackupService::~BoxDaemonBackupService() = default;

bool BoxDaemonBackupService::admitsCurrentCaller()
{
    // Outside a bus call there is no caller to identify: the check refuses.
    if (!calledFromDBus())
        return check_callerPrivilege(nullptr, QString());
    return check_callerPrivilege(connection().interface(), message().service());
}

int BoxDaemonBackupService::currentCallerPid()
{
    // A direct call (a test, never the bus) comes from this very process.
    if (!calledFromDBus())
        return static_cast<int>(getpid());
    QDBusConnectionInterface *bus = connection().interface();
    return bus ? static_cast<int>(bus->servicePid(message().service()).value()) : 0;
}
