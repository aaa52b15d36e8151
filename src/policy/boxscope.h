#pragma once

#include "account.h"

#include <QString>
#include <QStringList>

// The box path without its trailing slashes ("/home/u/.box///" gives
// "/home/u/.box"). A path made only of slashes gives the empty string: it
// names no box, and the daemon refuses it as it refuses the empty path.
QString withoutTrailingSlashes(const QString &strPath);

// Whether the box path (trailing slashes trimmed) names one of the box roots
// or lies below it, compared as text. Text is enough: the scans match the
// path as a prefix of the kernel's resolved descriptor targets, so a path that
// climbs out with ".." or passes a link matches nothing outside the root.
bool isPathInsideBoxRoots(const QString &strBoxPath, const QStringList &boxRoots);

// The names the account's box root goes by: the text from the password
// database and, when it differs and leads to a directory the account owns,
// the same with its symbolic links resolved. Ownership is asked because the
// account itself may point ".box" at any directory, such as /home.
QStringList boxRootNamesOf(const CallerAccount &account);

// Whether a caller is served for the box path: the superuser for any path,
// any other account only inside its own box root, an unknown caller never.
bool isCallerServedForPath(const CallerAccount &account, const QString &strBoxPath);
