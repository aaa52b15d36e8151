/* A file system that stops answering on command: serves empty files f0..f3
 * until SIGUSR1, then holds every request until SIGUSR2. No name or attribute
 * is cached. Prints "ready" once mounted.
 *   arkvane-stallfs MOUNTPOINT [FUSE OPTION...]    (in the foreground) */
#define FUSE_USE_VERSION 31
#include <fuse.h>

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

enum { kFiles = 4 };

static volatile sig_atomic_t stalled;

static void on_signal(int signo) { stalled = signo == SIGUSR1; }

/* Polled: the request threads are many, a signal wakes only one of them. */
static void wait_while_stalled(void)
{
    while (stalled)
        usleep(10000);
}

static int file_index(const char *path)
{
    return path[0] == '/' && path[1] == 'f' && path[2] >= '0' && path[2] < '0' + kFiles
                   && path[3] == '\0'
               ? path[2] - '0'
               : -1;
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
    wait_while_stalled();
    memset(st, 0, sizeof *st);
    if (strcmp(path, "/") == 0) {
        st->st_mode = S_IFDIR | 0755;
        st->st_nlink = 2;
        return 0;
    }
    if (file_index(path) < 0)
        return -ENOENT;
    st->st_mode = S_IFREG | 0644;
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
    (void)path, (void)offset, (void)fi, (void)flags;
    wait_while_stalled();
    fill(buf, ".", NULL, 0, 0);
    fill(buf, "..", NULL, 0, 0);
    for (int i = 0; i < kFiles; ++i) {
        char name[3] = {'f', (char)('0' + i), '\0'};
        fill(buf, name, NULL, 0, 0);
    }
    return 0;
}

static const struct fuse_operations operations = {
    .init = stall_init,
    .getattr = stall_getattr,
    .open = stall_open,
    .readdir = stall_readdir,
};

int main(int argc, char *argv[])
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = on_signal;
    sigaction(SIGUSR1, &action, NULL);
    sigaction(SIGUSR2, &action, NULL);
    return fuse_main(argc, argv, &operations, NULL);
}
