// SPDX-License-Identifier: GPL-2.0-or-later
#include "capabilities.h"

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

bool hasEffectiveCapability(int capability)
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (capability < 0 || capability >= 32 * _LINUX_CAPABILITY_U32S_3
        || syscall(SYS_capget, &header, data) != 0)
        return false;
    return (data[capability / 32].effective & (1u << (capability % 32))) != 0;
}
