// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxrootdirectory.h"

#include "boxrootprobe.h"
#include "callguard.h"
#include "safepath.h"


#include <fcntl.h>
#include <sys/mount.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>

namespace {

// The ways QFileInfo::exists() would have said "no" for the box root.
bool meansAbsent(int error)
{
    return error == ENOENT || error == ENOTDIR || error == ELOOP || error == ENAMETOOLONG
        || error == EACCES;
}

BoxRootKind kindOfUnopenable(int parentFd, const char *name, int openError)
{
    if (openError == ENOENT)
        return BoxRootKind::Absent;
    if (openError != ELOOP && openError != ENOTDIR)
        return BoxRootKind::Unusable;

    struct stat own {};
    if (fstatat(parentFd, name, &own, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? BoxRootKind::Absent : BoxRootKind::Unusable;
    if (!S_ISLNK(own.st_mode))
        return BoxRootKind::Absent;
    // Only looked at, to keep "a broken link is no box root"; never entered.
    struct stat target {};
    if (fstatat(parentFd, name, &target, AT_NO_AUTOMOUNT) == 0 && S_ISDIR(target.st_mode))
        return BoxRootKind::LinkToDirectory;
    return BoxRootKind::Absent;
}

} // namespace

OpenedBoxRoot openBoxRoot(const QByteArray &path)
{
    OpenedBoxRoot root;
    if (path.isEmpty() || path.contains('\0')) {
        root.kind = BoxRootKind::Absent;
        return root;
    }
    QByteArray trimmed = path;
    while (trimmed.size() > 1 && trimmed.endsWith('/'))
        trimmed.chop(1);
    const int slash = trimmed.lastIndexOf('/');
    const QByteArray parentPath = slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : trimmed.left(slash);
    root.name = trimmed.mid(slash + 1);
    if (root.name.isEmpty() || root.name == "." || root.name == "..")
        return root; // Unusable: no single entry to remove

    root.parent.reset(open(parentPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.parent.isValid()) {
        root.kind = meansAbsent(errno) ? BoxRootKind::Absent : BoxRootKind::Unusable;
        return root;
    }
    root.box.reset(openat(root.parent.get(), root.name.constData(),
                          O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    root.kind = root.box.isValid()
        ? BoxRootKind::Directory
        : kindOfUnopenable(root.parent.get(), root.name.constData(), errno);
    return root;
}

OpenedBoxRoot openBoxRootWithin(const QByteArray &path)
{
    std::vector<std::optional<OpenedBoxRoot>> opened = lookUpEachWithin<OpenedBoxRoot>({path}, openBoxRoot);
    if (opened.front())
        return std::move(*opened.front());
    OpenedBoxRoot stalled;
    stalled.kind = BoxRootKind::Stalled;
    return stalled;
}

bool removeBoxRootEntry(const OpenedBoxRoot &root)
{
    const GuardedAct act(CallGuard::Act::Removal);
    if (!act) {
        errno = ECANCELED;
        return false;
    }
    struct stat opened {};
    struct stat now {};
    if (fstat(root.box.get(), &opened) != 0
        || fstatat(root.parent.get(), root.name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return false;
    if (opened.st_dev != now.st_dev || opened.st_ino != now.st_ino) {
        errno = ESTALE; // moved away meanwhile: what holds the name now is not ours to remove
        return false;
    }
    return unlinkat(root.parent.get(), root.name.constData(), AT_REMOVEDIR) == 0;
}

bool removeBoxRootLink(const OpenedBoxRoot &root)
{
    const GuardedAct act(CallGuard::Act::Removal);
    if (!act) {
        errno = ECANCELED;
        return false;
    }
    // Without AT_REMOVEDIR this can only ever remove a non-directory entry.
    return unlinkat(root.parent.get(), root.name.constData(), 0) == 0 || errno == ENOENT;
}

QByteArray pathThroughDescriptor(int dirFd, const QByteArray &name)
{
    return "/proc/self/fd/" + QByteArray::number(dirFd) + '/' + name;
}

QByteArray realPathOf(int dirFd)
{
    char target[PATH_MAX];
    const QByteArray link = "/proc/self/fd/" + QByteArray::number(dirFd);
    const ssize_t length = readlink(link.constData(), target, sizeof target);
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof target) || target[0] != '/')
        return QByteArray();
    return QByteArray(target, static_cast<int>(length));
}

int detachMountBelowBox(int boxFd, const QByteArray &relative)
{
    assert(!relative.isEmpty() && !relative.startsWith('/'));
    const int slash = relative.lastIndexOf('/');
    // The directory that holds the mount point, opened below the box root
    // without following any link: the box's owner may have swapped a
    // directory on the way for a link since the mount was made.
    const int opened = slash < 0 ? fcntl(boxFd, F_DUPFD_CLOEXEC, 0)
                                 : openBeneathNoLinks(boxFd, relative.left(slash), O_PATH | O_DIRECTORY);
    if (opened < 0)
        return slash < 0 ? errno : -opened;
    const OwnedFd holder(opened);
    const QByteArray pinned = pathThroughDescriptor(holder.get(), relative.mid(slash + 1));
    const GuardedAct act(CallGuard::Act::Unmount);
    if (!act)
        return ECANCELED;
    return umount2(pinned.constData(), MNT_FORCE | MNT_DETACH | UMOUNT_NOFOLLOW) == 0 ? 0 : errno;
}
