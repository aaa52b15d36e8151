// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxrootdirectory.h"

#include "boxrootprobe.h"
#include "callguard.h"
#include "safepath.h"
#include "statnode.h"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <climits>

namespace {

// The errors (-errno) of an open that mean there is no box root there: nothing to wipe.
bool meansAbsent(int error)
{
    return error == -ENOENT || error == -ENOTDIR || error == -ELOOP || error == -ENAMETOOLONG
           || error == -EACCES;
}

// The kind of the entry opened O_PATH | O_NOFOLLOW: the entry itself, a link
// not followed, a mount on it entered (its type then from the kernel's cache).
// error: -errno when Unusable.
BoxRootKind kindOfEntry(int parentFd, const char *name, int entryFd, int &error)
{
    struct statx own = {};
    if (const int statted = statNode(entryFd, "", AT_EMPTY_PATH, own)) {
        error = statted;
        return BoxRootKind::Unusable;
    }
    if (S_ISDIR(own.stx_mode))
        return BoxRootKind::Directory;
    if (!S_ISLNK(own.stx_mode))
        return BoxRootKind::Absent;
    // Only looked at, to keep "a broken link is no box root"; never entered.
    struct stat target = {};
    if (fstatat(parentFd, name, &target, AT_NO_AUTOMOUNT) == 0 && S_ISDIR(target.st_mode))
        return BoxRootKind::LinkToDirectory;
    return BoxRootKind::Absent;
}

// Stacked mounts on one box root detached before the wipe gives up: each
// detach takes the topmost, and a user who keeps mounting there (a FUSE
// mount of their own) must not keep the worker looping.
constexpr int kMostMountsOnBoxRoot = 64;

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
    const QByteArray parentPath = slash < 0    ? QByteArray(".")
                                  : slash == 0 ? QByteArray("/")
                                               : trimmed.left(slash);
    root.name = trimmed.mid(slash + 1);
    if (root.name.isEmpty() || root.name == "." || root.name == "..") {
        root.error = -EINVAL; // Unusable: no single entry to remove
        return root;
    }

    root.parent.reset(open(parentPath.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.parent.isValid()) {
        root.error = -errno;
        root.kind = meansAbsent(root.error) ? BoxRootKind::Absent : BoxRootKind::Unusable;
        return root;
    }
    // O_PATH asks the file system mounted on the box root nothing (a FUSE
    // server may never answer); the directory is opened for reading only once
    // every mount on it is gone (openUnderMountsOnIt).
    root.box.reset(openat(root.parent.get(), root.name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!root.box.isValid()) {
        root.error = -errno;
        root.kind =
            root.error == -ENOENT || root.error == -ENOTDIR ? BoxRootKind::Absent : BoxRootKind::Unusable;
        return root;
    }
    root.kind = kindOfEntry(root.parent.get(), root.name.constData(), root.box.get(), root.error);
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

int removeBoxRootEntry(const OpenedBoxRoot &root)
{
    const GuardedAct act(CallGuard::Act::Removal);
    if (!act)
        return -ECANCELED;
    struct stat opened = {};
    struct stat now = {};
    if (fstat(root.box.get(), &opened) != 0
        || fstatat(root.parent.get(), root.name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0)
        return -errno;
    if (opened.st_dev != now.st_dev || opened.st_ino != now.st_ino)
        return -ESTALE; // moved away meanwhile: what holds the name now is not ours to remove
    return unlinkat(root.parent.get(), root.name.constData(), AT_REMOVEDIR) == 0 ? 0 : -errno;
}

int removeBoxRootLink(const OpenedBoxRoot &root)
{
    const GuardedAct act(CallGuard::Act::Removal);
    if (!act)
        return -ECANCELED;
    // Without AT_REMOVEDIR this can only ever remove a non-directory entry.
    return unlinkat(root.parent.get(), root.name.constData(), 0) == 0 || errno == ENOENT ? 0 : -errno;
}

QByteArray pathThroughDescriptor(int dirFd, const QByteArray &name)
{
    return "/proc/self/fd/" + QByteArray::number(dirFd) + '/' + name;
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
        return slash < 0 ? -errno : opened;
    const OwnedFd holder(opened);
    const QByteArray pinned = pathThroughDescriptor(holder.get(), relative.mid(slash + 1));
    const GuardedAct act(CallGuard::Act::Unmount);
    if (!act)
        return -ECANCELED;
    return umount2(pinned.constData(), MNT_FORCE | MNT_DETACH | UMOUNT_NOFOLLOW) == 0 ? 0 : -errno;
}

BoxRootUnderMounts openUnderMountsOnIt(OpenedBoxRoot &root)
{
    BoxRootUnderMounts result;
    struct statx parent = {};
    if (const int statted = statNode(root.parent.get(), "", AT_EMPTY_PATH, parent)) {
        result.error = statted;
        return result;
    }
    // Without mount ids a bind mount from the parent's own file system could
    // not be told apart: nothing is removed then.
    if (!(parent.stx_mask & STATX_MNT_ID)) {
        result.error = -EOPNOTSUPP;
        return result;
    }
    const QByteArray pinned = pathThroughDescriptor(root.parent.get(), root.name);
    for (;;) {
        // The name is looked up in the parent and the mounts on it entered,
        // but nothing is asked of the file system mounted there.
        struct statx entry = {};
        if (const int statted =
                statNode(root.parent.get(), root.name.constData(), AT_SYMLINK_NOFOLLOW, entry)) {
            result.error = statted;
            return result;
        }
        if (entry.stx_mnt_id == parent.stx_mnt_id)
            break;
        if (result.detached == kMostMountsOnBoxRoot) {
            result.error = -EBUSY;
            return result;
        }
        // Not forced: that would abort a FUSE file system's every mount,
        // outside the box too, and a detach never waits for its server.
        const GuardedAct act(CallGuard::Act::Unmount);
        if (!act) {
            result.error = -ECANCELED;
            return result;
        }
        if (umount2(pinned.constData(), MNT_DETACH | UMOUNT_NOFOLLOW) != 0) {
            result.error = -errno;
            result.unmountFailed = true;
            return result;
        }
        ++result.detached;
    }
    OwnedFd box(
        openat(root.parent.get(), root.name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct statx opened = {};
    if (const int error = box.isValid() ? statNode(box.get(), "", AT_EMPTY_PATH, opened) : -errno) {
        result.error = error;
        return result;
    }
    if (opened.stx_mnt_id != parent.stx_mnt_id) {
        result.error = -EBUSY; // mounted on again meanwhile
        return result;
    }
    root.box = std::move(box);
    return result;
}
