// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QDBusConnectionInterface;
struct BusCaller;

// The object behind "/backup": box root discovery and wipes, served only to
// the backup tool running as the superuser.
class BoxDaemonBackupService : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    BoxDaemonBackupService();
    ~BoxDaemonBackupService() override;

    // Kept for callers of the published interface (0 or -1); the daemon itself uses programPathOf.
    int get_programPath(int nPid, char *pBuffer, int nSize);
    // Kept for callers of the published interface; the daemon itself uses isAdmittedBackupCaller.
    bool check_callerPrivilege(QDBusConnectionInterface *pInterface, const QString &strService);
    QStringList get_allBoxRootEntriesInner();
    // Kept for callers of the published interface; the daemon itself uses the mount table and mount ids.
    int check_boxMountStatus(const char *path);
    // Kept for callers of the published interface; the daemon itself passes the bus caller's pid.
    int format_boxRootEntry(const QString &boxRoot);

public Q_SLOTS:
    int format_allBoxRootEntries();
    int format_boxRootEntries(const QString &strUserName);
    QStringList get_allBoxRootEntries();

private:
    // isAdmittedBackupCaller for the call being served; caller is what the bus
    // daemon said of it. Outside a bus call there is no caller: refused.
    bool admitsCurrentCaller(BusCaller &caller);
    // Wipes one box root, sparing the caller's process.
    int format_boxRootEntry(const QString &boxRoot, int callerPid);
    // Answers the call being served from a worker with the wipe's result.
    void wipeOffTheBusThread(const BusCaller &caller, const char *function, const QByteArray &lane,
                             std::function<int()> wipe);
};
