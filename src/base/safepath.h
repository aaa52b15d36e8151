// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>

// Path resolution for a process that runs as root on paths its users control.
// Everything here walks one component at a time with openat(O_NOFOLLOW) from
// a descriptor, as openat2() would with RESOLVE_* flags: a service manager
// may answer openat2() with ENOSYS (it cannot filter its mode, so
// RestrictSUIDSGID= refuses it), and then nothing that depends on it works.

// Opens `relative` below the directory dirFd: no symbolic link is followed
// (-ELOOP), no ".." taken and no absolute path accepted (-EXDEV), "." and
// doubled slashes skipped; what openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS)
// does. Each directory on the way is opened O_PATH; the last component with
// `flags` (O_NOFOLLOW and O_CLOEXEC are added; an O_PATH open of a link is
// refused as well). An empty `relative` opens dirFd itself again. The new
// descriptor, or -errno.
int openBeneathNoLinks(int dirFd, const QByteArray &relative, int flags);
