// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// The prefix against which descriptor targets are matched: the box path with
// its trailing slashes trimmed and one "/" appended. Empty for an empty path
// and for one made only of slashes, which would otherwise match everything.
QString format_boxPath(const QString &strPath);
