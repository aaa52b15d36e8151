#include "syslogcapture.h"

#include <cstdarg>
#include <cstdio>

#include <syslog.h>

namespace {

QList<SyslogCapture::Line> &captured()
{
    static QList<SyslogCapture::Line> lines;
    return lines;
}

void capture(int priority, const char *format, va_list arguments)
{
    char text[8192];
    std::vsnprintf(text, sizeof text, format, arguments);
    captured().append({priority, QByteArray(text)});
}

} // namespace

extern "C" {

void syslog(int priority, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    capture(priority, format, arguments);
    va_end(arguments);
}

void vsyslog(int priority, const char *format, va_list arguments)
{
    capture(priority, format, arguments);
}

// What a fortified build calls instead of syslog().
void __syslog_chk(int priority, int, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    capture(priority, format, arguments);
    va_end(arguments);
}

} // extern "C"

namespace SyslogCapture {

QList<Line> lines()
{
    return captured();
}

QList<QByteArray> texts()
{
    QList<QByteArray> result;
    for (const Line &line : captured())
        result.append(line.text);
    return result;
}

void clear()
{
    captured().clear();
}

} // namespace SyslogCapture
