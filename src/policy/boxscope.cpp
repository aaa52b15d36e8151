// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxscope.h"

#include <sys/stat.h>

#include <cerrno>

namespace {

bool isDirectoryOwnedBy(const QByteArray &path, uid_t uid)
{
    struct stat status = {};
    return stat(path.constData(), &status) == 0 && S_ISDIR(status.st_mode) && status.st_uid == uid;
}

} // namespace

SafeResolution resolvedBoxPath(const QString &boxPath)
{
    const QByteArray path = withoutTrailingSlashes(boxPath.toUtf8());
    if (!path.startsWith('/'))
        return {0, path, {}}; // names no box; "/" alone trims to nothing
    if (path.contains('\0'))
        return {-EINVAL, {}, {}};
    return resolveSafely(path);
}

bool isPathInsideBoxRoots(const QByteArray &boxPath, const QList<QByteArray> &boxRoots)
{
    const QByteArray path = withoutTrailingSlashes(boxPath);
    if (path.isEmpty())
        return false;
    for (const QByteArray &root : boxRoots) {
        if (root.isEmpty())
            continue;
        if (path == root
            || (path.size() > root.size() && path.startsWith(root) && path.at(root.size()) == '/'))
            return true;
    }
    return false;
}

QList<QByteArray> boxRootNamesOf(const CallerAccount &account)
{
    QList<QByteArray> names{account.boxRoot().toUtf8()};
    const SafeResolution resolved = resolvedBoxPath(account.boxRoot());
    if (resolved.error == 0 && resolved.path != names.constFirst()
        && isDirectoryOwnedBy(resolved.path, account.uid))
        names.append(resolved.path);
    return names;
}

ServedBoxPath servedBoxPathOf(const CallerAccount &account, const QString &boxPath)
{
    ServedBoxPath served;
    if (!account.isSuperuser() && !account.known) {
        served.verdict = ServedBoxPath::OutsideBox;
        return served;
    }
    const SafeResolution resolved = resolvedBoxPath(boxPath);
    if (resolved.error == -ENOLINK) {
        served.verdict = ServedBoxPath::Unsafe;
        served.refusedAt = resolved.refusedAt;
    } else if (resolved.error != 0) {
        served.verdict = ServedBoxPath::Unresolved;
    } else if (account.isSuperuser() || isPathInsideBoxRoots(resolved.path, boxRootNamesOf(account))) {
        served.verdict = ServedBoxPath::Served;
        served.path = resolved.path;
    } else {
        served.verdict = ServedBoxPath::OutsideBox;
    }
    return served;
}
