// SPDX-License-Identifier: Apache-2.0
/* Test shim preloaded into flash-update by the end-to-end harness: sleep()
 * and a ppoll() on no descriptors (flashctl's wait between polls) return at
 * once, as if the whole time had passed, and append the requested seconds,
 * one number a line, to the file named by FU_E2E_SLEEP_LOG (ppoll's with
 * three decimals). Without that variable both are the system's own. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

static const char *sleep_log(void) {
    const char *log = getenv("FU_E2E_SLEEP_LOG");
    return log != NULL && log[0] != '\0' ? log : NULL;
}

static void record(const char *line, int n) {
    int fd = open(sleep_log(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        if (n > 0 && write(fd, line, (size_t)n) < 0) {
            /* nothing to report to: the harness sees the missing line */
        }
        close(fd);
    }
}

unsigned int sleep(unsigned int seconds) {
    if (sleep_log() == NULL) {
        unsigned int (*real_sleep)(unsigned int) = (unsigned int (*)(unsigned int))dlsym(RTLD_NEXT, "sleep");
        return real_sleep != NULL ? real_sleep(seconds) : 0;
    }
    char line[16];
    record(line, snprintf(line, sizeof line, "%u\n", seconds));
    return 0;
}

int ppoll(struct pollfd *fds, nfds_t nfds, const struct timespec *timeout, const sigset_t *sigmask) {
    if (sleep_log() == NULL || nfds != 0 || timeout == NULL) {
        int (*real_ppoll)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *) =
            (int (*)(struct pollfd *, nfds_t, const struct timespec *, const sigset_t *))dlsym(RTLD_NEXT, "ppoll");
        return real_ppoll != NULL ? real_ppoll(fds, nfds, timeout, sigmask) : -1;
    }
    char line[32];
    record(line, snprintf(line, sizeof line, "%.3f\n", (double)timeout->tv_sec + (double)timeout->tv_nsec / 1e9));
    return 0;
}
