// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

// Whether the bytes decode as UTF-8 to text that encodes back to the same
// bytes: well-formed (no overlong forms, no surrogates, nothing past
// U+10FFFF) and not beginning with a byte order mark, which decoding drops.
bool isWellFormedUtf8(const char *bytes, int length);

// The bytes as text, each byte that is not part of a well-formed sequence
// shown as U+FFFD (a leading byte order mark is kept as a character).
QString textWithReplacements(const QByteArray &bytes);
