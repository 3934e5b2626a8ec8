// The per-card lock of the commands that change a card's flash or boot state.
//
// Two such commands on one card at once would interleave their requests (an
// erase under an install, two installs writing alternate chunks). Each holds
// an exclusive advisory lock on a file named after the card while it runs; a
// second one fails at once and names the holder. The lock is a POSIX record
// lock, so it goes away with its process, however that process ends.
#pragma once

#include <sys/types.h>

#include <string>

// Lock files live in <run_dir>/flash-update/<bdf>.lock, a directory owned by
// this user that nobody else may write; when that cannot be had, in
// <fallback_dir>/.lock (the card's scratch directory, same rules).
inline constexpr const char *CARD_LOCK_RUN_DIR = "/run/lock";
inline constexpr const char *CARD_LOCK_SUBDIR = "flash-update";
inline constexpr const char *CARD_LOCK_FALLBACK_NAME = ".lock";

enum card_lock_result_e : int {
    CARD_LOCK_HELD = 0,    // this process holds the card
    CARD_LOCK_BUSY = 1,    // another process holds it (holder, path set)
    CARD_LOCK_FAILED = 2,  // no lock file could be used (reason set)
};

struct card_lock_s {
    int fd = -1;         // open while held; closing it drops the lock
    pid_t holder = 0;    // the process holding the card when busy (0: unknown)
    std::string path;    // lock file tried last
    std::string reason;  // why no lock file could be used
};

// Takes the card's lock without waiting. bdf must not contain '/'.
card_lock_result_e card_lock_take(const char *bdf, const char *run_dir, const char *fallback_dir, card_lock_s &lock);

// The front end's step before a command that changes the card: takes the lock
// in the standard places (the fallback is the card's scratch directory,
// scratch_dir + bdf) and keeps it until the process ends. False after a
// message on standard error:
//   "flash-update: card %s is busy: another flash-update (pid %d) holds its lock\n"
//   "flash-update: cannot lock card %s: %s\n"
bool card_lock_hold(const char *bdf, const char *scratch_dir);

// Takes, without waiting, the lock of the physical card behind bdf (a valid
// address, or "00.0.0" for CRD_BDF / the default node): the same lock
// flash-update's mutating commands take. Held while lock.fd stays open (at the
// latest until the process ends); holder set when BUSY, reason when FAILED.
card_lock_result_e card_lock_acquire(const char *bdf, card_lock_s &lock);

// True when text is a card address dddd:bb:dd.f (hex digits, function 0-7).
bool card_address_valid(const char *text);
