// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// True when the name can stand for exactly one directory below /home: not
// empty, not "." or "..", and without a "/" or a NUL.
bool namesSingleDirectory(const QString &strUserName);
