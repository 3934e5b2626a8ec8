// Runs one test program with private copies of the system paths that the
// tool and the tests write: /tmp (the scratch directory /tmp/korvex and the
// tests' own files), /dev/shm (card states of the end-to-end runs),
// /run/lock (the per-card locks) and /etc (the card's public keys). Whatever a test leaves there vanishes with its mount
// namespace, and two suites on one host never see each other's cards.
//
//     fu-test-sandbox PROGRAM [ARGS...]     (PROGRAM found on PATH as by a shell)
//
// /tmp and /etc stay readable as they are: each becomes an overlay whose
// changes land on a private tmpfs. Without the right to make a mount
// namespace (not root) the program runs as it is.
#define _GNU_SOURCE
#include <errno.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

// The layers' tmpfs is mounted here first and then covered by the private
// lock directory, so nothing of it is reachable by name afterwards.
static const char k_layers[] = "/run/lock";

static int fail(const char *what, const char *path) {
    fprintf(stderr, "fu-test-sandbox: %s %s: %s\n", what, path, strerror(errno));
    return -1;
}

static int overlay(const char *target, const char *name) {
    char upper[64], work[64], options[256];
    snprintf(upper, sizeof upper, "%s/%s.upper", k_layers, name);
    snprintf(work, sizeof work, "%s/%s.work", k_layers, name);
    if (mkdir(upper, 0755) != 0 || mkdir(work, 0755) != 0) return fail("cannot make", upper);
    // The overlay's root takes the upper directory's owner and mode.
    struct stat st;
    if (stat(target, &st) != 0) return fail("cannot examine", target);
    if (chmod(upper, st.st_mode & 07777) != 0 || chown(upper, st.st_uid, st.st_gid) != 0) {
        return fail("cannot set up", upper);
    }
    snprintf(options, sizeof options, "lowerdir=%s,upperdir=%s,workdir=%s", target, upper, work);
    if (mount("fu-test-sandbox", target, "overlay", 0, options) != 0) return fail("cannot overlay", target);
    return 0;
}

static int make_private(void) {
    if (unshare(CLONE_NEWNS) != 0) return fail("cannot unshare", "the mount namespace");
    if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) != 0) return fail("cannot make private", "/");
    if (mount("fu-test-sandbox", k_layers, "tmpfs", MS_NOSUID | MS_NODEV, "mode=0700") != 0) {
        return fail("cannot mount tmpfs on", k_layers);
    }
    if (overlay("/tmp", "tmp") != 0 || overlay("/etc", "etc") != 0) return -1;
    static const char *const k_fresh[] = {"/run/lock", "/dev/shm"};
    for (size_t i = 0; i < sizeof k_fresh / sizeof k_fresh[0]; i++) {
        if (mount("fu-test-sandbox", k_fresh[i], "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777") != 0) {
            return fail("cannot mount tmpfs on", k_fresh[i]);
        }
    }
    return 0;
}

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: fu-test-sandbox PROGRAM [ARGS...]\n");
        return 2;
    }
    // On a host that refuses part of the sandbox the test still runs; the
    // suite's closing check then names whatever it left behind.
    if (geteuid() == 0) make_private();
    execvp(argv[1], argv + 1);
    fprintf(stderr, "fu-test-sandbox: cannot run %s: %s\n", argv[1], strerror(errno));
    return 127;
}
