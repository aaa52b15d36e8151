// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "boxjudge.h"
#include "scanvisitor.h"

#include <QByteArray>

#include <vector>

// Link-target bytes a walk reads: any path the kernel prints fits, so a
// long box path cannot hide a holder; a longer one is judged through the
// descriptor.
constexpr int kHolderLinkBufferSize = 4096;

// Walks /proc and hands visitor every descriptor that may lie in the box of
// judge, process by process in the order /proc lists them (see
// ProcessTables), which also reaches the threads of a leader that has
// exited; then the processes made while the walk ran, from listings of /proc
// made again until none shows a process not yet read (or the pid namespace's
// last pid has not moved since the last one began). The tables are read on
// procWalkThreads() threads (see readOnTwoThreads); the visitor is called on
// the calling thread alone, in that order. 0; -errno when /proc cannot be
// read; -EAGAIN when the listings still showed new processes after their
// bound (a process made faster than /proc is read may hold what its ended
// parent held), after all that was read has been handed over.
int walkBoxDescriptors(BoxJudge &judge, DescriptorVisitor &visitor);

// The threads a walk reads on: two when the daemon may run on two processors
// or more, else one, so that a single processor is not contended by the bus
// thread and a second walker.
int procWalkThreads();
// For tests: 1 or 2 threads whatever the processors; 0 goes back to counting them.
void forceProcWalkThreads(int threads);

// The last pid given out in the pid namespace of the /proc open at procFd, or -1.
int lastPidIn(int procFd);

// This process's id as the mounted /proc numbers it, which is what a scan
// compares; getpid() where /proc cannot say.
int ownPidInProc();

// The process whose "fd" directory fdDir is, with its /proc directory opened
// as the parent of fdDir (not by number, which may already name another
// process). procDir stays closed when the process has ended.
HolderProcess holderOf(int pid, int fdDir, DescriptorVisitor &visitor);

// The process's name (its "comm") for a log line, or "?".
QByteArray processNameOf(int pid);
// "pid (name), ..." for a log line.
QByteArray processesForLog(const std::vector<int> &pids);
