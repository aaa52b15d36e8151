#include "boxscope.h"

#include <sys/stat.h>

#include <cstdlib>
#include <memory>

namespace {

QString resolvedPath(const QString &strPath)
{
    const std::unique_ptr<char, decltype(&std::free)> resolved(
        realpath(strPath.toLocal8Bit().constData(), nullptr), &std::free);
    return resolved ? QString::fromLocal8Bit(resolved.get()) : QString();
}

bool isDirectoryOwnedBy(const QString &strPath, uid_t uid)
{
    struct stat status {};
    return stat(strPath.toLocal8Bit().constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && status.st_uid == uid;
}

} // namespace

QString withoutTrailingSlashes(const QString &strPath)
{
    int length = strPath.size();
    while (length > 0 && strPath.at(length - 1) == QLatin1Char('/'))
        --length;
    return strPath.left(length);
}

bool isPathInsideBoxRoots(const QString &strBoxPath, const QStringList &boxRoots)
{
    const QString path = withoutTrailingSlashes(strBoxPath);
    if (path.isEmpty())
        return false;
    for (const QString &root : boxRoots) {
        if (root.isEmpty())
            continue;
        if (path == root
            || (path.size() > root.size() && path.startsWith(root)
                && path.at(root.size()) == QLatin1Char('/')))
            return true;
    }
    return false;
}

QStringList boxRootNamesOf(const CallerAccount &account)
{
    QStringList names{account.boxRoot()};
    const QString resolved = resolvedPath(account.boxRoot());
    if (!resolved.isEmpty() && resolved != names.constFirst()
        && isDirectoryOwnedBy(resolved, account.uid))
        names.append(resolved);
    return names;
}

bool isCallerServedForPath(const CallerAccount &account, const QString &strBoxPath)
{
    if (account.isSuperuser())
        return true;
    if (!account.known)
        return false;
    return isPathInsideBoxRoots(strBoxPath, boxRootNamesOf(account));
}
