// SPDX-License-Identifier: GPL-2.0-or-later
/* A file system that stops answering on command: serves the empty file f0
 * and the directory .box holding another, until SIGUSR1, then holds every
 * request until it is killed. An unlink or rmdir it never answers: it prints
 * "unlink" and holds it. No name or attribute is cached. Prints "ready" once
 * mounted.
 *   arkvane-stallfs MOUNTPOINT [FUSE OPTION...]    (in the foreground) */
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static volatile sig_atomic_t stalled;

static void on_signal(int signo)
{
    stalled = signo == SIGUSR1;
}

static void *stall_init(struct fuse_conn_info *conn, struct fuse_config *cfg)
{
    (void)conn;
    cfg->entry_timeout = cfg->attr_timeout = cfg->negative_timeout = 0;
    puts("ready"); /* the kernel has the mount */
    fflush(stdout);
    return NULL;
}

static int stall_getattr(const char *path, struct stat *st, struct fuse_file_info *fi)
{
    (void)fi;
    while (stalled) /* polled: a signal wakes only one of the request threads */
        usleep(10000);
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0)
        st->st_mode = S_IFDIR | 0755;
    else if (strcmp(path, "/.box") == 0)
        st->st_mode = S_IFDIR | 0755;
    else if (strcmp(path, "/f0") == 0 || strcmp(path, "/.box/f0") == 0)
        st->st_mode = S_IFREG | 0644;
    else
        return -ENOENT;
    st->st_nlink = 1;
    return 0;
}

static int stall_open(const char *path, struct fuse_file_info *fi)
{
    (void)fi;
    return stall_getattr(path, &(struct stat){0}, NULL);
}

static int stall_readdir(const char *path, void *buf, fuse_fill_dir_t fill, off_t offset,
                         struct fuse_file_info *fi, enum fuse_readdir_flags flags)
{
    (void)offset, (void)fi, (void)flags;
    struct stat st;
    int error = stall_getattr(path, &st, NULL);
    if (error == 0 && !S_ISDIR(st.st_mode))
        error = -ENOTDIR;
    if (error != 0)
        return error;
    fill(buf, "f0", NULL, 0, 0);
    if (strcmp(path, "/") == 0)
        fill(buf, ".box", NULL, 0, 0);
    return 0;
}

static int stall_unlink(const char *path)
{
    (void)path;
    puts("unlink");
    fflush(stdout);
    while (pause() != 0) /* until killed */
        ;
    return -EIO;
}

static const struct fuse_operations operations = {
    .init = stall_init,
    .getattr = stall_getattr,
    .open = stall_open,
    .opendir = stall_open,
    .readdir = stall_readdir,
    .unlink = stall_unlink,
    .rmdir = stall_unlink,
};

int main(int argc, char *argv[])
{
    signal(SIGUSR1, on_signal);
    return fuse_main(argc, argv, &operations, NULL);
}
