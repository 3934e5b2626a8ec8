/* Test shim preloaded into flash-update by the end-to-end harness: sleep()
 * returns at once and appends the requested seconds, one number a line, to
 * the file named by FU_E2E_SLEEP_LOG. Without that variable sleep() is the
 * system's own. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

unsigned int sleep(unsigned int seconds) {
    const char *log = getenv("FU_E2E_SLEEP_LOG");
    if (log == NULL || log[0] == '\0') {
        unsigned int (*real_sleep)(unsigned int) = (unsigned int (*)(unsigned int))dlsym(RTLD_NEXT, "sleep");
        return real_sleep != NULL ? real_sleep(seconds) : 0;
    }
    int fd = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        char line[16];
        int n = snprintf(line, sizeof line, "%u\n", seconds);
        if (n > 0 && write(fd, line, (size_t)n) < 0) {
            /* nothing to report to: the harness sees the missing line */
        }
        close(fd);
    }
    return 0;
}
