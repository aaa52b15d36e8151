// SPDX-License-Identifier: GPL-2.0-or-later
/* The layout shared by the kernel-side scan program and its loader: the
 * parameters user space sets before a pass and the records the pass writes.
 * Plain C with fixed-width types, included by both sides. */
#ifndef ARKVANE_SCANRECORDS_H
#define ARKVANE_SCANRECORDS_H

#ifndef __bpf__
#include <stdint.h>
typedef uint8_t ks_u8;
typedef uint16_t ks_u16;
typedef uint32_t ks_u32;
typedef uint64_t ks_u64;
#else
typedef __u8 ks_u8;
typedef __u16 ks_u16;
typedef __u32 ks_u32;
typedef __u64 ks_u64;
#endif

/* Directories a descriptor may lie below: the box root and the roots of the
 * mounts below it. */
#define KS_MAX_ANCHORS 8
/* Bytes of relative path a record carries; a longer one is flagged cut. */
#define KS_PATH_BYTES 4096
/* Dentries remembered on the way up for writing the path: every level takes
 * at least two bytes of path, so a deeper walk could not fit anyway. */
#define KS_PATH_LEVELS (KS_PATH_BYTES / 2)
/* Levels walked up from a file before giving up on it (flagged undecided):
 * the most one bpf_loop call runs. */
#define KS_MAX_LEVELS (1 << 23)
/* The per-pass memory of dentries proven outside every anchor: a walk looks
 * a dentry up from this level on, and remembers every KS_CACHE_STRIDE-th one
 * it passed, so a later walk through the same ancestry stops within
 * KS_CACHE_FROM + KS_CACHE_STRIDE levels. Shallow walks never touch it. Its
 * entries cover 2^18 levels of distinct ancestry in a pass (the map holds
 * about 1.3 MiB of kernel memory); beyond that older entries give way. */
#define KS_CACHE_FROM 16
#define KS_CACHE_STRIDE 16
/* A file this deep is remembered itself, for its other descriptors. */
#define KS_CACHE_LEAF_FROM 64
#define KS_CACHE_ENTRIES 16384

enum ks_mode {
    KS_MODE_OFF = 0,
    KS_MODE_FILES = 1,   /* one record per descriptor below an anchor */
    KS_MODE_HOLDERS = 2, /* one record per descriptor table holding anything below one */
};

enum ks_flags {
    KS_LINKED = 1,    /* the file still has this name (i_nlink > 0, dentry hashed) */
    KS_PATH_CUT = 2,  /* the relative path did not fit: path_len is 0 */
    KS_UNDECIDED = 4, /* the walk up gave out (KS_MAX_LEVELS) before an answer: anchor is meaningless */
    KS_PATH_LONG = 8, /* mode holders: the path below the anchor exceeds its path_limit */
    KS_STAT_DEV = 16, /* mode files: stat_dev and ino are what stat reports of the file */
};

struct ks_anchor
{
    /* The reader's own descriptor of the anchor directory: the pass takes
     * its dentry and superblock, so anchors are compared as objects, on any
     * file system, whatever device numbers it reports. */
    ks_u32 fd;
    ks_u16 counts_itself; /* a descriptor on the anchor itself counts */
    /* Mode holders: bytes of path below the anchor beyond which the whole
     * path no longer fits the text the kernel prints of a descriptor. */
    ks_u16 path_limit;
};

struct ks_params
{
    ks_u32 mode;
    ks_u32 count;
    struct ks_anchor anchors[KS_MAX_ANCHORS];
};

/* Mode files: this header, then path_len bytes of path (no terminator), the
 * names from the anchor down joined by '/', empty for the anchor itself. */
struct ks_file_record
{
    ks_u32 tgid; /* in the reader's pid namespace */
    ks_u32 tid;  /* the thread whose descriptor table it is, there too */
    ks_u32 fd;
    ks_u64 ino;
    ks_u32 dev;      /* the superblock's, in the kernel's encoding */
    ks_u32 stat_dev; /* with KS_STAT_DEV: the device stat reports, same encoding */
    ks_u16 path_len;
    ks_u8 anchor;
    ks_u8 flags;
};

/* Mode holders. */
struct ks_holder_record
{
    ks_u32 tgid;              /* in the reader's pid namespace */
    ks_u32 flags;             /* KS_UNDECIDED or 0 */
    ks_u64 start_boottime_ns; /* the process's start, as /proc/PID/stat counts it */
};

#endif
