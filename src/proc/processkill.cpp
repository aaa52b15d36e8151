// SPDX-License-Identifier: GPL-2.0-or-later
#include "processkill.h"

#include "boxpath.h"
#include "callguard.h"
#include "descriptorlimit.h"
#include "direntries.h"
#include "holderscan.h"
#include "mounttable.h"
#include "pidsignal.h"
#include "scanmessages.h"

#include <QDebug>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cstdio>
#include <unordered_set>
#include <vector>

namespace {

std::atomic<int> g_busDaemonPid{0};

// This process's id as the mounted /proc numbers it, which is what the scan
// compares; getpid() where /proc cannot say.
int ownPidInProc()
{
    char text[16] = {};
    const ssize_t length = readlink("/proc/self", text, sizeof text - 1);
    const int pid = length > 0 ? pidOfProcEntry(text) : 0;
    return pid > 0 ? pid : static_cast<int>(getpid());
}

// Holds each found process's /proc directory until it is signalled: in list
// order after the scan, or earlier when descriptors run out.
class KillSink : public HolderSink
{
public:
    KillSink(int exceptPid, std::optional<uid_t> onlyOwner)
        : m_exceptPid(exceptPid), m_ownPid(ownPidInProc()), m_onlyOwner(onlyOwner)
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
        HolderProcess holder = holderOf(pid, fdDir, *this);
        if (holder.procDir && isOwnedAsRequired(holder))
            m_pending.push_back(std::move(holder));
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
            qDebug().noquote() << "passed over processes that are never signalled:"
                               << processesForLog(m_spared);
        if (m_unjudged.empty())
            return true;
        qDebug().noquote() << "could not judge every descriptor of:" << processesForLog(m_unjudged);
        return false;
    }

    bool killPendingToFreeDescriptors() override
    {
        if (m_pending.empty())
            return false;
        signalPending();
        return true;
    }

    void signalPending()
    {
        // A failed signal (the process has ended) is of no consequence: the
        // next round's scan tells whether it still holds anything.
        for (const HolderProcess &holder : m_pending) {
            if (sendKill(holder))
                m_ending.push_back(endingProcessOf(holder));
            m_found.push_back(holder.pid);
        }
        m_pending.clear();
    }

    // The processes the scan found to signal, those signalled early included.
    std::vector<int> found() const
    {
        std::vector<int> pids = m_found;
        for (const HolderProcess &holder : m_pending)
            pids.push_back(holder.pid);
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
        struct stat status {};
        return fstat(holder.procDir.get(), &status) == 0 && status.st_uid == *m_onlyOwner;
    }

    bool isOwnedByCaller(int pid) const
    {
        char path[32];
        std::snprintf(path, sizeof path, "/proc/%d", pid);
        struct stat status {};
        return stat(path, &status) == 0 && status.st_uid == *m_onlyOwner;
    }

    int m_exceptPid;
    int m_ownPid;
    std::optional<uid_t> m_onlyOwner;
    std::vector<HolderProcess> m_pending;
    std::vector<int> m_found; // signalled, or found ended before its signal
    std::vector<EndingProcess> m_ending;
    std::vector<int> m_spared;
    std::vector<int> m_unjudged;
};

} // namespace

int kill_allProcessByPath(const QString &strPath, int nExceptPid)
{
    return kill_allProcessByPath(strPath, nExceptPid, std::nullopt);
}

int kill_allProcessByPath(const QString &strPath, int nExceptPid, std::optional<uid_t> onlyOwner)
{
    const QString strPrefix = format_boxPath(strPath);
    if (strPrefix.isEmpty()) {
        logEmptyScanPath();
        qDebug() << "get_allOpenFilePidByPath error.";
        return -1;
    }
    MountTable mounts;
    if (const int error = mounts.read(AT_FDCWD, "/proc/self/mountinfo")) {
        logProcUnreadable(error);
        qDebug() << "get_allOpenFilePidByPath error.";
        return -1;
    }
    const QByteArray prefix = strPrefix.toUtf8();
    return endHoldersBelow(prefix.left(prefix.size() - 1), mounts, nExceptPid, onlyOwner);
}

int endHoldersBelow(const QByteArray &boxPath, const MountTable &mounts, int exceptPid,
                    std::optional<uid_t> onlyOwner)
{
    assert(!boxPath.isEmpty());
    raiseDescriptorLimit();
    const QByteArray prefix = boxPath + '/';
    std::unordered_set<int> signalled;
    for (int round = 0;; ++round) {
        KillSink sink(exceptPid, onlyOwner);
        if (const int error = scanHolders(prefix, mounts, sink)) {
            logProcUnreadable(error);
            qDebug() << "get_allOpenFilePidByPath error.";
            return -1;
        }
        const std::vector<int> found = sink.found();
        if (found.empty())
            return sink.report() ? 0 : -1;
        // Another round only for holders not signalled before: one that
        // outlived its signal and the wait is held by the kernel.
        const bool anyNew = std::any_of(found.begin(), found.end(),
                                        [&signalled](int pid) { return !signalled.count(pid); });
        if (!anyNew || round == kKillRounds || currentCallStopped()) {
            sink.report();
            qDebug().noquote() << "holders left after" << round << "rounds of signals:"
                               << processesForLog(found);
            return -1;
        }
        sink.signalPending();
        signalled.insert(found.begin(), found.end());
        // The next scan sees only what outlived its signal, or was born since.
        waitForExits(sink.ending(), kExitWaitMs);
    }
}

void setBusDaemonPid(int pid)
{
    g_busDaemonPid.store(pid);
}
