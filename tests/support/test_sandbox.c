// SPDX-License-Identifier: Apache-2.0
// Runs one test program with private copies of the system paths that the
// tool and the tests write: /tmp (the scratch directory /tmp/korvex and the
// tests' own files), /dev/shm (card states of the end-to-end runs),
// /run/lock (the per-card locks) and /etc (the card's public keys). Whatever a test leaves there vanishes with its mount
// namespace, and two suites on one host never see each other's cards.
//
//     fu-test-sandbox PROGRAM [ARGS...]     (PROGRAM found on PATH as by a shell)
//
// /tmp and /etc stay readable as they are: each becomes an overlay whose
// changes land on a private tmpfs. Only the tool's own configuration in /etc
// (the card's public keys, the trusted bundle signers) is hidden: a host
// that was set up for a real card, or that ran the demo, gives the tests no
// keys they did not put there themselves. Without the right to make a mount
// namespace (not root) the program runs as it is.
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
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

// The host's configuration of the tool, removed from the private /etc (the
// removals land on the overlay's tmpfs as whiteouts; the host keeps it).
static const char *const k_host_config[] = {"/etc/orv", "/etc/flash-update"};

static int remove_entry(const char *path, const struct stat *st, int flag, struct FTW *ftw) {
    (void)st;
    (void)flag;
    (void)ftw;
    return remove(path) == 0 ? 0 : fail("cannot hide", path);
}

static int hide_host_config(void) {
    for (size_t i = 0; i < sizeof k_host_config / sizeof k_host_config[0]; i++) {
        struct stat st;
        if (lstat(k_host_config[i], &st) != 0) continue;
        if (nftw(k_host_config[i], remove_entry, 16, FTW_DEPTH | FTW_PHYS) != 0) return -1;
    }
    return 0;
}

// A directory of / to stand in as the root for a moment (any will do).
static int some_subdirectory(char *path, size_t size) {
    DIR *d = opendir("/");
    if (d == NULL) return -1;
    int found = -1;
    for (struct dirent *e; found != 0 && (e = readdir(d)) != NULL;) {
        struct stat st;
        snprintf(path, size, "/%s", e->d_name);
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0 && lstat(path, &st) == 0 &&
            S_ISDIR(st.st_mode)) {
            found = 0;
        }
    }
    closedir(d);
    return found;
}

// Makes every mount of the new namespace private, so that nothing mounted
// here reaches the host. In a chroot / is a directory, not a mount, and the
// mount that holds it cannot be named from inside: the process leaves the
// chroot for a moment (root may: once the root is a subdirectory, ".." from
// the old root climbs on), makes the namespace's real root private with all
// below it, and goes back. Binding / onto itself instead would put a new
// mount under the host's shared one, and a copy of it would appear on the
// host.
static int make_mounts_private(void) {
    if (mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) == 0) return 0;
    if (errno != EINVAL) return fail("cannot make private", "/");
    char sub[320];
    int root = open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int cwd = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root < 0 || cwd < 0 || some_subdirectory(sub, sizeof sub) != 0 || chdir("/") != 0 || chroot(sub) != 0) {
        return fail("cannot leave the chroot of", "/");
    }
    for (int i = 0; i < 4096; i++) {
        struct stat here, up;
        if (stat(".", &here) != 0 || stat("..", &up) != 0) return fail("cannot climb from", "/");
        if (here.st_dev == up.st_dev && here.st_ino == up.st_ino) break;
        if (chdir("..") != 0) return fail("cannot climb from", "/");
    }
    int made = chroot(".") == 0 ? mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) : -1;
    int saved = errno;
    if (fchdir(root) != 0 || chroot(".") != 0 || fchdir(cwd) != 0) return fail("cannot return to the chroot", "/");
    close(root);
    close(cwd);
    errno = saved;
    return made == 0 ? 0 : fail("cannot make private", "the mount that holds /");
}

static int make_private(void) {
    if (unshare(CLONE_NEWNS) != 0) return fail("cannot unshare", "the mount namespace");
    if (make_mounts_private() != 0) return -1;
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
    return hide_host_config();
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
