// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QString>

// The box path without its trailing slashes ("/home/u/.box///" gives
// "/home/u/.box"). A path made only of slashes gives the empty string: it
// names no box, and the daemon refuses it as it refuses the empty path.
QString withoutTrailingSlashes(const QString &path);
