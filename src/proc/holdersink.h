// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// What a holder scan hands its receiver, shared by the /proc walk and the
// kernel engine (which include this, not each other).

#include "direntries.h"
#include "ownedfd.h"

#include <fcntl.h>

#include <cerrno>

// A process found holding a file below a prefix, with its /proc directory
// open: that descriptor pins the very process whose descriptors were read,
// so a signal sent through it cannot reach a later process that was given
// the same number.
struct HolderProcess
{
    int pid = 0;
    OwnedFd procDir;
};

// Receives the processes a holder scan finds.
class HolderSink
{
public:
    virtual ~HolderSink() = default;

    virtual bool wants(int pid) const = 0;
    // fdDir is the process's open "fd" directory, valid during the call only;
    // holderOf() turns it into a HolderProcess.
    virtual void take(int pid, int fdDir) = 0;
    // A process that may hold a file below the prefix, but whose descriptors
    // could not all be judged.
    virtual void cannotJudge(int) {}
    // As DescriptorVisitor::freeDescriptors.
    virtual bool freeDescriptors() { return false; }
};

// Whether an open below /proc failed because the process or thread has
// ended meanwhile.
inline bool hasEnded(int error)
{
    return error == ENOENT || error == ESRCH;
}

// Opens the directory name below dirFd. When the daemon's descriptors have run
// out (EMFILE), hook (a DescriptorVisitor or a HolderSink) first gets to free
// the descriptors it can spare, and the open is tried once more.
template <typename Hook>
int openDirFreeingDescriptors(int dirFd, const char *name, Hook &hook)
{
    int fd = openat(dirFd, name, kDirOpenFlags);
    if (fd < 0 && errno == EMFILE && hook.freeDescriptors())
        fd = openat(dirFd, name, kDirOpenFlags);
    return fd;
}
