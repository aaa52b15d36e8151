// SPDX-License-Identifier: GPL-2.0-or-later
#include "scanengine.h"

#include "boxjudge.h"
#include "direntries.h"
#include "holdersink.h"
#include "logsites.h"
#include "mounttable.h"
#include "ownedfd.h"
#include "pathtext.h"
#include "procstat.h"
#include "safepath.h"
#include "systemlog.h"

#include <QDebug>

#include <cassert>

#include <syslog.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#ifdef ARKVANE_KERNEL_SCAN
#include "kernelfilescan.h"
#endif

#ifdef ARKVANE_KERNEL_SCAN
namespace {

enum class LoadState { NotStarted, Loading, Done };

// Why the kernel engine leaves a call to the /proc walk, as the site number
// of its system-log line (the table in logsites.h).
enum Declined : int {
    kFileSystemType = 401, // the box, or a mount below it, on a file system it does not read
    kMayStall = 402,       // a mount on the way to the box, or below it, may stall a lookup
    kPathTooLong = 403,    // a held file's whole path is longer than the kernel prints
    kTooDeep = 404,        // a held file lies deeper than the engine walks
    kAnchorsUnknown = 405, // the box or the mounts below it cannot be identified
    kHolderUnnamed = 406,  // a holder has no process id in the daemon's pid namespace
    kPassFailed = 407,     // the kernel pass itself failed
};

struct Decline
{
    Declined site = kAnchorsUnknown;
    QByteArray what; // the particular case, fixed text or a file-system type
};

// Logs the first call declined for each reason (and each file-system type,
// mount type or case named): a box the engine does not read stays so, and a
// line per call would say nothing new.
void logDeclined(const char *function, const QByteArray &boxPath, const Decline &why)
{
    static std::mutex lock;
    static std::set<std::pair<int, QByteArray>> logged;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!logged.insert({why.site, why.what}).second)
            return;
    }
    const QByteArray what = escapedForLog(why.what);
    const QByteArray box = escapedForLog(boxPath);
    switch (why.site) {
    case kFileSystemType:
        syslog(LOG_INFO, LOG_DECLINED_TYPE, function, what.constData(), box.constData());
        break;
    case kMayStall:
        syslog(LOG_INFO, LOG_DECLINED_STALL, function, what.constData(), box.constData());
        break;
    case kPathTooLong:
        syslog(LOG_INFO, LOG_DECLINED_PATH, function, box.constData());
        break;
    case kTooDeep:
        syslog(LOG_INFO, LOG_DECLINED_DEPTH, function, box.constData());
        break;
    case kAnchorsUnknown:
        syslog(LOG_INFO, LOG_DECLINED_ANCHORS, function, what.constData(), box.constData());
        break;
    case kHolderUnnamed:
        syslog(LOG_INFO, LOG_DECLINED_HOLDER, function, box.constData());
        break;
    case kPassFailed:
        syslog(LOG_INFO, LOG_DECLINED_PASS, function, what.constData(), box.constData());
        break;
    }
}

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

// File systems whose files report to stat the device and inode numbers the
// kernel engine reads (their superblock's, their inode's): btrfs subvolumes
// and overlays report others, so their held files are statted.
bool reportsOwnIdentity(const QByteArray &type)
{
    static const char *const kTypes[] = {"tmpfs", "ramfs", "ext2", "ext3", "ext4", "xfs"};
    for (const char *known : kTypes)
        if (type == known)
            return true;
    return false;
}

// File systems a path lookup may wait on indefinitely.
bool mayStall(const QByteArray &type)
{
    return fileSystemMayStall(type);
}

// The longest path the kernel prints of a descriptor (PATH_MAX less its
// terminator).
constexpr int kPrintedPathMax = 4095;

struct Anchor
{
    ScanAnchor scan;
    QByteArray boxRelative;
    OwnedFd directory;              // scan.fd, held through the pass
    bool reportsOwnIdentity = true; // its files' stat gives the kernel's numbers
};

// The directory at path (absolute), opened without following a link; -1
// with errno set.
int openAnchor(const QByteArray &path)
{
    const OwnedFd root(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
    const int fd = root ? openBeneathNoLinks(root.get(), path.mid(1), O_PATH | O_DIRECTORY) : -errno;
    if (fd < 0)
        errno = -fd;
    return fd < 0 ? -1 : fd;
}

// The box directory and the root of every mount below it (as BoxJudge
// takes them), each opened and checked to be the very mount the table names.
// False, with the reason, when the kernel engine cannot take them: too many,
// a mount hidden under another (no path reaches its root), two nested on one
// file system (the walk up would stop at the inner one where the /proc walk
// names the file by the mount it was opened through), a lookup that could
// stall, or a box path longer than the kernel prints.
bool anchorsOf(const QByteArray &boxPath, const MountTable &table, std::vector<Anchor> &anchors, Decline &why)
{
    why = {kAnchorsUnknown, "the box path is not in the form the kernel prints"};
    if (!isCanonicalPath(boxPath))
        return false;
    why.what = "no mount holds the box";
    const std::vector<BoxAnchor> wanted = boxAnchorsOf(boxPath, table);
    if (wanted.empty())
        return false;
    // A mount below the box that a later mount covers: no path reaches its root.
    const auto &entries = table.entries();
    why.what = "a mount below the box is hidden under another";
    for (const BoxAnchor &want : wanted) {
        if (want.boxRelative.isEmpty())
            continue;
        const auto later = entries.begin() + (want.mount - entries.data()) + 1;
        if (std::any_of(later, entries.end(), [&want](const MountEntry &entry) {
                return isPathAtOrBelow(want.mount->mountPoint, entry.mountPoint);
            }))
            return false;
    }
    why.what =
        "more than " + QByteArray::number(int(KernelFileScan::kMaxAnchors) - 1) + " mounts below the box";
    if (wanted.size() > KernelFileScan::kMaxAnchors)
        return false;
    why.what = "two mounts of one file system nested in the box";
    for (std::size_t i = 0; i < wanted.size(); ++i)
        for (std::size_t j = 0; j < wanted.size(); ++j)
            if (i != j && wanted[i].mount->device == wanted[j].mount->device
                && isPathAtOrBelow(wanted[i].fsPath, wanted[j].fsPath))
                return false;
    for (const MountEntry &entry : entries) {
        if (entry.type.isEmpty()) {
            why = {kAnchorsUnknown, "a mount without a file-system type"};
            return false;
        }
        if (isPathAtOrBelow(boxPath, entry.mountPoint) && mayStall(entry.type)) {
            why = {kMayStall, "the " + entry.type + " mount at " + entry.mountPoint};
            return false;
        }
    }
    for (const BoxAnchor &want : wanted) {
        // The walk up never asks a file system anything, but opening a
        // mount's root below the box might; the /proc walk knows how not to.
        why = {kFileSystemType, want.mount->type};
        if (mayStall(want.mount->type))
            return false;
        const QByteArray path = joinedPath(boxPath, want.boxRelative);
        OwnedFd directory(openAnchor(path));
        struct statx sx = {};
        why = {kAnchorsUnknown, "cannot open the box or a mount below it"};
        if (!directory || !statNode(directory.get(), "", AT_EMPTY_PATH, sx) || !(sx.stx_mask & STATX_MNT_ID))
            return false;
        why.what = "the box or a mount below it is not where the mount table says";
        if (sx.stx_mnt_id != static_cast<std::uint64_t>(want.mount->id))
            return false;
        // The /proc walk cannot read a descriptor whose whole path the
        // kernel cannot print; the kernel engine defers to it there.
        const int limit = kPrintedPathMax - path.size() - 1;
        why = {kPathTooLong, {}};
        if (limit < 0)
            return false;
        anchors.push_back(
            {ScanAnchor{directory.get(), !want.boxRelative.isEmpty(), static_cast<unsigned short>(limit)},
             want.boxRelative, std::move(directory), reportsOwnIdentity(want.mount->type)});
    }
    return true;
}

std::vector<ScanAnchor> scanAnchors(const std::vector<Anchor> &anchors)
{
    std::vector<ScanAnchor> scan;
    scan.reserve(anchors.size());
    for (const Anchor &anchor : anchors)
        scan.push_back(anchor.scan);
    return scan;
}

} // namespace

void startScanEngine()
{
    const char *forced = std::getenv("ARKVANE_SCAN_ENGINE");
    if (forced && std::strcmp(forced, "proc") == 0) {
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

// Why a record leaves the call to the /proc walk, or false when it does not.
bool declines(int pid, bool undecided, bool pathTooLong, Decline &why)
{
    if (pid <= 0)
        why = {kHolderUnnamed, {}};
    else if (undecided)
        why = {kTooDeep, {}};
    else if (pathTooLong)
        why = {kPathTooLong, {}};
    return pid <= 0 || undecided || pathTooLong;
}

// The kernel engine's own records for boxPath from one pass of scan; false
// (the reason logged) when it does not serve the call.
template <typename Record, typename Pass>
bool kernelRecords(const char *function, const QByteArray &boxPath, const MountTable &mounts,
                   std::vector<Anchor> &anchors, std::vector<Record> &records, Pass pass)
{
    KernelFileScan *scan = engine();
    if (!scan)
        return false;
    Decline why;
    bool served = anchorsOf(boxPath, mounts, anchors, why);
    if (served && !(scan->*pass)(scanAnchors(anchors), records)) {
        why = {kPassFailed, std::strerror(errno)};
        served = false;
    }
    for (std::size_t i = 0; served && i < records.size(); ++i) {
        const Record &record = records[i];
        served = !declines(record.pid, record.undecided, pathTooLong(record), why);
    }
    if (!served)
        logDeclined(function, boxPath, why);
    return served;
}

// What stat reports of the files held, as a caller's stat of their paths
// will: each distinct file statted once, through its holder's table (opened
// once for all its records, which come together).
class StatIdentities
{
public:
    // False with errno set when it cannot be statted (ENOENT: closed since).
    bool find(const KernelFileRecord &record, dev_t &device, ino_t &inode)
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
            if (!m_table || !statNode(m_table.get(), name, 0, sx))
                return false;
            const Identity seen{makedev(sx.stx_dev_major, sx.stx_dev_minor), sx.stx_ino};
            known = m_known.insert({{record.dev, record.ino}, seen}).first;
        }
        device = known->second.first;
        inode = known->second.second;
        return true;
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

bool kernelHeldFiles(const QByteArray &boxPath, const MountTable &mounts, std::vector<KernelHeldFile> &out)
{
    std::vector<Anchor> anchors;
    std::vector<KernelFileRecord> records;
    if (!kernelRecords("kernelHeldFiles", boxPath, mounts, anchors, records, &KernelFileScan::scanFiles))
        return false;
    out.clear();
    StatIdentities statIdentities;
    for (const KernelFileRecord &record : records) {
        if (!record.linked)
            continue;
        assert(record.anchor >= 0 && static_cast<std::size_t>(record.anchor) < anchors.size());
        const QByteArray relative =
            joinedPath(anchors[static_cast<std::size_t>(record.anchor)].boxRelative,
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
        KernelHeldFile held{relative, record.statDev ? record.statDev : record.dev, record.ino};
        if (!record.statDev && !anchors[static_cast<std::size_t>(record.anchor)].reportsOwnIdentity
            && !statIdentities.find(record, held.device, held.inode)) {
            if (hasEnded(errno))
                continue; // closed since the pass
            logDeclined("kernelHeldFiles", boxPath,
                        {kPassFailed, "cannot stat a held file: " + QByteArray(std::strerror(errno))});
            return false;
        }
        out.push_back(std::move(held));
    }
    return true;
}

bool kernelHolders(const QByteArray &boxPath, const MountTable &mounts, HolderSink &sink)
{
    std::vector<Anchor> anchors;
    std::vector<KernelHolderRecord> records;
    if (!kernelRecords("kernelHolders", boxPath, mounts, anchors, records, &KernelFileScan::scanHolders))
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
        if (!procDir && hasEnded(errno))
            continue; // ended since the pass
        // Another start time: the holder ended and its id was given again
        // (or the clocks disagree); either way it cannot be vouched for.
        const std::optional<ProcStat> stat = procDir ? procStatIn(procDir.get()) : std::nullopt;
        if (procDir && !stat && hasEnded(errno))
            continue; // ended since the pass
        // Tests shift the pass's start times to see a holder they disagree on left alone.
        static const unsigned long long testSkew =
            std::strtoull(qgetenv("ARKVANE_TEST_START_TIME_SKEW").constData(), nullptr, 10);
        if (!stat || stat->startTicks != record.startTicks + testSkew) {
            sink.cannotJudge(record.pid);
            continue;
        }
        const OwnedFd fdDir(openDirFreeingDescriptors(procDir.get(), "fd", sink));
        if (fdDir)
            sink.take(record.pid, fdDir.get());
        else if (!hasEnded(errno))
            sink.cannotJudge(record.pid);
    }
    return true;
}

#else // no kernel engine in this build

void startScanEngine()
{
    syslog(LOG_INFO, LOG_ENGINE_PROC, "built without the kernel scan engine");
}

void allowKernelScanEngine(bool) {}

bool kernelHeldFiles(const QByteArray &, const MountTable &, std::vector<KernelHeldFile> &)
{
    return false;
}

bool kernelHolders(const QByteArray &, const MountTable &, HolderSink &)
{
    return false;
}

#endif
