#include "boxdaemonbackupservice.h"

#include "boxrootdirectory.h"
#include "boxusername.h"
#include "buscaller.h"
#include "processkill.h"
#include "systemlog.h"
#include "treeremoval.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
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

// The mount check reads the entry by path; one that was swapped for a link
// since the listing is not looked at through that link.
bool isStillDirectory(int boxFd, const QByteArray &name)
{
    struct stat status {};
    return fstatat(boxFd, name.constData(), &status, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISDIR(status.st_mode);
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
    for (const QByteArray &name : visibleSubdirectories(root.box.get())) {
        const QString path = QFileInfo(boxDir, QFile::decodeName(name)).absoluteFilePath();
        const QString holdersBelow =
            realBox.isEmpty() ? path : QFile::decodeName(realBox + '/' + name);
        if (kill_allProcessByPath(holdersBelow, nCallerPid) != 0)
            syslog(LOG_INFO, "%s[%d] kill_allProcessByPath failed: %s\n", "format_boxRootEntry", 171,
                   escapedForLog(path).constData());

        // Checked and detached through the pinned box root, never by the path
        // text again; UMOUNT_NOFOLLOW leaves a link swapped in meanwhile alone.
        const QByteArray pinned = pathThroughDescriptor(root.box.get(), name);
        if (isStillDirectory(root.box.get(), name) && check_boxMountStatus(pinned.constData())
            && umount2(pinned.constData(), MNT_FORCE | MNT_DETACH | UMOUNT_NOFOLLOW) < 0) {
            const int error = errno;
            syslog(LOG_INFO, "%s[%d] umount2 failed: %s, error = %s\n", "format_boxRootEntry", 176,
                   escapedForLog(path).constData(), std::strerror(error));
        }
    }

    // A mount still below (hidden, or its unmount failed) is left whole, and
    // then the box root cannot go either.
    if (removeDirectoryContents(root.box.get()) && removeBoxRootEntry(root))
        return 0;
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
