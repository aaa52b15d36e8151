// SPDX-License-Identifier: GPL-2.0-or-later
#include "statnode.h"

#include <cerrno>

int statNode(int dirFd, const char *name, int flags, struct statx &sx)
{
    return statx(dirFd, name, flags | AT_STATX_DONT_SYNC | AT_NO_AUTOMOUNT,
                 STATX_TYPE | STATX_INO | STATX_NLINK | STATX_MNT_ID, &sx)
                   == 0
               ? 0
               : -errno;
}
