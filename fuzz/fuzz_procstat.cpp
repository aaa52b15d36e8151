// SPDX-License-Identifier: GPL-2.0-or-later
// A /proc/PID/stat line whose name a process chose: any bytes, ")" and
// spaces included. The input is tried as a whole line, and as the name in an
// otherwise true line, whose state and start time must come out unchanged.
#include "fuzztarget.h"
#include "procstat.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray bytes = bytesOf(data, size);
    parseProcStat(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    const QByteArray line = "4711 (" + bytes.left(64)
                            + ") t 1 4711 4711 0 -1 4194560 107 0 0 0 0 0 0 0 20 0 1 0 123456789 2433024 176 "
                              "18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n";
    const std::optional<ProcStat> stat =
        parseProcStat(line.constData(), static_cast<std::size_t>(line.size()));
    FUZZ_CHECK(stat && stat->state == 't' && stat->startTicks == 123456789ULL);
    return 0;
}
