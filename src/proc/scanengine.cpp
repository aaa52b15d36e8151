// SPDX-License-Identifier: GPL-2.0-or-later
#include "scanengine.h"

#include "boxpath.h"
#include "mounttable.h"
#include "ownedfd.h"
#include "procwalk.h"
#include "scanmessages.h"

#include <QSet>

#include <fcntl.h>
#include <syslog.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <unordered_set>

#ifndef ARKVANE_KERNEL_SCAN
#include "logsites.h"
#endif

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

// Collects ids only; a process already in the list is not read again, since
// it could add nothing.
class PidListSink : public HolderSink
{
public:
    explicit PidListSink(QList<int> &pidList) : m_pidList(pidList), m_known(pidList.cbegin(), pidList.cend())
    {
    }

    bool wants(int pid) const override { return !m_known.contains(pid); }

    void take(int pid, int) override
    {
        m_known.insert(pid);
        m_pidList.append(pid);
    }

private:
    QList<int> &m_pidList;
    QSet<int> m_known;
};

} // namespace

int scanHeldFiles(const ScannedBox &scanned, DescriptorVisitor &visitor)
{
    if (kernelHeldFiles(scanned, visitor))
        return 0;
    BoxJudge judge(scanned);
    const int error = walkBoxDescriptors(judge, visitor);
    return error == -EAGAIN ? 0 : error;
}

int scanHolders(const ScannedBox &scanned, HolderSink &sink)
{
    HandOverWatch watch(sink);
    // A holder that ended after the kernel's pass may have handed its
    // descriptors to a child made after it: the /proc walk, which reads the
    // processes made while it runs, looks for them. So it does when the pid
    // numbers wrapped during the pass, which reads the processes in pid
    // order: a process made then got a number below the one the pass had
    // reached, and the pass never saw it.
    const OwnedFd proc(open("/proc", kDirOpenFlags));
    const int lastBefore = proc ? lastPidIn(proc.get()) : -1;
    if (kernelHolders(scanned, watch) && !watch.anyEnded() && !(proc && lastPidIn(proc.get()) < lastBefore))
        return 0;
    BoxJudge judge(scanned);
    return walkBoxDescriptors(judge, watch);
}

bool kernelProgramsForbidden()
{
    const char *forced = std::getenv("ARKVANE_SCAN_ENGINE");
    return forced && std::strcmp(forced, "proc") == 0;
}

int get_allOpenFilePidByPath(const QString &strPath, QList<int> &pidList)
{
    if (strPath.isEmpty()) {
        logEmptyScanPath();
        return -1;
    }
    MountTable mounts;
    if (const int error = mounts.read(AT_FDCWD, "/proc/self/mountinfo")) {
        logProcUnreadable(error);
        return -1;
    }
    // The text is matched as passed.
    const std::optional<BoxPath> box = BoxPath::ofPrefix(strPath.toUtf8());
    if (!box)
        return 0;
    // The scan fails only before it finds anything, so the list stays
    // untouched on -1. Processes made faster than /proc is read (-EAGAIN)
    // leave the holders found: all that a list can say.
    PidListSink sink(pidList);
    if (const int error = scanHolders(ScannedBox(*box, mounts), sink); error != 0 && error != -EAGAIN) {
        logProcUnreadable(error);
        return -1;
    }
    return 0;
}

#ifndef ARKVANE_KERNEL_SCAN

void startScanEngine()
{
    syslog(LOG_INFO, LOG_ENGINE_PROC, "built without the kernel scan engine");
}

void allowKernelScanEngine(bool) {}

bool kernelHeldFiles(const ScannedBox &, DescriptorVisitor &)
{
    return false;
}

bool kernelHolders(const ScannedBox &, HolderSink &)
{
    return false;
}

#endif
