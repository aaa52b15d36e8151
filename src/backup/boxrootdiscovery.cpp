// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxrootdiscovery.h"

#include "boxrootprobe.h"
#include "logsites.h"
#include "systemlog.h"

#include <QFile>
#include <QMutex>

#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>

namespace {

// Follows links: a ~/.box link to a directory is a box root.
bool isDirectory(const QByteArray &path)
{
    struct stat st = {};
    return stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

} // namespace

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
            // Decoded as every file name is, so encodeName below gives the bytes back.
            const QString home = entry->pw_dir ? QFile::decodeName(entry->pw_dir) : QString();
            candidates.append(QStringLiteral("%1/.box").arg(home));
        }
        endpwent();
    }
    std::vector<QByteArray> paths;
    paths.reserve(static_cast<size_t>(candidates.size()));
    for (const QString &candidate : candidates)
        paths.push_back(QFile::encodeName(candidate));
    // Each account's entry alone: one whose file system stopped answering
    // costs the others nothing, neither now nor in later calls.
    const std::vector<std::optional<bool>> judged = lookUpEachWithin<bool>(std::move(paths), isDirectory);
    QStringList boxRoots;
    for (int i = 0; i < candidates.size(); ++i) {
        const std::optional<bool> &directory = judged[static_cast<size_t>(i)];
        if (!directory) {
            syslog(LOG_INFO, LOG_DISCOVERY_LEFT_OUT, escapedForLog(candidates[i]).constData(),
                   boxRootProbeBoundMs());
        } else if (*directory) {
            boxRoots.append(candidates[i]);
        }
    }
    return boxRoots;
}
