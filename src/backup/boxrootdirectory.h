// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "ownedfd.h"

#include <QByteArray>

#include <vector>

enum class BoxRootKind {
    Absent,          // missing, or no directory (a broken link, a link to a file, a file)
    LinkToDirectory, // a symbolic link: removed as a link, its target never touched
    Directory,       // a real directory (or a mount on the entry), open O_PATH in `box`
    Unusable,        // names no single entry ("/", "..") or could not be opened: see error
    Stalled,         // its opening did not answer in time: nothing was opened
};

// A box root opened once, so that nothing after resolves its path again.
struct OpenedBoxRoot
{
    BoxRootKind kind = BoxRootKind::Unusable;
    OwnedFd parent;  // the directory that holds the box root
    QByteArray name; // the box root's entry in it
    OwnedFd box;
    int error = 0; // with Unusable: -errno, why (-EINVAL for no single entry)
};

// Links in the directories above the box root are followed (a home below a
// linked /home is common); the box root's own entry is never followed.
OpenedBoxRoot openBoxRoot(const QByteArray &path);

// openBoxRoot within the probe's bound (boxrootprobe.h): the open of a home
// on a dead file system, or the look through a ~/.box link into one, may
// never return. Stalled when it did not, or when an earlier look-up of the
// same path is still stuck.
OpenedBoxRoot openBoxRootWithin(const QByteArray &path);

// What openUnderMountsOnIt did.
struct BoxRootUnderMounts
{
    int detached = 0;           // mounts detached from the box root's own entry
    int error = 0;              // 0 when the box root is open for reading in `box`, else -errno
    bool unmountFailed = false; // error came from umount2
};

// Detaches the mounts on the box root's own entry, stacked ones one by one
// (MNT_DETACH takes what is mounted below each along), until the entry is on
// its parent's mount, and only then opens the directory there for reading
// into root.box. Nothing on a mount on the box root is ever removed: an
// error leaves root.box as it was.
BoxRootUnderMounts openUnderMountsOnIt(OpenedBoxRoot &root);

// Removes the (emptied) box root from its parent, but only while that entry
// is still the directory that was opened (else -ESTALE). 0 or -errno.
int removeBoxRootEntry(const OpenedBoxRoot &root);

// Removes a box root that is a symbolic link: the link goes, its target
// stays. 0 (also when the link is gone already) or -errno.
int removeBoxRootLink(const OpenedBoxRoot &root);

// A path that reaches the entry `name` through the open directory dirFd, so
// no component above it is resolved again.
QByteArray pathThroughDescriptor(int dirFd, const QByteArray &name);

// Force-detaches (MNT_DETACH, taking what is mounted below along) the mount
// whose mount point is `relative` below the open box root boxFd. Nothing on
// the way is resolved from a path: the directory holding the mount point is
// opened beneath boxFd with no link followed, and the mount point is named
// through that descriptor, itself never followed. 0, or -errno of what
// stopped it.
int detachMountBelowBox(int boxFd, const QByteArray &relative);
