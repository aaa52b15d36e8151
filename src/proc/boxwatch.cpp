// SPDX-License-Identifier: GPL-2.0-or-later
#include "boxwatch.h"

#include "boxjudge.h"
#include "direntries.h"
#include "logsites.h"
#include "mounttable.h"
#include "safepath.h"

#include <syslog.h>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>

// The programs know system calls by their x86-64 numbers and registers.
#if defined(ARKVANE_KERNEL_SCAN) && defined(__x86_64__)
#define ARKVANE_BOX_EVENTS 1
#include "boxevents.skel.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A box's hints are at least this far apart; a change within that time is
// told at its end.
constexpr milliseconds kSpacing{100};

#ifdef ARKVANE_BOX_EVENTS
// The same numbers are in kernelscan/boxevents.bpf.c.
constexpr int kFilterWords = 64;
constexpr int kSbFilterWords = 4;
constexpr int kRequests = 8;

std::uint32_t filterBitOf(std::uint64_t dev, std::uint64_t ino)
{
    return static_cast<std::uint32_t>(((ino ^ (dev << 32)) * 0x9E3779B97F4A7C15ULL) >> 52);
}

std::uint32_t sbFilterBitOf(std::uint64_t dev)
{
    return static_cast<std::uint32_t>(((dev + 1) * 0x9E3779B97F4A7C15ULL) >> 56);
}
#endif

std::uint64_t mixed(std::uint64_t value)
{
    value += 0x9E3779B97F4A7C15ULL;
    value = (value ^ (value >> 30)) * 0xBF58476D1CE4E5B9ULL;
    value = (value ^ (value >> 27)) * 0x94D049BB133111EBULL;
    return value ^ (value >> 31);
}

// Whether a descriptor's text names something of the box: the box directory
// itself does not count, anything below it does (a mount's root included).
bool textBelow(const char *text, std::size_t length, const QByteArray &box)
{
    const auto size = static_cast<std::size_t>(box.size());
    return length > size && text[size] == '/' && std::memcmp(text, box.constData(), size) == 0;
}

void logPolling(const std::string &why)
{
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true))
        syslog(LOG_INFO, LOG_WATCH_POLLING, int(BoxWatcher::kPollFastest.count()),
               int(BoxWatcher::kPollSlowest.count()), why.c_str());
}

} // namespace

#ifdef ARKVANE_BOX_EVENTS
struct BoxWatcher::Kernel
{
    boxevents *skeleton = nullptr;
    // The tracepoints' links, attached only while a box is watched: a kernel
    // with none of them attached pays nothing on its system calls.
    std::vector<bpf_link *> hooks;
    bpf_link *ownTable = nullptr; // the iterator, over this process's descriptors alone
    ring_buffer *wakeups = nullptr;
    // What the anchors map holds: (dev, ino) -> (below, itself).
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::pair<std::uint64_t, std::uint64_t>> placed;

    int attach()
    {
        bpf_program *const programs[] = {skeleton->progs.syscall_entered, skeleton->progs.syscall_returned,
                                         skeleton->progs.task_exiting, skeleton->progs.task_switched};
        for (bpf_program *program : programs) {
            bpf_link *link = bpf_program__attach(program);
            if (!link) {
                const int error = -errno;
                detach();
                return error;
            }
            hooks.push_back(link);
        }
        return 0;
    }
    void detach()
    {
        for (bpf_link *link : hooks)
            bpf_link__destroy(link);
        hooks.clear();
    }

    ~Kernel()
    {
        detach();
        ring_buffer__free(wakeups);
        bpf_link__destroy(ownTable);
        boxevents::destroy(skeleton);
    }
};

namespace {

int takeNothing(void *, void *, std::size_t)
{
    return 0;
}

} // namespace

bool BoxWatcher::loadKernel()
{
    static_assert(sizeof(boxevents::boxevents__bss::filter) == kFilterWords * sizeof(std::uint64_t),
                  "the filter's size is the program's");
    static_assert(sizeof(boxevents::boxevents__bss::request_fd) == kRequests * sizeof(std::uint32_t),
                  "the requests are the program's");
    static_assert(kRequests >= kMaxAnchors, "a box's anchors are taken in one pass");
    if (access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
        m_whyPolling = std::string("the kernel offers no BTF: ") + std::strerror(errno);
        return false;
    }
    auto kernel = std::make_unique<Kernel>();
    const auto failed = [this](const char *what) {
        m_whyPolling = std::string(what) + ": " + std::strerror(errno);
        return false;
    };
    kernel->skeleton = boxevents::open();
    if (!kernel->skeleton)
        return failed("cannot open the box watch programs");
    auto *numbers = kernel->skeleton->rodata;
    numbers->nr_close = SYS_close;
    numbers->nr_close_range = SYS_close_range;
    numbers->nr_dup = SYS_dup;
    numbers->nr_dup2 = SYS_dup2;
    numbers->nr_dup3 = SYS_dup3;
    numbers->nr_fcntl = SYS_fcntl;
    numbers->nr_execve = SYS_execve;
    numbers->nr_execveat = SYS_execveat;
    numbers->nr_open = SYS_open;
    numbers->nr_openat = SYS_openat;
    numbers->nr_openat2 = SYS_openat2;
    numbers->nr_creat = SYS_creat;
    numbers->nr_pidfd_getfd = SYS_pidfd_getfd;
    if (boxevents::load(kernel->skeleton) != 0)
        return failed("the kernel refused the box watch programs");
    // Attached once now, so that a kernel that refuses them is known at start.
    if (const int error = kernel->attach(); error != 0) {
        errno = -error;
        return failed("cannot attach the box watch's tracepoints");
    }
    kernel->detach();
    union bpf_iter_link_info ownProcess = {};
    ownProcess.task.pid = static_cast<__u32>(getpid());
    bpf_iter_attach_opts options = {};
    options.sz = sizeof options;
    options.link_info = &ownProcess;
    options.link_info_len = sizeof ownProcess;
    kernel->ownTable = bpf_program__attach_iter(kernel->skeleton->progs.take_anchors, &options);
    if (!kernel->ownTable)
        return failed("cannot attach the descriptor iterator");
    kernel->wakeups =
        ring_buffer__new(bpf_map__fd(kernel->skeleton->maps.wakeups), takeNothing, nullptr, nullptr);
    if (!kernel->wakeups)
        return failed("cannot map the ring buffer");
    epoll_event event = {};
    event.events = EPOLLIN;
    if (epoll_ctl(m_poller.get(), EPOLL_CTL_ADD, ring_buffer__epoll_fd(kernel->wakeups), &event) != 0)
        return failed("cannot poll the ring buffer");
    m_kernel = std::move(kernel);
    return true;
}

// The device and inode number of each anchor, as the kernel's superblock
// and inode name them:
// each directory opened here, read by the iterator in this process's own
// table, and closed again (the box is not held by its watcher).
int BoxWatcher::takeAnchors(const BoxPath &box, Box &watched)
{
    const QByteArray &boxPath = box.bytes();
    MountTable table;
    if (const int error = table.read(AT_FDCWD, "/proc/self/mountinfo"); error != 0)
        return error;
    const std::vector<BoxAnchor> wanted = boxAnchorsOf(box, table);
    if (wanted.empty())
        return -ENOENT;
    if (wanted.size() > static_cast<std::size_t>(kMaxAnchors))
        return -E2BIG;
    // Opening the box, or a mount's root below it, must not wait on a
    // server: such a box is not watched.
    for (const MountEntry &entry : table.entries())
        if ((isPathAtOrBelow(boxPath, entry.mountPoint) || isPathAtOrBelow(entry.mountPoint, boxPath))
            && fileSystemMayStall(entry.type))
            return -EOPNOTSUPP;
    std::vector<OwnedFd> directories;
    std::vector<bool> countsItself;
    for (const BoxAnchor &want : wanted) {
        const int fd = box.openBelow(want.boxRelative, O_PATH | O_DIRECTORY);
        if (fd < 0)
            return fd;
        OwnedFd directory(fd);
        struct statx sx = {};
        if (statNode(directory.get(), "", AT_EMPTY_PATH, sx) != 0 || !(sx.stx_mask & STATX_MNT_ID))
            return -EIO;
        // A mount below the box that a later one covers: no path reaches its
        // root, and what the path reaches is the later one's, also wanted.
        if (sx.stx_mnt_id != static_cast<std::uint64_t>(want.mount->id)) {
            if (want.boxRelative.isEmpty())
                return -EAGAIN; // the table changed under the box
            continue;
        }
        directories.push_back(std::move(directory));
        countsItself.push_back(!want.boxRelative.isEmpty());
    }
    auto *bss = m_kernel->skeleton->bss;
    bss->request_count = static_cast<__u32>(directories.size());
    for (std::size_t i = 0; i < directories.size(); ++i) {
        bss->request_fd[i] = static_cast<__u32>(directories[i].get());
        bss->found_dev[i] = 0;
        bss->found_ino[i] = 0;
    }
    const OwnedFd pass(bpf_iter_create(bpf_link__fd(m_kernel->ownTable)));
    if (!pass)
        return -errno;
    char buffer[256];
    ssize_t got;
    while ((got = read(pass.get(), buffer, sizeof buffer)) != 0)
        if (got < 0 && errno != EINTR)
            return -errno;
    watched.anchors.clear();
    for (std::size_t i = 0; i < directories.size(); ++i) {
        if (!bss->found_ino[i])
            return -EBADF;
        watched.anchors.push_back({bss->found_dev[i], bss->found_ino[i], countsItself[i]});
    }
    return 0;
}

int BoxWatcher::placeAnchors()
{
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::pair<std::uint64_t, std::uint64_t>> wanted;
    int watching = 0;
    for (int id = 0; id < kMaxBoxes; ++id) {
        if (!m_boxes[id].used)
            continue;
        ++watching;
        for (const Anchor &anchor : m_boxes[id].anchors) {
            auto &boxes = wanted[{anchor.dev, anchor.ino}];
            boxes.first |= 1ULL << id;
            if (anchor.countsItself)
                boxes.second |= 1ULL << id;
        }
    }
    const int map = bpf_map__fd(m_kernel->skeleton->maps.anchors);
    struct Key
    {
        std::uint64_t dev, ino;
    };
    struct Value
    {
        std::uint64_t below, itself;
    };
    // New entries go in before their filter bits, old ones out after: a
    // file is never judged against half of a change, only with a hint too
    // many.
    std::uint64_t filter[kFilterWords] = {};
    std::uint64_t sbFilter[kSbFilterWords] = {};
    for (const auto &[key, boxes] : wanted) {
        const Key k{key.first, key.second};
        const Value v{boxes.first, boxes.second};
        if (m_kernel->placed.count(key) == 0 || m_kernel->placed[key] != boxes)
            (void)bpf_map_update_elem(map, &k, &v, BPF_ANY); // sized for every box's anchors
        const std::uint32_t bit = filterBitOf(key.first, key.second);
        filter[bit >> 6] |= 1ULL << (bit & 63);
        const std::uint32_t sbBit = sbFilterBitOf(key.first);
        sbFilter[sbBit >> 6] |= 1ULL << (sbBit & 63);
    }
    auto *bss = m_kernel->skeleton->bss;
    for (int word = 0; word < kFilterWords; ++word)
        __atomic_store_n(&bss->filter[word], filter[word], __ATOMIC_RELEASE);
    for (int word = 0; word < kSbFilterWords; ++word)
        __atomic_store_n(&bss->sb_filter[word], sbFilter[word], __ATOMIC_RELEASE);
    for (const auto &entry : m_kernel->placed)
        if (wanted.count(entry.first) == 0) {
            const Key k{entry.first.first, entry.first.second};
            (void)bpf_map_delete_elem(map, &k); // there: placed says so
        }
    m_kernel->placed = std::move(wanted);
    __atomic_store_n(&bss->watching, static_cast<__u32>(watching), __ATOMIC_RELEASE);
    if (watching == 0) {
        m_kernel->detach();
        return 0;
    }
    return m_kernel->hooks.empty() ? m_kernel->attach() : 0;
}
#else
struct BoxWatcher::Kernel
{
};

bool BoxWatcher::loadKernel()
{
#ifdef ARKVANE_KERNEL_SCAN
    m_whyPolling = "the kernel's programs read system calls on x86-64 only";
#else
    m_whyPolling = "built without the kernel engine";
#endif
    return false;
}

int BoxWatcher::takeAnchors(const BoxPath &, Box &)
{
    return -ENOSYS;
}

int BoxWatcher::placeAnchors()
{
    return 0;
}
#endif

BoxWatcher::BoxWatcher(Mechanism wanted)
    : m_poller(epoll_create1(EPOLL_CLOEXEC)),
      m_timer(timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC))
{
    epoll_event event = {};
    event.events = EPOLLIN;
    if (!m_poller || !m_timer || epoll_ctl(m_poller.get(), EPOLL_CTL_ADD, m_timer.get(), &event) != 0) {
        m_error = -errno;
        return;
    }
    if (wanted == Mechanism::Polling)
        m_whyPolling = "chosen by the owner";
    else if (loadKernel())
        m_mechanism = Mechanism::Best;
    if (m_mechanism == Mechanism::Polling)
        logPolling(m_whyPolling);
}

BoxWatcher::~BoxWatcher() = default;

const char *BoxWatcher::mechanism() const
{
    return m_mechanism == Mechanism::Polling ? "polling" : "bpf";
}

int BoxWatcher::latencyMs() const
{
    return int((m_mechanism == Mechanism::Polling ? kPollSlowest + kSpacing : kSpacing).count());
}

int BoxWatcher::watch(const BoxPath &boxPath, Hint hint)
{
    if (!boxPath.isCanonical())
        return -EINVAL;
    const auto free =
        std::find_if(std::begin(m_boxes), std::end(m_boxes), [](const Box &box) { return !box.used; });
    if (free == std::end(m_boxes))
        return -ENOSPC;
    if (m_error != 0)
        return m_error;
    Box box;
    box.serial = ++m_serials;
    box.path = boxPath.bytes();
    box.hint = std::move(hint);
    if (m_mechanism != Mechanism::Polling) {
        if (const int error = takeAnchors(boxPath, box); error != 0)
            return error;
    }
    box.used = true;
    *free = std::move(box);
    if (m_mechanism == Mechanism::Polling) {
        poll(); // the new box's first account; a change of another is due as usual
    } else if (const int error = placeAnchors(); error != 0) {
        *free = Box();
        (void)placeAnchors(); // as before: fewer boxes, the hooks they had
        return error;
    }
    armTimer();
    return int(free - std::begin(m_boxes));
}

int BoxWatcher::unwatch(int id)
{
    if (id < 0 || id >= kMaxBoxes || !m_boxes[id].used)
        return -ENOENT;
    m_boxes[id] = Box();
    if (m_mechanism != Mechanism::Polling)
        (void)placeAnchors(); // fewer boxes: nothing to attach
    armTimer();
    return 0;
}

// One walk of every process's descriptors: each box's account is the sum,
// over the descriptors whose text lies in it, of a mix of process,
// descriptor and text. A box whose account changed is due a hint.
void BoxWatcher::poll()
{
    std::uint64_t sums[kMaxBoxes] = {};
    const OwnedFd proc(open("/proc", kDirOpenFlags));
    if (proc) {
        std::vector<char> buffers(2 * kDirEntriesBufferSize);
        char *procBuffer = buffers.data();
        char *fdBuffer = procBuffer + kDirEntriesBufferSize;
        DirEntries processes(proc.get(), procBuffer, kDirEntriesBufferSize);
        while (const char *name = processes.next()) {
            const int pid = pidOfProcEntry(name);
            char fdPath[kFdDirPathSize];
            if (pid <= 0 || !fdDirPathOf(name, fdPath))
                continue;
            const OwnedFd fdDir(openat(proc.get(), fdPath, kDirOpenFlags));
            if (!fdDir)
                continue; // ended, or a kernel thread
            DirEntries descriptors(fdDir.get(), fdBuffer, kDirEntriesBufferSize, true);
            while (const char *fdName = descriptors.next()) {
                char text[PATH_MAX];
                const ssize_t length = readlinkat(fdDir.get(), fdName, text, sizeof text);
                if (length <= 0)
                    continue;
                std::uint64_t textHash = 14695981039346656037ULL;
                for (ssize_t i = 0; i < length; ++i)
                    textHash = (textHash ^ static_cast<unsigned char>(text[i])) * 1099511628211ULL;
                const std::uint64_t mark =
                    mixed((std::uint64_t(pid) << 32 | std::uint64_t(std::atoi(fdName))) ^ textHash);
                for (int id = 0; id < kMaxBoxes; ++id)
                    if (m_boxes[id].used && textBelow(text, std::size_t(length), m_boxes[id].path))
                        sums[id] += mark;
            }
        }
    }
    bool changed = false;
    for (int id = 0; id < kMaxBoxes; ++id) {
        Box &box = m_boxes[id];
        if (!box.used)
            continue;
        // A box just watched takes its first account without a hint.
        if (box.fingerprint != sums[id] && box.lastHint != Clock::time_point{}) {
            box.due = true;
            changed = true;
        }
        if (box.lastHint == Clock::time_point{})
            box.lastHint = Clock::now() - kSpacing;
        box.fingerprint = sums[id];
    }
    m_pollEvery = nextPollWait(m_pollEvery, changed);
    m_nextPoll = Clock::now() + m_pollEvery;
}

void BoxWatcher::drain()
{
    std::uint64_t expirations;
    (void)!read(m_timer.get(), &expirations, sizeof expirations); // EAGAIN when it did not fire
#ifdef ARKVANE_BOX_EVENTS
    if (m_kernel) {
        // The ring buffer first: a bit set after the exchange leaves its
        // record for the next drain.
        (void)ring_buffer__consume(m_kernel->wakeups);
        const std::uint64_t changed =
            __atomic_exchange_n(&m_kernel->skeleton->bss->pending, 0, __ATOMIC_ACQ_REL);
        for (int id = 0; id < kMaxBoxes; ++id)
            if ((changed >> id & 1) && m_boxes[id].used)
                m_boxes[id].due = true;
    }
#endif
    if (m_mechanism == Mechanism::Polling && Clock::now() >= m_nextPoll)
        poll();
    const Clock::time_point now = Clock::now();
    struct Due
    {
        int id;
        unsigned serial;
        Hint hint;
    };
    std::vector<Due> hints;
    for (int id = 0; id < kMaxBoxes; ++id) {
        Box &box = m_boxes[id];
        if (box.used && box.due && now - box.lastHint >= kSpacing) {
            box.due = false;
            box.lastHint = now;
            hints.push_back({id, box.serial, box.hint});
        }
    }
    armTimer();
    // A hint may unwatch a box whose hint is still to run, and watch another
    // in its place: neither is hinted now.
    for (const Due &due : hints)
        if (m_boxes[due.id].used && m_boxes[due.id].serial == due.serial && due.hint)
            due.hint();
}

// The timer wakes the owner for the next hint held back by kSpacing and, when
// polling, for the next walk; otherwise it stays off.
void BoxWatcher::armTimer()
{
    Clock::time_point next = Clock::time_point::max();
    bool any = false;
    for (const Box &box : m_boxes) {
        any = any || box.used;
        if (box.used && box.due)
            next = std::min(next, box.lastHint + kSpacing);
    }
    if (any && m_mechanism == Mechanism::Polling)
        next = std::min(next, m_nextPoll);
    itimerspec when = {};
    if (next != Clock::time_point::max()) {
        const auto since =
            std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count();
        // steady_clock is CLOCK_MONOTONIC; 0 would disarm the timer.
        const long long at = std::max<long long>(since, 1);
        when.it_value.tv_sec = at / 1000000000LL;
        when.it_value.tv_nsec = at % 1000000000LL;
    }
    (void)timerfd_settime(m_timer.get(), TFD_TIMER_ABSTIME, &when, nullptr); // valid times: cannot fail
}
