#pragma once

#include <QByteArray>
#include <QString>

// Caller-supplied text made safe for one system-log line: control characters,
// DEL and backslashes become \xNN escapes, so one call is always one line.
// The result is only ever passed as a "%s" argument, never as a format.
QByteArray escapedForLog(const QByteArray &text);
QByteArray escapedForLog(const QString &text);
