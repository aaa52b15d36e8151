// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct openfiles;

// A directory below which descriptors count: the box root, or the root of a
// mount below it, named by a descriptor of the calling process (O_PATH will
// do) held open through the pass: the pass compares the file system's own
// objects, so it holds on any file system, whatever device numbers it
// reports. A descriptor on the anchor itself counts only when countsItself
// (a mount root below the box, not the box root).
struct ScanAnchor
{
    int fd = -1;
    bool countsItself = false;
    // Holder passes: a holder whose path below this anchor is longer is
    // flagged pathLong.
    unsigned short pathLimit = 0xffff;
};

// One descriptor whose file lies below an anchor.
struct KernelFileRecord
{
    int pid = 0; // in the reader's pid namespace
    int tid = 0; // the thread whose descriptor table holds fd, there too
    int fd = -1;
    int anchor = -1; // index into the anchors passed; -1 when undecided
    dev_t dev = 0;   // the file system's own (its superblock's), not always what stat reports
    ino_t ino = 0;
    // When not 0, stat reports (statDev, ino) for this file (read where the
    // two differ: btrfs subvolumes, overlays).
    dev_t statDev = 0;
    bool linked = false; // the file still has a name (link count above 0)
    // The walk up from the file gave out (2^23 levels) before reaching an
    // anchor or the root of its file system: it must be judged another way.
    bool undecided = false;
    // The path did not fit the kernel's buffer: relativePath is empty and
    // must be found another way.
    bool pathCut = false;
    // Names from the anchor down, joined by '/', bytes as the kernel holds
    // them; empty for the anchor itself.
    std::string relativePath;
};

// One descriptor table holding something below an anchor: reported once, at
// its first such descriptor (a process whose threads have tables of their
// own may be reported once per table).
struct KernelHolderRecord
{
    int pid = 0; // in the reader's pid namespace
    // The process's start in clock ticks since boot, as field 22 of
    // /proc/PID/stat gives it: names the process against reuse of its id.
    unsigned long long startTicks = 0;
    bool undecided = false; // the walk gave out: check this process another way
    bool pathLong = false;  // its path below the anchor exceeds the anchor's pathLimit
};

// Finds the open files below a set of anchors with one pass of a BPF
// iterator over every descriptor of every task in the reader's pid
// namespace. Loaded once; passes run one at a time.
class KernelFileScan
{
public:
    // Loads the program and attaches its iterator. Null when the kernel or
    // the process's rights do not allow it; whyNot then says why, in a few
    // words fit for one log line.
    static std::unique_ptr<KernelFileScan> load(std::string &whyNot);
    ~KernelFileScan();
    KernelFileScan(const KernelFileScan &) = delete;
    KernelFileScan &operator=(const KernelFileScan &) = delete;

    // At most this many anchors per pass.
    static constexpr std::size_t kMaxAnchors = 8;

    // Every descriptor below an anchor, in the order tasks and descriptors
    // are visited. A file's ancestry is walked once per pass, whatever its
    // depth (up to 2^23 levels) and however many descriptors hold it. The
    // pass stops looking at the first record that leaves the call to another
    // engine (undecided, cut, pathLong, or a pid of 0): the records end there.
    // 0, or -errno (out cleared) when the pass failed or the anchors are too
    // many (-E2BIG).
    int scanFiles(const std::vector<ScanAnchor> &anchors, std::vector<KernelFileRecord> &out);
    // Every descriptor table holding something below an anchor.
    int scanHolders(const std::vector<ScanAnchor> &anchors, std::vector<KernelHolderRecord> &out);

    // What loading cost: wall time, and the kernel memory the program and its
    // maps hold (their "memlock" accounting).
    double loadMilliseconds() const { return m_loadMs; }
    std::size_t kernelMemoryBytes() const;

private:
    KernelFileScan() = default;
    // Runs one pass in mode, handing each complete record to take; 0, or
    // -errno when the pass failed.
    template <typename Take>
    int runPass(unsigned mode, const std::vector<ScanAnchor> &anchors, std::size_t headSize, Take take);

    openfiles *m_skeleton = nullptr;
    struct bpf_link *m_link = nullptr;
    double m_loadMs = 0;
    std::mutex m_passLock;
    std::vector<char> m_buffer;
};
