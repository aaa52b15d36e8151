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

} // namespace

extern "C" {

void vsyslog(int priority, const char *format, va_list arguments)
{
    char text[8192];
    std::vsnprintf(text, sizeof text, format, arguments);
    captured().append({priority, QByteArray(text)});
}

void syslog(int priority, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vsyslog(priority, format, arguments);
    va_end(arguments);
}

// What a fortified build calls instead of syslog().
void __syslog_chk(int priority, int, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    vsyslog(priority, format, arguments);
    va_end(arguments);
}

} // extern "C"

QList<SyslogCapture::Line> SyslogCapture::lines()
{
    return captured();
}

void SyslogCapture::clear()
{
    captured().clear();
}
