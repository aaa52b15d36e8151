#include "boxrootwipe.h"

#include "boxrootdirectory.h"
#include "boxrootprobe.h"
#include "mounttable.h"
#include "processkill.h"
#include "systemlog.h"
#include "treeremoval.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

namespace {

void logRemovalFailed(const QString &boxRoot)
{
    syslog(LOG_INFO, "%s[%d] removeRecursively failed: %s\n", "format_boxRootEntry", 185,
           escapedForLog(boxRoot).constData());
}

// Every mount below the box root, found in the daemon's mount table rather
// than by looking at the mount points: one whose file system refuses the
// daemon or whose server has died (ENOTCONN) goes as well. Only the topmost
// are detached; MNT_DETACH takes what is mounted below them along, and no
// lookup ever enters a mount that might stall.
void detachMountsBelow(int boxFd, const QByteArray &realBox, const QString &boxRoot)
{
    MountTable table;
    if (realBox.isEmpty() || !table.read(AT_FDCWD, "/proc/self/mountinfo"))
        return;
    const auto isBelowBox = [&realBox](const QByteArray &path) {
        return path != realBox && isPathAtOrBelow(path, realBox);
    };
    for (const MountEntry &mount : table.entries()) {
        const MountEntry *parent = table.byId(mount.parentId);
        if (!isBelowBox(mount.mountPoint) || (parent && parent != &mount && isBelowBox(parent->mountPoint)))
            continue;
        const QByteArray relative = pathBelow(mount.mountPoint, realBox);
        const int error = detachMountBelowBox(boxFd, relative);
        // EINVAL: already gone with a mount detached before it.
        if (error != 0 && error != EINVAL) {
            syslog(LOG_INFO, "%s[%d] umount2 failed: %s, error = %s\n", "format_boxRootEntry", 176,
                   escapedForLog(boxRoot + QLatin1Char('/') + QFile::decodeName(relative)).constData(),
                   std::strerror(error));
        }
    }
}

} // namespace

int wipeBoxRoot(const QString &boxRoot, int nCallerPid)
{
    const OpenedBoxRoot root = openBoxRootWithin(QFile::encodeName(boxRoot));
    switch (root.kind) {
    case BoxRootKind::Stalled:
        // Its file system stopped answering: nothing is touched, now or later.
        syslog(LOG_INFO, "%s[%d] left alone: %s did not answer within %d ms\n", "format_boxRootEntry", 322,
               escapedForLog(boxRoot).constData(), boxRootProbeBoundMs());
        return -1;
    case BoxRootKind::Absent:
        syslog(LOG_INFO, "%s[%d] invalid entry: %s\n", "format_boxRootEntry", 151,
               escapedForLog(boxRoot).constData());
        return 0;
    case BoxRootKind::LinkToDirectory:
        // Nothing below a link is the box: no scan, no unmount, only the link goes.
        if (removeBoxRootLink(root))
            return 0;
        logRemovalFailed(boxRoot);
        return -1;
    case BoxRootKind::Unusable:
        logRemovalFailed(boxRoot);
        return -1;
    case BoxRootKind::Directory:
        break;
    }

    const QDir boxDir(boxRoot);
    // Descriptor targets name the box as the kernel resolves it (a home
    // reached through a link, a home written with a double slash), so its
    // processes are looked for under that name.
    const QByteArray realBox = realPathOf(root.box.get());
    bool holdersMayLive = false;
    for (const QByteArray &name : visibleSubdirectories(root.box.get())) {
        const QString path = QFileInfo(boxDir, QFile::decodeName(name)).absoluteFilePath();
        const QString holdersBelow =
            realBox.isEmpty() ? path : QFile::decodeName(realBox + '/' + name);
        // A holder that could not be judged may live on: the wipe then
        // answers -1 even when the removal succeeds.
        if (kill_allProcessByPath(holdersBelow, nCallerPid) != 0) {
            holdersMayLive = true;
            syslog(LOG_INFO, "%s[%d] kill_allProcessByPath failed: %s\n", "format_boxRootEntry", 171,
                   escapedForLog(path).constData());
        }
    }
    detachMountsBelow(root.box.get(), realBox, boxRoot);

    // A mount still below (hidden, or its unmount failed) is left whole, and
    // then the box root cannot go either.
    if (removeDirectoryContents(root.box.get()) && removeBoxRootEntry(root))
        return holdersMayLive ? -1 : 0;
    logRemovalFailed(boxRoot);
    return -1;
}
