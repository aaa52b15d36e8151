// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxdaemonbackupservice.h"

#include "boxrootdiscovery.h"
#include "boxrootwipe.h"
#include "boxusername.h"
#include "buscaller.h"
#include "callerprivilege.h"
#include "callqueue.h"
#include "logsites.h"
#include "mountstatus.h"
#include "systemlog.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QFile>

#include <syslog.h>
#include <unistd.h>

BoxDaemonBackupService::BoxDaemonBackupService() : QObject(nullptr) {}

BoxDaemonBackupService::~BoxDaemonBackupService() = default;

int BoxDaemonBackupService::get_programPath(int nPid, char *pBuffer, int nSize)
{
    return programPathOf(nPid, pBuffer, nSize) == 0 ? 0 : -1;
}

bool BoxDaemonBackupService::check_callerPrivilege(QDBusConnectionInterface *pInterface,
                                                   const QString &strService)
{
    if (!pInterface)
        return false;
    return isAdmittedBackupCaller(busCallerOf(pInterface->connection(), strService));
}

bool BoxDaemonBackupService::admitsCurrentCaller(BusCaller &caller)
{
    if (!calledFromDBus())
        return false;
    caller = busCallerOf(connection(), message());
    return isAdmittedBackupCaller(caller);
}

QStringList BoxDaemonBackupService::get_allBoxRootEntriesInner()
{
    return boxRootsOfAllAccounts();
}

QStringList BoxDaemonBackupService::get_allBoxRootEntries()
{
    syslog(LOG_INFO, LOG_DISCOVERY_CALLED);
    BusCaller caller;
    if (!admitsCurrentCaller(caller))
        return {};
    // A home or a ~/.box link may lead into a file system whose server stopped
    // answering: the test of each box root runs on a worker of its own share,
    // so only this call waits for it, and the deadline answers it.
    setDelayedReply(true);
    CallQueue::instance().submit(connection(), message(), caller, CallQueue::Share::OfDiscovery,
                                 "get_allBoxRootEntries", CallQueue::Effect::Reads, {QStringList()}, [this] {
                                     return CallAnswer{{get_allBoxRootEntriesInner()}, 0};
                                 });
    return {};
}

int BoxDaemonBackupService::check_boxMountStatus(const char *path)
{
    return mountStatusOfPath(path);
}

int BoxDaemonBackupService::format_boxRootEntry(const QString &boxRoot)
{
    // A direct call (a test, never the bus) comes from this very process.
    const int nCallerPid =
        calledFromDBus() ? busCallerOf(connection(), message()).pid : static_cast<int>(getpid());
    return format_boxRootEntry(boxRoot, nCallerPid);
}

int BoxDaemonBackupService::format_boxRootEntry(const QString &boxRoot, int callerPid)
{
    return wipeBoxRoot(boxRoot, callerPid);
}

void BoxDaemonBackupService::wipeOffTheBusThread(const BusCaller &caller, const char *function,
                                                 const QByteArray &lane, std::function<int()> wipe)
{
    setDelayedReply(true);
    CallQueue::instance().submit(
        connection(), message(), caller, CallQueue::Share::OfBackupTool, function, CallQueue::Effect::Changes,
        {-1},
        [wipe = std::move(wipe)] {
            return CallAnswer{{wipe()}, 0};
        },
        lane);
}

int BoxDaemonBackupService::format_allBoxRootEntries()
{
    BusCaller caller;
    if (!admitsCurrentCaller(caller))
        return -1;
    // The caller is admitted on the bus thread; the wipe itself runs on a worker.
    auto wipeAll = [this, caller] {
        const QStringList boxRoots = get_allBoxRootEntriesInner();
        if (boxRoots.isEmpty()) {
            syslog(LOG_INFO, LOG_WIPE_ALL_NONE);
            return 0;
        }
        wipeEachBoxRoot(
            boxRoots, [this, &caller](const QString &boxRoot) { format_boxRootEntry(boxRoot, caller.pid); });
        return 0;
    };
    // One wipe of every box root at a time; a lane no box root's path can take.
    wipeOffTheBusThread(caller, "format_allBoxRootEntries", QByteArrayLiteral("*"), wipeAll);
    return -1;
}

int BoxDaemonBackupService::format_boxRootEntries(const QString &strUserName)
{
    syslog(LOG_INFO, LOG_WIPE_USER_CALLED, escapedForLog(strUserName).constData());
    BusCaller caller;
    if (!admitsCurrentCaller(caller))
        return -1;
    // After the caller check, so a refused caller's lines stay exactly those
    // of any other refusal and tell it nothing about the name.
    if (!namesSingleDirectory(strUserName)) {
        syslog(LOG_INFO, LOG_WIPE_USER_NOT_A_NAME, escapedForLog(strUserName).constData());
        return -1;
    }
    const QString boxRoot = strUserName == QLatin1String("root")
                                ? QStringLiteral("/root/.box")
                                : QStringLiteral("/home/%1/.box").arg(strUserName);
    // Wipes of one box root run one at a time, those of different ones beside each other.
    wipeOffTheBusThread(caller, "format_boxRootEntries", QFile::encodeName(boxRoot),
                        [this, boxRoot, caller] { return format_boxRootEntry(boxRoot, caller.pid); });
    return -1;
}
