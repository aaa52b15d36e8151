// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "account.h"
#include "pathtext.h"
#include "safepath.h"

#include <QByteArray>
#include <QList>

#include <QString>

#include <optional>

// The box path as the file system resolves it for the calling thread's
// file-system identity, safely (resolveSafely: no user's link leads anyone
// to another user's files or to root's): links, ".", ".." and doubled
// slashes resolved, the part that does not exist (yet) cleaned as text,
// trailing slashes trimmed. A path that is not absolute comes back trimmed
// only (it names no box). Every rule about a box path is applied to this
// form, and the scans work on it: a linked home is judged where it leads,
// and ".." cannot climb out of a box unnoticed.
SafeResolution resolvedBoxPath(const QString &boxPath);

// Whether the box path (trailing slashes trimmed) names one of the box roots
// or lies below it, compared as text: give it resolved paths.
bool isPathInsideBoxRoots(const QByteArray &boxPath, const QList<QByteArray> &boxRoots);

// The names the account's box root goes by: the text from the password
// database and, when it differs and leads safely to a directory the account
// owns, where it leads. Ownership is asked because the account itself may
// point ".box" at any directory, such as /home.
QList<QByteArray> boxRootNamesOf(const CallerAccount &account);

// What the rules make of a box path for a caller.
struct ServedBoxPath
{
    enum Verdict {
        Served,     // path: the resolved box path, to act on
        OutsideBox, // not the caller's own box, or an unknown caller
        Unsafe,     // its resolution met an unsafe transition at refusedAt
        Unresolved, // its resolution failed
    };
    Verdict verdict = Unresolved;
    QByteArray path;
    QByteArray refusedAt;
};

// The superuser is served for any path, any other account only inside its
// own box root, an unknown caller never; every path is resolved safely
// first, for the superuser too. Resolves with the calling thread's
// file-system identity: the daemon takes on the caller's before asking.
ServedBoxPath servedBoxPathOf(const CallerAccount &account, const QString &boxPath);
