// SPDX-License-Identifier: GPL-2.0-or-later
// The kernel scan engine timed on its own, as procwalk.c times the floor.
//
//   arkvane-bench-kernelscan holders|files BOX [RUNS] [--list FILE]
//
// Loads the engine once (its first line: the load time, the kernel memory the
// program and its maps hold, and this process's resident memory before and
// after loading), then runs RUNS passes with BOX as the one anchor.
//   holders  which processes hold something below BOX: one record per
//            descriptor table, at its first match;
//   files    which distinct files below BOX are held and still linked: every
//            descriptor below BOX comes back with its path inside the box,
//            deduplicated on (device, inode), "still linked" decided in the
//            kernel, so no stat follows.
// Each run prints one JSON line: its time in milliseconds (the pass and the
// reading of its records), the processor time, and its counts. --list writes
// what the last run found (pids, or BOX/relative paths of linked files).
#include "kernelfilescan.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

namespace {

double clockMs(clockid_t clock)
{
    timespec t;
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

struct FileKey
{
    dev_t dev;
    ino_t ino;
    bool operator==(const FileKey &other) const { return dev == other.dev && ino == other.ino; }
};
struct FileKeyHash
{
    std::size_t operator()(const FileKey &key) const
    {
        return std::hash<unsigned long long>()(key.ino * 1000003ULL ^ key.dev);
    }
};

long rssKib()
{
    FILE *status = std::fopen("/proc/self/status", "re");
    long kib = -1;
    char line[256];
    while (status && std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmRSS: %ld", &kib) == 1)
            break;
    if (status)
        std::fclose(status);
    return kib;
}

} // namespace

int main(int argc, char *argv[])
{
    const char *listPath = nullptr;
    std::vector<const char *> positional;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--list") == 0 && i + 1 < argc)
            listPath = argv[++i];
        else
            positional.push_back(argv[i]);
    }
    if (positional.size() < 2 || positional.size() > 3
        || (std::strcmp(positional[0], "holders") != 0 && std::strcmp(positional[0], "files") != 0)) {
        std::fputs("usage: arkvane-bench-kernelscan holders|files BOX [RUNS] [--list FILE]\n", stderr);
        return 2;
    }
    const bool filesMode = std::strcmp(positional[0], "files") == 0;
    const std::string box = positional[1];
    const long runs = positional.size() > 2 ? std::strtol(positional[2], nullptr, 10) : 1;
    if (runs < 1 || runs > 1000) {
        std::fputs("arkvane-bench-kernelscan: RUNS must be 1 to 1000\n", stderr);
        return 2;
    }
    const int boxFd = open(box.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (boxFd < 0) {
        std::perror(box.c_str());
        return 1;
    }
    const std::vector<ScanAnchor> anchors{{boxFd, false}};

    std::string whyNot;
    const long rssBefore = rssKib();
    const double loadStart = clockMs(CLOCK_MONOTONIC);
    auto scan = KernelFileScan::load(whyNot);
    const double loadMs = clockMs(CLOCK_MONOTONIC) - loadStart;
    if (!scan) {
        std::printf("{\"error\": \"%s\"}\n", whyNot.c_str());
        return 1;
    }
    std::printf("{\"load_ms\": %.3f, \"kernel_bytes\": %zu, \"rss_before_kib\": %ld, "
                "\"rss_loaded_kib\": %ld}\n",
                loadMs, scan->kernelMemoryBytes(), rssBefore, rssKib());

    std::vector<KernelFileRecord> files;
    std::vector<KernelHolderRecord> holders;
    for (long run = 0; run < runs; ++run) {
        const double start = clockMs(CLOCK_MONOTONIC);
        const double startCpu = clockMs(CLOCK_PROCESS_CPUTIME_ID);
        long records = 0, undecided = 0, distinct = 0, linked = 0;
        std::set<int> pids;
        std::vector<const KernelFileRecord *> found;
        bool ok;
        if (filesMode) {
            ok = scan->scanFiles(anchors, files) == 0;
            std::unordered_set<FileKey, FileKeyHash> seen;
            seen.reserve(files.size());
            for (const KernelFileRecord &record : files) {
                ++records;
                undecided += record.undecided || record.pathCut;
                pids.insert(record.pid);
                if (!seen.insert({record.dev, record.ino}).second)
                    continue;
                ++distinct;
                if (record.linked) {
                    ++linked;
                    found.push_back(&record);
                }
            }
        } else {
            ok = scan->scanHolders(anchors, holders) == 0;
            for (const KernelHolderRecord &record : holders) {
                ++records;
                undecided += record.undecided;
                pids.insert(record.pid);
            }
        }
        const double elapsed = clockMs(CLOCK_MONOTONIC) - start;
        const double cpu = clockMs(CLOCK_PROCESS_CPUTIME_ID) - startCpu;
        if (!ok) {
            std::printf("{\"error\": \"%s\"}\n", std::strerror(errno));
            return 1;
        }
        if (listPath && run == runs - 1) {
            FILE *list = std::fopen(listPath, "w");
            if (!list) {
                std::perror(listPath);
                return 1;
            }
            if (filesMode)
                for (const KernelFileRecord *record : found)
                    std::fprintf(list, "%s/%s\n", box.c_str(), record->relativePath.c_str());
            else
                for (int pid : pids)
                    std::fprintf(list, "%d\n", pid);
            std::fclose(list);
        }
        std::printf("{\"ms\": %.3f, \"cpu_ms\": %.3f, \"records\": %ld, \"undecided\": %ld, "
                    "\"pids\": %zu, \"files\": %ld, \"existing\": %ld, \"rss_kib\": %ld}\n",
                    elapsed, cpu, records, undecided, pids.size(), distinct, linked, rssKib());
    }
    return 0;
}
