#include "boxrootdiscovery.h"

#include <QFileInfo>
#include <QMutex>

#include <pwd.h>

QStringList boxRootsOfAllAccounts()
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
