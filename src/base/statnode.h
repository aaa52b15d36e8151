// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

// statx with cached attributes and no automount: a file system whose server
// stopped answering, or an automount point, never holds the caller here.
// flags adds to those (AT_SYMLINK_NOFOLLOW, AT_EMPTY_PATH). Asks for the
// type, inode, link count and mount id. 0, or -errno.
int statNode(int dirFd, const char *name, int flags, struct statx &sx);
