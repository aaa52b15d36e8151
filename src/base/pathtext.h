// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

// The box path without its trailing slashes ("/home/u/.box///" gives
// "/home/u/.box"). A path made only of slashes gives the empty string: it
// names no box, and the daemon refuses it as it refuses the empty path.
QString withoutTrailingSlashes(const QString &path);
QByteArray withoutTrailingSlashes(const QByteArray &path);

// snprintf into a buffer the text always fits: a path below /proc made of
// numbers and of names /proc itself gives (at most 16 bytes each). A cut
// would be a fault of the caller's sizes, asserted.
void formatFitting(char *buffer, std::size_t size, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
