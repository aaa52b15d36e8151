// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxrootwipe.h"

#include "boxrootdirectory.h"
#include "boxrootprobe.h"
#include "callguard.h"
#include "logsites.h"
#include "mounttable.h"
#include "processkill.h"
#include "systemlog.h"
#include "treeremoval.h"

#include <QDebug>
#include <QFile>

#include <fcntl.h>
#include <syslog.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>

namespace {

// The box root, or something below it, could not be removed. The line keeps
// its fixed text, which the backup tool's operators may match, though it
// names removeRecursively, which the wipe no longer calls; the reason (error,
// -errno: -EBUSY for a mount left below; -EACCES, -EROFS, ...) follows on the
// debug stream, which the journal keeps beside it.
void logRemovalFailed(const QString &boxRoot, int error)
{
    syslog(LOG_INFO, LOG_WIPE_REMOVAL_FAILED, escapedForLog(boxRoot).constData());
    qDebug().noquote() << "removing the box root failed:" << escapedForLog(boxRoot) << "-"
                       << (error != 0 ? std::strerror(-error) : "the box root changed meanwhile");
}

// Every mount below the box root, found in the daemon's mount table rather
// than by looking at the mount points: one whose file system refuses the
// daemon or whose server has died (ENOTCONN) goes as well. Only the topmost
// are detached; MNT_DETACH takes what is mounted below them along, and no
// lookup ever enters a mount that might stall.
void detachMountsBelow(int boxFd, const QByteArray &realBox, const MountTable &table, const QString &boxRoot)
{
    const auto isBelowBox = [&realBox](const QByteArray &path) {
        return path != realBox && isPathAtOrBelow(path, realBox);
    };
    for (const MountEntry &mount : table.entries()) {
        if (currentCallStopped())
            return;
        const MountEntry *parent = table.byId(mount.parentId);
        if (!isBelowBox(mount.mountPoint) || (parent && parent != &mount && isBelowBox(parent->mountPoint)))
            continue;
        const QByteArray relative = pathBelow(mount.mountPoint, realBox);
        const int error = detachMountBelowBox(boxFd, relative);
        // -EINVAL: already gone with a mount detached before it.
        if (error != 0 && error != -EINVAL) {
            syslog(LOG_INFO, LOG_WIPE_UNMOUNT_FAILED,
                   escapedForLog(boxRoot + QLatin1Char('/') + QFile::decodeName(relative)).constData(),
                   std::strerror(-error));
        }
    }
}

} // namespace

int wipeBoxRoot(const QString &boxRoot, int callerPid)
{
    OpenedBoxRoot root = openBoxRootWithin(QFile::encodeName(boxRoot));
    switch (root.kind) {
    case BoxRootKind::Stalled:
        // Its file system stopped answering: nothing is touched, now or later.
        syslog(LOG_INFO, LOG_WIPE_LEFT_ALONE, escapedForLog(boxRoot).constData(), boxRootProbeBoundMs());
        return -1;
    case BoxRootKind::Absent:
        syslog(LOG_INFO, LOG_WIPE_INVALID_ENTRY, escapedForLog(boxRoot).constData());
        return 0;
    case BoxRootKind::LinkToDirectory: {
        // Nothing below a link is the box: no scan, no unmount, only the link goes.
        const int removed = removeBoxRootLink(root);
        if (removed == 0)
            return 0;
        logRemovalFailed(boxRoot, removed);
        return -1;
    }
    case BoxRootKind::Unusable:
        // Its reason comes with it: the look-up ran on a thread of its own.
        logRemovalFailed(boxRoot, root.error);
        return -1;
    case BoxRootKind::Directory:
        break;
    }

    // Descriptor targets name the box as the kernel resolves it (a home
    // reached through a link, a home written with a double slash), so its
    // holders are looked for under that name, and the scan's anchors are
    // opened from the box root's own descriptor, never by that name again.
    std::optional<BoxPath> box = BoxPath::ofOpenDirectory(root.box.get());
    if (!box)
        box = BoxPath::of(QFile::encodeName(boxRoot)); // a name the kernel cannot print: as given
    if (!box) {
        logRemovalFailed(boxRoot, -EINVAL);
        return -1;
    }
    // One scan for the whole box root: the holders of anything below it,
    // hidden entries and files in the root itself included. A holder that
    // could not be judged or ended may live on: the wipe then answers -1
    // even when the removal succeeds.
    // One read of the mount table serves the scan and the detaching.
    MountTable mounts;
    const bool mountsRead = mounts.read(AT_FDCWD, "/proc/self/mountinfo") == 0;
    const bool holdersEnded = mountsRead && endHoldersBelow(*box, mounts, callerPid, std::nullopt) == 0;
    if (!holdersEnded)
        syslog(LOG_INFO, LOG_WIPE_HOLDERS_LEFT, escapedForLog(boxRoot).constData());
    if (currentCallStopped())
        return -1; // answered: nothing more is touched

    // A mount on the box root itself (a bind of a directory outside every
    // box, a user's FUSE mount) goes like those below it, before anything is
    // removed: what is removed is only what lies beneath, on the parent's mount.
    const BoxRootUnderMounts under = openUnderMountsOnIt(root);
    if (under.error != 0) {
        if (under.unmountFailed)
            syslog(LOG_INFO, LOG_WIPE_UNMOUNT_FAILED, escapedForLog(boxRoot).constData(),
                   std::strerror(-under.error));
        else
            logRemovalFailed(boxRoot, under.error);
        return -1;
    }
    // Those detached took what was mounted on them along: the table is read again.
    const bool belowRead =
        under.detached == 0 ? mountsRead : mounts.read(AT_FDCWD, "/proc/self/mountinfo") == 0;
    if (belowRead)
        detachMountsBelow(root.box.get(), box->bytes(), mounts, boxRoot);

    // A mount still below (hidden, or its unmount failed) is left whole, and
    // then the box root cannot go either.
    const TreeRemoval removal = removeDirectoryContents(root.box.get());
    const int error = removal ? removeBoxRootEntry(root) : removal.firstError;
    if (removal && error == 0)
        return holdersEnded ? 0 : -1;
    logRemovalFailed(boxRoot, error);
    return -1;
}

void wipeEachBoxRoot(const QStringList &boxRoots, const std::function<void(const QString &)> &wipeOne)
{
    std::atomic<int> next{0};
    const auto takeInTurn = [&] {
        for (int i = next++; i < boxRoots.size(); i = next++) {
            if (currentCallStopped())
                return; // answered: no other box root is even scanned
            wipeOne(boxRoots[i]);
        }
    };
    CallGuard *const guard = CallGuard::current();
    std::thread beside;
    try {
        // Inherits the worker's scheduling: a batch thread too.
        beside = std::thread([&] {
            std::optional<CallGuard::Scope> acts;
            if (guard)
                acts.emplace(*guard);
            takeInTurn();
        });
    } catch (const std::system_error &) {
        // No second thread to be had: this one takes every box root.
    }
    takeInTurn();
    if (beside.joinable())
        beside.join();
}
