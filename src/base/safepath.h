// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>
#include <QList>

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

// Where an absolute path leads, resolved one component at a time with every
// transition checked, as a privileged program must resolve a path a user may
// control. A directory is entered, and a link followed, only on a safe
// transition: from something root owns to anything; from something a user
// owns only to what the same user owns. A user's link may pass through
// root's directories on its way (an absolute link starts at "/"), but the
// entry it finally names, and everything below it, must be that user's own.
// So no user can point root, or anyone, at another user's files or at
// root's: each step runs with the calling thread's file-system identity.
// "." and ".." are taken as the kernel would (".." of a link's target
// climbs from where the link led). The part that does not exist (yet) is
// cleaned as text. Links are followed at most 40 times (-ELOOP).
struct SafeResolution
{
    int error = 0;        // 0, or -errno: -ENOLINK for an unsafe transition
    QByteArray path;      // with error 0: the canonical path, no trailing "/"
    QByteArray refusedAt; // with -ENOLINK: the entry that may not be entered or followed
};
SafeResolution resolveSafely(const QByteArray &path);

// base (canonical: "" for "/", else no trailing "/") with names appended as
// the kernel resolves them where no link can lie: empty names and "."
// skipped, ".." taking the last component off, never above "/".
QByteArray joinedAsText(const QByteArray &base, const QList<QByteArray> &names);
