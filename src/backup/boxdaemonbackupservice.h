#pragma once

#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QStringList>

class QDBusConnectionInterface;

// The object behind "/backup": box root discovery and wipes, served only to
// the backup tool running as the superuser.
class BoxDaemonBackupService : public QObject, protected QDBusContext
{
    Q_OBJECT
public:
    BoxDaemonBackupService();
    ~BoxDaemonBackupService() override;

    int get_programPath(int nPid, char *pBuffer, int nSize);
    bool check_callerPrivilege(QDBusConnectionInterface *pInterface, QString strService);
    QStringList get_allBoxRootEntriesInner();
    int check_boxMountStatus(const char *path);
    int format_boxRootEntry(const QString &boxRoot);

public Q_SLOTS:
    int format_allBoxRootEntries();
    int format_boxRootEntries(const QString &strUserName);
    QStringList get_allBoxRootEntries();

private:
    // check_callerPrivilege with the connection and sender of the call being served.
    bool admitsCurrentCaller();
    // The process id the bus daemon reports for the caller; 0 when it cannot tell.
    int currentCallerPid();
};
