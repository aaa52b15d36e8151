// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/types.h>

// Caller-supplied text made safe for one system-log line: control characters,
// DEL and backslashes become \xNN escapes, so one call is always one line.
// The result is only ever passed as a "%s" argument, never as a format.
// Text longer than kLoggedTextBytes is cut there and the line says how long it
// was: a line the log socket cannot take (over some 200 KiB) would be dropped,
// and a refusal must always leave its line.
constexpr int kLoggedTextBytes = 4096;
QByteArray escapedForLog(const QByteArray &text);
QByteArray escapedForLog(const QString &text);

// A caller's uid as every log line names it: "unknown" when the bus daemon
// could not report it.
QByteArray uidForLog(bool uidKnown, uid_t uid);
