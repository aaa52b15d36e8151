#pragma once

#include <QByteArray>
#include <QList>

// The test binary itself defines syslog(), so every line the code under test
// writes to the system log lands here instead, formatted, in order.
namespace SyslogCapture {

struct Line
{
    int priority;
    QByteArray text;
};

QList<Line> lines();
void clear();

} // namespace SyslogCapture
