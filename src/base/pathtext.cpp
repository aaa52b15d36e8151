// SPDX-License-Identifier: GPL-2.0-or-later
#include "pathtext.h"

#include <cassert>
#include <cstdarg>
#include <cstdio>

QString withoutTrailingSlashes(const QString &path)
{
    int length = path.size();
    while (length > 0 && path.at(length - 1) == QLatin1Char('/'))
        --length;
    return path.left(length);
}

QByteArray withoutTrailingSlashes(const QByteArray &path)
{
    int length = path.size();
    while (length > 0 && path.at(length - 1) == '/')
        --length;
    return path.left(length);
}

void formatFitting(char *buffer, std::size_t size, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    const int length = std::vsnprintf(buffer, size, format, arguments);
    va_end(arguments);
    assert(length >= 0 && static_cast<std::size_t>(length) < size);
    (void)length;
}
