// SPDX-License-Identifier: GPL-2.0-or-later
#pragma once

#include "boxpath.h"
#include "ownedfd.h"

#include <QByteArray>

#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Tells, without the owner polling, that the processes holding files in a
// watched box may have changed: a hint, never a verdict. A box is free only
// when a scan says so; the watcher's part is to say when a scan is worth
// running, within latencyMs() of the change.
//
// Two mechanisms:
// - "bpf": programs on the kernel's system-call and task-exit tracepoints
//   (kernelscan/boxevents.bpf.c) that place each descriptor closed or
//   opened against the watched boxes' anchors in the kernel, and wake the
//   owner only for a file inside one. Idle, or busy outside every box, the
//   owner is never woken. Attached only while a box is watched: then every
//   system call of the machine takes the kernel's traced path and runs them
//   (about 250 ns a call measured, bench/run.sh --watch). Not seen: a close
//   through io_uring (IORING_OP_CLOSE); and, of the ways a descriptor
//   enters a table, one received through a socket, a fork's copies and
//   io_uring's own opens (none of these can leave a box free). Needs
//   x86-64, a kernel of 6.2 or later with BTF, and CAP_BPF with
//   CAP_PERFMON (or CAP_SYS_ADMIN).
// - "polling": when those cannot load (no BTF, no right to load BPF, not
//   x86-64, a build without the kernel engine), a walk of every process's
//   descriptors in /proc, by their text (the box path and what lies below
//   it, as the watcher's mount namespace prints them), compared with the
//   walk before; every 100 ms after a change, backing off to 1.6 s while
//   nothing changes. A holder in another mount namespace that prints the
//   box under another path is not seen by it. Chosen once, with a
//   system-log line saying why.
//
// The owner polls fd() for reading (a QSocketNotifier will do) and calls
// drain(), which runs the hints that are due. A box is hinted at most every
// 100 ms: changes in between are told by one hint at the end of that time.
// watch, unwatch and drain belong to one thread, the owner's; a hint may
// watch and unwatch.
class BoxWatcher
{
public:
    enum class Mechanism { Best, Polling };
    using Hint = std::function<void()>;

    // At most this many boxes are watched at once, each with at most
    // kMaxAnchors directories (the box and the mounts below it).
    static constexpr int kMaxBoxes = 64;
    static constexpr int kMaxAnchors = 8;

    // How long a poll waits before its next look: kPollFastest after one
    // that saw a change (or the first), twice the last wait after one that
    // saw none, up to kPollSlowest. The watcher's polling of /proc keeps to
    // it, and so does whoever polls a box it cannot watch.
    static constexpr std::chrono::milliseconds kPollFastest{100};
    static constexpr std::chrono::milliseconds kPollSlowest{1600};
    static std::chrono::milliseconds nextPollWait(std::chrono::milliseconds last, bool changed)
    {
        return changed || last.count() == 0 ? kPollFastest : std::min(last * 2, kPollSlowest);
    }

    // Best loads the kernel's programs and polls only when they do not load;
    // Polling polls (for tests of the fallback).
    explicit BoxWatcher(Mechanism wanted = Mechanism::Best);
    ~BoxWatcher();
    BoxWatcher(const BoxWatcher &) = delete;
    BoxWatcher &operator=(const BoxWatcher &) = delete;

    // Watches the box at boxPath (absolute, canonical: no trailing slash, no
    // "." or ".."), as it and the mounts below it are now; a mount made
    // below it later is not watched until it is watched again. The watch's
    // id (>= 0), or -errno: -EINVAL for a path not in that form, -ENOSPC
    // when kMaxBoxes are watched, -E2BIG for more mounts below it than fit,
    // -EOPNOTSUPP for a box on or above a mount that may stall a lookup
    // (FUSE, network file systems: opening it could hang the owner), what
    // opening it said.
    int watch(const BoxPath &boxPath, Hint hint);
    // 0, or -ENOENT when id is not watched. Its hints stop at once.
    int unwatch(int id);

    // Readable when drain() has something to do.
    int fd() const { return m_poller.get(); }
    // Runs the hints that are due and arms what must wake the owner next.
    void drain();

    // "bpf" or "polling".
    const char *mechanism() const;
    // The longest time from a change to its hint, as far as the mechanism
    // keeps to it (the owner's own delay in draining aside).
    int latencyMs() const;
    // Why the watcher polls; empty when it does not.
    const std::string &whyPolling() const { return m_whyPolling; }

private:
    // A directory of the box as the kernel names it: its superblock's device
    // number and its inode number.
    struct Anchor
    {
        unsigned long long dev = 0;
        unsigned long long ino = 0;
        bool countsItself = false; // a mount's root below the box: a descriptor on it counts
    };
    struct Box
    {
        bool used = false;
        unsigned serial = 0; // tells this watch from an earlier one of the same id
        QByteArray path;
        Hint hint;
        std::vector<Anchor> anchors;        // bpf
        unsigned long long fingerprint = 0; // polling: the last walk's
        bool due = false;
        std::chrono::steady_clock::time_point lastHint{};
    };
    struct Kernel;

    bool loadKernel();
    int takeAnchors(const BoxPath &box, Box &watched);
    int placeAnchors();
    void poll();
    void armTimer();

    int m_error = 0; // -errno: the descriptors above could not be made
    unsigned m_serials = 0;
    Mechanism m_mechanism = Mechanism::Polling;
    std::string m_whyPolling;
    std::unique_ptr<Kernel> m_kernel;
    OwnedFd m_poller; // epoll: the ring buffer's and the timer's
    OwnedFd m_timer;
    Box m_boxes[kMaxBoxes];
    std::chrono::milliseconds m_pollEvery{0};
    std::chrono::steady_clock::time_point m_nextPoll{};
};
