// SPDX-License-Identifier: GPL-2.0-or-later
#include "safepath.h"

#include "ownedfd.h"

#include <QList>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

namespace {

constexpr int kStepFlags = O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// -ELOOP when the entry that refused to open is a link, else -error.
int refusal(int dirFd, const char *name, int error)
{
    struct stat status {};
    if ((error == ENOTDIR || error == ELOOP) && fstatat(dirFd, name, &status, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISLNK(status.st_mode))
        return -ELOOP;
    return -error;
}

} // namespace

int openBeneathNoLinks(int dirFd, const QByteArray &relative, int flags)
{
    if (relative.startsWith('/'))
        return -EXDEV;
    QList<QByteArray> parts = relative.split('/');
    parts.removeAll(QByteArray());
    parts.removeAll(QByteArrayLiteral("."));
    if (parts.contains(QByteArrayLiteral("..")))
        return -EXDEV;
    if (parts.isEmpty()) {
        const int fd = openat(dirFd, ".", flags | O_CLOEXEC);
        return fd >= 0 ? fd : -errno;
    }
    OwnedFd at;
    for (int i = 0; i < parts.size(); ++i) {
        const int from = at ? at.get() : dirFd;
        const char *name = parts.at(i).constData();
        const bool last = i == parts.size() - 1;
        const int fd = openat(from, name, last ? (flags | O_NOFOLLOW | O_CLOEXEC) : kStepFlags);
        if (fd < 0)
            return refusal(from, name, errno);
        at.reset(fd);
    }
    // O_PATH | O_NOFOLLOW opens a link itself rather than failing.
    struct stat status {};
    if ((flags & O_PATH) && fstat(at.get(), &status) == 0 && S_ISLNK(status.st_mode))
        return -ELOOP;
    return at.release();
}
