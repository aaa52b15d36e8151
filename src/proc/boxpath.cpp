// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxpath.h"

#include "mounttable.h"
#include "ownedfd.h"
#include "pathtext.h"
#include "safepath.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include <climits>
#include <utility>

BoxPath::BoxPath(QByteArray bytes, int directory)
    : m_bytes(std::move(bytes)), m_canonical(isCanonicalPath(m_bytes)), m_directory(directory)
{
}

std::optional<BoxPath> BoxPath::of(const QByteArray &path)
{
    QByteArray trimmed = withoutTrailingSlashes(path);
    if (trimmed.isEmpty())
        return std::nullopt;
    return BoxPath(std::move(trimmed), -1);
}

std::optional<BoxPath> BoxPath::ofPrefix(const QByteArray &prefix)
{
    if (!prefix.endsWith('/') || prefix.endsWith("//"))
        return std::nullopt;
    return of(prefix);
}

std::optional<BoxPath> BoxPath::ofOpenDirectory(int dirFd)
{
    char link[32];
    formatFitting(link, sizeof link, "/proc/self/fd/%d", dirFd);
    char target[PATH_MAX];
    const ssize_t length = readlink(link, target, sizeof target);
    if (length <= 1 || length >= static_cast<ssize_t>(sizeof target) || target[0] != '/')
        return std::nullopt;
    return BoxPath(QByteArray(target, static_cast<int>(length)), dirFd);
}

int BoxPath::openBelow(const QByteArray &relative, int flags) const
{
    if (m_directory >= 0)
        return openBeneathNoLinks(m_directory, relative, flags);
    const OwnedFd root(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root)
        return -errno;
    return openBeneathNoLinks(root.get(), joinedPath(m_bytes, relative).mid(1), flags);
}

bool isCanonicalPath(const QByteArray &path)
{
    if (!path.startsWith('/') || path.size() < 2 || path.endsWith('/'))
        return false;
    for (const QByteArray &component : path.mid(1).split('/')) {
        if (component.isEmpty() || component == "." || component == "..")
            return false;
    }
    return true;
}

QString format_boxPath(const QString &strPath)
{
    const QString trimmed = withoutTrailingSlashes(strPath);
    if (trimmed.isEmpty())
        return QString();
    return trimmed + QLatin1Char('/');
}
