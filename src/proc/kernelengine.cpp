// SPDX-License-Identifier: GPL-2.0-or-later
// The kernel engine's side of scanengine.h: its loading, and its passes'
// records turned into what the /proc walk would hand the same visitor.
#include "scanengine.h"

#include "kernelanchors.h"
#include "kernelfilescan.h"
#include "logsites.h"
#include "mounttable.h"
#include "ownedfd.h"
#include "pathtext.h"
#include "procstat.h"
#include "procwalk.h"
#include "statnode.h"

#include <QByteArray>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>

namespace {

enum class LoadState { NotStarted, Loading, Done };

std::mutex g_loadLock;
std::condition_variable g_loaded;
LoadState g_state = LoadState::NotStarted;
// Never destroyed: the loader may finish while the process exits.
KernelFileScan *g_scan = nullptr;
std::atomic<bool> g_allowed{true};

// The one line saying which engine serves, in the system log: the debug
// stream's start-up stays "gogogo" alone.
void logEngine(const char *why)
{
    syslog(LOG_INFO, LOG_ENGINE_PROC, why);
}

void load()
{
    std::string whyNot;
    std::unique_ptr<KernelFileScan> scan = KernelFileScan::load(whyNot);
    if (scan)
        syslog(LOG_INFO, LOG_ENGINE_KERNEL, scan->loadMilliseconds());
    else
        logEngine(whyNot.c_str());
    std::lock_guard<std::mutex> lock(g_loadLock);
    g_scan = scan.release();
    g_state = LoadState::Done;
    g_loaded.notify_all();
}

// The kernel engine when it serves; waits while it loads.
KernelFileScan *engine()
{
    if (!g_allowed.load())
        return nullptr;
    std::unique_lock<std::mutex> lock(g_loadLock);
    g_loaded.wait(lock, [] { return g_state != LoadState::Loading; });
    return g_scan;
}

} // namespace

void startScanEngine()
{
    if (kernelProgramsForbidden()) {
        g_allowed.store(false);
        logEngine("chosen by ARKVANE_SCAN_ENGINE");
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_loadLock);
        if (g_state != LoadState::NotStarted)
            return;
        g_state = LoadState::Loading;
    }
    std::thread(load).detach();
}

void allowKernelScanEngine(bool allowed)
{
    bool loadNow = false;
    {
        std::lock_guard<std::mutex> lock(g_loadLock);
        if (g_state == LoadState::NotStarted) {
            g_state = LoadState::Loading;
            loadNow = true;
        }
    }
    if (loadNow)
        load();
    g_allowed.store(allowed);
}

namespace {

bool pathTooLong(const KernelFileRecord &record)
{
    return record.pathCut;
}

bool pathTooLong(const KernelHolderRecord &record)
{
    return record.pathLong;
}

// Why a record leaves the call to the /proc walk, if it does.
std::optional<Decline> declines(int pid, bool undecided, bool pathTooLong)
{
    if (pid <= 0)
        return Decline{kHolderUnnamed, {}};
    if (undecided)
        return Decline{kTooDeep, {}};
    if (pathTooLong)
        return Decline{kPathTooLong, {}};
    return std::nullopt;
}

// The kernel engine's own records for boxPath from one pass of scan; false
// (the reason logged) when it does not serve the call.
template <typename Record, typename Pass>
bool kernelRecords(const char *function, const ScannedBox &scanned, std::vector<KernelAnchor> &anchors,
                   std::vector<Record> &records, Pass pass)
{
    KernelFileScan *scan = engine();
    if (!scan)
        return false;
    std::optional<Decline> why = kernelAnchorsOf(scanned, anchors);
    if (!why) {
        if (const int error = (scan->*pass)(scanAnchors(anchors), records))
            why = Decline{kPassFailed, std::strerror(-error)};
    }
    for (std::size_t i = 0; !why && i < records.size(); ++i)
        why = declines(records[i].pid, records[i].undecided, pathTooLong(records[i]));
    if (why)
        logDeclined(function, scanned.box.bytes(), *why);
    return !why;
}

// What stat reports of the files held, as a caller's stat of their paths
// will: each distinct file statted once, through its holder's table (opened
// once for all its records, which come together).
class StatIdentities
{
public:
    // 0, or -errno when it cannot be statted (-ENOENT: closed since).
    int find(const KernelFileRecord &record, dev_t &device, ino_t &inode)
    {
        auto known = m_known.find({record.dev, record.ino});
        if (known == m_known.end()) {
            if (!m_table || record.pid != m_pid || record.tid != m_tid) {
                char path[64];
                formatFitting(path, sizeof path, "/proc/%d/task/%d/fd", record.pid, record.tid);
                m_table = OwnedFd(open(path, O_PATH | O_DIRECTORY | O_CLOEXEC));
                m_pid = record.pid;
                m_tid = record.tid;
            }
            char name[16];
            formatFitting(name, sizeof name, "%d", record.fd);
            struct statx sx = {};
            if (!m_table)
                return -errno;
            if (const int statted = statNode(m_table.get(), name, 0, sx))
                return statted;
            const Identity seen{makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
            known = m_known.insert({{record.dev, record.ino}, seen}).first;
        }
        device = known->second.first;
        inode = known->second.second;
        return 0;
    }

private:
    using Identity = std::pair<dev_t, ino_t>;
    struct Hash
    {
        std::size_t operator()(const Identity &identity) const
        {
            return std::hash<unsigned long long>()(identity.second * 1000003ULL ^ identity.first);
        }
    };
    std::unordered_map<Identity, Identity, Hash> m_known;
    OwnedFd m_table;
    int m_pid = 0;
    int m_tid = 0;
};

} // namespace

bool kernelHeldFiles(const ScannedBox &scanned, DescriptorVisitor &visitor)
{
    const QByteArray &boxPath = scanned.box.bytes();
    std::vector<KernelAnchor> anchors;
    std::vector<KernelFileRecord> records;
    if (!kernelRecords("kernelHeldFiles", scanned, anchors, records, &KernelFileScan::scanFiles))
        return false;
    // Handed over only once every record is known to be served.
    struct Held
    {
        int pid;
        HeldDescriptor descriptor;
        Judgement judgement;
    };
    std::vector<Held> held;
    StatIdentities statIdentities;
    for (const KernelFileRecord &record : records) {
        if (!record.linked)
            continue;
        assert(record.anchor >= 0 && static_cast<std::size_t>(record.anchor) < anchors.size());
        const KernelAnchor &anchor = anchors[static_cast<std::size_t>(record.anchor)];
        const QByteArray relative =
            joinedPath(anchor.boxRelative,
                       QByteArray(record.relativePath.data(), static_cast<int>(record.relativePath.size())));
        // The whole path must be one the kernel prints, as the /proc walk
        // reads it; only the box itself, never listed, has an empty one.
        const bool tooLong = boxPath.size() + 1 + relative.size() > kPrintedPathMax;
        if (relative.isEmpty() || tooLong) {
            logDeclined("kernelHeldFiles", boxPath,
                        tooLong ? Decline{kPathTooLong, {}}
                                : Decline{kAnchorsUnknown, "a file held as the box itself"});
            return false;
        }
        HeldDescriptor descriptor;
        descriptor.statted = true;
        descriptor.device = record.statDev ? record.statDev : record.dev;
        descriptor.inode = record.ino;
        if (!record.statDev && !anchor.reportsOwnIdentity) {
            if (const int error = statIdentities.find(record, descriptor.device, descriptor.inode)) {
                if (hasEnded(-error))
                    continue; // closed since the pass
                logDeclined("kernelHeldFiles", boxPath,
                            {kPassFailed, "cannot stat a held file: " + QByteArray(std::strerror(-error))});
                return false;
            }
        }
        held.push_back({record.pid, descriptor, Judgement{Verdict::Inside, relative, false}});
    }
    for (const Held &file : held) {
        visitor.judged(file.pid, -1, file.descriptor, file.judgement);
        visitor.processDone(file.pid);
    }
    return true;
}

bool kernelHolders(const ScannedBox &scanned, HolderSink &sink)
{
    std::vector<KernelAnchor> anchors;
    std::vector<KernelHolderRecord> records;
    if (!kernelRecords("kernelHolders", scanned, anchors, records, &KernelFileScan::scanHolders))
        return false;
    const OwnedFd proc(open("/proc", kDirOpenFlags));
    if (!proc)
        return false;
    std::unordered_set<int> seen;
    for (const KernelHolderRecord &record : records) {
        if (!seen.insert(record.pid).second || !sink.wants(record.pid))
            continue;
        char name[16];
        formatFitting(name, sizeof name, "%d", record.pid);
        const OwnedFd procDir(openDirFreeingDescriptors(proc.get(), name, sink));
        if (!procDir && hasEnded(-procDir.get()))
            continue; // ended since the pass
        // Another start time: the holder ended and its id was given again
        // (or the clocks disagree); either way it cannot be vouched for.
        ProcStat stat;
        const int statRead = procDir ? procStatIn(procDir.get(), stat) : procDir.get();
        if (procDir && hasEnded(-statRead))
            continue; // ended since the pass
        // Tests shift the pass's start times to see a holder they disagree on left alone.
        static const unsigned long long testSkew =
            std::strtoull(qgetenv("ARKVANE_TEST_START_TIME_SKEW").constData(), nullptr, 10);
        if (statRead != 0 || stat.startTicks != record.startTicks + testSkew) {
            sink.cannotJudge(record.pid);
            continue;
        }
        const OwnedFd fdDir(openDirFreeingDescriptors(procDir.get(), "fd", sink));
        if (fdDir)
            sink.take(record.pid, fdDir.get());
        else if (!hasEnded(-fdDir.get()))
            sink.cannotJudge(record.pid);
    }
    return true;
}
