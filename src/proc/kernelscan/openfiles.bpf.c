// SPDX-License-Identifier: GPL-2.0-or-later
/* Runs once for every open descriptor of every task the reader's pid
 * namespace holds (the task_file iterator), and writes a record for each one
 * whose file lies below an anchor directory. A file is judged by its dentry:
 * walked up by its parents within its own file system, whichever mount it was
 * opened through, until an anchor or the file system's root. Anchors are the
 * dentries of the reader's own descriptors of them, taken at the pass's start.
 *
 * The loader runs one pass at a time, so the globals below are the pass's
 * own; it sets params and clears the pass state before each pass. */
#include "vmlinux.h"

#include <bpf/bpf_core_read.h>
#include <bpf/bpf_helpers.h>

#include "scanrecords.h"

char LICENSE[] SEC("license") = "GPL";

struct ks_params params;

/* Pass state, cleared by the loader before each pass. */
__u64 pass_number;                 /* new for every pass: tells this pass's verdicts from older ones */
__u32 anchors_taken;               /* anchor_dentry and anchor_sb hold this pass's anchors */
__u32 anchors_lost;                /* an anchor descriptor could not be read: the pass is void */
__u64 anchor_file[KS_MAX_ANCHORS]; /* the reader's own: never reported */
__u64 anchor_dentry[KS_MAX_ANCHORS];
__u64 anchor_sb[KS_MAX_ANCHORS];
__u32 handed_over;  /* a record already hands the call to the /proc walk: skip the rest */
__u64 done_task;    /* mode holders: the table already reported */
__u64 last_outside; /* the dentry of the last file found outside: its copies cost nothing */
__u64 cached_task;  /* the task whose tgid and start are cached below */
__u32 cached_task_pid;
__u32 cached_tgid;
__u32 cached_tid;
__u64 cached_start;

/* Dentries from which no anchor is reached walking up, keyed by address, the
 * value the pass that proved it. An entry of an earlier pass is stale (and
 * overwritten), so nothing needs clearing. Every descriptor held before the
 * pass pins its dentry and ancestors, so an address cannot stand for another
 * dentry of such a file during the pass. */
struct
{
    __uint(type, BPF_MAP_TYPE_LRU_HASH);
    __uint(max_entries, KS_CACHE_ENTRIES);
    __type(key, __u64);
    __type(value, __u64);
} outside SEC(".maps");

/* Scratch: the dentries below the anchor, leaf first, and the record. */
__u64 below[KS_PATH_LEVELS];
struct
{
    struct ks_file_record head;
    char path[KS_PATH_BYTES + 256];
} record;

/* What stat reports of a file on the two file systems whose numbers differ
 * from the superblock's, read only where the running kernel has these types
 * (CO-RE: fields found by name in its BTF, modules' too). */
struct btrfs_root___ks
{
    dev_t anon_dev;
} __attribute__((preserve_access_index));
struct btrfs_inode___ks
{
    struct btrfs_root___ks *root;
    struct inode vfs_inode;
} __attribute__((preserve_access_index));
struct ovl_fs___ks
{
    int xino_mode;
} __attribute__((preserve_access_index));

#define KS_BTRFS_MAGIC 0x9123683E
#define KS_OVERLAY_MAGIC 0x794c7630

/* The device stat reports of inode, or 0 when unknown here: a btrfs
 * subvolume's own; an overlay's when all its layers share one file system or
 * it maps inode numbers (xino), and then its inode numbers are stat's too. */
static __always_inline __u32 stat_dev_of(struct super_block *sb, struct inode *inode)
{
    unsigned long magic = BPF_CORE_READ(sb, s_magic);
    if (magic == KS_BTRFS_MAGIC && bpf_core_type_exists(struct btrfs_inode___ks)) {
        struct btrfs_inode___ks *own =
            (void *)((char *)inode - bpf_core_field_offset(struct btrfs_inode___ks, vfs_inode));
        return BPF_CORE_READ(own, root, anon_dev);
    }
    if (magic == KS_OVERLAY_MAGIC && bpf_core_field_exists(struct ovl_fs___ks, xino_mode)) {
        struct ovl_fs___ks *ofs = BPF_CORE_READ(sb, s_fs_info);
        if (BPF_CORE_READ(ofs, xino_mode) >= 0)
            return BPF_CORE_READ(sb, s_dev);
    }
    return 0;
}

struct walk
{
    struct dentry *dentry;
    __u32 candidates; /* bit per anchor on the file's file system */
    __u32 levels;     /* where the walk stopped: below[] holds the dentries under it */
    int anchor;       /* matched anchor, or -1 */
    int decided;
};

/* The anchor among candidates that this dentry at this level is, or -1. */
static __always_inline int anchor_of(__u64 dentry, __u32 candidates, __u32 level)
{
    for (int a = 0; a < KS_MAX_ANCHORS; ++a)
        if ((candidates & (1u << a)) && anchor_dentry[a] == dentry
            && (level > 0 || params.anchors[a].counts_itself))
            return a;
    return -1;
}

/* A bit for each anchor on the file system of this superblock. */
static __always_inline __u32 anchors_on(__u64 sb)
{
    __u32 candidates = 0;
    for (int a = 0; a < KS_MAX_ANCHORS; ++a)
        if (a < params.count && anchor_sb[a] == sb)
            candidates |= 1u << a;
    return candidates;
}

/* The dentries and superblocks of the anchors, from the reader's descriptor
 * table: the loader opened them and holds them through the pass. */
static __always_inline void take_anchors(void)
{
    struct task_struct *reader = bpf_get_current_task_btf();
    struct fdtable *table = BPF_CORE_READ(reader, files, fdt);
    __u32 size = BPF_CORE_READ(table, max_fds);
    struct file **files = BPF_CORE_READ(table, fd);
    for (int a = 0; a < KS_MAX_ANCHORS; ++a) {
        if (a >= params.count)
            break;
        __u32 fd = params.anchors[a].fd;
        struct file *file = 0;
        if (fd < size)
            bpf_probe_read_kernel(&file, sizeof file, files + fd);
        struct dentry *dentry = BPF_CORE_READ(file, f_path.dentry);
        if (!dentry) {
            anchors_lost = 1;
            return;
        }
        anchor_file[a] = (__u64)file;
        anchor_dentry[a] = (__u64)dentry;
        anchor_sb[a] = (__u64)BPF_CORE_READ(dentry, d_sb);
    }
}

/* What the kernel's d_unlinked() says: a dentry taken out of the tree, not a
 * root. */
static __always_inline int name_gone(struct dentry *dentry)
{
    return !BPF_CORE_READ(dentry, d_hash.pprev) && BPF_CORE_READ(dentry, d_parent) != dentry;
}

static __always_inline int proven_outside(struct dentry *dentry)
{
    __u64 key = (__u64)dentry;
    __u64 *pass = bpf_map_lookup_elem(&outside, &key);
    return pass && *pass == pass_number;
}

static long walk_up(__u32 level, struct walk *w)
{
    struct dentry *dentry = w->dentry;
    int anchor = anchor_of((__u64)dentry, w->candidates, level);
    w->levels = level;
    if (anchor >= 0) {
        w->anchor = anchor;
        w->decided = 1;
        return 1;
    }
    if ((level == 0 || level >= KS_CACHE_FROM) && proven_outside(dentry)) {
        w->decided = 1;
        return 1;
    }
    struct dentry *parent = dentry->d_parent;
    if (!parent || parent == dentry) {
        w->decided = 1; /* the file system's root, or a detached tree: no anchor above */
        return 1;
    }
    if (level < KS_PATH_LEVELS)
        below[level & (KS_PATH_LEVELS - 1)] = (__u64)dentry;
    w->dentry = parent;
    return 0;
}

struct remembering
{
    struct dentry *dentry;
    __u32 candidates;
    __u32 levels; /* the walk's: the dentry there is a root or known already */
};

/* Remembers, of a walk that found no anchor, every KS_CACHE_STRIDE-th dentry
 * from KS_CACHE_FROM up, and the file's own dentry when deep. Never an anchor:
 * the box directory is none at level 0 (its own descriptor does not count),
 * yet every file below it is inside. Above level 0 the walk would have
 * stopped at any anchor. */
static long remember(__u32 level, struct remembering *r)
{
    if (level >= r->levels)
        return 1;
    struct dentry *dentry = r->dentry;
    int wanted = level >= KS_CACHE_FROM && level % KS_CACHE_STRIDE == 0;
    if (level == 0 && r->levels >= KS_CACHE_LEAF_FROM)
        wanted = anchor_of((__u64)dentry, r->candidates, 1) < 0;
    if (wanted) {
        __u64 key = (__u64)dentry;
        bpf_map_update_elem(&outside, &key, &pass_number, BPF_ANY);
    }
    r->dentry = dentry->d_parent;
    return 0;
}

struct path_writer
{
    __u32 levels;
    __u32 length;
    int cut;
};

static long write_name(__u32 i, struct path_writer *p)
{
    __u32 level = p->levels - 1 - i; /* from the anchor down */
    if (level >= KS_PATH_LEVELS) {
        p->cut = 1;
        return 1;
    }
    struct dentry *dentry = (struct dentry *)below[level & (KS_PATH_LEVELS - 1)];
    __u32 name_length = BPF_CORE_READ(dentry, d_name.len);
    const unsigned char *name = BPF_CORE_READ(dentry, d_name.name);
    __u32 at = p->length;
    __u32 separator = i > 0 ? 1 : 0;
    if (name_length > 255 || at + separator + name_length > KS_PATH_BYTES) {
        p->cut = 1;
        return 1;
    }
    if (separator)
        record.path[at++ & (KS_PATH_BYTES - 1)] = '/';
    bpf_probe_read_kernel(&record.path[at & (KS_PATH_BYTES - 1)], name_length & 255, name);
    p->length = at + name_length;
    return 0;
}

/* Adds the length of one name below the anchor and its separator. */
static long add_name_length(__u32 i, __u32 *length)
{
    if (i >= KS_PATH_LEVELS)
        return 1;
    struct dentry *dentry = (struct dentry *)below[i & (KS_PATH_LEVELS - 1)];
    *length += BPF_CORE_READ(dentry, d_name.len) + 1;
    return 0;
}

/* The number of a struct pid in the namespace at level, or 0. */
static __always_inline __u32 pid_number_at(struct pid *pid, __u32 level)
{
    if (!pid || BPF_CORE_READ(pid, level) < level)
        return 0;
    int number = 0;
    const char *at = (const char *)pid + bpf_core_field_offset(struct pid, numbers)
                     + (__u64)level * bpf_core_type_size(struct upid)
                     + bpf_core_field_offset(struct upid, nr);
    bpf_probe_read_kernel(&number, sizeof number, at);
    return number > 0 ? (__u32)number : 0;
}

/* The task's process id as the reader sees it, and the process's start. */
static __always_inline void identify(struct task_struct *task)
{
    __u32 task_pid = task->pid;
    if (cached_task == (__u64)task && cached_task_pid == task_pid)
        return;
    struct task_struct *reader = bpf_get_current_task_btf();
    __u32 reader_level = BPF_CORE_READ(reader, thread_pid, level);
    struct pid *tgid = BPF_CORE_READ(task, signal, pids[PIDTYPE_TGID]);
    cached_task = (__u64)task;
    cached_task_pid = task_pid;
    cached_tgid = pid_number_at(tgid, reader_level);
    cached_tid = pid_number_at(BPF_CORE_READ(task, thread_pid), reader_level);
    cached_start = BPF_CORE_READ(task, group_leader, start_boottime);
}

SEC("iter/task_file")
int scan_open_files(struct bpf_iter__task_file *ctx)
{
    struct seq_file *seq = ctx->meta->seq;
    struct task_struct *task = ctx->task;
    struct file *file = ctx->file;
    if (!task || !file || params.mode == KS_MODE_OFF || handed_over)
        return 0;
    if (!anchors_taken) {
        take_anchors();
        anchors_taken = 1;
    }
    if (anchors_lost)
        return 0;
    if (params.mode == KS_MODE_HOLDERS && done_task == (__u64)task)
        return 0;

    struct dentry *dentry = file->f_path.dentry;
    if (!dentry || (__u64)dentry == last_outside)
        return 0;
    struct super_block *sb = BPF_CORE_READ(dentry, d_sb);
    struct walk w = {.dentry = dentry, .candidates = anchors_on((__u64)sb), .anchor = -1};
    if (!w.candidates)
        return 0;
    for (int a = 0; a < KS_MAX_ANCHORS; ++a)
        if (anchor_file[a] == (__u64)file)
            return 0;
    bpf_loop(KS_MAX_LEVELS, walk_up, &w, 0);
    if (w.decided && w.anchor < 0) {
        last_outside = (__u64)dentry;
        if (w.levels >= KS_CACHE_FROM) {
            struct remembering r = {.dentry = dentry, .candidates = w.candidates, .levels = w.levels};
            bpf_loop(KS_MAX_LEVELS, remember, &r, 0);
        }
        return 0;
    }

    identify(task);
    if (params.mode == KS_MODE_HOLDERS) {
        __u32 flags = w.decided ? 0 : KS_UNDECIDED;
        if (w.decided && w.levels > 0) {
            /* The kernel prints a name that is gone with " (deleted)" after
             * it, within the same limit (d_path, d_unlinked). */
            __u32 length = name_gone(dentry) ? sizeof " (deleted)" - 1 : 0;
            __u32 limit = params.anchors[w.anchor & (KS_MAX_ANCHORS - 1)].path_limit;
            if (w.levels > KS_PATH_LEVELS)
                length = ~0u;
            else
                bpf_loop(w.levels, add_name_length, &length, 0);
            if (length > limit + 1) /* no separator before the first name */
                flags |= KS_PATH_LONG;
        }
        struct ks_holder_record holder = {
            .tgid = cached_tgid,
            .flags = flags,
            .start_boottime_ns = cached_start,
        };
        /* A record that does not fit the reader's buffer is dropped and the
         * descriptor visited again on the next read: the table is done only
         * once its record is out. */
        if (bpf_seq_write(seq, &holder, sizeof holder) != 0)
            return 0;
        if (!w.decided || (flags & KS_PATH_LONG) || !cached_tgid)
            handed_over = 1;
        else
            done_task = (__u64)task;
        return 0;
    }

    struct inode *inode = file->f_inode;
    __u8 flags = 0;
    /* A dentry taken out of the tree while another link keeps the inode is
     * no longer a name for it: /proc shows it "(deleted)" too. */
    if (inode && BPF_CORE_READ(inode, i_nlink) > 0 && !name_gone(dentry))
        flags |= KS_LINKED;
    struct path_writer p = {.levels = w.levels};
    if (!w.decided)
        flags |= KS_UNDECIDED;
    else if (w.levels > 0)
        bpf_loop(w.levels, write_name, &p, 0);
    if (p.cut) {
        flags |= KS_PATH_CUT;
        p.length = 0;
    }
    __u32 length = p.length;
    if (length > KS_PATH_BYTES)
        length = KS_PATH_BYTES;
    record.head.tgid = cached_tgid;
    record.head.tid = cached_tid;
    record.head.fd = ctx->fd;
    record.head.ino = inode ? BPF_CORE_READ(inode, i_ino) : 0;
    record.head.dev = BPF_CORE_READ(sb, s_dev);
    record.head.stat_dev = (flags & KS_LINKED) && inode ? stat_dev_of(sb, inode) : 0;
    if (record.head.stat_dev)
        flags |= KS_STAT_DEV;
    record.head.path_len = (__u16)length;
    record.head.anchor = w.anchor < 0 ? 0xff : (__u8)w.anchor;
    record.head.flags = flags;
    if (bpf_seq_write(seq, &record, sizeof record.head + length) == 0
        && ((flags & (KS_UNDECIDED | KS_PATH_CUT)) || !cached_tgid))
        handed_over = 1;
    return 0;
}
