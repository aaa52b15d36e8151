// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// What a scan of a box hands its receiver, whichever engine serves it: the
// /proc walk and the kernel engine both feed a DescriptorVisitor.

#include "boxjudge.h"
#include "direntries.h"
#include "ownedfd.h"

#include <fcntl.h>

#include <cerrno>

// Receives, process by process and on one thread, the descriptors a scan
// finds that may lie in the box.
class DescriptorVisitor
{
public:
    virtual ~DescriptorVisitor() = default;

    // Whether the scan should read this process's descriptors at all.
    virtual bool wants(int pid) const = 0;
    // A judged descriptor of pid (Inside or Unjudged; Outside ones are not
    // handed over). fdDir is the process's open "fd" directory, valid during
    // the call only (-1 where the kernel engine lists files without it).
    // False stops the reading of this process.
    virtual bool judged(int pid, int fdDir, const HeldDescriptor &held, const Judgement &judgement) = 0;
    // A descriptor table of pid could not be read for another reason than
    // its end, or the process cannot be vouched for.
    virtual void unreadable(int pid) = 0;
    // Every descriptor of pid the scan will hand over has been.
    virtual void processDone(int) {}
    // Called when an open fails with EMFILE: the visitor closes what it can
    // spare (a killing sink, the pidfds of the processes it has signalled,
    // whose exits it then leaves to its next scan). True when it freed any,
    // so that the open is worth trying again.
    virtual bool freeDescriptors() { return false; }
    // Whether judged() returns false at the first Inside descriptor of a
    // process, and true otherwise: lets a walk on several threads read ahead.
    virtual bool stopsAtFirstInside() const { return false; }
};

// A process found holding a file below a prefix, with its /proc directory
// open: that descriptor pins the very process whose descriptors were read,
// so a signal sent through it cannot reach a later process that was given
// the same number.
struct HolderProcess
{
    int pid = 0;
    OwnedFd procDir;
};

// A visitor that wants processes, not descriptors: each process at its first
// descriptor inside the box (take), and one that may hold a file there but
// could not be judged whole and showed none inside (cannotJudge).
class HolderSink : public DescriptorVisitor
{
public:
    // fdDir is the process's open "fd" directory, valid during the call only;
    // holderOf() turns it into a HolderProcess.
    virtual void take(int pid, int fdDir) = 0;
    virtual void cannotJudge(int) {}

    bool judged(int pid, int fdDir, const HeldDescriptor &, const Judgement &judgement) final
    {
        if (judgement.verdict == Verdict::Unjudged) {
            m_unjudged = pid;
            return true;
        }
        take(pid, fdDir);
        m_taken = pid;
        return false;
    }
    void unreadable(int pid) final { m_unjudged = pid; }
    void processDone(int pid) final
    {
        if (m_unjudged == pid && m_taken != pid)
            cannotJudge(pid);
    }
    bool stopsAtFirstInside() const final { return true; }

private:
    int m_unjudged = 0;
    int m_taken = 0;
};

// Whether an open below /proc failed because the process or thread has
// ended meanwhile.
inline bool hasEnded(int error)
{
    return error == ENOENT || error == ESRCH;
}

// Opens the directory name below dirFd. When the daemon's descriptors have run
// out (EMFILE), the visitor first gets to free the descriptors it can spare,
// and the open is tried once more. The descriptor, or -errno.
inline int openDirFreeingDescriptors(int dirFd, const char *name, DescriptorVisitor &visitor)
{
    int fd = openat(dirFd, name, kDirOpenFlags);
    if (fd < 0 && errno == EMFILE && visitor.freeDescriptors())
        fd = openat(dirFd, name, kDirOpenFlags);
    return fd >= 0 ? fd : -errno;
}
