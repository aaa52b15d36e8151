#include "holderscan.h"

#include "direntries.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

OwnedFd openDirAt(int dirFd, const char *name, HolderSink &sink)
{
    int fd = openat(dirFd, name, kDirOpenFlags);
    // Every held /proc directory is a descriptor: when they run out, the
    // pending processes are dealt with first rather than passed over.
    if (fd < 0 && errno == EMFILE && sink.releaseDescriptors())
        fd = openat(dirFd, name, kDirOpenFlags);
    return OwnedFd(fd);
}

bool holdsTargetUnder(int fdDir, const QByteArray &prefix, char *entryBuffer)
{
    char target[kHolderLinkBufferSize];
    const auto prefixSize = static_cast<ssize_t>(prefix.size());
    DirEntries descriptors(fdDir, entryBuffer, kDirEntriesBufferSize);
    while (const char *name = descriptors.next()) {
        const ssize_t length = readlinkat(fdDir, name, target, sizeof target);
        if (length >= prefixSize && std::memcmp(target, prefix.constData(), prefix.size()) == 0)
            return true;
    }
    return false;
}

} // namespace

HolderProcess holderOf(int pid, int fdDir, HolderSink &sink)
{
    return HolderProcess{pid, openDirAt(fdDir, "..", sink)};
}

bool scanHolders(const QByteArray &prefix, HolderSink &sink)
{
    if (prefix.isEmpty())
        return true;
    const OwnedFd proc(open("/proc", kDirOpenFlags));
    if (!proc)
        return false;

    const std::unique_ptr<char[]> buffers(new char[2 * kDirEntriesBufferSize]);
    DirEntries processes(proc.get(), buffers.get(), kDirEntriesBufferSize);
    unsigned char type = DT_UNKNOWN;
    while (const char *name = processes.next(&type)) {
        if (type != DT_DIR && type != DT_UNKNOWN)
            continue;
        const int pid = pidOfProcEntry(name);
        if (pid <= 0 || !sink.wants(pid))
            continue;
        // One open per process, as "<pid>/fd": the directory is tied to the
        // process it was opened on for as long as it stays open.
        char fdDirPath[kFdDirPathSize];
        if (!fdDirPathOf(name, fdDirPath))
            continue;
        const OwnedFd fdDir = openDirAt(proc.get(), fdDirPath, sink);
        if (!fdDir)
            continue;
        if (holdsTargetUnder(fdDir.get(), prefix, buffers.get() + kDirEntriesBufferSize))
            sink.take(pid, fdDir.get());
    }
    return true;
}
