// SPDX-License-Identifier: GPL-2.0-or-later
#include "kernelfilescan.h"

#include "capabilities.h"
#include "pathtext.h"

// The skeleton names the record types: they must be declared first.
#include "scanrecords.h"

#include "openfiles.skel.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>

#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <linux/capability.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// libbpf's last warning, kept to explain a failed load instead of printing it.
char lastLibbpfWarning[256];

int keepLibbpfWarning(enum libbpf_print_level level, const char *format, va_list args)
{
    if (level != LIBBPF_WARN)
        return 0;
    char line[sizeof lastLibbpfWarning];
    // libbpf's own format with its own arguments, passed through.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    const int length = vsnprintf(line, sizeof line, format, args);
#pragma GCC diagnostic pop
    if (length <= 0)
        return 0;
    std::size_t end = std::strlen(line);
    while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == ' '))
        line[--end] = '\0';
    if (end > 0)
        std::memcpy(lastLibbpfWarning, line, end + 1);
    return 0;
}

std::string withErrno(const char *what, int error)
{
    std::string text = what;
    text += ": ";
    text += std::strerror(error);
    if (lastLibbpfWarning[0]) {
        text += " (";
        text += lastLibbpfWarning;
        text += ")";
    }
    return text;
}

// The first line of a small file that contains marker, or empty.
std::string lineWith(const char *path, const char *marker)
{
    std::string found;
    if (FILE *file = std::fopen(path, "re")) {
        char line[256];
        while (found.empty() && std::fgets(line, sizeof line, file))
            if (std::strstr(line, marker))
                found.assign(line, std::strcspn(line, "\n"));
        (void)std::fclose(file); // read only: nothing to lose
    }
    return found;
}

// Why bpf() said EPERM, as far as the process can tell.
std::string refusal()
{
    if (!hasEffectiveCapability(CAP_SYS_ADMIN)
        && !(hasEffectiveCapability(CAP_BPF) && hasEffectiveCapability(CAP_PERFMON)))
        return "bpf() refused: neither CAP_BPF with CAP_PERFMON nor CAP_SYS_ADMIN";
    const std::string seccomp = lineWith("/proc/self/status", "Seccomp:");
    if (!seccomp.empty() && seccomp.find('0') == std::string::npos)
        return "bpf() refused, probably by a seccomp filter (" + seccomp + ")";
    const std::string lockdown = lineWith("/sys/kernel/security/lockdown", "[");
    if (!lockdown.empty() && lockdown.find("[none]") == std::string::npos)
        return "bpf() refused, probably by kernel lockdown (" + lockdown + ")";
    return "bpf() refused";
}

// The kernel's device numbers: major << 20 | minor.
dev_t userDev(ks_u32 dev)
{
    return makedev(dev >> 20, dev & 0xfffff);
}

std::size_t memlockOf(int fd)
{
    char path[64];
    formatFitting(path, sizeof path, "/proc/self/fdinfo/%d", fd);
    FILE *info = std::fopen(path, "re");
    if (!info)
        return 0;
    std::size_t bytes = 0;
    char line[256];
    while (std::fgets(line, sizeof line, info))
        if (std::sscanf(line, "memlock: %zu", &bytes) == 1)
            break;
    (void)std::fclose(info); // read only: nothing to lose
    return bytes;
}

// A read of the iterator returns at most the kernel's buffer (32 KiB) of
// whole records; twice that leaves room for a record carried over.
constexpr std::size_t kReadSize = std::size_t{64} * 1024;

} // namespace

std::unique_ptr<KernelFileScan> KernelFileScan::load(std::string &whyNot)
{
    const auto started = std::chrono::steady_clock::now();
    lastLibbpfWarning[0] = '\0';
    libbpf_set_print(keepLibbpfWarning);
    if (access("/sys/kernel/btf/vmlinux", R_OK) != 0) {
        whyNot = withErrno("the kernel offers no BTF (/sys/kernel/btf/vmlinux)", errno);
        return nullptr;
    }
    std::unique_ptr<KernelFileScan> scan(new KernelFileScan);
    scan->m_skeleton = openfiles::open();
    if (!scan->m_skeleton) {
        whyNot = withErrno("cannot open the scan program", errno);
        return nullptr;
    }
    if (openfiles::load(scan->m_skeleton) != 0) {
        const int error = errno;
        if (error == EPERM) {
            lastLibbpfWarning[0] = '\0'; // says only that the load failed
            whyNot = withErrno(refusal().c_str(), error);
        } else if (error == ENOSYS)
            whyNot = withErrno("bpf() is not available", error);
        else if (error == ESRCH || error == ENOENT)
            whyNot = withErrno("the kernel has no task_file iterator", error);
        else
            whyNot = withErrno("the kernel refused the scan program", error);
        return nullptr;
    }
    scan->m_link = bpf_program__attach_iter(scan->m_skeleton->progs.scan_open_files, nullptr);
    if (!scan->m_link) {
        whyNot = withErrno("cannot attach the task_file iterator", errno);
        return nullptr;
    }
    scan->m_buffer.resize(kReadSize);
    scan->m_loadMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    return scan;
}

KernelFileScan::~KernelFileScan()
{
    bpf_link__destroy(m_link);
    openfiles::destroy(m_skeleton);
}

std::size_t KernelFileScan::kernelMemoryBytes() const
{
    std::size_t bytes = memlockOf(bpf_program__fd(m_skeleton->progs.scan_open_files));
    bpf_map *map = nullptr;
    bpf_object__for_each_map(map, m_skeleton->obj) bytes += memlockOf(bpf_map__fd(map));
    return bytes;
}

template <typename Take>
int KernelFileScan::runPass(unsigned mode, const std::vector<ScanAnchor> &anchors, std::size_t headSize,
                            Take take)
{
    if (anchors.size() > kMaxAnchors)
        return -E2BIG;
    std::lock_guard<std::mutex> lock(m_passLock);
    auto *bss = m_skeleton->bss;
    bss->params.count = static_cast<ks_u32>(anchors.size());
    for (std::size_t i = 0; i < anchors.size(); ++i) {
        bss->params.anchors[i].fd = static_cast<ks_u32>(anchors[i].fd);
        bss->params.anchors[i].counts_itself = anchors[i].countsItself ? 1 : 0;
        bss->params.anchors[i].path_limit = anchors[i].pathLimit;
    }
    ++bss->pass_number;
    bss->anchors_taken = 0;
    bss->anchors_lost = 0;
    std::memset(bss->anchor_file, 0, sizeof bss->anchor_file);
    bss->handed_over = 0;
    bss->done_task = 0;
    bss->last_outside = 0;
    bss->cached_task = 0;
    bss->params.mode = mode;

    const int iterFd = bpf_iter_create(bpf_link__fd(m_link));
    int error = iterFd >= 0 ? 0 : -errno;
    std::size_t carried = 0;
    while (error == 0) {
        const ssize_t got = read(iterFd, m_buffer.data() + carried, m_buffer.size() - carried);
        if (got < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (got < 0)
            error = -errno;
        else if (got == 0 && carried != 0)
            error = -EPROTO; // a record cut short
        if (got <= 0)
            break;
        const std::size_t filled = carried + static_cast<std::size_t>(got);
        std::size_t at = 0;
        while (filled - at >= headSize) {
            const std::size_t used = take(m_buffer.data() + at, filled - at);
            if (used == 0)
                break;
            at += used;
        }
        carried = filled - at;
        std::memmove(m_buffer.data(), m_buffer.data() + at, carried);
    }
    if (error == 0 && bss->anchors_lost)
        error = -EBADF;
    if (iterFd >= 0)
        close(iterFd);
    bss->params.mode = KS_MODE_OFF;
    return error;
}

int KernelFileScan::scanFiles(const std::vector<ScanAnchor> &anchors, std::vector<KernelFileRecord> &out)
{
    out.clear();
    const int error = runPass(KS_MODE_FILES, anchors, sizeof(ks_file_record),
                              [&out](const char *bytes, std::size_t available) -> std::size_t {
                                  ks_file_record head;
                                  std::memcpy(&head, bytes, sizeof head);
                                  const std::size_t size = sizeof head + head.path_len;
                                  if (available < size)
                                      return 0;
                                  KernelFileRecord record;
                                  record.pid = static_cast<int>(head.tgid);
                                  record.tid = static_cast<int>(head.tid);
                                  record.fd = static_cast<int>(head.fd);
                                  record.undecided = head.flags & KS_UNDECIDED;
                                  record.anchor = record.undecided ? -1 : head.anchor;
                                  record.dev = userDev(head.dev);
                                  record.statDev = head.flags & KS_STAT_DEV ? userDev(head.stat_dev) : 0;
                                  record.ino = static_cast<ino_t>(head.ino);
                                  record.linked = head.flags & KS_LINKED;
                                  record.pathCut = head.flags & KS_PATH_CUT;
                                  record.relativePath.assign(bytes + sizeof head, head.path_len);
                                  out.push_back(std::move(record));
                                  return size;
                              });
    if (error != 0)
        out.clear();
    return error;
}

int KernelFileScan::scanHolders(const std::vector<ScanAnchor> &anchors, std::vector<KernelHolderRecord> &out)
{
    out.clear();
    // The kernel's start times are in nanoseconds; /proc counts clock ticks.
    static const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    assert(ticksPerSecond > 0);
    const unsigned long long nsPerTick = 1000000000ULL / static_cast<unsigned long long>(ticksPerSecond);
    const int error = runPass(KS_MODE_HOLDERS, anchors, sizeof(ks_holder_record),
                              [&out, nsPerTick](const char *bytes, std::size_t) -> std::size_t {
                                  ks_holder_record head;
                                  std::memcpy(&head, bytes, sizeof head);
                                  KernelHolderRecord record;
                                  record.pid = static_cast<int>(head.tgid);
                                  record.startTicks = head.start_boottime_ns / nsPerTick;
                                  record.undecided = head.flags & KS_UNDECIDED;
                                  record.pathLong = head.flags & KS_PATH_LONG;
                                  out.push_back(record);
                                  return sizeof head;
                              });
    if (error != 0)
        out.clear();
    return error;
}
