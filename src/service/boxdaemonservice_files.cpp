#include "boxdaemonservice.h"

#include "boxpath.h"
#include "boxscope.h"
#include "buscaller.h"
#include "callqueue.h"
#include "calleraccount.h"
#include "openfilelist.h"
#include "processkill.h"
#include "systemlog.h"

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
    syslog(LOG_INFO, "%s[%d] refused: caller uid %s for path %s outside its box\n", function, site,
           uidForLog(account.uidKnown, account.uid).constData(), escapedForLog(strBoxPath).constData());
    return false;
}

QList<QVariant> listingReply(int nResult, const CBoxFileList &list)
{
    return {nResult, QVariant::fromValue(list)};
}

// The listing of one bus call, on a worker: the box scope, the scan and the reply.
CallAnswer listForCaller(const BusCaller &caller, const QString &strBoxPath)
{
    const CallerAccount account = accountOfCaller(caller);
    if (!isServedOrLogged(account, strBoxPath, "get_allRunFileList", 55))
        return {listingReply(-1, {}), 0};
    // Which files exist is tested with the caller's permissions, so the list
    // tells it nothing about paths it could not look at itself.
    std::optional<ExistenceIdentity> identity;
    if (!account.isSuperuser())
        identity = ExistenceIdentity{account.uid, account.gid,
                                     supplementaryGroupsOf(account.userName.toLocal8Bit(), account.gid)};
    CBoxFileList list;
    const int nResult = list_openFilesByPath(format_boxPath(strBoxPath), list, identity);
    const qint64 bytes = wireSizeOf(list);
    return {listingReply(nResult, list), bytes};
}

// The kill of one bus call, on a worker.
CallAnswer killForCaller(const BusCaller &caller, const QString &strBoxPath)
{
    const CallerAccount account = accountOfCaller(caller);
    if (!isServedOrLogged(account, strBoxPath, "kill_allProcessSignal", 64))
        return {{-1}, 0};
    // Only the superuser ends other users' processes.
    std::optional<uid_t> onlyOwner;
    if (!account.isSuperuser())
        onlyOwner = account.uid;
    // An unknown pid is 0, and then no real process is spared.
    const int nResult = kill_allProcessByPath(strBoxPath, caller.pid, onlyOwner);
    if (nResult != 0)
        qDebug() << "get_allFileStatus error.";
    return {{nResult}, 0};
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
    const BusCaller caller = busCallerOf(connection(), message());
    setDelayedReply(true);
    CallQueue::instance().submit(connection(), message(), caller, CallQueue::Share::OfCaller,
                                 "get_allRunFileList", listingReply(-1, {}),
                                 [caller, strBoxPath] { return listForCaller(caller, strBoxPath); });
    return -1;
}

int BoxDaemonService::kill_allProcessSignal(const QString &strBoxPath)
{
    if (!calledFromDBus()) {
        const int nResult = kill_allProcessByPath(strBoxPath, 0, std::nullopt);
        if (nResult != 0)
            qDebug() << "get_allFileStatus error.";
        return nResult;
    }
    const BusCaller caller = busCallerOf(connection(), message());
    setDelayedReply(true);
    CallQueue::instance().submit(connection(), message(), caller, CallQueue::Share::OfCaller,
                                 "kill_allProcessSignal", {-1},
                                 [caller, strBoxPath] { return killForCaller(caller, strBoxPath); });
    return -1;
}
