#include "boxdaemonbackupservice.h"

BoxDaemonBackupService::BoxDaemonBackupService()
    : QObject(nullptr)
{
}

BoxDaemonBackupService::~BoxDaemonBackupService() = default;

int BoxDaemonBackupService::get_programPath(int, char *, int)
{
    return -1;
}

bool BoxDaemonBackupService::check_callerPrivilege(QDBusConnectionInterface *, QString)
{
    return false;
}

QStringList BoxDaemonBackupService::get_allBoxRootEntriesInner()
{
    return {};
}

int BoxDaemonBackupService::check_boxMountStatus(const char *)
{
    return 0;
}

int BoxDaemonBackupService::format_boxRootEntry(const QString &)
{
    return -1;
}

int BoxDaemonBackupService::format_allBoxRootEntries()
{
    return -1;
}

int BoxDaemonBackupService::format_boxRootEntries(const QString &)
{
    return -1;
}

QStringList BoxDaemonBackupService::get_allBoxRootEntries()
{
    return {};
}
