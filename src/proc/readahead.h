// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "boxjudge.h"
#include "scanvisitor.h"

#include <vector>

// A /proc entry a walk wants read.
struct ProcessEntry
{
    int pid;
    char name[16];
};

// Reads the tables of entries (below procFd) on the calling thread and a kept
// second one, both claiming processes in order, at most kReadAheadProcesses
// ahead of the visitor; the calling thread alone hands the visitor each
// process's findings, in that order. A process whose reading ran out of
// descriptors, or whose verdicts depend on namespaces met before it, is read
// again on the calling thread when its turn comes; after running out of
// descriptors the calling thread reads every process left alone, as a walk
// on one thread does.
void readOnTwoThreads(BoxJudge &judge, DescriptorVisitor &visitor, int procFd,
                      std::vector<ProcessEntry> entries);

// On a thread handing over a two-thread read: stops the second thread's
// reading ahead and drops what it read, so that the descriptors it held are
// free again. False, doing nothing, on any other thread.
bool stopReadingAheadOnThisThread();
