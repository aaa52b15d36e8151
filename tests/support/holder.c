// SPDX-License-Identifier: GPL-2.0-or-later
/* Holds files open for a test: opens each PATH read-only (-c: creating it;
 * -u: unlinking it after), prints "ready", waits until stdin closes.
 *   arkvane-holder [-c] [-u] [-t|-x|-f|-T|-r] [-D] PATH...
 * -t  a thread with a descriptor table of its own opens them; -x  the main
 *     thread exits once a second thread has opened them; -D  below each
 *     directory PATH, a chain deeper than the kernel prints (over 4,096
 *     bytes) is made and its end held (-c: a file "f" in it instead)
 * -f  once ready, forks without pause, each parent exiting as soon as its
 *     child exists: the files (and stdout) pass down a chain of processes
 *     that each live a fraction of a millisecond
 * -T  a child holds them, traced with PTRACE_O_TRACEEXIT and never let on
 *     from its exit stop: killed, it stops there, still holding them
 * -r  a child holds them, and another is made whenever one is killed */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/ptrace.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

static int create, unlink_after, deep, quiet, path_count;
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

static void wait_for_stdin_end(void)
{
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
}

static void say_ready(void)
{
    fputs("ready\n", stdout);
    fflush(stdout);
}

static int hold_and_wait(void)
{
    if (hold_all() != 0)
        return 1;
    if (!quiet)
        say_ready();
    wait_for_stdin_end();
    return 0;
}

static int hold_forking(void)
{
    if (hold_all() != 0)
        return 1;
    say_ready();
    for (;;) {
        if (fork() > 0)
            _exit(0);
    }
}

static int hold_traced(void)
{
    int held[2];
    if (pipe(held) != 0)
        return 1;
    const pid_t child = fork();
    if (child == 0) {
        close(held[0]);
        _exit(hold_all() != 0 || write(held[1], "", 1) != 1 ? 1 : (wait_for_stdin_end(), 0));
    }
    close(held[1]);
    char c;
    if (child < 0 || ptrace(PTRACE_SEIZE, child, NULL, (void *)PTRACE_O_TRACEEXIT) != 0
        || read(held[0], &c, 1) != 1)
        return 1;
    say_ready();
    wait_for_stdin_end(); /* the tracer's exit lets the child on */
    return 0;
}

static int hold_respawning(void)
{
    for (;; quiet = 1) {
        const pid_t child = fork();
        if (child == 0)
            _exit(hold_and_wait());
        int status;
        while (child > 0 && waitpid(child, &status, 0) < 0) {
        }
        if (child < 0 || !WIFSIGNALED(status))
            return child < 0 ? 1 : WEXITSTATUS(status);
    }
}

static void *holding_thread(void *own_table)
{
    _exit(own_table && unshare(CLONE_FILES) != 0 ? 1 : hold_and_wait());
}

int main(int argc, char *argv[])
{
    int mode = 0;
    paths = argv + 1;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-c") == 0)
            create = 1;
        else if (strcmp(argv[i], "-u") == 0)
            unlink_after = 1;
        else if (strcmp(argv[i], "-D") == 0)
            deep = 1;
        else if (strlen(argv[i]) == 2 && argv[i][0] == '-' && strchr("txfTr", argv[i][1]))
            mode = argv[i][1];
        else
            paths[path_count++] = argv[i];
    }
    if (mode == 'f')
        return hold_forking();
    if (mode == 'T')
        return hold_traced();
    if (mode == 'r')
        return hold_respawning();
    if (mode) {
        pthread_t thread;
        if (pthread_create(&thread, NULL, holding_thread, mode == 't' ? &thread : NULL) != 0)
            return 1;
        if (mode == 'x')
            pthread_exit(NULL);
        pthread_join(thread, NULL); /* never returns: the thread ends the process */
    }
    return hold_and_wait();
}
