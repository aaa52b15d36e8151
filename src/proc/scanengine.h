// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <QByteArray>

#include <sys/types.h>

#include <vector>

class HolderSink;
class MountTable;

// Which engine finds the open files of a box: the kernel's (a BPF iterator
// over every descriptor, see kernelscan/) when it loaded at start-up, else
// the /proc walk. Both give the same answers, on any local file system;
// whatever the kernel engine cannot decide for certain (a path longer than
// the kernel prints, a process it cannot name, anchors it cannot identify
// without touching a file system that may stall) is left to the /proc walk
// for that call, with one system-log line the first time each reason occurs.

// Starts loading the kernel engine on a thread of its own, so start-up does
// not wait for it, and logs once which engine serves and why. Calls that
// arrive while it loads wait for the outcome. ARKVANE_SCAN_ENGINE=proc in
// the environment (tests only) keeps the /proc walk.
void startScanEngine();

// For tests in one process: whether the kernel engine may serve (when it
// loaded). Loads it first, synchronously, if startScanEngine was not called.
void allowKernelScanEngine(bool allowed);

// A file held inside the box and still linked, as the kernel engine found it.
struct KernelHeldFile
{
    QByteArray relative; // the path inside the box
    dev_t device = 0;
    ino_t inode = 0;
};

// The held, linked files inside boxPath, in the order found (duplicates
// kept). mounts is the daemon's own mount table, read by the caller. False
// when the kernel engine does not serve this call: the /proc walk must.
bool kernelHeldFiles(const QByteArray &boxPath, const MountTable &mounts, std::vector<KernelHeldFile> &out);

// Hands sink every process holding a descriptor inside boxPath, once, with
// its "fd" directory opened through /proc/<pid> after the process's start
// time was checked against the kernel's (a reused id is never handed over;
// a mismatch goes to cannotJudge). False when the kernel engine does not
// serve this call, before sink saw anything.
bool kernelHolders(const QByteArray &boxPath, const MountTable &mounts, HolderSink &sink);
