#include "holderscan.h"

#include "direntries.h"
#include "scanengine.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

class Walk
{
public:
    Walk(BoxJudge &judge, DescriptorVisitor &visitor, int procFd)
        : m_judge(judge), m_visitor(visitor), m_proc(procFd),
          m_buffers(new char[3 * kDirEntriesBufferSize])
    {
    }

    char *processBuffer() { return m_buffers.get(); }

    void process(int pid, const char *name)
    {
        char fdDirPath[kFdDirPathSize];
        if (!fdDirPathOf(name, fdDirPath))
            return;
        const OwnedFd fdDir(openDirFreeingDescriptors(m_proc, fdDirPath, m_visitor));
        if (!fdDir) {
            if (!hasEnded(errno))
                m_visitor.unreadable(pid);
            return;
        }
        if (!readTable(pid, fdDir.get(), fdDir.get(), name))
            return;
        if (threadCount(name) > 1)
            readThreadTables(pid, name, fdDir.get());
    }

private:
    // The threads of the process, from its task directory's link count
    // (two plus one per thread): one statx instead of reading the directory.
    int threadCount(const char *name)
    {
        char path[kFdDirPathSize + 8];
        const std::size_t length = std::strlen(name);
        std::memcpy(path, name, length);
        std::memcpy(path + length, "/task", sizeof "/task");
        struct statx sx {};
        if (statx(m_proc, path, AT_STATX_DONT_SYNC, STATX_NLINK, &sx) != 0)
            return 1;
        return static_cast<int>(sx.stx_nlink) - 2;
    }

    // Threads that share the leader's table (the usual case) are passed over;
    // kcmp failing (no such support) reads them all.
    void readThreadTables(int pid, const char *name, int leaderFdDir)
    {
        char taskDirPath[kFdDirPathSize + 8];
        std::snprintf(taskDirPath, sizeof taskDirPath, "%s/task", name);
        const OwnedFd taskDir(openDirFreeingDescriptors(m_proc, taskDirPath, m_visitor));
        if (!taskDir)
            return;
        DirEntries tasks(taskDir.get(), m_buffers.get() + 2 * kDirEntriesBufferSize,
                         kDirEntriesBufferSize);
        while (const char *task = tasks.next()) {
            const int tid = pidOfProcEntry(task);
            if (tid <= 0 || tid == pid || syscall(SYS_kcmp, pid, tid, KCMP_FILES, 0, 0) == 0)
                continue;
            char taskPath[2 * kFdDirPathSize];
            std::snprintf(taskPath, sizeof taskPath, "%s/task/%s", name, task);
            char fdPath[2 * kFdDirPathSize + 4];
            std::snprintf(fdPath, sizeof fdPath, "%s/fd", taskPath);
            const OwnedFd fdDir(openDirFreeingDescriptors(m_proc, fdPath, m_visitor));
            if (!fdDir) {
                if (!hasEnded(errno))
                    m_visitor.unreadable(pid);
                continue;
            }
            if (!readTable(pid, fdDir.get(), leaderFdDir, taskPath))
                return;
        }
    }

    // False when the visitor has seen enough of this process.
    bool readTable(int pid, int fdDir, int leaderFdDir, const char *taskPath)
    {
        const NamespaceView &view = m_judge.viewOf(m_proc, taskPath);
        char target[kHolderLinkBufferSize];
        DirEntries descriptors(fdDir, m_buffers.get() + kDirEntriesBufferSize,
                               kDirEntriesBufferSize, true);
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

    BoxJudge &m_judge;
    DescriptorVisitor &m_visitor;
    int m_proc;
    std::unique_ptr<char[]> m_buffers;
};

// Hands a holder sink each process at its first descriptor inside, and those
// with an unjudged descriptor and none inside once their tables are read.
class HolderVisitor : public DescriptorVisitor
{
public:
    explicit HolderVisitor(HolderSink &sink) : m_sink(sink) {}

    bool wants(int pid) const override { return m_sink.wants(pid); }

    bool judged(int pid, int fdDir, const HeldDescriptor &, const Judgement &judgement) override
    {
        if (judgement.verdict == Verdict::Unjudged) {
            m_unjudged = pid;
            return true;
        }
        m_sink.take(pid, fdDir);
        m_taken = pid;
        return false;
    }

    void unreadable(int pid) override { m_unjudged = pid; }

    bool killPendingToFreeDescriptors() override { return m_sink.killPendingToFreeDescriptors(); }

    void processDone(int pid)
    {
        if (m_unjudged == pid && m_taken != pid)
            m_sink.cannotJudge(pid);
    }

private:
    HolderSink &m_sink;
    int m_unjudged = 0;
    int m_taken = 0;
};

int walk(BoxJudge &judge, DescriptorVisitor &visitor, HolderVisitor *holders)
{
    const OwnedFd proc(open("/proc", kDirOpenFlags));
    if (!proc)
        return -errno;
    Walk walk(judge, visitor, proc.get());
    DirEntries processes(proc.get(), walk.processBuffer(), kDirEntriesBufferSize);
    unsigned char type = DT_UNKNOWN;
    while (const char *name = processes.next(&type)) {
        if (type != DT_DIR && type != DT_UNKNOWN)
            continue;
        const int pid = pidOfProcEntry(name);
        if (pid <= 0 || !visitor.wants(pid))
            continue;
        walk.process(pid, name);
        if (holders)
            holders->processDone(pid);
    }
    return 0;
}

} // namespace

int walkBoxDescriptors(BoxJudge &judge, DescriptorVisitor &visitor)
{
    return walk(judge, visitor, nullptr);
}

HolderProcess holderOf(int pid, int fdDir, HolderSink &sink)
{
    return HolderProcess{pid, OwnedFd(openDirFreeingDescriptors(fdDir, "..", sink))};
}

int scanHolders(const QByteArray &prefix, const MountTable &mounts, HolderSink &sink)
{
    if (prefix.isEmpty())
        return 0;
    assert(prefix.endsWith('/'));
    if (kernelHolders(prefix.left(prefix.size() - 1), mounts, sink))
        return 0;
    BoxJudge judge(prefix.left(prefix.size() - 1), mounts);
    HolderVisitor visitor(sink);
    return walk(judge, visitor, &visitor);
}

int scanHolders(const QByteArray &prefix, HolderSink &sink)
{
    MountTable mounts;
    const int read = mounts.read(AT_FDCWD, "/proc/self/mountinfo");
    return read != 0 ? read : scanHolders(prefix, mounts, sink);
}

QByteArray processNameOf(int pid)
{
    char path[32];
    std::snprintf(path, sizeof path, "/proc/%d/comm", pid);
    const OwnedFd file(open(path, O_RDONLY | O_CLOEXEC));
    char name[64];
    const ssize_t length = file ? read(file.get(), name, sizeof name) : -1;
    if (length <= 0)
        return QByteArrayLiteral("?");
    return QByteArray(name, static_cast<int>(length)).trimmed();
}

QByteArray processesForLog(const std::vector<int> &pids)
{
    QByteArray text;
    for (const int pid : pids) {
        if (!text.isEmpty())
            text += ", ";
        text += QByteArray::number(pid) + " (" + processNameOf(pid) + ')';
    }
    return text;
}
