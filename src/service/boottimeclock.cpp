// SPDX-License-Identifier: GPL-2.0-or-later
#include "boottimeclock.h"

#include <time.h>

namespace {

std::function<qint64()> &replacedSource()
{
    static std::function<qint64()> source;
    return source;
}

} // namespace

qint64 bootTimeNanoseconds()
{
    if (const auto &source = replacedSource())
        return source();
    struct timespec now = {};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void setBootTimeSource(std::function<qint64()> source)
{
    replacedSource() = std::move(source);
}
