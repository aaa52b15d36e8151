// SPDX-License-Identifier: GPL-2.0-or-later
/* A file system that stops answering on command: serves the empty file f0
 * until SIGUSR1, then holds every request until it is killed. No name or
 * attribute is cached. Prints "ready" once mounted.
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

static void on_signal(int signo) { stalled = signo == SIGUSR1; }

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
    else if (strcmp(path, "/f0") == 0)
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

static const struct fuse_operations operations = {
    .init = stall_init,
    .getattr = stall_getattr,
    .open = stall_open,
};

int main(int argc, char *argv[])
{
    signal(SIGUSR1, on_signal);
    return fuse_main(argc, argv, &operations, NULL);
}
