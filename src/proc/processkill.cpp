#include "processkill.h"

#include "boxpath.h"
#include "descriptorlimit.h"
#include "direntries.h"
#include "holderscan.h"
#include "pidsignal.h"
#include "scanmessages.h"

#include <QDebug>

#include <unistd.h>

#include <vector>

namespace {

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
    explicit KillSink(int nExceptPid) : m_exceptPid(nExceptPid), m_ownPid(ownPidInProc()) {}

    bool wants(int pid) const override { return pid != m_exceptPid && pid != m_ownPid; }

    void take(int pid, int fdDir) override
    {
        HolderProcess holder = holderOf(pid, fdDir, *this);
        if (holder.procDir)
            m_pending.push_back(std::move(holder));
    }

    bool releaseDescriptors() override
    {
        if (m_pending.empty())
            return false;
        signalPending();
        return true;
    }

    void signalPending()
    {
        // A failed signal (the process has ended) is of no consequence.
        for (const HolderProcess &holder : m_pending)
            sendKill(holder);
        m_pending.clear();
    }

private:
    int m_exceptPid;
    int m_ownPid;
    std::vector<HolderProcess> m_pending;
};

} // namespace

int kill_allProcessByPath(const QString &strPath, int nExceptPid)
{
    const QString strPrefix = format_boxPath(strPath);
    if (strPrefix.isEmpty()) {
        logEmptyScanPath();
        qDebug() << "get_allOpenFilePidByPath error.";
        return -1;
    }
    raiseDescriptorLimit();
    KillSink sink(nExceptPid);
    if (!scanHolders(strPrefix.toUtf8(), sink)) {
        logProcUnreadable();
        qDebug() << "get_allOpenFilePidByPath error.";
        return -1;
    }
    sink.signalPending();
    return 0;
}
