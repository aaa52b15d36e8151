// SPDX-License-Identifier: GPL-2.0-or-later
/* The floor: the least work that answers the daemon's two questions about a
 * box, written as bare C against /proc, to which every other figure of the
 * benchmark is compared.
 *
 *   arkvane-bench-walk pids|files PREFIX [RUNS] [--list FILE]
 *
 * Both modes read /proc with getdents64, open each process's "fd" directory
 * with one openat, read its entries with getdents64 and each link with
 * readlinkat, and compare the target's first bytes with PREFIX.
 *   pids   which processes hold something below PREFIX: stops reading a
 *          process's descriptors at its first match (256-byte link buffer);
 *   files  which distinct files below PREFIX are held and exist: every
 *          descriptor is read (4096-byte link buffer), each new target goes
 *          into a hash set and is looked up with one stat.
 * Each run prints one JSON line with its time in milliseconds (the walk only,
 * not the start of the program), the processor time it took, and its counts.
 * --list writes what the last run found (the pids, or the existing files), one
 * per line, for checking; that run's time includes the writing.
 */
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

enum { kEntriesSize = 32 * 1024 };

struct Counts
{
    long processes;   /* fd directories opened */
    long descriptors; /* links read */
    long matched;     /* descriptors whose target begins with the prefix */
    long pids;        /* processes with at least one match */
    long files;       /* distinct matching targets */
    long existing;    /* of those, the ones that exist */
};

/* Open addressing over offsets into one growing arena of targets. */
struct TargetSet
{
    uint32_t *slots; /* 0 empty, else offset + 1 */
    size_t capacity; /* power of two */
    size_t used;
    char *arena;
    size_t arenaUsed;
    size_t arenaSize;
};

static void fail(const char *what)
{
    fprintf(stderr, "arkvane-bench-walk: %s: %s\n", what, strerror(errno));
    exit(1);
}

static uint64_t hash_bytes(const char *bytes, size_t length)
{
    uint64_t hash = 1469598103934665603ULL;
    for (size_t i = 0; i < length; ++i) {
        hash ^= (unsigned char)bytes[i];
        hash *= 1099511628211ULL;
    }
    return hash;
}

static void set_init(struct TargetSet *set)
{
    set->capacity = 1 << 12;
    set->used = 0;
    set->slots = calloc(set->capacity, sizeof *set->slots);
    set->arenaSize = 1 << 16;
    set->arenaUsed = 0;
    set->arena = malloc(set->arenaSize);
    if (!set->slots || !set->arena)
        fail("malloc");
}

static void set_free(struct TargetSet *set)
{
    free(set->slots);
    free(set->arena);
}

/* Entries are stored as a 2-byte length, then the bytes, then a zero. */
static const char *entry_at(const struct TargetSet *set, uint32_t slot, size_t *length)
{
    const unsigned char *head = (const unsigned char *)set->arena + (slot - 1);
    *length = (size_t)head[0] | (size_t)head[1] << 8;
    return (const char *)head + 2;
}

static void set_grow(struct TargetSet *set)
{
    size_t capacity = set->capacity * 2;
    uint32_t *slots = calloc(capacity, sizeof *slots);
    if (!slots)
        fail("calloc");
    for (size_t i = 0; i < set->capacity; ++i) {
        if (!set->slots[i])
            continue;
        size_t length;
        const char *bytes = entry_at(set, set->slots[i], &length);
        size_t at = hash_bytes(bytes, length) & (capacity - 1);
        while (slots[at])
            at = (at + 1) & (capacity - 1);
        slots[at] = set->slots[i];
    }
    free(set->slots);
    set->slots = slots;
    set->capacity = capacity;
}

/* True when the target was not in the set yet (it is now). */
static int set_insert(struct TargetSet *set, const char *bytes, size_t length)
{
    if ((set->used + 1) * 2 > set->capacity)
        set_grow(set);
    size_t at = hash_bytes(bytes, length) & (set->capacity - 1);
    while (set->slots[at]) {
        size_t otherLength;
        const char *other = entry_at(set, set->slots[at], &otherLength);
        if (otherLength == length && memcmp(other, bytes, length) == 0)
            return 0;
        at = (at + 1) & (set->capacity - 1);
    }
    size_t need = length + 3;
    while (set->arenaUsed + need > set->arenaSize) {
        set->arenaSize *= 2;
        set->arena = realloc(set->arena, set->arenaSize);
        if (!set->arena)
            fail("realloc");
    }
    unsigned char *head = (unsigned char *)set->arena + set->arenaUsed;
    head[0] = (unsigned char)(length & 0xff);
    head[1] = (unsigned char)(length >> 8);
    memcpy(head + 2, bytes, length);
    head[2 + length] = '\0';
    set->slots[at] = (uint32_t)(set->arenaUsed + 1);
    set->arenaUsed += need;
    ++set->used;
    return 1;
}

static int is_pid_name(const char *name)
{
    if (*name < '1' || *name > '9')
        return 0;
    for (const char *c = name; *c; ++c)
        if (*c < '0' || *c > '9')
            return 0;
    return 1;
}

struct Walk
{
    int filesMode;
    const char *prefix;
    size_t prefixLength;
    FILE *list; /* what this run found, or NULL */
    struct Counts counts;
    struct TargetSet set;
    char procEntries[kEntriesSize];
    char fdEntries[kEntriesSize];
};

static void read_process(struct Walk *walk, int procFd, const char *pid)
{
    char fdPath[64];
    size_t pidLength = strlen(pid);
    if (pidLength + sizeof "/fd" > sizeof fdPath)
        return;
    memcpy(fdPath, pid, pidLength);
    memcpy(fdPath + pidLength, "/fd", sizeof "/fd");
    int fdDir = openat(procFd, fdPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fdDir < 0)
        return;
    ++walk->counts.processes;

    char target[4096];
    const size_t targetSize = walk->filesMode ? sizeof target : 256;
    int holds = 0;
    for (;;) {
        long got = getdents64(fdDir, walk->fdEntries, kEntriesSize);
        if (got <= 0)
            break;
        for (long offset = 0; offset < got;) {
            const struct dirent64 *entry = (const struct dirent64 *)(walk->fdEntries + offset);
            offset += entry->d_reclen;
            if (entry->d_name[0] == '.')
                continue;
            ssize_t length = readlinkat(fdDir, entry->d_name, target, targetSize);
            ++walk->counts.descriptors;
            if (length < (ssize_t)walk->prefixLength || memcmp(target, walk->prefix, walk->prefixLength) != 0)
                continue;
            ++walk->counts.matched;
            if (!walk->filesMode) {
                holds = 1;
                goto done;
            }
            holds = 1;
            if (!set_insert(&walk->set, target, (size_t)length))
                continue;
            ++walk->counts.files;
            target[length < (ssize_t)sizeof target ? length : (ssize_t)sizeof target - 1] = '\0';
            struct stat status;
            if (stat(target, &status) == 0) {
                ++walk->counts.existing;
                if (walk->list)
                    fprintf(walk->list, "%s\n", target);
            }
        }
    }
done:
    if (holds) {
        ++walk->counts.pids;
        if (walk->list && !walk->filesMode)
            fprintf(walk->list, "%s\n", pid);
    }
    close(fdDir);
}

static void run_walk(struct Walk *walk)
{
    memset(&walk->counts, 0, sizeof walk->counts);
    if (walk->filesMode)
        set_init(&walk->set);
    int procFd = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (procFd < 0)
        fail("/proc");
    for (;;) {
        long got = getdents64(procFd, walk->procEntries, kEntriesSize);
        if (got < 0)
            fail("getdents64 /proc");
        if (got == 0)
            break;
        for (long offset = 0; offset < got;) {
            const struct dirent64 *entry = (const struct dirent64 *)(walk->procEntries + offset);
            offset += entry->d_reclen;
            if (is_pid_name(entry->d_name))
                read_process(walk, procFd, entry->d_name);
        }
    }
    close(procFd);
    if (walk->filesMode)
        set_free(&walk->set);
}

static double clock_ms(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

int main(int argc, char *argv[])
{
    const char *listPath = NULL;
    const char *positional[3] = {NULL, NULL, NULL};
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--list") == 0 && i + 1 < argc)
            listPath = argv[++i];
        else if (count < 3)
            positional[count++] = argv[i];
        else
            count = 4;
    }
    if (count < 2 || count > 3 || (strcmp(positional[0], "pids") != 0 && strcmp(positional[0], "files") != 0)
        || positional[1][0] == '\0') {
        fputs("usage: arkvane-bench-walk pids|files PREFIX [RUNS] [--list FILE]\n", stderr);
        return 2;
    }
    const long runs = positional[2] ? strtol(positional[2], NULL, 10) : 1;
    if (runs < 1 || runs > 1000) {
        fputs("arkvane-bench-walk: RUNS must be 1 to 1000\n", stderr);
        return 2;
    }

    static struct Walk walk;
    walk.filesMode = strcmp(positional[0], "files") == 0;
    walk.prefix = positional[1];
    walk.prefixLength = strlen(positional[1]);
    for (long run = 0; run < runs; ++run) {
        walk.list = NULL;
        if (listPath && run == runs - 1) {
            walk.list = fopen(listPath, "w");
            if (!walk.list)
                fail(listPath);
        }
        const double start = clock_ms(CLOCK_MONOTONIC);
        const double startCpu = clock_ms(CLOCK_PROCESS_CPUTIME_ID);
        run_walk(&walk);
        const double elapsed = clock_ms(CLOCK_MONOTONIC) - start;
        const double cpu = clock_ms(CLOCK_PROCESS_CPUTIME_ID) - startCpu;
        if (walk.list)
            fclose(walk.list);
        printf("{\"ms\": %.3f, \"cpu_ms\": %.3f, \"processes\": %ld, \"descriptors\": %ld, "
               "\"matched\": %ld, \"pids\": %ld, \"files\": %ld, \"existing\": %ld}\n",
               elapsed, cpu, walk.counts.processes, walk.counts.descriptors, walk.counts.matched,
               walk.counts.pids, walk.counts.files, walk.counts.existing);
    }
    return 0;
}
