// SPDX-License-Identifier: GPL-2.0-or-later
#include "procstat.h"

#include "ownedfd.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

std::optional<ProcStat> parseProcStat(const char *text, std::size_t length)
{
    // The last ")" of the whole line: nothing after the name can hold one.
    const char *end = text + length;
    const char *close = nullptr;
    for (const char *at = text; at < end; ++at)
        if (*at == ')')
            close = at;
    if (!close || !std::memchr(text, '(', static_cast<std::size_t>(close - text)))
        return std::nullopt;
    ProcStat stat;
    const char *at = close + 1;
    // Fields 3 to 22 follow the name, each after one space.
    for (int field = 3; field <= 22; ++field) {
        if (at >= end || *at != ' ')
            return std::nullopt;
        ++at;
        const char *fieldEnd = at;
        while (fieldEnd < end && *fieldEnd != ' ' && *fieldEnd != '\n')
            ++fieldEnd;
        if (fieldEnd == at)
            return std::nullopt;
        if (field == 3) {
            if (fieldEnd - at != 1)
                return std::nullopt;
            stat.state = *at;
        } else if (field == 22) {
            unsigned long long ticks = 0;
            for (const char *digit = at; digit < fieldEnd; ++digit) {
                if (*digit < '0' || *digit > '9' || ticks > (~0ULL - 9) / 10)
                    return std::nullopt;
                ticks = ticks * 10 + static_cast<unsigned>(*digit - '0');
            }
            stat.startTicks = ticks;
        }
        at = fieldEnd;
    }
    return stat;
}

int procStatIn(int dirFd, ProcStat &stat, const char *path)
{
    const OwnedFd file(openat(dirFd, path, O_RDONLY | O_CLOEXEC));
    if (!file)
        return -errno;
    // A name is at most 64 bytes; the whole line fits with room to spare.
    char text[1024];
    ssize_t length = -1;
    do
        length = read(file.get(), text, sizeof text);
    while (length < 0 && errno == EINTR);
    if (length < 0)
        return -errno;
    if (length == 0)
        return -ESRCH; // a process that has gone shows an empty file
    const std::optional<ProcStat> parsed = parseProcStat(text, static_cast<std::size_t>(length));
    if (!parsed)
        return -EINVAL;
    stat = *parsed;
    return 0;
}
