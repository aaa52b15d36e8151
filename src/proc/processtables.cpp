// SPDX-License-Identifier: GPL-2.0-or-later
#include "processtables.h"

#include "direntries.h"
#include "pathtext.h"
#include "procwalk.h"

#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

ProcessTables::ProcessTables(BoxJudge &judge, DescriptorVisitor &visitor, int procFd)
    : m_judge(judge), m_visitor(visitor), m_proc(procFd), m_buffers(new char[3 * kDirEntriesBufferSize])
{
}

OwnedFd ProcessTables::process(int pid, const char *name)
{
    char fdDirPath[kFdDirPathSize];
    if (!fdDirPathOf(name, fdDirPath))
        return {};
    OwnedFd fdDir(openDirFreeingDescriptors(m_proc, fdDirPath, m_visitor));
    if (!fdDir) {
        if (!hasEnded(-fdDir.get()))
            m_visitor.unreadable(pid);
        return {};
    }
    if (readTable(pid, fdDir.get(), fdDir.get(), name) && threadCount(name) > 1)
        readThreadTables(pid, name, fdDir.get());
    return fdDir;
}

int ProcessTables::threadCount(const char *name)
{
    char path[kFdDirPathSize + 8];
    const std::size_t length = std::strlen(name);
    std::memcpy(path, name, length);
    std::memcpy(path + length, "/task", sizeof "/task");
    struct statx sx = {};
    if (statx(m_proc, path, AT_STATX_DONT_SYNC, STATX_NLINK, &sx) != 0)
        return 1;
    return static_cast<int>(sx.stx_nlink) - 2;
}

void ProcessTables::readThreadTables(int pid, const char *name, int leaderFdDir)
{
    char taskDirPath[kFdDirPathSize + 8];
    formatFitting(taskDirPath, sizeof taskDirPath, "%s/task", name);
    const OwnedFd taskDir(openDirFreeingDescriptors(m_proc, taskDirPath, m_visitor));
    if (!taskDir)
        return;
    DirEntries tasks(taskDir.get(), m_buffers.get() + 2 * kDirEntriesBufferSize, kDirEntriesBufferSize);
    while (const char *task = tasks.next()) {
        const int tid = pidOfProcEntry(task);
        if (tid <= 0 || tid == pid || syscall(SYS_kcmp, pid, tid, KCMP_FILES, 0, 0) == 0)
            continue;
        char taskPath[2 * kFdDirPathSize];
        formatFitting(taskPath, sizeof taskPath, "%s/task/%s", name, task);
        char fdPath[2 * kFdDirPathSize + 4];
        formatFitting(fdPath, sizeof fdPath, "%s/fd", taskPath);
        const OwnedFd fdDir(openDirFreeingDescriptors(m_proc, fdPath, m_visitor));
        if (!fdDir) {
            if (!hasEnded(-fdDir.get()))
                m_visitor.unreadable(pid);
            continue;
        }
        if (!readTable(pid, fdDir.get(), leaderFdDir, taskPath))
            return;
    }
}

bool ProcessTables::readTable(int pid, int fdDir, int leaderFdDir, const char *taskPath)
{
    const NamespaceView &view = m_judge.viewOf(m_proc, taskPath);
    char target[kHolderLinkBufferSize];
    DirEntries descriptors(fdDir, m_buffers.get() + kDirEntriesBufferSize, kDirEntriesBufferSize, true);
    while (const char *name = descriptors.next()) {
        HeldDescriptor held;
        held.length = static_cast<int>(readlinkat(fdDir, name, target, sizeof target));
        if (held.length < 0) {
            held.error = errno;
            if (hasEnded(held.error))
                continue; // closed meanwhile
        } else if (!BoxJudge::mayBeInside(view, target, held.length)) {
            continue;
        }
        held.text = target;
        statHeldDescriptor(fdDir, name, held);
        if (held.gone)
            continue;
        const Judgement judgement = m_judge.judge(view, held, fdDir, name);
        if (judgement.verdict == Verdict::Outside)
            continue;
        if (!m_visitor.judged(pid, leaderFdDir, held, judgement))
            return false;
    }
    return true;
}
