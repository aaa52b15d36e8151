// SPDX-License-Identifier: GPL-2.0-or-later
#include "procwalk.h"

#include "direntries.h"
#include "pathtext.h"
#include "processtables.h"
#include "readahead.h"

#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

namespace {

std::atomic<int> g_forcedThreads{0};

// Listings of /proc after the first, for the processes made while it was
// read, before a scan gives up on reading them all.
constexpr int kListingPasses = 16;

} // namespace

int lastPidIn(int procFd)
{
    const OwnedFd file(openat(procFd, "sys/kernel/ns_last_pid", O_RDONLY | O_CLOEXEC));
    char text[16];
    const ssize_t length = file ? read(file.get(), text, sizeof text - 1) : -1;
    if (length <= 0)
        return -1;
    text[length] = '\0';
    const int pid = static_cast<int>(std::strtol(text, nullptr, 10));
    return pid >= 0 ? pid : -1;
}

int walkBoxDescriptors(BoxJudge &judge, DescriptorVisitor &visitor)
{
    const OwnedFd proc(open("/proc", kDirOpenFlags));
    if (!proc)
        return -errno;
    ProcessTables tables(judge, visitor, proc.get());
    DirEntries listing(proc.get(), tables.listingBuffer(), kDirEntriesBufferSize);
    // The process entries only, each with its pid.
    const auto nextProcess = [&listing](int &pid, unsigned char &type) -> const char * {
        while (const char *name = listing.next(&type)) {
            if ((pid = pidOfProcEntry(name)) > 0)
                return name;
        }
        return nullptr;
    };
    std::unordered_set<int> seen;
    int lastPid = lastPidIn(proc.get());
    const bool twoThreads = procWalkThreads() > 1;
    std::vector<ProcessEntry> entries;
    const auto readProcess = [&](int pid, const char *name) {
        tables.process(pid, name);
        visitor.processDone(pid);
    };
    int pid = 0;
    unsigned char type = DT_UNKNOWN;
    while (const char *name = nextProcess(pid, type)) {
        seen.insert(pid);
        if ((type != DT_DIR && type != DT_UNKNOWN) || !visitor.wants(pid))
            continue;
        if (twoThreads) {
            ProcessEntry entry{pid, {}};
            if (std::snprintf(entry.name, sizeof entry.name, "%s", name) < int(sizeof entry.name))
                entries.push_back(entry);
            continue;
        }
        readProcess(pid, name);
    }
    if (listing.error())
        return listing.error();
    if (twoThreads)
        readOnTwoThreads(judge, visitor, proc.get(), std::move(entries));

    // A holder may have handed its descriptors to a child that the listing
    // did not reach, and ended: /proc is listed again, on this thread alone,
    // for the processes not yet seen, until none is new. Each listing begins
    // at the start: a number given out while the listing passed it, to a
    // process not yet in /proc, lies below the highest listed, and so does
    // every number given out after a wrap.
    for (int pass = 0;; ++pass) {
        const int nowLast = lastPidIn(proc.get());
        if (nowLast >= 0 && nowLast == lastPid)
            return 0; // no process made since the last listing began
        if (pass == kListingPasses)
            return -EAGAIN;
        lastPid = nowLast;
        if (const int error = listing.rewind())
            return error;
        bool anyNew = false;
        while (const char *name = nextProcess(pid, type)) {
            if (!seen.insert(pid).second)
                continue;
            anyNew = true;
            if ((type == DT_DIR || type == DT_UNKNOWN) && visitor.wants(pid))
                readProcess(pid, name);
        }
        if (listing.error())
            return listing.error();
        if (!anyNew)
            return 0;
    }
}

int ownPidInProc()
{
    char text[16] = {};
    const ssize_t length = readlink("/proc/self", text, sizeof text - 1);
    const int pid = length > 0 ? pidOfProcEntry(text) : 0;
    return pid > 0 ? pid : static_cast<int>(getpid());
}

HolderProcess holderOf(int pid, int fdDir, DescriptorVisitor &visitor)
{
    int fd = openat(fdDir, "..", kDirOpenFlags);
    // Out of descriptors while a second thread reads ahead: those it holds
    // go first, then what the visitor can spare.
    if (fd < 0 && errno == EMFILE && stopReadingAheadOnThisThread())
        fd = openat(fdDir, "..", kDirOpenFlags);
    if (fd < 0 && errno == EMFILE)
        fd = openDirFreeingDescriptors(fdDir, "..", visitor);
    return HolderProcess{pid, OwnedFd(fd)};
}

int procWalkThreads()
{
    if (const int forced = g_forcedThreads.load())
        return forced;
    cpu_set_t processors;
    CPU_ZERO(&processors);
    if (sched_getaffinity(0, sizeof processors, &processors) != 0)
        return 1;
    return CPU_COUNT(&processors) > 1 ? 2 : 1;
}

void forceProcWalkThreads(int threads)
{
    g_forcedThreads.store(threads);
}

QByteArray processNameOf(int pid)
{
    char path[32];
    formatFitting(path, sizeof path, "/proc/%d/comm", pid);
    const OwnedFd file(open(path, O_RDONLY | O_CLOEXEC));
    char name[64];
    const ssize_t length = file ? read(file.get(), name, sizeof name) : -1;
    if (length <= 0)
        return QByteArrayLiteral("?");
    return QByteArray(name, static_cast<int>(length)).trimmed();
}

QByteArray processesForLog(const std::vector<int> &pids)
{
    QByteArray text;
    for (const int pid : pids) {
        if (!text.isEmpty())
            text += ", ";
        text += QByteArray::number(pid) + " (" + processNameOf(pid) + ')';
    }
    return text;
}
