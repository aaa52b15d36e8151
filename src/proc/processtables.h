// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "boxjudge.h"
#include "ownedfd.h"
#include "scanvisitor.h"

#include <memory>

// The reader of one process's descriptor tables for a /proc walk: the
// leader's table, then every thread's table that differs from it (kcmp),
// each descriptor that may lie in the box judged and handed to the visitor.
class ProcessTables
{
public:
    ProcessTables(BoxJudge &judge, DescriptorVisitor &visitor, int procFd);

    // A buffer of kDirEntriesBufferSize bytes the reader does not use, for
    // the walk's own listing of /proc.
    char *listingBuffer() { return m_buffers.get(); }
    const BoxJudge &judge() const { return m_judge; }

    // Reads the tables of one process (name: its /proc entry); its open "fd"
    // directory, which the visitor was handed, or none.
    OwnedFd process(int pid, const char *name);

private:
    // The threads of the process, from its task directory's link count
    // (two plus one per thread): one statx instead of reading the directory.
    int threadCount(const char *name);
    // Threads that share the leader's table (the usual case) are passed over;
    // kcmp failing (no such support) reads them all.
    void readThreadTables(int pid, const char *name, int leaderFdDir);
    // False when the visitor has seen enough of this process.
    bool readTable(int pid, int fdDir, int leaderFdDir, const char *taskPath);

    BoxJudge &m_judge;
    DescriptorVisitor &m_visitor;
    int m_proc;
    std::unique_ptr<char[]> m_buffers;
};
