#include "boxdaemonbackupservice.h"

#include "buscaller.h"

#include <QFileInfo>
#include <QMutex>

#include <pwd.h>
#include <syslog.h>

QStringList BoxDaemonBackupService::get_allBoxRootEntriesInner()
{
    QStringList boxRoots;
    // The cursor is process-wide, and a wipe on a worker walks it while the
    // bus thread may answer a listing of the box roots.
    static QMutex cursor;
    const QMutexLocker locker(&cursor);
    setpwent();
    while (const struct passwd *entry = getpwent()) {
        const QString home = entry->pw_dir ? QString::fromUtf8(entry->pw_dir) : QString();
        const QString boxRoot = QStringLiteral("%1/.box").arg(home);
        const QFileInfo info(boxRoot);
        if (info.exists() && info.isDir())
            boxRoots.append(boxRoot);
    }
    endpwent();
    return boxRoots;
}

QStringList BoxDaemonBackupService::get_allBoxRootEntries()
{
    syslog(LOG_INFO, "%s[%d] called\n", "get_allBoxRootEntries", 121);
    BusCaller caller;
    if (!admitsCurrentCaller(caller))
        return {};
    return get_allBoxRootEntriesInner();
}
