// SPDX-License-Identifier: GPL-2.0-or-later
#include "readahead.h"

#include "keptthreads.h"
#include "processtables.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace {

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
    TwoThreadWalk(BoxJudge &judge, DescriptorVisitor &visitor, int procFd, std::vector<ProcessEntry> entries)
        : m_judge(judge), m_visitor(visitor), m_proc(procFd), m_entries(std::move(entries)),
          m_read(m_entries.size())
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
        ProcessTables reader(m_judge, recorder, m_proc);
        ProcessTables alone(m_judge, m_visitor, m_proc);
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
        ProcessTables reader(judge, recorder, m_proc);
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

    void readInto(ProcessTables &reader, RecordingVisitor &recorder, std::size_t index)
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

    void readAlone(ProcessTables &alone, std::size_t index)
    {
        alone.process(m_entries[index].pid, m_entries[index].name);
        m_visitor.processDone(m_entries[index].pid);
    }

    void handOver(ProcessTables &alone, std::size_t index)
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
        m_visitor.processDone(pid);
    }

    BoxJudge &m_judge;
    DescriptorVisitor &m_visitor;
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

} // namespace

void readOnTwoThreads(BoxJudge &judge, DescriptorVisitor &visitor, int procFd,
                      std::vector<ProcessEntry> entries)
{
    TwoThreadWalk(judge, visitor, procFd, std::move(entries)).run();
}

bool stopReadingAheadOnThisThread()
{
    if (!t_handingOver)
        return false;
    t_handingOver->stopReadingAhead();
    return true;
}
