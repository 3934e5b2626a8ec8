#include "card_lock.h"

#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A lost race with a holder that is just ending is tried again this often.
constexpr int k_lock_attempts = 3;

// Why the directory behind dir_fd must not hold a lock file, or empty. A
// directory that another user may write lets that user swap the lock file and
// so run a second command beside ours.
std::string lock_dir_refusal(int dir_fd, const std::string &dir) {
    struct stat st {};
    if (fstat(dir_fd, &st) != 0) {
        return dir + ": " + strerror(errno);
    }
    char reason[160];
    if (st.st_uid != geteuid()) {
        snprintf(reason, sizeof(reason), "%s is owned by uid %u, not %u", dir.c_str(), static_cast<unsigned>(st.st_uid),
                 static_cast<unsigned>(geteuid()));
        return reason;
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        snprintf(reason, sizeof(reason), "%s is writable by group or others", dir.c_str());
        return reason;
    }
    return {};
}

// Opens directory name (relative to at_fd) without following a symbolic link
// in its last component and checks it; -1 with reason.
int lock_dir_open(int at_fd, const std::string &name, std::string &reason) {
    const int fd = openat(at_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        struct stat st {};
        const bool link = fstatat(at_fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
        reason = name + ": " + (link ? std::string("it is a symbolic link") : strerror(err));
        return -1;
    }
    reason = lock_dir_refusal(fd, name);
    if (!reason.empty()) {
        close(fd);
        return -1;
    }
    return fd;
}

// Opens (creating) the lock file name in dir_fd: a regular file, never
// through a symbolic link; -1 with reason.
int lock_file_open(int dir_fd, const std::string &name, const std::string &path, std::string &reason) {
    const int fd = openat(dir_fd, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        reason = path + ": " + (errno == ELOOP ? std::string("it is a symbolic link") : strerror(errno));
        return -1;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = path + ": not a regular file";
        close(fd);
        return -1;
    }
    return fd;
}

// <run_dir>/flash-update/<bdf>.lock, the directory made when missing.
int run_lock_open(const char *run_dir, const char *bdf, card_lock_s &lock, std::string &reason) {
    const int run_fd = open(run_dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (run_fd < 0) {
        reason = std::string(run_dir) + ": " + strerror(errno);
        return -1;
    }
    if (mkdirat(run_fd, CARD_LOCK_SUBDIR, 0755) != 0 && errno != EEXIST) {
        reason = std::string(run_dir) + "/" + CARD_LOCK_SUBDIR + ": " + strerror(errno);
        close(run_fd);
        return -1;
    }
    const int dir_fd = lock_dir_open(run_fd, CARD_LOCK_SUBDIR, reason);
    close(run_fd);
    if (dir_fd < 0) {
        reason = std::string(run_dir) + "/" + reason;
        return -1;
    }
    const std::string name = std::string(bdf) + ".lock";
    lock.path = std::string(run_dir) + "/" + CARD_LOCK_SUBDIR + "/" + name;
    const int fd = lock_file_open(dir_fd, name, lock.path, reason);
    close(dir_fd);
    return fd;
}

// <fallback_dir>/.lock in the card's existing scratch directory.
int fallback_lock_open(const char *fallback_dir, card_lock_s &lock, std::string &reason) {
    std::string dir(fallback_dir);
    // A trailing slash would look through a symbolic link.
    while (dir.size() > 1 && dir.back() == '/') {
        dir.pop_back();
    }
    const int dir_fd = lock_dir_open(AT_FDCWD, dir, reason);
    if (dir_fd < 0) {
        return -1;
    }
    lock.path = dir + "/" + CARD_LOCK_FALLBACK_NAME;
    const int fd = lock_file_open(dir_fd, CARD_LOCK_FALLBACK_NAME, lock.path, reason);
    close(dir_fd);
    return fd;
}

// The pid a holder wrote into the lock file; 0 when there is none.
pid_t recorded_holder(int fd) {
    char text[32] = {};
    const ssize_t n = pread(fd, text, sizeof(text) - 1, 0);
    if (n <= 0) {
        return 0;
    }
    const long pid = strtol(text, nullptr, 10);
    return pid > 0 ? static_cast<pid_t>(pid) : 0;
}

}  // namespace

card_lock_result_e card_lock_take(const char *bdf, const char *run_dir, const char *fallback_dir, card_lock_s &lock) {
    lock = card_lock_s{};
    if (bdf == nullptr || bdf[0] == '\0' || strchr(bdf, '/') != nullptr || strcmp(bdf, ".") == 0 ||
        strcmp(bdf, "..") == 0) {
        lock.reason = "no usable card address for a lock file name";
        return CARD_LOCK_FAILED;
    }

    std::string run_reason;
    int fd = run_dir != nullptr ? run_lock_open(run_dir, bdf, lock, run_reason) : -1;
    if (fd < 0) {
        std::string fallback_reason = "no fallback directory";
        if (fallback_dir != nullptr) {
            fd = fallback_lock_open(fallback_dir, lock, fallback_reason);
        }
        if (fd < 0) {
            lock.reason = run_reason.empty() ? fallback_reason : run_reason + "; " + fallback_reason;
            return CARD_LOCK_FAILED;
        }
    }

    for (int attempt = 0; attempt < k_lock_attempts; ++attempt) {
        // Classic record locks, not open-file-description ones: only these
        // tell who holds them.
        struct flock want {};
        want.l_type = F_WRLCK;
        want.l_whence = SEEK_SET;
        if (fcntl(fd, F_SETLK, &want) == 0) {
            char text[32];
            const int n = snprintf(text, sizeof(text), "%d\n", static_cast<int>(getpid()));
            // The pid is for people looking at the file; the lock does not need it.
            if (ftruncate(fd, 0) != 0 || pwrite(fd, text, static_cast<size_t>(n), 0) != n) {
                lock.reason = lock.path + ": cannot record the pid: " + strerror(errno);
            }
            lock.fd = fd;
            return CARD_LOCK_HELD;
        }
        if (errno != EAGAIN && errno != EACCES) {
            lock.reason = lock.path + ": " + strerror(errno);
            close(fd);
            return CARD_LOCK_FAILED;
        }
        struct flock probe {};
        probe.l_type = F_WRLCK;
        probe.l_whence = SEEK_SET;
        if (fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK) {
            // A holder in another pid namespace shows as 0: take its record.
            lock.holder = probe.l_pid > 0 ? probe.l_pid : recorded_holder(fd);
            close(fd);
            return CARD_LOCK_BUSY;
        }
        // The holder ended between the two calls.
    }
    lock.holder = recorded_holder(fd);
    close(fd);
    return CARD_LOCK_BUSY;
}

bool card_lock_hold(const char *bdf, const char *scratch_dir) {
    const std::string fallback = std::string(scratch_dir != nullptr ? scratch_dir : "") + (bdf != nullptr ? bdf : "");
    card_lock_s lock;
    switch (card_lock_take(bdf, CARD_LOCK_RUN_DIR, fallback.c_str(), lock)) {
        case CARD_LOCK_HELD:
            // Held until the process ends: the descriptor is never closed.
            return true;
        case CARD_LOCK_BUSY:
            if (lock.holder > 0) {
                fprintf(stderr, "flash-update: card %s is busy: another flash-update (pid %d) holds its lock\n", bdf,
                        static_cast<int>(lock.holder));
            } else {
                fprintf(stderr, "flash-update: card %s is busy: another flash-update holds its lock\n", bdf);
            }
            return false;
        case CARD_LOCK_FAILED:
        default:
            fprintf(stderr, "flash-update: cannot lock card %s: %s\n", bdf != nullptr ? bdf : "(none)",
                    lock.reason.c_str());
            return false;
    }
}

card_lock_result_e card_lock_acquire(const char *bdf, card_lock_s &lock) {
    const std::string fallback = std::string("/tmp/korvex/") + (bdf != nullptr ? bdf : "");
    return card_lock_take(bdf, CARD_LOCK_RUN_DIR, fallback.c_str(), lock);
}

bool card_address_valid(const char *text) {
    regex_t re;
    if (text == nullptr ||
        regcomp(&re, "^[0-9a-fA-F]{4}:[0-9a-fA-F]{2}:[0-9a-fA-F]{2}\\.[0-7]$", REG_EXTENDED | REG_NOSUB) != 0) {
        return false;
    }
    const bool valid = regexec(&re, text, 0, nullptr, 0) == 0;
    regfree(&re);
    return valid;
}
