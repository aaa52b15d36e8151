// SPDX-License-Identifier: GPL-2.0-or-later
#include "descriptorlimit.h"

#include <sys/resource.h>

namespace {

bool raiseSoftToHard()
{
    struct rlimit limit = {};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max)
        return false;
    limit.rlim_cur = limit.rlim_max;
    return setrlimit(RLIMIT_NOFILE, &limit) == 0;
}

} // namespace

void raiseDescriptorLimit()
{
    static const bool raised = raiseSoftToHard();
    static_cast<void>(raised);
}
