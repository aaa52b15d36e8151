#include "boxrootdiscovery.h"

#include <QFileInfo>
#include <QMutex>

#include <pwd.h>

QStringList boxRootsOfAllAccounts()
{
    QStringList candidates;
    {
        // The cursor is process-wide and two workers may walk it at once. It is
        // let go before any box root is tested: a test that hangs in a file
        // system must not keep every later walk waiting for the cursor.
        static QMutex cursor;
        const QMutexLocker locker(&cursor);
        setpwent();
        while (const struct passwd *entry = getpwent()) {
            const QString home = entry->pw_dir ? QString::fromUtf8(entry->pw_dir) : QString();
            candidates.append(QStringLiteral("%1/.box").arg(home));
        }
        endpwent();
    }
    QStringList boxRoots;
    for (const QString &boxRoot : candidates) {
        const QFileInfo info(boxRoot);
        if (info.exists() && info.isDir())
            boxRoots.append(boxRoot);
    }
    return boxRoots;
}
