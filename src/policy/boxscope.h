// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "account.h"
#include "pathtext.h"

#include <QString>
#include <QStringList>

#include <optional>


// The box path as the file system resolves it for the calling thread's
// file-system identity: links, ".", ".." and doubled slashes resolved, the
// part that does not exist (yet) cleaned as text, trailing slashes trimmed.
// A path that is not absolute comes back trimmed only (it names no box), the
// empty path empty. Nothing when it cannot be resolved for another reason
// than a missing entry (a directory the identity may not search, a loop).
// Every rule about a box path is applied to this form, and the scans work on
// it: a linked home is judged where it leads, and ".." cannot climb out of
// a box unnoticed.
std::optional<QString> resolvedBoxPath(const QString &boxPath);

// Whether the box path (trailing slashes trimmed) names one of the box roots
// or lies below it, compared as text: give it resolved paths.
bool isPathInsideBoxRoots(const QString &boxPath, const QStringList &boxRoots);

// The names the account's box root goes by: the text from the password
// database and, when it differs and leads to a directory the account owns,
// the same with its symbolic links resolved. Ownership is asked because the
// account itself may point ".box" at any directory, such as /home.
QStringList boxRootNamesOf(const CallerAccount &account);

// The box path, resolved, when the caller is served for it: the superuser for
// any path, any other account only inside its own box root, an unknown caller
// never. Resolves with the calling thread's file-system identity: the daemon
// takes on the caller's before asking, so no link of a user's is ever
// followed as root.
std::optional<QString> servedBoxPathOf(const CallerAccount &account, const QString &boxPath);
bool isCallerServedForPath(const CallerAccount &account, const QString &boxPath);
