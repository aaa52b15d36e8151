// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxscope.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include <cstdlib>
#include <memory>

namespace {

// realpath(3) of the bytes; false with errno set when it fails.
bool realPathOf(const QByteArray &path, QByteArray &resolved)
{
    const std::unique_ptr<char, decltype(&std::free)> real(realpath(path.constData(), nullptr), &std::free);
    if (!real)
        return false;
    resolved = real.get();
    return true;
}

QString resolvedPath(const QString &path)
{
    QByteArray resolved;
    return realPathOf(path.toUtf8(), resolved) ? QString::fromUtf8(resolved) : QString();
}

bool isDirectoryOwnedBy(const QString &path, uid_t uid)
{
    struct stat status {};
    return stat(path.toUtf8().constData(), &status) == 0 && S_ISDIR(status.st_mode)
        && status.st_uid == uid;
}

} // namespace

std::optional<QString> resolvedBoxPath(const QString &boxPath)
{
    const QString trimmed = withoutTrailingSlashes(boxPath);
    if (!trimmed.startsWith(QLatin1Char('/')))
        return trimmed;
    const QByteArray path = trimmed.toUtf8();
    QByteArray resolved;
    if (realPathOf(path, resolved))
        return QString::fromUtf8(resolved);
    if (errno != ENOENT && errno != ENOTDIR)
        return std::nullopt;
    // The longest leading part that exists is resolved; what follows cannot
    // hold a link, so its "." and ".." are taken as text.
    QList<QByteArray> parts = path.split('/');
    parts.removeAll(QByteArray());
    parts.removeAll(QByteArrayLiteral("."));
    for (int count = parts.size() - 1; count >= 0; --count) {
        const QList<QByteArray> leading = parts.mid(0, count);
        if (!realPathOf('/' + leading.join('/'), resolved)) {
            if (errno == ENOENT || errno == ENOTDIR)
                continue;
            return std::nullopt;
        }
        for (const QByteArray &part : parts.mid(count)) {
            if (part == "..")
                resolved.truncate(std::max(1, resolved.lastIndexOf('/')));
            else
                resolved += (resolved.endsWith('/') ? "" : "/") + part;
        }
        return QString::fromUtf8(resolved);
    }
    return std::nullopt;
}

bool isPathInsideBoxRoots(const QString &boxPath, const QStringList &boxRoots)
{
    const QString path = withoutTrailingSlashes(boxPath);
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

std::optional<QString> servedBoxPathOf(const CallerAccount &account, const QString &boxPath)
{
    if (!account.isSuperuser() && !account.known)
        return std::nullopt;
    const std::optional<QString> resolved = resolvedBoxPath(boxPath);
    if (!resolved || account.isSuperuser() || isPathInsideBoxRoots(*resolved, boxRootNamesOf(account)))
        return resolved;
    return std::nullopt;
}

bool isCallerServedForPath(const CallerAccount &account, const QString &boxPath)
{
    return servedBoxPathOf(account, boxPath).has_value();
}
