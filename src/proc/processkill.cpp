// SPDX-License-Identifier: GPL-2.0-or-later
#include "processkill.h"

#include "boxpath.h"
#include "callguard.h"
#include "descriptorlimit.h"
#include "direntries.h"
#include "logsites.h"
#include "mounttable.h"
#include "ownedfd.h"
#include "pathtext.h"
#include "pidsignal.h"
#include "procstat.h"
#include "procwalk.h"
#include "scanengine.h"
#include "scanmessages.h"

#include <QDebug>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

namespace {

std::atomic<int> g_busDaemonPid{0};

// Signals each holder the scan finds as soon as it is found, before the scan
// reads on: a holder that forks has the least time to hand its descriptors
// to a child the scan may not reach. A holder signalled and waited for in an
// earlier round of the same kill is only counted: it outlived both.
class KillSink : public HolderSink
{
public:
    KillSink(int exceptPid, std::optional<uid_t> onlyOwner, const std::unordered_set<int> &waitedForBefore)
        : m_exceptPid(exceptPid), m_ownPid(ownPidInProc()), m_onlyOwner(onlyOwner),
          m_waitedForBefore(waitedForBefore)
    {
    }

    bool wants(int pid) const override { return pid != m_exceptPid && pid != m_ownPid; }

    void take(int pid, int fdDir) override
    {
        // Ending pid 1 or the bus daemon would take the whole machine's
        // services with it, whatever descriptors they were made to hold.
        if (pid == 1 || pid == g_busDaemonPid.load()) {
            m_spared.push_back(pid);
            return;
        }
        if (m_waitedForBefore.count(pid)) {
            m_outlived.push_back(pid);
            return;
        }
        const HolderProcess holder = holderOf(pid, fdDir, *this);
        if (!holder.procDir) {
            // Ended since it was found: a child of it may hold what it held,
            // which only another round's scan can tell.
            m_signalled.push_back(pid);
            return;
        }
        if (!isOwnedAsRequired(holder)) {
            // Not the caller's to end, or no longer there: a process that
            // ended since it was found shows root as its owner. Ended, or the
            // caller's own and ending (its memory given back, its files not
            // yet), what it held may have passed to a child, which only
            // another round's scan can tell. A set-user-id one keeps its
            // memory and is passed over.
            if (hasEndedSinceFound(holder) || isCallersEnding(holder))
                m_signalled.push_back(pid);
            return;
        }
        // A failed signal (the process has ended) is of no consequence: the
        // next round's scan tells whether a child of it holds anything.
        if (sendKill(holder) == 0)
            m_ending.push_back(endingProcessOf(holder));
        m_signalled.push_back(pid);
    }

    void cannotJudge(int pid) override
    {
        if (pid == 1 || pid == g_busDaemonPid.load())
            return;
        if (!m_onlyOwner || isOwnedByCaller(pid))
            m_unjudged.push_back(pid);
    }

    // The lines for what was passed over; false when a process that may hold
    // a file in the box could not be judged, so it may live on.
    bool report() const
    {
        if (!m_spared.empty())
            qDebug(DEBUG_PASSED_OVER, processesForLog(m_spared).constData());
        if (m_unjudged.empty())
            return true;
        qDebug(DEBUG_NOT_JUDGED, processesForLog(m_unjudged).constData());
        return false;
    }

    // Out of descriptors: the pidfds of the processes signalled so far go,
    // and with them the wait for their exits (the next scan tells).
    bool freeDescriptors() override
    {
        const bool any = std::any_of(m_ending.begin(), m_ending.end(),
                                     [](const EndingProcess &process) { return bool(process.pidFd); });
        for (EndingProcess &process : m_ending)
            process.pidFd.reset();
        return any;
    }

    // This scan's holders, signalled now (or found ended before their signal).
    const std::vector<int> &signalled() const { return m_signalled; }
    // The holders waited for in an earlier round and found again.
    const std::vector<int> &outlived() const { return m_outlived; }
    std::vector<int> found() const
    {
        std::vector<int> pids = m_outlived;
        pids.insert(pids.end(), m_signalled.begin(), m_signalled.end());
        return pids;
    }
    const std::vector<EndingProcess> &ending() const { return m_ending; }

private:
    // The owner of a process's /proc directory is the user it runs as (root
    // for a process that may not be inspected, such as a set-user-id one).
    bool isOwnedAsRequired(const HolderProcess &holder) const
    {
        if (!m_onlyOwner)
            return true;
        struct stat status = {};
        return fstat(holder.procDir.get(), &status) == 0 && status.st_uid == *m_onlyOwner;
    }

    static bool hasEndedSinceFound(const HolderProcess &holder)
    {
        ProcStat stat;
        return hasEnded(-procStatIn(holder.procDir.get(), stat));
    }

    // Whether the process's real uid is the caller's and it has no memory
    // left (its status file, read through the directory the scan found it by,
    // shows no VmSize).
    bool isCallersEnding(const HolderProcess &holder) const
    {
        const OwnedFd file(openat(holder.procDir.get(), "status", O_RDONLY | O_CLOEXEC));
        char text[4096];
        const ssize_t length = file ? read(file.get(), text, sizeof text - 1) : -1;
        if (length <= 0)
            return false;
        text[length] = '\0';
        const char *uid = std::strstr(text, "\nUid:\t");
        return uid && std::strtoul(uid + 6, nullptr, 10) == *m_onlyOwner && !std::strstr(text, "\nVmSize:");
    }

    bool isOwnedByCaller(int pid) const
    {
        char path[32];
        formatFitting(path, sizeof path, "/proc/%d", pid);
        struct stat status = {};
        return stat(path, &status) == 0 && status.st_uid == *m_onlyOwner;
    }

    int m_exceptPid;
    int m_ownPid;
    std::optional<uid_t> m_onlyOwner;
    const std::unordered_set<int> &m_waitedForBefore;
    std::vector<int> m_signalled;
    std::vector<int> m_outlived;
    std::vector<EndingProcess> m_ending;
    std::vector<int> m_spared;
    std::vector<int> m_unjudged;
};

} // namespace

int kill_allProcessByPath(const QString &strPath, int nExceptPid)
{
    const std::optional<BoxPath> box = BoxPath::of(strPath.toUtf8());
    if (box)
        return endHoldersOf(*box, nExceptPid, std::nullopt);
    logEmptyScanPath();
    qDebug(DEBUG_KILL_SCAN_FAILED);
    return -1;
}

int endHoldersOf(const BoxPath &box, int exceptPid, std::optional<uid_t> onlyOwner)
{
    MountTable mounts;
    if (const int error = mounts.read(AT_FDCWD, "/proc/self/mountinfo")) {
        logProcUnreadable(error);
        qDebug(DEBUG_KILL_SCAN_FAILED);
        return -1;
    }
    return endHoldersBelow(box, mounts, exceptPid, onlyOwner);
}

int endHoldersBelow(const BoxPath &box, const MountTable &mounts, int exceptPid,
                    std::optional<uid_t> onlyOwner)
{
    const ScannedBox scanned(box, mounts);
    raiseDescriptorLimit();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kKillBoundMs);
    std::unordered_set<int> waitedFor;
    for (int round = 0;; ++round) {
        KillSink sink(exceptPid, onlyOwner, waitedFor);
        const int error = scanHolders(scanned, sink);
        if (error != 0 && error != -EAGAIN) {
            logProcUnreadable(error);
            qDebug(DEBUG_KILL_SCAN_FAILED);
            return -1;
        }
        // Processes kept being made while /proc was read: a child may hold
        // what its ended parent held, unread.
        const bool complete = error == 0;
        const std::vector<int> found = sink.found();
        if (found.empty() && complete)
            return sink.report() ? 0 : -1;
        // Another round only while this one may end holders: it signalled
        // new ones, or the scan left processes unread.
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                .count();
        const bool mayEndMore = !sink.signalled().empty() || !complete;
        if (!mayEndMore || round == kKillRounds || left <= 0 || currentCallStopped()) {
            sink.report();
            if (!complete)
                qDebug() << "processes were made faster than /proc could be read";
            qDebug(DEBUG_HOLDERS_LEFT, round, processesForLog(found).constData());
            return -1;
        }
        // The next scan sees only what outlived its signal, or was born since.
        const std::vector<int> held =
            waitForExits(sink.ending(), static_cast<int>(std::min<long long>(left, kExitWaitMs)));
        // A holder found again counts as outliving its signal only when the
        // wait was given to it: one whose pidfd could not be had (descriptors
        // ran out) is signalled, and waited for, again.
        for (const EndingProcess &process : sink.ending()) {
            if (process.pidFd)
                waitedFor.insert(process.pid);
        }
        if (!held.empty())
            qDebug(DEBUG_OUTLIVED_SIGKILL, processesForLog(held).constData());
        // Not one of this round's processes ended: the next would find them again.
        if (!sink.ending().empty() && held.size() == sink.ending().size() && complete) {
            sink.report();
            qDebug(DEBUG_HOLDERS_LEFT, round + 1, processesForLog(found).constData());
            return -1;
        }
    }
}

void setBusDaemonPid(int pid)
{
    g_busDaemonPid.store(pid);
}
