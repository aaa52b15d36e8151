// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxdaemonservice.h"

#include "boxpath.h"
#include "boxrootprobe.h"
#include "boxscope.h"
#include "buscaller.h"
#include "calleraccount.h"
#include "callqueue.h"
#include "fsidentity.h"
#include "logsites.h"
#include "openfilelist.h"
#include "processkill.h"
#include "scanmessages.h"
#include "servedpath.h"
#include "systemlog.h"
#include "utf8text.h"

#include <QDebug>
#include <QSet>

#include <syslog.h>

#include <cassert>
#include <cerrno>
#include <cstring>

namespace {

// The listing of one box: appends the files found that list does not hold
// yet, each named by the box path with "/" appended and its path inside the
// box; a byte that is no valid UTF-8 shows as U+FFFD. 0 when the walk ran to
// its end, -1 when the listing failed (logged, nothing added).
int listOpenFiles(const BoxPath &box, CBoxFileList &list,
                  const std::optional<ExistenceIdentity> &identity = std::nullopt)
{
    std::vector<QByteArray> relatives;
    const CollectedFiles collected = collectOpenFiles(box, relatives, identity);
    if (!collected.identityTaken) {
        assert(identity);
        qDebug(DEBUG_IDENTITY_NOT_TAKEN, identity->uid, "listing");
        return -1;
    }
    if (collected.error != 0) {
        logProcUnreadable(collected.error);
        return -1;
    }
    QSet<QString> listed;
    for (const BoxFileItem &item : list)
        listed.insert(item.strFilePath);
    const QString boxText = textWithReplacements(box.bytes() + '/');
    list.reserve(list.size() + static_cast<int>(relatives.size()));
    for (const QByteArray &relative : relatives) {
        const QString relativeText = textWithReplacements(relative);
        if (listed.isEmpty() || !listed.contains(boxText + relativeText))
            list.append(BoxFileItem{boxText + relativeText, relativeText});
    }
    return 0;
}

QList<QVariant> listingReply(int nResult, const CBoxFileList &list)
{
    return {nResult, QVariant::fromValue(list)};
}

// The listing of one bus call, on a worker: the box scope, the scan and the reply.
CallAnswer listForCaller(const BusCaller &caller, const QString &strBoxPath)
{
    const CallerAccount account = accountOfCaller(caller);
    // Which files exist is tested with the caller's permissions, so the list
    // tells it nothing about paths it could not look at itself.
    const std::optional<ExistenceIdentity> identity = identityOf(account);
    const std::optional<QByteArray> served =
        servedPathOf(account, identity, strBoxPath, "get_allRunFileList");
    if (!served)
        return {listingReply(-1, {}), 0};
    const std::optional<BoxPath> box = BoxPath::of(*served);
    if (!box) {
        logEmptyScanPath(); // no box named ("/" alone): nothing held in it
        return {listingReply(-1, {}), 0};
    }
    CBoxFileList list;
    const int nResult = listOpenFiles(*box, list, identity);
    const qint64 bytes = wireSizeOf(list);
    return {listingReply(nResult, list), bytes};
}

// The kill of one bus call, on a worker.
CallAnswer killForCaller(const BusCaller &caller, const QString &strBoxPath)
{
    const CallerAccount account = accountOfCaller(caller);
    const std::optional<ExistenceIdentity> identity = identityOf(account);
    const std::optional<QByteArray> served =
        servedPathOf(account, identity, strBoxPath, "kill_allProcessSignal");
    if (!served)
        return {{-1}, 0};
    // Only the superuser ends other users' processes.
    std::optional<uid_t> onlyOwner;
    if (!account.isSuperuser())
        onlyOwner = account.uid;
    // An unknown pid is 0, and then no real process is spared.
    const std::optional<BoxPath> box = BoxPath::of(*served);
    // A path that names no box fails as the kill of the published interface fails it.
    const int nResult =
        box ? endHoldersOf(*box, caller.pid, onlyOwner) : kill_allProcessByPath({}, caller.pid);
    if (nResult != 0)
        qDebug(DEBUG_KILL_FAILED);
    return {{nResult}, 0};
}

} // namespace

int BoxDaemonService::get_allFileStatus(const QString &strPath, CBoxFileList &list)
{
    if (strPath.isEmpty()) {
        logEmptyScanPath();
        return -1;
    }
    // The text is the match prefix as given; one that names no box has
    // nothing held in it.
    const std::optional<BoxPath> box = BoxPath::ofPrefix(strPath.toUtf8());
    return box ? listOpenFiles(*box, list) : 0;
}

int BoxDaemonService::get_allRunFileList(const QString &strBoxPath, CBoxFileList &list)
{
    // A direct call from inside the daemon has no caller to scope.
    if (!calledFromDBus())
        return get_allFileStatus(format_boxPath(strBoxPath), list);
    const BusCaller caller = busCallerOf(connection(), message());
    setDelayedReply(true);
    CallQueue::instance().submit(connection(), message(), caller, CallQueue::Share::OfCaller,
                                 "get_allRunFileList", CallQueue::Effect::Reads, listingReply(-1, {}),
                                 [caller, strBoxPath] { return listForCaller(caller, strBoxPath); });
    return -1;
}

int BoxDaemonService::kill_allProcessSignal(const QString &strBoxPath)
{
    if (!calledFromDBus()) {
        const int nResult = kill_allProcessByPath(strBoxPath, 0);
        if (nResult != 0)
            qDebug(DEBUG_KILL_FAILED);
        return nResult;
    }
    const BusCaller caller = busCallerOf(connection(), message());
    setDelayedReply(true);
    CallQueue::instance().submit(connection(), message(), caller, CallQueue::Share::OfCaller,
                                 "kill_allProcessSignal", CallQueue::Effect::Changes, {-1},
                                 [caller, strBoxPath] { return killForCaller(caller, strBoxPath); });
    return -1;
}
