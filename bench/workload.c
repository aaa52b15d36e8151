// SPDX-License-Identifier: GPL-2.0-or-later
/* The benchmark's workload: N processes, each holding M distinct files open
 * inside a box and K descriptors outside it.
 *
 *   arkvane-bench-workload BOX OUTSIDE N M K
 *
 * Files are made as BOX/pNNNNN/fMMMMM (every one distinct) and OUTSIDE/oKKKKK
 * (shared by all processes). K counts, besides the three standard descriptors
 * (all /dev/null): the end of the control pipe each process waits on, /dev/null,
 * one end of a socket pair, and K-3 files in OUTSIDE. OUTSIDE is meant to be a
 * sibling whose name extends the box's ("BOX-outside"), so that a prefix test
 * without the final "/" would wrongly match it.
 *
 * Once every process holds its files, prints "ready PID..." on one line. Then
 * reads commands on standard input, one per line, answering each on one line:
 *   status  "alive A dead D": processes not yet ended, without reaping the
 *           living (the dead are reaped and counted once);
 *   end     ends every process (closes the control pipe, which each one waits
 *           on), reaps them all and says "ended exited E killed K other O",
 *           where K counts those ended by SIGKILL before or now; then exits.
 * End of input counts as "end". Every process also ends when this one dies,
 * since the control pipe's write end closes with it.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

enum { kOutsideBuiltIn = 3 };

struct Child
{
    pid_t pid;
    int state; /* 0 alive, 1 exited, 2 killed by SIGKILL, 3 other */
};

static void die(const char *what)
{
    fprintf(stderr, "arkvane-bench-workload: %s: %s\n", what, strerror(errno));
    exit(1);
}

static void fail(const char *what)
{
    fprintf(stderr, "arkvane-bench-workload: %s\n", what);
    exit(1);
}

static long parse_count(const char *text, long max)
{
    char *end = NULL;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno || end == text || *end || value < 0 || value > max)
        fail("counts must be whole numbers in range");
    return value;
}

static void make_dir(const char *path)
{
    if (mkdir(path, 0755) != 0 && errno != EEXIST)
        die(path);
}

static void make_file(const char *path)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        die(path);
    close(fd);
}

static void box_file_name(char *out, size_t size, const char *box, long proc, long file)
{
    snprintf(out, size, "%s/p%05ld/f%05ld", box, proc, file);
}

static void make_files(const char *box, const char *outside, long procs, long files, long outsideFiles)
{
    char path[4096];
    make_dir(box);
    make_dir(outside);
    for (long p = 0; p < procs; ++p) {
        snprintf(path, sizeof path, "%s/p%05ld", box, p);
        make_dir(path);
        for (long f = 0; f < files; ++f) {
            box_file_name(path, sizeof path, box, p, f);
            make_file(path);
        }
    }
    for (long o = 0; o < outsideFiles; ++o) {
        snprintf(path, sizeof path, "%s/o%05ld", outside, o);
        make_file(path);
    }
}

/* A descriptor limit high enough for the files a process must hold. */
static void raise_descriptor_limit(long needed)
{
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        die("getrlimit");
    if ((rlim_t)needed <= limit.rlim_cur)
        return;
    if (limit.rlim_max != RLIM_INFINITY && (rlim_t)needed > limit.rlim_max)
        fail("the hard descriptor limit is below what one process must hold");
    limit.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        die("setrlimit");
}

static int open_or_die(const char *path)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        die(path);
    return fd;
}

/* The body of one holder: never returns. */
static void hold(const char *box, const char *outside, long index, long files, long outsideFiles,
                 int controlRead, int readyWrite)
{
    char path[4096];
    int null = open_or_die("/dev/null");
    for (int fd = 0; fd < 3; ++fd)
        if (dup2(null, fd) < 0)
            _exit(2);
    /* The box is reached by absolute names only; no working directory in it. */
    if (chdir("/") != 0)
        _exit(2);
    for (long f = 0; f < files; ++f) {
        box_file_name(path, sizeof path, box, index, f);
        if (open(path, O_RDONLY | O_CLOEXEC) < 0)
            _exit(3);
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        _exit(4);
    close(pair[1]);
    for (long o = 0; o < outsideFiles; ++o) {
        snprintf(path, sizeof path, "%s/o%05ld", outside, o);
        if (open(path, O_RDONLY | O_CLOEXEC) < 0)
            _exit(5);
    }
    char byte = 'r';
    if (write(readyWrite, &byte, 1) != 1)
        _exit(6);
    close(readyWrite);
    while (read(controlRead, &byte, 1) > 0) {
    }
    _exit(0);
}

static void reap_ended(struct Child *children, long count, int block, long *remaining)
{
    for (;;) {
        int status = 0;
        pid_t pid = waitpid(-1, &status, block ? 0 : WNOHANG);
        if (pid <= 0)
            return;
        for (long i = 0; i < count; ++i) {
            if (children[i].pid != pid)
                continue;
            if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
                children[i].state = 1;
            else if (WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
                children[i].state = 2;
            else
                children[i].state = 3;
            --*remaining;
            break;
        }
        if (*remaining == 0)
            return;
    }
}

int main(int argc, char *argv[])
{
    if (argc != 6)
        fail("usage: arkvane-bench-workload BOX OUTSIDE N M K");
    const char *box = argv[1];
    const char *outside = argv[2];
    const long procs = parse_count(argv[3], 30000);
    const long files = parse_count(argv[4], 1000000);
    const long outsideCount = parse_count(argv[5], 1000000);
    if (outsideCount < kOutsideBuiltIn)
        fail("K must be at least 3 (the control pipe, /dev/null, a socket)");
    const long outsideFiles = outsideCount - kOutsideBuiltIn;

    make_files(box, outside, procs, files, outsideFiles);
    raise_descriptor_limit(files + outsideCount + 3 + 16);

    int control[2], ready[2];
    if (pipe2(control, O_CLOEXEC) != 0 || pipe2(ready, O_CLOEXEC) != 0)
        die("pipe");
    /* Our replies must not reach a holder that died mid-write. */
    signal(SIGPIPE, SIG_IGN);

    struct Child *children = calloc((size_t)procs + 1, sizeof *children);
    if (!children)
        die("calloc");
    fflush(stdout);
    for (long i = 0; i < procs; ++i) {
        pid_t pid = fork();
        if (pid < 0) {
            /* Those already started see the control pipe close with us. */
            die("fork");
        }
        if (pid == 0) {
            close(control[1]);
            close(ready[0]);
            hold(box, outside, i, files, outsideFiles, control[0], ready[1]);
        }
        children[i].pid = pid;
    }
    close(control[0]);
    close(ready[1]);

    /* One byte from each holder once its descriptors are open; an early end
     * of the pipe means every holder is gone. */
    long readyCount = 0;
    char buffer[4096];
    while (readyCount < procs) {
        ssize_t got = read(ready[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            fail("holders ended before all were ready");
        readyCount += got;
    }
    close(ready[0]);

    printf("ready");
    for (long i = 0; i < procs; ++i)
        printf(" %ld", (long)children[i].pid);
    printf("\n");
    fflush(stdout);

    long remaining = procs;
    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        if (strncmp(line, "status", 6) == 0) {
            if (remaining > 0)
                reap_ended(children, procs, 0, &remaining);
            printf("alive %ld dead %ld\n", remaining, procs - remaining);
            fflush(stdout);
        } else if (strncmp(line, "end", 3) == 0) {
            break;
        }
    }
    close(control[1]);
    if (remaining > 0)
        reap_ended(children, procs, 1, &remaining);
    long exited = 0, killed = 0, other = 0;
    for (long i = 0; i < procs; ++i) {
        exited += children[i].state == 1;
        killed += children[i].state == 2;
        other += children[i].state == 3;
    }
    printf("ended exited %ld killed %ld other %ld\n", exited, killed, other);
    fflush(stdout);
    free(children);
    return 0;
}
