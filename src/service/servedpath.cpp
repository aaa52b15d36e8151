// SPDX-License-Identifier: GPL-2.0-or-later
#include "servedpath.h"

#include "boxrootprobe.h"
#include "boxscope.h"
#include "logsites.h"
#include "systemlog.h"

#include <QDebug>

#include <syslog.h>

#include <cstring>

std::optional<ExistenceIdentity> identityOf(const CallerAccount &account)
{
    if (account.isSuperuser())
        return std::nullopt;
    return ExistenceIdentity{account.uid, account.gid,
                             supplementaryGroupsOf(account.userName.toLocal8Bit(), account.gid)};
}

std::optional<QByteArray> servedPathOf(const CallerAccount &account,
                                       const std::optional<ExistenceIdentity> &identity,
                                       const QString &strBoxPath, const char *function)
{
    if (strBoxPath.isEmpty())
        return QByteArray();
    struct Resolved
    {
        bool identityTaken = true;
        ServedBoxPath served;
    };
    const std::vector<std::optional<Resolved>> resolved = lookUpEachWithin<Resolved>(
        {strBoxPath.toUtf8()}, [&account, &identity, &strBoxPath](const QByteArray &) {
            if (!identity)
                return Resolved{true, servedBoxPathOf(account, strBoxPath)};
            const ScopedFileSystemIdentity as(*identity);
            if (!as.tookEffect())
                return Resolved{false, {}};
            return Resolved{true, servedBoxPathOf(account, strBoxPath)};
        });
    const QByteArray uid = uidForLog(account.uidKnown, account.uid);
    const QByteArray path = escapedForLog(strBoxPath);
    if (!resolved.front()) {
        syslog(LOG_INFO, LOG_PATH_STALLED, function, uid.constData(), path.constData(),
               boxRootProbeBoundMs());
        return std::nullopt;
    }
    if (!resolved.front()->identityTaken) {
        qDebug(DEBUG_IDENTITY_NOT_TAKEN, identity->uid, function);
        return std::nullopt;
    }
    const ServedBoxPath &served = resolved.front()->served;
    switch (served.verdict) {
    case ServedBoxPath::Served:
        return served.path;
    case ServedBoxPath::Unsafe:
        syslog(LOG_INFO, LOG_PATH_UNSAFE, function, uid.constData(), path.constData(),
               escapedForLog(served.refusedAt).constData());
        return std::nullopt;
    case ServedBoxPath::OutsideBox:
    case ServedBoxPath::Unresolved:
        break;
    }
    if (std::strcmp(function, "kill_allProcessSignal") == 0)
        syslog(LOG_INFO, LOG_KILL_OUTSIDE_BOX, uid.constData(), path.constData());
    else if (std::strcmp(function, "get_boxHolders") == 0)
        syslog(LOG_INFO, LOG_HOLDERS_OUTSIDE_BOX, uid.constData(), path.constData());
    else if (std::strcmp(function, "add_boxWatch") == 0)
        syslog(LOG_INFO, LOG_WATCH_OUTSIDE_BOX, uid.constData(), path.constData());
    else
        syslog(LOG_INFO, LOG_LISTING_OUTSIDE_BOX, uid.constData(), path.constData());
    return std::nullopt;
}
