// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "boxjudge.h"
#include "direntries.h"
#include "holdersink.h"
#include "ownedfd.h"

#include <QByteArray>

#include <vector>

// Receives what a walk over every descriptor table finds.
class DescriptorVisitor
{
public:
    virtual ~DescriptorVisitor() = default;

    // Whether the walk should read this process's descriptors at all.
    virtual bool wants(int pid) const = 0;
    // A judged descriptor of pid (Inside or Unjudged; Outside ones are not
    // handed over). fdDir is the leader's open "fd" directory, valid during
    // the call only. False stops the reading of this process.
    virtual bool judged(int pid, int fdDir, const HeldDescriptor &held, const Judgement &judgement) = 0;
    // A descriptor table of pid could not be read for another reason than
    // its end.
    virtual void unreadable(int pid) = 0;
    // Called when an open fails with EMFILE: the visitor closes what it can
    // spare (a killing sink, the pidfds of the processes it has signalled,
    // whose exits it then leaves to its next scan). True when it freed any,
    // so that the open is worth trying again.
    virtual bool freeDescriptors() { return false; }
    // Whether judged() returns false at the first Inside descriptor of a
    // process, and true otherwise: lets a walk on several threads read ahead.
    virtual bool stopsAtFirstInside() const { return false; }
};

// Link-target bytes a walk reads: any path the kernel prints fits, so a
// long box path cannot hide a holder; a longer one is judged through the
// descriptor.
constexpr int kHolderLinkBufferSize = 4096;

// Walks /proc and hands visitor every descriptor that may lie in the box of
// judge, process by process in the order /proc lists them: the leader's
// table, then every thread's table that differs from it (kcmp), which also
// reaches the threads of a leader that has exited; then the processes made
// while the walk ran, from listings of /proc made again until none shows a
// process not yet read (or the pid namespace's last pid has not moved since
// the last one began). 0, or -errno when /proc cannot be opened. The tables
// are read on procWalkThreads() threads; the visitor is called on the calling
// thread alone, in that order.
int walkBoxDescriptors(BoxJudge &judge, DescriptorVisitor &visitor);

// The threads a walk reads on: two when the daemon may run on two processors
// or more, else one, so that a single processor is not contended by the bus
// thread and a second walker.
int procWalkThreads();
// For tests: 1 or 2 threads whatever the processors; 0 goes back to counting them.
void forceProcWalkThreads(int threads);

// The process whose "fd" directory fdDir is, with its /proc directory opened
// as the parent of fdDir (not by number, which may already name another
// process). procDir stays closed when the process has ended.
HolderProcess holderOf(int pid, int fdDir, HolderSink &sink);

// Walks /proc and hands sink every process with a descriptor inside the box
// that prefix names (the box path with one "/" appended), judged by the file
// (see BoxJudge), in the order /proc lists them, reading each process's
// descriptors only up to its first match. An empty prefix matches nothing.
// mounts: the daemon's own mount table, read by the caller. 0, or -errno
// when /proc cannot be read; -EAGAIN when the /proc walk's listings still
// showed new processes after their bound (a process made faster than it
// reads may hold what its ended parent held), after all that was read has
// been handed over.
int scanHolders(const QByteArray &prefix, const MountTable &mounts, HolderSink &sink);
// The same with a table of its own; -errno also when it cannot be read.
int scanHolders(const QByteArray &prefix, HolderSink &sink);

// The process's name (its "comm") for a log line, or "?".
QByteArray processNameOf(int pid);
// "pid (name), ..." for a log line.
QByteArray processesForLog(const std::vector<int> &pids);
