#include "boxdaemonbackupservice.h"

#include "boxrootdirectory.h"
#include "boxusername.h"
#include "mounttable.h"
#include "buscaller.h"
#include "processkill.h"
#include "systemlog.h"
#include "treeremoval.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <syslog.h>

#include <cerrno>
#include <cstring>

namespace {

void logRemovalFailed(const QString &boxRoot)
{
    syslog(LOG_INFO, "%s[%d] removeRecursively failed: %s\n", "format_boxRootEntry", 185,
           escapedForLog(boxRoot).constData());
}

// The directory that holds a mount point, opened below the box root without
// following any link: the box's owner may have swapped a directory on the
// way for a link since the mount was made.
OwnedFd openBelowBox(int boxFd, const QByteArray &relative)
{
    if (relative.isEmpty())
        return OwnedFd(fcntl(boxFd, F_DUPFD_CLOEXEC, 0));
    struct open_how how {};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_BENEATH;
    return OwnedFd(static_cast<int>(syscall(SYS_openat2, boxFd, relative.constData(), &how, sizeof how)));
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
        const int slash = relative.lastIndexOf('/');
        const OwnedFd holder = openBelowBox(boxFd, slash < 0 ? QByteArray() : relative.left(slash));
        const QByteArray pinned = pathThroughDescriptor(holder.get(), relative.mid(slash + 1));
        if (!holder || umount2(pinned.constData(), MNT_FORCE | MNT_DETACH | UMOUNT_NOFOLLOW) < 0) {
            const int error = errno;
            // Already gone with a mount detached before it.
            if (error == EINVAL)
                continue;
            syslog(LOG_INFO, "%s[%d] umount2 failed: %s, error = %s\n", "format_boxRootEntry", 176,
                   escapedForLog(boxRoot + QLatin1Char('/') + QFile::decodeName(relative)).constData(),
                   std::strerror(error));
        }
    }
}

} // namespace

int BoxDaemonBackupService::format_boxRootEntry(const QString &boxRoot, int nCallerPid)
{
    const OpenedBoxRoot root = openBoxRoot(QFile::encodeName(boxRoot));
    switch (root.kind) {
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

int BoxDaemonBackupService::format_allBoxRootEntries()
{
    BusCaller caller;
    if (!admitsCurrentCaller(caller))
        return -1;
    // The caller is admitted on the bus thread; the wipe itself runs on a worker.
    auto wipeAll = [this, caller] {
        const QStringList boxRoots = get_allBoxRootEntriesInner();
        if (boxRoots.isEmpty()) {
            syslog(LOG_INFO, "%s[%d] BoxRootEntries is empty\n", "format_allBoxRootEntries", 203);
            return 0;
        }
        for (const QString &boxRoot : boxRoots)
            format_boxRootEntry(boxRoot, caller.pid);
        return 0;
    };
    wipeOffTheBusThread(caller, "format_allBoxRootEntries", wipeAll);
    return -1;
}

int BoxDaemonBackupService::format_boxRootEntries(const QString &strUserName)
{
    syslog(LOG_INFO, "%s[%d] called: strUserName = %s\n", "format_boxRootEntries", 219,
           escapedForLog(strUserName).constData());
    BusCaller caller;
    if (!admitsCurrentCaller(caller))
        return -1;
    // After the caller check, so a refused caller's lines stay exactly those
    // of any other refusal and tell it nothing about the name.
    if (!namesSingleDirectory(strUserName)) {
        syslog(LOG_INFO, "%s[%d] refused: strUserName = %s names no single directory\n",
               "format_boxRootEntries", 226, escapedForLog(strUserName).constData());
        return -1;
    }
    const QString boxRoot = strUserName == QLatin1String("root")
        ? QStringLiteral("/root/.box")
        : QStringLiteral("/home/%1/.box").arg(strUserName);
    wipeOffTheBusThread(caller, "format_boxRootEntries",
                        [this, boxRoot, caller] { return format_boxRootEntry(boxRoot, caller.pid); });
    return -1;
}
