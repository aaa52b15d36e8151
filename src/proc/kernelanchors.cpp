// SPDX-License-Identifier: GPL-2.0-or-later
#include "kernelanchors.h"

#include "logsites.h"
#include "mounttable.h"
#include "statnode.h"
#include "systemlog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <set>

namespace {

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

} // namespace

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

std::optional<Decline> kernelAnchorsOf(const ScannedBox &scanned, std::vector<KernelAnchor> &anchors)
{
    const QByteArray &boxPath = scanned.box.bytes();
    const std::vector<BoxAnchor> &wanted = scanned.anchors;
    if (!scanned.box.isCanonical())
        return Decline{kAnchorsUnknown, "the box path is not in the form the kernel prints"};
    if (wanted.empty())
        return Decline{kAnchorsUnknown, "no mount holds the box"};
    // A mount below the box that a later mount covers: no path reaches its root.
    const auto &entries = scanned.mounts.entries();
    for (const BoxAnchor &want : wanted) {
        if (want.boxRelative.isEmpty())
            continue;
        const auto later = entries.begin() + (want.mount - entries.data()) + 1;
        if (std::any_of(later, entries.end(), [&want](const MountEntry &entry) {
                return isPathAtOrBelow(want.mount->mountPoint, entry.mountPoint);
            }))
            return Decline{kAnchorsUnknown, "a mount below the box is hidden under another"};
    }
    if (wanted.size() > KernelFileScan::kMaxAnchors)
        return Decline{kAnchorsUnknown, "more than "
                                            + QByteArray::number(int(KernelFileScan::kMaxAnchors) - 1)
                                            + " mounts below the box"};
    for (std::size_t i = 0; i < wanted.size(); ++i)
        for (std::size_t j = 0; j < wanted.size(); ++j)
            if (i != j && wanted[i].mount->device == wanted[j].mount->device
                && isPathAtOrBelow(wanted[i].fsPath, wanted[j].fsPath))
                return Decline{kAnchorsUnknown, "two mounts of one file system nested in the box"};
    for (const MountEntry &entry : entries) {
        if (entry.type.isEmpty())
            return Decline{kAnchorsUnknown, "a mount without a file-system type"};
        if (isPathAtOrBelow(boxPath, entry.mountPoint) && fileSystemMayStall(entry.type))
            return Decline{kMayStall, "the " + entry.type + " mount at " + entry.mountPoint};
    }
    for (const BoxAnchor &want : wanted) {
        // The walk up never asks a file system anything, but opening a
        // mount's root below the box might; the /proc walk knows how not to.
        if (fileSystemMayStall(want.mount->type))
            return Decline{kFileSystemType, want.mount->type};
        OwnedFd directory(scanned.box.openBelow(want.boxRelative, O_PATH | O_DIRECTORY));
        struct statx sx = {};
        if (!directory || statNode(directory.get(), "", AT_EMPTY_PATH, sx) != 0
            || !(sx.stx_mask & STATX_MNT_ID))
            return Decline{kAnchorsUnknown, "cannot open the box or a mount below it"};
        if (sx.stx_mnt_id != static_cast<std::uint64_t>(want.mount->id))
            return Decline{kAnchorsUnknown, "the box or a mount below it is not where the mount table says"};
        // The /proc walk cannot read a descriptor whose whole path the
        // kernel cannot print; the kernel engine defers to it there.
        const int limit = kPrintedPathMax - joinedPath(boxPath, want.boxRelative).size() - 1;
        if (limit < 0)
            return Decline{kPathTooLong, {}};
        anchors.push_back(
            {ScanAnchor{directory.get(), !want.boxRelative.isEmpty(), static_cast<unsigned short>(limit)},
             want.boxRelative, std::move(directory), reportsOwnIdentity(want.mount->type)});
    }
    return std::nullopt;
}

std::vector<ScanAnchor> scanAnchors(const std::vector<KernelAnchor> &anchors)
{
    std::vector<ScanAnchor> scan;
    scan.reserve(anchors.size());
    for (const KernelAnchor &anchor : anchors)
        scan.push_back(anchor.scan);
    return scan;
}
