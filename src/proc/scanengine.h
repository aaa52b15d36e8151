// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "boxjudge.h"
#include "scanvisitor.h"

#include <QList>
#include <QString>

// Which engine finds the open files of a box is chosen here, and only here:
// the kernel's (a BPF iterator over every descriptor, see kernelscan/) when
// it loaded at start-up, else the /proc walk (procwalk.h). Both give the same
// answers, on any local file system; whatever the kernel engine cannot decide
// for certain (a path longer than the kernel prints, a process it cannot
// name, anchors it cannot identify without touching a file system that may
// stall: see kernelanchors.h) is left to the /proc walk for that call, with
// one system-log line the first time each reason occurs.

// Starts loading the kernel engine on a thread of its own, so start-up does
// not wait for it, and logs once which engine serves and why. Calls that
// arrive while it loads wait for the outcome. ARKVANE_SCAN_ENGINE=proc in
// the environment (tests only) keeps the /proc walk.
void startScanEngine();

// Whether the environment (ARKVANE_SCAN_ENGINE=proc, tests only) keeps the
// kernel's programs out: the scan's and the box watches' alike.
bool kernelProgramsForbidden();

// For tests in one process: whether the kernel engine may serve (when it
// loaded). Loads it first, synchronously, if startScanEngine was not called.
void allowKernelScanEngine(bool allowed);

// Hands visitor every file held inside the box, with its path inside the box
// (Judgement::boxRelative), by the kernel engine or else the /proc walk. A
// listing shows what was held when each process was read, so processes made
// faster than /proc is read still give an answer. 0, or -errno when /proc
// cannot be read.
int scanHeldFiles(const ScannedBox &scanned, DescriptorVisitor &visitor);

// Hands sink every process holding a descriptor inside the box, once, with
// its "fd" directory opened through /proc/<pid> (by the kernel engine after
// the process's start time was checked against the kernel's: a reused id is
// never handed over, a mismatch goes to cannotJudge), or else through the
// /proc walk, reading each process up to its first match. 0; -errno when
// /proc cannot be read; -EAGAIN when the walk's listings still showed new
// processes after their bound, after all that was read was handed over.
int scanHolders(const ScannedBox &scanned, HolderSink &sink);

// The kernel engine alone, for tests that set it beside the /proc walk:
// false, before the visitor saw anything, when it does not serve the call
// (not loaded, or declined, which is logged once per reason).
bool kernelHeldFiles(const ScannedBox &scanned, DescriptorVisitor &visitor);
bool kernelHolders(const ScannedBox &scanned, HolderSink &sink);

// Appends to pidList the id of every process holding a file below strPath
// (a box path with one "/" appended), judged by the file (see BoxJudge); an
// id already in the list is not added again. 0 when the scan ran to its end,
// -1 when strPath is empty or /proc or the mount table cannot be read (the
// list untouched). pidList is a CBoxPidList; the scan needs no bus type.
// Kept for callers of the published scan; the daemon itself calls
// scanHolders, through endHoldersBelow.
int get_allOpenFilePidByPath(const QString &strPath, QList<int> &pidList);
