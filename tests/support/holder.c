// SPDX-License-Identifier: GPL-2.0-or-later
/* Holds files open for a test: opens each PATH read-only (-c: creating it;
 * -u: unlinking it after), prints "ready", waits until stdin closes.
 *   arkvane-holder [-c] [-u] [-t|-x] [-D] PATH...
 * -t  a thread with a descriptor table of its own opens them; -x  the main
 *     thread exits once a second thread has opened them; -D  below each
 *     directory PATH, a chain deeper than the kernel prints (over 4,096
 *     bytes) is made and its end held (-c: a file "f" in it instead) */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int create, unlink_after, deep, path_count;
static char **paths;

static int hold_deep(const char *base)
{
    int dir = open(base, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; dir >= 0 && level < 220; ++level) {
        const char *name = "deep-directory-level";
        mkdirat(dir, name, 0755);
        int next = openat(dir, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(dir);
        dir = next;
    }
    if (dir < 0 || (create && openat(dir, "f", O_RDONLY | O_CREAT | O_CLOEXEC, 0644) < 0))
        return -1;
    if (create)
        close(dir);
    return 0;
}

static int hold_all(void)
{
    for (int i = 0; i < path_count; ++i) {
        if (deep) {
            if (hold_deep(paths[i]) != 0)
                return -1;
            continue;
        }
        int fd = open(paths[i], O_RDONLY | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
        if (fd < 0 || (unlink_after && unlink(paths[i]) != 0)) {
            fprintf(stderr, "arkvane-holder: %s: %s\n", paths[i], strerror(errno));
            return -1;
        }
    }
    return 0;
}

static int hold_and_wait(void)
{
    char c;
    if (hold_all() != 0)
        return 1;
    fputs("ready\n", stdout);
    fflush(stdout);
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

static void *holding_thread(void *own_table)
{
    _exit(own_table && unshare(CLONE_FILES) != 0 ? 1 : hold_and_wait());
}

int main(int argc, char *argv[])
{
    int thread_mode = 0;
    paths = argv + 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-c") == 0)
            create = 1;
        else if (strcmp(argv[i], "-u") == 0)
            unlink_after = 1;
        else if (strcmp(argv[i], "-D") == 0)
            deep = 1;
        else if (strcmp(argv[i], "-t") == 0 || strcmp(argv[i], "-x") == 0)
            thread_mode = argv[i][1];
        else
            paths[path_count++] = argv[i];
    }
    if (thread_mode) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, holding_thread, thread_mode == 't' ? &thread : NULL) != 0)
            return 1;
        if (thread_mode == 'x')
            pthread_exit(NULL);
        pthread_join(thread, NULL); /* never returns: the thread ends the process */
    }
    return hold_and_wait();
}
