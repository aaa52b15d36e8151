// SPDX-License-Identifier: GPL-2.0-or-later
/* Tells user space, without its polling, that the holders of a watched box may
 * have changed: a descriptor of a file inside the box was taken out of a
 * descriptor table (close, close_range, dup2 or dup3 over it, exec's
 * close-on-exec, the exit of the table's last task; not io_uring's close) or
 * put into one (open, dup, fcntl's F_DUPFD, pidfd_getfd; not a descriptor
 * received through a socket, nor io_uring's opens). A removal is told once
 * it is done: a scan woken by the hint must not find the descriptor still
 * there. So a close found on a system call's entry is told at its return,
 * and a table found at a task's exit is told at the dead task's last
 * switch, after exit_files.
 *
 * Raw tracepoints (sys_enter, sys_exit, sched_process_exit, sched_switch),
 * not fentry on fd_install and filp_flush: kernels that refuse trampolines
 * (a 6.18 one under integrity lockdown was seen to refuse every fentry, fexit
 * and lsm program with EPERM) still load these. The loader attaches them only
 * while a box is watched.
 *
 * A file is inside a box as the scan iterator (openfiles.bpf.c) judges it:
 * its dentry, walked up by its parents within its own file system, whichever
 * mount it was opened through, reaches an anchor: the box directory (a
 * descriptor on it does not count) or the root of a mount below it (one on
 * it does). Anchors are named by superblock and inode number, which outlive
 * the dentry: a box nobody uses may lose its dentries, and a dentry address
 * may be reused, but neither changes while the file system stays mounted.
 * The superblock is named by its device number (s_dev, unique among mounted
 * file systems): its address cannot be hashed here. Subvolumes of one btrfs
 * share it, and their inode numbers overlap: a file of another subvolume
 * may be told as a box's, never one of the box's missed.
 *
 * Nothing goes to user space for a file outside every watched box: a file on
 * a file system without anchors is passed over at a filter of superblocks; a
 * walk tests each level against a filter of anchors first, and looks the
 * anchors' map up only on a hit. A box's first change sets its bit in
 * `pending` and wakes the reader through the ring buffer; further changes
 * before the reader takes the bits cost an atomic OR and wake nothing. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_tracing.h>

char LICENSE[] SEC("license") = "GPL";

/* Makes a kernel address read elsewhere a typed pointer, so that its members
 * are read by plain loads (which the kernel guards), not a helper call each. */
extern void *bpf_rdonly_cast(const void *object, __u32 btf_id) __ksym;
#define AS(type, address) ((type *)bpf_rdonly_cast((void *)(address), bpf_core_type_id_kernel(type)))

/* The same numbers are in boxwatch.cpp. */
#define BE_MAX_BOXES 64
#define BE_MAX_ANCHORS (BE_MAX_BOXES * 8)
#define BE_FILTER_WORDS 64
#define BE_SB_FILTER_WORDS 4
#define BE_MAX_REQUESTS 8
/* Levels walked up from a file; a deeper one may be in any box. */
#define BE_MAX_LEVELS 4096
/* Words of a descriptor bitmap read at an exit, exec or close_range: 2^21
 * descriptors, the most a table may have (fs.nr_open's limit). */
#define BE_MAX_FD_WORDS (1 << 15)
/* Tasks between a close's entry and its return, or between exit and death. */
#define BE_TASKS 8192

#define BE_TASK_DEAD 0x80
#define BE_SIGNAL_GROUP_EXIT 0x4
#define BE_CLOSE_RANGE_CLOEXEC 4
#define BE_F_DUPFD 0
#define BE_F_DUPFD_CLOEXEC 1030

/* The system calls' numbers, from the loader's headers; -1 where the
 * architecture has no such call. */
const volatile long nr_close = -1;
const volatile long nr_close_range = -1;
const volatile long nr_dup = -1;
const volatile long nr_dup2 = -1;
const volatile long nr_dup3 = -1;
const volatile long nr_fcntl = -1;
const volatile long nr_execve = -1;
const volatile long nr_execveat = -1;
const volatile long nr_open = -1;
const volatile long nr_openat = -1;
const volatile long nr_openat2 = -1;
const volatile long nr_creat = -1;
const volatile long nr_pidfd_getfd = -1;

struct anchor_key
{
    __u64 dev; /* the superblock's, in the kernel's encoding */
    __u64 ino;
};

struct anchor_boxes
{
    __u64 below;  /* a bit per box: files below this directory are inside */
    __u64 itself; /* a bit per box: a descriptor on the directory itself is too */
};

/* Written by user space alone. */
struct
{
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, BE_MAX_ANCHORS);
    __type(key, struct anchor_key);
    __type(value, struct anchor_boxes);
} anchors SEC(".maps");

/* Boxes to tell when a task returns from its system call (closing) or is
 * dead (dying), by task. LRU: a task killed inside a call leaves its entry,
 * which only costs a look-up until it gives way. */
struct
{
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, BE_TASKS);
    __type(key, __u64);
    __type(value, __u64);
} closing SEC(".maps");

struct
{
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, BE_TASKS);
    __type(key, __u64);
    __type(value, __u64);
} dying SEC(".maps");

/* Carries only wake-ups: the boxes are in `pending`. A record is written
 * only when a bit goes from 0 to 1, so at most BE_MAX_BOXES wait at once. */
struct
{
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 4096);
} wakeups SEC(".maps");

__u32 watching;                      /* boxes watched: 0 turns every hook into a return */
__u64 filter[BE_FILTER_WORDS];       /* a bit per anchor, at bit_of(dev, ino) */
__u64 sb_filter[BE_SB_FILTER_WORDS]; /* a bit per anchor's superblock, at sb_bit_of(dev) */
__u64 pending;                       /* a bit per box with a change user space has not taken */
__u64 unplaced;                      /* files deeper than BE_MAX_LEVELS: every box was told */
__s64 closing_count;                 /* entries of closing, about */
__s64 dying_count;                   /* entries of dying, about */

/* An anchor request: user space's own descriptors of the directories, read
 * by the iterator below in its own descriptor table. */
__u32 request_count;
__u32 request_fd[BE_MAX_REQUESTS];
__u32 found_dev[BE_MAX_REQUESTS];
__u64 found_ino[BE_MAX_REQUESTS];

static __always_inline __u32 bit_of(__u64 dev, __u64 ino)
{
    return (__u32)(((ino ^ (dev << 32)) * 0x9E3779B97F4A7C15ULL) >> 52);
}

static __always_inline __u32 sb_bit_of(__u64 dev)
{
    return (__u32)(((dev + 1) * 0x9E3779B97F4A7C15ULL) >> 56);
}

static __always_inline int has_bit(const __u64 *words, __u32 words_mask, __u32 bit)
{
    return (words[(bit >> 6) & words_mask] >> (bit & 63)) & 1;
}

struct walk
{
    struct dentry *dentry;
    __u64 boxes;
    int done;
};

static long walk_up(__u32 level, struct walk *w)
{
    struct dentry *dentry = w->dentry;
    struct inode *inode = dentry->d_inode;
    if (inode) {
        struct anchor_key key = {.dev = dentry->d_sb->s_dev, .ino = inode->i_ino};
        if (has_bit(filter, BE_FILTER_WORDS - 1, bit_of(key.dev, key.ino))) {
            struct anchor_boxes *boxes = bpf_map_lookup_elem(&anchors, &key);
            if (boxes)
                w->boxes |= level > 0 ? boxes->below : boxes->itself;
        }
    }
    struct dentry *parent = dentry->d_parent;
    if (!parent || parent == dentry) {
        w->done = 1;
        return 1;
    }
    w->dentry = parent;
    return 0;
}

/* The boxes file (a typed pointer) lies in. */
static __always_inline __u64 boxes_of(struct file *file)
{
    if (!file)
        return 0;
    struct dentry *dentry = file->f_path.dentry;
    if (!dentry || !has_bit(sb_filter, BE_SB_FILTER_WORDS - 1, sb_bit_of(dentry->d_sb->s_dev)))
        return 0;
    struct walk w = {.dentry = dentry};
    bpf_loop(BE_MAX_LEVELS, walk_up, &w, 0);
    if (w.done)
        return w.boxes;
    /* Too deep to place here: any box may hold it; the scan decides. */
    __sync_fetch_and_add(&unplaced, 1);
    return ~0ULL;
}

static __always_inline struct file *file_at(struct fdtable *fdt, __u64 fd)
{
    if (!fdt || fd >= fdt->max_fds)
        return 0;
    struct file **fds = fdt->fd;
    struct file *file = 0;
    bpf_probe_read_kernel(&file, sizeof file, fds + fd);
    return file ? AS(struct file, file) : 0;
}

static __always_inline struct fdtable *table_of(struct task_struct *task)
{
    struct files_struct *files = task->files;
    return files ? files->fdt : 0;
}

struct fd_range
{
    struct fdtable *fdt;
    long unsigned int *bits; /* open_fds or close_on_exec */
    __u64 first;
    __u64 last; /* inclusive, below max_fds */
    __u64 word; /* the bits being looked at, with their base */
    __u64 base;
    __u64 boxes;
};

static long look_at_bit(__u32 bit, struct fd_range *r)
{
    if (!r->word)
        return 1;
    if (r->word & 1) {
        __u64 fd = r->base + bit;
        if (fd >= r->first && fd <= r->last)
            r->boxes |= boxes_of(file_at(r->fdt, fd));
    }
    r->word >>= 1;
    return 0;
}

static long look_at_word(__u32 i, struct fd_range *r)
{
    __u64 base = (r->first & ~63ULL) + (__u64)i * 64;
    if (base > r->last)
        return 1;
    __u64 word = 0;
    bpf_probe_read_kernel(&word, sizeof word, r->bits + base / 64);
    r->word = word;
    r->base = base;
    bpf_loop(64, look_at_bit, r, 0);
    return 0;
}

/* The boxes of the descriptors first to last whose bit is set in bits. */
static __always_inline __u64 boxes_in_range(struct fdtable *fdt, long unsigned int *bits, __u64 first,
                                            __u64 last)
{
    if (!fdt || !bits)
        return 0;
    __u64 max_fds = fdt->max_fds;
    if (!max_fds || first >= max_fds)
        return 0;
    struct fd_range r = {
        .fdt = fdt, .bits = bits, .first = first, .last = last < max_fds ? last : max_fds - 1};
    bpf_loop(BE_MAX_FD_WORDS, look_at_word, &r, 0);
    return r.boxes;
}

static __always_inline void tell(__u64 boxes)
{
    if (!boxes)
        return;
    __u64 before = __sync_fetch_and_or(&pending, boxes);
    if ((before & boxes) != boxes)
        bpf_ringbuf_output(&wakeups, &boxes, sizeof boxes, 0);
}

/* Adds boxes to what key's entry of map holds. */
static __always_inline void keep(void *map, __s64 *count, __u64 key, __u64 boxes)
{
    if (!boxes)
        return;
    __u64 *held = bpf_map_lookup_elem(map, &key);
    if (held) {
        __sync_fetch_and_or(held, boxes);
        return;
    }
    if (bpf_map_update_elem(map, &key, &boxes, BPF_NOEXIST) == 0)
        __sync_fetch_and_add(count, 1);
    else
        tell(boxes); /* raced or full: better early than never */
}

/* What key's entry of map held, taken out. */
static __always_inline __u64 take(void *map, __s64 *count, __u64 key)
{
    __u64 *held = bpf_map_lookup_elem(map, &key);
    if (!held)
        return 0;
    __u64 boxes = *held;
    if (bpf_map_delete_elem(map, &key) == 0)
        __sync_fetch_and_add(count, -1);
    return boxes;
}

#ifdef __TARGET_ARCH_x86
SEC("raw_tp/sys_enter")
int BPF_PROG(syscall_entered, struct pt_regs *regs, long id)
{
    if (!watching)
        return 0;
    if (id != nr_close && id != nr_dup2 && id != nr_dup3 && id != nr_close_range && id != nr_execve
        && id != nr_execveat)
        return 0;
    struct fdtable *fdt = table_of(bpf_get_current_task_btf());
    struct pt_regs *args = AS(struct pt_regs, regs);
    __u64 boxes = 0;
    if (!fdt)
        return 0;
    if (id == nr_close)
        boxes = boxes_of(file_at(fdt, (__u32)args->di));
    else if ((id == nr_dup2 || id == nr_dup3) && (__u32)args->di != (__u32)args->si)
        boxes = boxes_of(file_at(fdt, (__u32)args->si));
    else if (id == nr_close_range && !(args->dx & BE_CLOSE_RANGE_CLOEXEC))
        boxes = boxes_in_range(fdt, fdt->open_fds, (__u32)args->di, (__u32)args->si);
    else if (id == nr_execve || id == nr_execveat)
        boxes = boxes_in_range(fdt, fdt->close_on_exec, 0, ~0ULL);
    keep(&closing, &closing_count, bpf_get_current_task(), boxes);
    return 0;
}

SEC("raw_tp/sys_exit")
int BPF_PROG(syscall_returned, struct pt_regs *regs, long ret)
{
    if (!watching)
        return 0;
    __u64 boxes = closing_count > 0 ? take(&closing, &closing_count, bpf_get_current_task()) : 0;
    if (ret >= 0) {
        struct pt_regs *args = AS(struct pt_regs, regs);
        long id = args->orig_ax;
        int installed = id == nr_open || id == nr_openat || id == nr_openat2 || id == nr_creat || id == nr_dup
                        || id == nr_dup2 || id == nr_dup3 || id == nr_pidfd_getfd;
        if (id == nr_fcntl)
            installed = args->si == BE_F_DUPFD || args->si == BE_F_DUPFD_CLOEXEC;
        struct fdtable *fdt = installed ? table_of(bpf_get_current_task_btf()) : 0;
        if (fdt)
            boxes |= boxes_of(file_at(fdt, (__u64)ret));
    }
    tell(boxes);
    return 0;
}
#endif

/* A task leaves that may be its table's last: what the table holds of a box
 * is told once the task is dead, after its exit closed the table. The
 * threads of a dying group leave at once, and the last of them to pass here
 * may still count another's reference to the table they share: each of them
 * tells at its own death, so the last hint comes after the table is closed.
 * A thread leaving a group that goes on is passed over. */
SEC("raw_tp/sched_process_exit")
int BPF_PROG(task_exiting, struct task_struct *exiting)
{
    if (!watching)
        return 0;
    struct task_struct *task = AS(struct task_struct, exiting);
    __u64 boxes = closing_count > 0 ? take(&closing, &closing_count, (__u64)exiting) : 0;
    struct files_struct *files = task->files;
    struct signal_struct *signal = task->signal;
    int last = files && (files->count.counter == 1 || (signal && (signal->flags & BE_SIGNAL_GROUP_EXIT)));
    struct fdtable *fdt = last ? files->fdt : 0;
    if (fdt)
        boxes |= boxes_in_range(fdt, fdt->open_fds, 0, ~0ULL);
    keep(&dying, &dying_count, (__u64)exiting, boxes);
    return 0;
}

SEC("raw_tp/sched_switch")
int BPF_PROG(task_switched, bool preempt, struct task_struct *prev, struct task_struct *next,
             unsigned int prev_state)
{
    if (dying_count <= 0 || prev_state != BE_TASK_DEAD)
        return 0;
    tell(take(&dying, &dying_count, (__u64)prev));
    return 0;
}

/* Run on user space's own descriptor table (the link names its process):
 * the superblock and inode number of each requested descriptor's file. */
SEC("iter/task_file")
int take_anchors(struct bpf_iter__task_file *ctx)
{
    struct file *file = ctx->file;
    if (!file)
        return 0;
    for (int i = 0; i < BE_MAX_REQUESTS; ++i) {
        if (i >= request_count)
            break;
        if (request_fd[i] != ctx->fd)
            continue;
        struct dentry *dentry = file->f_path.dentry;
        struct inode *inode = dentry ? dentry->d_inode : 0;
        if (!inode)
            continue;
        found_dev[i] = dentry->d_sb->s_dev;
        found_ino[i] = inode->i_ino;
    }
    return 0;
}
