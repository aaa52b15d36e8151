// SPDX-License-Identifier: GPL-2.0-or-later
#include "holderscan.h"

#include "direntries.h"
#include "keptthreads.h"
#include "pathtext.h"
#include "scanengine.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/kcmp.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_set>

namespace {

class Walk
{
public:
    Walk(BoxJudge &judge, DescriptorVisitor &visitor, int procFd)
        : m_judge(judge), m_visitor(visitor), m_proc(procFd), m_buffers(new char[3 * kDirEntriesBufferSize])
    {
    }

    char *processBuffer() { return m_buffers.get(); }
    const BoxJudge &judge() const { return m_judge; }

    // Reads the tables of one process; its open "fd" directory, which the
    // visitor was handed, or none.
    OwnedFd process(int pid, const char *name)
    {
        char fdDirPath[kFdDirPathSize];
        if (!fdDirPathOf(name, fdDirPath))
            return {};
        OwnedFd fdDir(openDirFreeingDescriptors(m_proc, fdDirPath, m_visitor));
        if (!fdDir) {
            if (!hasEnded(errno))
                m_visitor.unreadable(pid);
            return {};
        }
        if (readTable(pid, fdDir.get(), fdDir.get(), name) && threadCount(name) > 1)
            readThreadTables(pid, name, fdDir.get());
        return fdDir;
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
        struct statx sx = {};
        if (statx(m_proc, path, AT_STATX_DONT_SYNC, STATX_NLINK, &sx) != 0)
            return 1;
        return static_cast<int>(sx.stx_nlink) - 2;
    }

    // Threads that share the leader's table (the usual case) are passed over;
    // kcmp failing (no such support) reads them all.
    void readThreadTables(int pid, const char *name, int leaderFdDir)
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

    bool freeDescriptors() override { return m_sink.freeDescriptors(); }

    bool stopsAtFirstInside() const override { return true; }

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

// A /proc entry the visitor wants read.
struct ProcessEntry
{
    int pid;
    char name[16];
};

// What a second thread found in one process, held until the calling thread
// hands it to the visitor in /proc order.
struct ReadProcess
{
    struct Event
    {
        bool unreadable = false;
        HeldDescriptor held;
        QByteArray text; // held.text points here on replay
        Judgement judgement;
    };
    std::vector<Event> events;
    OwnedFd fdDir;     // the fdDir the events were judged in
    bool done = false; // guarded by the walk's lock
    bool outOfDescriptors = false;
    bool orderDependent = false; // judged by what other processes revealed
};

// Stands in for the visitor on the reading threads: records, never decides.
class RecordingVisitor : public DescriptorVisitor
{
public:
    explicit RecordingVisitor(bool stopsAtFirstInside) : m_stopsAtFirstInside(stopsAtFirstInside) {}

    void recordInto(ReadProcess *read) { m_read = read; }

    bool wants(int) const override { return true; }

    bool judged(int, int, const HeldDescriptor &held, const Judgement &judgement) override
    {
        ReadProcess::Event event;
        event.held = held;
        event.text = QByteArray(held.text, held.length > 0 ? held.length : 0);
        event.judgement = judgement;
        m_read->events.push_back(std::move(event));
        return !(m_stopsAtFirstInside && judgement.verdict == Verdict::Inside);
    }

    void unreadable(int) override
    {
        ReadProcess::Event event;
        event.unreadable = true;
        m_read->events.push_back(std::move(event));
    }

    // Only the calling thread may free the visitor's descriptors:
    // the process is read again there.
    bool freeDescriptors() override
    {
        m_read->outOfDescriptors = true;
        return false;
    }

private:
    bool m_stopsAtFirstInside;
    ReadProcess *m_read = nullptr;
};

// Processes read ahead of the visitor at most: bounds the "fd" directories
// held open for the replay.
constexpr std::size_t kReadAheadProcesses = 64;

std::atomic<int> g_forcedThreads{0};

// Threads kept from one walk to the next. Never destroyed: its threads wait
// on it until the daemon exits.
KeptThreads &walkHelpers()
{
    static KeptThreads *const helpers = new KeptThreads;
    return *helpers;
}

class TwoThreadWalk;
// The two-thread walk whose findings this thread is handing over, if any.
thread_local TwoThreadWalk *t_handingOver = nullptr;

// The walk on two threads: both read processes in /proc order, claiming
// them one at a time; the calling thread hands the visitor each process's
// findings in that order. A process whose reading ran out of descriptors,
// or whose verdicts depend on namespaces met before it, is read again on
// the calling thread when its turn comes; after running out of descriptors
// the calling thread reads every process left alone, as a one-thread walk.
class TwoThreadWalk
{
public:
    TwoThreadWalk(BoxJudge &judge, DescriptorVisitor &visitor, HolderVisitor *holders, int procFd,
                  std::vector<ProcessEntry> entries)
        : m_judge(judge), m_visitor(visitor), m_holders(holders), m_proc(procFd),
          m_entries(std::move(entries)), m_read(m_entries.size())
    {
    }

    void run()
    {
        std::unique_ptr<BoxJudge> helperJudge = m_judge.companion();
        m_helping = true;
        const bool helped = walkHelpers().run([this, &helperJudge] {
            readWhileAllowed(*helperJudge);
            const std::lock_guard<std::mutex> hold(m_lock);
            m_helping = false;
            m_changed.notify_all();
        });
        if (!helped) {
            // No thread to be had (a task limit): the calling thread reads alone.
            const std::lock_guard<std::mutex> hold(m_lock);
            m_helping = false;
        }
        t_handingOver = this;
        RecordingVisitor recorder(m_visitor.stopsAtFirstInside());
        Walk reader(m_judge, recorder, m_proc);
        Walk alone(m_judge, m_visitor, m_proc);
        while (m_next < m_entries.size()) {
            std::unique_lock<std::mutex> hold(m_lock);
            if (m_stopped) {
                hold.unlock();
                stopReadingAhead();
                for (; m_next < m_entries.size(); ++m_next) {
                    m_read[m_next] = ReadProcess();
                    readAlone(alone, m_next);
                }
                break;
            }
            if (m_read[m_next].done) {
                hold.unlock();
                handOver(alone, m_next);
                hold.lock();
                m_handedOver = ++m_next;
                m_changed.notify_all();
                continue;
            }
            if (claimable()) {
                const std::size_t index = m_claimed++;
                hold.unlock();
                readInto(reader, recorder, index);
                continue;
            }
            m_changed.wait(hold);
        }
        stopReadingAhead();
        t_handingOver = nullptr;
    }

    // Called on the calling thread when its descriptors run out: the second
    // thread stops reading and what was read ahead is dropped (and read again later),
    // so that the descriptors it held, and those the visitor frees, are left
    // to the calling thread, as in a walk on one thread.
    void stopReadingAhead()
    {
        {
            const std::lock_guard<std::mutex> hold(m_lock);
            m_stopped = true;
        }
        m_changed.notify_all();
        {
            std::unique_lock<std::mutex> hold(m_lock);
            m_changed.wait(hold, [this] { return !m_helping; });
        }
        for (std::size_t index = m_next + 1; index < m_entries.size(); ++index)
            m_read[index] = ReadProcess();
    }

private:
    bool claimable() const
    {
        return m_claimed < m_entries.size() && m_claimed < m_handedOver + kReadAheadProcesses;
    }

    void readWhileAllowed(BoxJudge &judge)
    {
        RecordingVisitor recorder(m_visitor.stopsAtFirstInside());
        Walk reader(judge, recorder, m_proc);
        for (;;) {
            std::size_t index;
            {
                std::unique_lock<std::mutex> hold(m_lock);
                m_changed.wait(hold, [this] { return m_stopped || claimable(); });
                if (m_stopped)
                    return;
                index = m_claimed++;
            }
            readInto(reader, recorder, index);
        }
    }

    void readInto(Walk &reader, RecordingVisitor &recorder, std::size_t index)
    {
        ReadProcess &read = m_read[index];
        recorder.recordInto(&read);
        const int unknownBefore = reader.judge().unknownMounts();
        OwnedFd fdDir = reader.process(m_entries[index].pid, m_entries[index].name);
        read.orderDependent = reader.judge().unknownMounts() != unknownBefore;
        if (!read.events.empty())
            read.fdDir = std::move(fdDir);
        {
            const std::lock_guard<std::mutex> hold(m_lock);
            read.done = true;
            m_stopped = m_stopped || read.outOfDescriptors;
        }
        m_changed.notify_all();
    }

    void readAlone(Walk &alone, std::size_t index)
    {
        alone.process(m_entries[index].pid, m_entries[index].name);
        if (m_holders)
            m_holders->processDone(m_entries[index].pid);
    }

    void handOver(Walk &alone, std::size_t index)
    {
        ReadProcess read = std::move(m_read[index]);
        if (read.orderDependent || read.outOfDescriptors) {
            read = ReadProcess();
            readAlone(alone, index);
            return;
        }
        const int pid = m_entries[index].pid;
        for (ReadProcess::Event &event : read.events) {
            if (event.unreadable) {
                m_visitor.unreadable(pid);
                continue;
            }
            event.held.text = event.text.constData();
            if (!m_visitor.judged(pid, read.fdDir.get(), event.held, event.judgement))
                break;
        }
        if (m_holders)
            m_holders->processDone(pid);
    }

    BoxJudge &m_judge;
    DescriptorVisitor &m_visitor;
    HolderVisitor *m_holders;
    int m_proc;
    std::vector<ProcessEntry> m_entries;
    std::vector<ReadProcess> m_read;
    std::mutex m_lock;
    std::condition_variable m_changed;
    bool m_helping = false;       // guarded by m_lock
    std::size_t m_next = 0;       // the next process to hand over
    std::size_t m_claimed = 0;    // guarded by m_lock
    std::size_t m_handedOver = 0; // guarded by m_lock
    bool m_stopped = false;       // guarded by m_lock
};

// The last pid given out in the daemon's pid namespace, or -1.
int lastPidIn(int procFd)
{
    const OwnedFd file(openat(procFd, "sys/kernel/ns_last_pid", O_RDONLY | O_CLOEXEC));
    char text[16];
    const ssize_t length = file ? read(file.get(), text, sizeof text - 1) : -1;
    if (length <= 0)
        return -1;
    text[length] = '\0';
    const int pid = static_cast<int>(std::strtol(text, nullptr, 10));
    return pid >= 0 ? pid : -1;
}

// Listings of /proc after the first, for the processes made while it was
// read, before a scan gives up on reading them all.
constexpr int kListingPasses = 16;

int walk(BoxJudge &judge, DescriptorVisitor &visitor, HolderVisitor *holders)
{
    const OwnedFd proc(open("/proc", kDirOpenFlags));
    if (!proc)
        return -errno;
    Walk walk(judge, visitor, proc.get());
    DirEntries listing(proc.get(), walk.processBuffer(), kDirEntriesBufferSize);
    // The process entries only, each with its pid.
    const auto nextProcess = [&listing](int &pid, unsigned char &type) -> const char * {
        while (const char *name = listing.next(&type)) {
            if ((pid = pidOfProcEntry(name)) > 0)
                return name;
        }
        return nullptr;
    };
    std::unordered_set<int> seen;
    int lastPid = lastPidIn(proc.get());
    const bool twoThreads = procWalkThreads() > 1;
    std::vector<ProcessEntry> entries;
    const auto readProcess = [&](int pid, const char *name) {
        walk.process(pid, name);
        if (holders)
            holders->processDone(pid);
    };
    int pid = 0;
    unsigned char type = DT_UNKNOWN;
    while (const char *name = nextProcess(pid, type)) {
        seen.insert(pid);
        if ((type != DT_DIR && type != DT_UNKNOWN) || !visitor.wants(pid))
            continue;
        if (twoThreads) {
            ProcessEntry entry{pid, {}};
            if (std::snprintf(entry.name, sizeof entry.name, "%s", name) < int(sizeof entry.name))
                entries.push_back(entry);
            continue;
        }
        readProcess(pid, name);
    }
    if (listing.error())
        return -listing.error();
    if (twoThreads)
        TwoThreadWalk(judge, visitor, holders, proc.get(), std::move(entries)).run();

    // A holder may have handed its descriptors to a child that the listing
    // did not reach, and ended: /proc is listed again, on this thread alone,
    // for the processes not yet seen, until none is new. Each listing begins
    // at the start: a number given out while the listing passed it, to a
    // process not yet in /proc, lies below the highest listed, and so does
    // every number given out after a wrap.
    for (int pass = 0;; ++pass) {
        const int nowLast = lastPidIn(proc.get());
        if (nowLast >= 0 && nowLast == lastPid)
            return 0; // no process made since the last listing began
        if (pass == kListingPasses)
            return -EAGAIN;
        lastPid = nowLast;
        if (!listing.rewind())
            return -errno;
        bool anyNew = false;
        while (const char *name = nextProcess(pid, type)) {
            if (!seen.insert(pid).second)
                continue;
            anyNew = true;
            if ((type == DT_DIR || type == DT_UNKNOWN) && visitor.wants(pid))
                readProcess(pid, name);
        }
        if (listing.error())
            return -listing.error();
        if (!anyNew)
            return 0;
    }
}

} // namespace

int walkBoxDescriptors(BoxJudge &judge, DescriptorVisitor &visitor)
{
    // A listing shows what was held when each process was read: one that
    // processes made faster than /proc is read is still an answer.
    const int error = walk(judge, visitor, nullptr);
    return error == -EAGAIN ? 0 : error;
}

HolderProcess holderOf(int pid, int fdDir, HolderSink &sink)
{
    if (t_handingOver) {
        const int fd = openat(fdDir, "..", kDirOpenFlags);
        if (fd >= 0 || errno != EMFILE)
            return HolderProcess{pid, OwnedFd(fd)};
        t_handingOver->stopReadingAhead();
    }
    return HolderProcess{pid, OwnedFd(openDirFreeingDescriptors(fdDir, "..", sink))};
}

namespace {

// Stands between the kernel engine and a sink: tells whether a holder the
// kernel's pass found had ended before it could be handed over (asked for,
// then neither taken nor unjudged), and keeps a walk after it from handing
// over a process twice.
class HandOverWatch : public HolderSink
{
public:
    explicit HandOverWatch(HolderSink &sink) : m_sink(sink) {}

    bool wants(int pid) const override
    {
        if (m_handedOver.count(pid) || !m_sink.wants(pid))
            return false;
        ++m_asked;
        return true;
    }
    void take(int pid, int fdDir) override
    {
        m_handedOver.insert(pid);
        m_sink.take(pid, fdDir);
    }
    void cannotJudge(int pid) override
    {
        m_handedOver.insert(pid);
        m_sink.cannotJudge(pid);
    }
    bool freeDescriptors() override { return m_sink.freeDescriptors(); }

    bool anyEnded() const { return m_asked > m_handedOver.size(); }

private:
    HolderSink &m_sink;
    mutable std::size_t m_asked = 0;
    std::unordered_set<int> m_handedOver;
};

} // namespace

int scanHolders(const QByteArray &prefix, const MountTable &mounts, HolderSink &sink)
{
    if (prefix.isEmpty())
        return 0;
    assert(prefix.endsWith('/'));
    HandOverWatch watch(sink);
    // A holder that ended after the kernel's pass may have handed its
    // descriptors to a child made after it: the /proc walk, which reads the
    // processes made while it runs, looks for them. So it does when the pid
    // numbers wrapped during the pass, which reads the processes in pid
    // order: a process made then got a number below the one the pass had
    // reached, and the pass never saw it.
    const OwnedFd proc(open("/proc", kDirOpenFlags));
    const int lastBefore = proc ? lastPidIn(proc.get()) : -1;
    if (kernelHolders(prefix.left(prefix.size() - 1), mounts, watch) && !watch.anyEnded()
        && !(proc && lastPidIn(proc.get()) < lastBefore))
        return 0;
    BoxJudge judge(prefix.left(prefix.size() - 1), mounts);
    HolderVisitor visitor(watch);
    return walk(judge, visitor, &visitor);
}

int scanHolders(const QByteArray &prefix, HolderSink &sink)
{
    MountTable mounts;
    const int read = mounts.read(AT_FDCWD, "/proc/self/mountinfo");
    return read != 0 ? read : scanHolders(prefix, mounts, sink);
}

int procWalkThreads()
{
    if (const int forced = g_forcedThreads.load())
        return forced;
    cpu_set_t processors;
    CPU_ZERO(&processors);
    if (sched_getaffinity(0, sizeof processors, &processors) != 0)
        return 1;
    return CPU_COUNT(&processors) > 1 ? 2 : 1;
}

void forceProcWalkThreads(int threads)
{
    g_forcedThreads.store(threads);
}

QByteArray processNameOf(int pid)
{
    char path[32];
    formatFitting(path, sizeof path, "/proc/%d/comm", pid);
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
