// SPDX-License-Identifier: GPL-2.0-only
/* The kernel types the BPF programs read, and only the members they read.
 *
 * Made once from a kernel's BTF (bpftool btf dump file /sys/kernel/btf/vmlinux
 * format c) and cut down to what openfiles.bpf.c and boxevents.bpf.c touch,
 * so that no build reads the build machine's kernel. The layout here need
 * not be any kernel's: every record is marked preserve_access_index, so
 * each member access is a CO-RE relocation that libbpf resolves by name
 * against the running kernel's BTF when the program loads (members the
 * kernel keeps inside anonymous unions are found there too). A member a
 * program starts to read must be added here, with the kernel's own type.
 * Being the kernel's definitions, this file is under the kernel's licence,
 * GPL-2.0-only. */
#ifndef __VMLINUX_H__
#define __VMLINUX_H__

#ifndef BPF_NO_PRESERVE_ACCESS_INDEX
#pragma clang attribute push(__attribute__((preserve_access_index)), apply_to = record)
#endif

typedef signed char __s8;
typedef unsigned char __u8;
typedef short int __s16;
typedef short unsigned int __u16;
typedef int __s32;
typedef unsigned int __u32;
typedef long long int __s64;
typedef long long unsigned int __u64;
typedef __u8 u8;
typedef __u16 u16;
typedef __u32 u32;
typedef __u64 u64;
typedef __u16 __be16;
typedef __u32 __be32;
typedef __u32 __wsum;
typedef _Bool bool;
typedef int pid_t;
typedef __u32 __kernel_dev_t;
typedef __kernel_dev_t dev_t;

enum pid_type {
    PIDTYPE_PID = 0,
    PIDTYPE_TGID = 1,
    PIDTYPE_PGID = 2,
    PIDTYPE_SID = 3,
    PIDTYPE_MAX = 4,
};

/* The map type and update flag the program names (uapi values). */
enum bpf_map_type {
    BPF_MAP_TYPE_HASH = 1,
    BPF_MAP_TYPE_LRU_HASH = 9,
    BPF_MAP_TYPE_RINGBUF = 27,
};

enum {
    BPF_ANY = 0,
    BPF_NOEXIST = 1,
};

struct seq_file;

struct upid {
    int nr;
};

struct pid {
    unsigned int level;
    struct upid numbers[0];
};

struct signal_struct {
    unsigned int flags;
    struct pid *pids[4];
};

struct file;

struct fdtable {
    unsigned int max_fds;
    struct file **fd;
    long unsigned int *close_on_exec;
    long unsigned int *open_fds;
};

typedef struct {
    int counter;
} atomic_t;

struct files_struct {
    atomic_t count;
    struct fdtable *fdt;
};

/* x86-64's: boxevents.bpf.c reads a system call's number and arguments
 * there only. */
struct pt_regs {
    long unsigned int r10;
    long unsigned int dx;
    long unsigned int si;
    long unsigned int di;
    long unsigned int orig_ax;
};

struct task_struct {
    pid_t pid;
    struct task_struct *group_leader;
    struct pid *thread_pid;
    u64 start_boottime;
    struct signal_struct *signal;
    struct files_struct *files;
};

struct super_block {
    dev_t s_dev;
    long unsigned int s_magic;
    void *s_fs_info;
};

struct inode {
    long unsigned int i_ino;
    union {
        const unsigned int i_nlink;
        unsigned int __i_nlink;
    };
};

struct qstr {
    union {
        struct {
            u32 hash;
            u32 len;
        };
        u64 hash_len;
    };
    const unsigned char *name;
};

struct hlist_bl_node {
    struct hlist_bl_node *next;
    struct hlist_bl_node **pprev;
};

struct dentry {
    struct hlist_bl_node d_hash;
    struct dentry *d_parent;
    struct qstr d_name;
    struct inode *d_inode;
    struct super_block *d_sb;
};

struct vfsmount;

struct path {
    struct vfsmount *mnt;
    struct dentry *dentry;
};

struct file {
    struct path f_path;
    struct inode *f_inode;
};

struct bpf_iter_meta {
    struct seq_file *seq;
    u64 session_id;
    u64 seq_num;
};

struct bpf_iter__task_file {
    struct bpf_iter_meta *meta;
    struct task_struct *task;
    u32 fd;
    struct file *file;
};

#ifndef BPF_NO_PRESERVE_ACCESS_INDEX
#pragma clang attribute pop
#endif

#endif /* __VMLINUX_H__ */
