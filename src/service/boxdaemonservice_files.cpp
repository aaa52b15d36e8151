#include "boxdaemonservice.h"

#include "boxpath.h"
#include "boxscope.h"
#include "calleraccount.h"
#include "openfilelist.h"
#include "processkill.h"
#include "systemlog.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDebug>

#include <syslog.h>

namespace {

// Whether the bus caller may act on the box path; a refusal is logged. The
// empty path is left to the scan, which fails it for every caller with its
// own message and touches nothing.
bool isServedOrLogged(const CallerAccount &account, const QString &strBoxPath,
                      const char *function, int site)
{
    if (strBoxPath.isEmpty() || isCallerServedForPath(account, strBoxPath))
        return true;
    syslog(LOG_INFO, "%s[%d] refused caller uid %s for path %s outside its box\n", function, site,
           uidForLog(account).constData(), escapedForLog(strBoxPath).constData());
    return false;
}

} // namespace

int BoxDaemonService::get_allFileStatus(const QString &strPath, CBoxFileList &list)
{
    return list_openFilesByPath(strPath, list);
}

int BoxDaemonService::get_allRunFileList(const QString &strBoxPath, CBoxFileList &list)
{
    // A direct call from inside the daemon has no caller to scope.
    if (!calledFromDBus())
        return get_allFileStatus(format_boxPath(strBoxPath), list);
    const CallerAccount account = callerAccount(connection(), message());
    if (!isServedOrLogged(account, strBoxPath, "get_allRunFileList", 55))
        return -1;
    // Which files exist is tested with the caller's permissions, so the list
    // tells it nothing about paths it could not look at itself.
    std::optional<ExistenceIdentity> identity;
    if (!account.isSuperuser())
        identity = ExistenceIdentity{account.uid, account.gid,
                                     supplementaryGroupsOf(account.userName.toLocal8Bit(), account.gid)};
    return list_openFilesByPath(format_boxPath(strBoxPath), list, identity);
}

int BoxDaemonService::kill_allProcessSignal(const QString &strBoxPath)
{
    int nCallerPid = 0;
    std::optional<uid_t> onlyOwner;
    if (calledFromDBus()) {
        const CallerAccount account = callerAccount(connection(), message());
        if (!isServedOrLogged(account, strBoxPath, "kill_allProcessSignal", 64))
            return -1;
        // Only the superuser ends other users' processes.
        if (!account.isSuperuser())
            onlyOwner = account.uid;
        // A failed query gives 0, and then no real process is spared.
        const QDBusConnectionInterface *bus = connection().interface();
        if (bus)
            nCallerPid = static_cast<int>(bus->servicePid(message().service()).value());
    }
    const int nResult = kill_allProcessByPath(strBoxPath, nCallerPid, onlyOwner);
    if (nResult != 0)
        qDebug() << "get_allFileStatus error.";
    return nResult;
}
