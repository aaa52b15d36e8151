// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

// Which boxes the kernel engine takes, and why it leaves the others to the
// /proc walk: its anchors must be the very directories the mount table names,
// opened without touching a file system that may stall, each with the room
// the kernel has left to print the paths below it.

#include "boxjudge.h"
#include "kernelfilescan.h"
#include "ownedfd.h"

#include <QByteArray>

#include <optional>
#include <vector>

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
// mount type or case named) at LOG_INFO: a box the engine does not read stays
// so, and a line per call would say nothing new.
void logDeclined(const char *function, const QByteArray &boxPath, const Decline &why);

// The longest path the kernel prints of a descriptor (PATH_MAX less its
// terminator).
constexpr int kPrintedPathMax = 4095;

struct KernelAnchor
{
    ScanAnchor scan;
    QByteArray boxRelative;
    OwnedFd directory;              // scan.fd, held through the pass
    bool reportsOwnIdentity = true; // its files' stat gives the kernel's numbers
};

// The box directory and the root of every mount below it (the box's anchors,
// as BoxJudge takes them), each opened (BoxPath::openBelow) and checked to be
// the very mount the table names. Nothing, or the reason the kernel engine
// cannot take them: too many, a mount hidden under another (no path reaches
// its root), two nested on one file system (the walk up would stop at the
// inner one where the /proc walk names the file by the mount it was opened
// through), a lookup that could stall, or a box path longer than the kernel
// prints.
std::optional<Decline> kernelAnchorsOf(const ScannedBox &scanned, std::vector<KernelAnchor> &anchors);

// The anchors as the kernel engine's pass takes them.
std::vector<ScanAnchor> scanAnchors(const std::vector<KernelAnchor> &anchors);
