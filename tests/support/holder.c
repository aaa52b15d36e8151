/* Holds files open for a test: opens each named path read-only (creating
 * missing regular files first when given -c), unlinks it afterwards when given
 * -u, prints "ready" and then waits until its standard input closes.
 *
 *   arkvane-holder [-c] [-u] PATH...
 */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
#include <errno.h>

int main(int argc, char *argv[])
{
    int create = 0, unlink_after = 0;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "-c") == 0) {
            create = 1;
            continue;
        }
        if (strcmp(argv[i], "-u") == 0) {
            unlink_after = 1;
            continue;
        }
        int fd = open(argv[i], O_RDONLY | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
        if (fd < 0) {
            fprintf(stderr, "arkvane-holder: %s: %s\n", argv[i], strerror(errno));
            return 1;
        }
        if (unlink_after && unlink(argv[i]) != 0) {
            fprintf(stderr, "arkvane-holder: unlink %s: %s\n", argv[i], strerror(errno));
            return 1;
        }
    }
    fputs("ready\n", stdout);
    fflush(stdout);
    char c;
    while (read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}
