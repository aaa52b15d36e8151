// SPDX-License-Identifier: GPL-2.0-or-later
// The mount table as the kernel prints it, parsed by libmount: any line a
// user's mount names or options can make.
#include "fuzztarget.h"
#include "mounttable.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    MountTable table;
    table.parse(bytesOf(data, size));
    for (const MountEntry &entry : table.entries()) {
        FUZZ_CHECK(table.byId(entry.id) != nullptr);
        const MountEntry *holder = table.containing(entry.mountPoint);
        FUZZ_CHECK(!entry.mountPoint.startsWith('/') || holder != nullptr);
        FUZZ_CHECK(!holder || isPathAtOrBelow(entry.mountPoint, holder->mountPoint));
    }
    return 0;
}
