// SPDX-License-Identifier: Apache-2.0
#include "card_lock.h"
#include "fu_vocabulary.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "card_address.h"
#include "nic_ipc.h"

namespace {

// Where the host drivers list the nodes they made for a card's functions.
constexpr const char *k_misc_driver_dir = "/sys/bus/pci/drivers/vela_ipc";
constexpr const char *k_fwctl_driver_dir = "/sys/bus/pci/drivers/kvc_core";

// Stands for "no card address given", as the client reads it.
constexpr const char *k_no_bdf = FU_NO_CARD;

// The bytes of a card's node that its lock uses (see card_lock.h): the
// exclusion byte and the turnstile carry open-file-description locks, the
// holder and waiter bytes classic read locks that name their owners.
constexpr off_t k_exclusion_byte = 0;
constexpr off_t k_holder_byte = 1;
constexpr off_t k_turnstile_byte = 2;
constexpr off_t k_waiter_byte = 3;

// How often a waiting taker tries again.
constexpr double k_poll_s = 0.05;

struct flock lock_range(short type, off_t start) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = start;
    range.l_len = 1;
    return range;
}

bool ofd_set(int fd, short type, off_t byte) {
    struct flock range = lock_range(type, byte);
    return fcntl(fd, F_OFD_SETLK, &range) == 0;
}

// The kind of lock (F_RDLCK, F_WRLCK) another open file holds on byte that
// keeps a write lock out; F_UNLCK when none does any more.
short ofd_blocker(int fd, off_t byte) {
    struct flock probe = lock_range(F_WRLCK, byte);
    return fcntl(fd, F_OFD_GETLK, &probe) == 0 ? probe.l_type : static_cast<short>(F_UNLCK);
}

// Only tells the next taker who we are; the open-file-description locks are
// what count.
void name_self(int fd, short type, off_t byte) {
    struct flock beacon = lock_range(type, byte);
    (void)fcntl(fd, F_SETLK, &beacon);
}

double monotonic_s() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Sleeps for seconds; a signal (the one that raises a stop) ends it early.
void nap(double seconds) {
    timespec t{};
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>((seconds - static_cast<double>(t.tv_sec)) * 1e9);
    (void)nanosleep(&t, nullptr);
}

// Entries of dir in directory order; empty when it cannot be read.
std::vector<std::string> dir_entries(const std::string &dir) {
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return names;
    }
    while (const dirent *e = readdir(d)) {
        names.emplace_back(e->d_name);
    }
    closedir(d);
    return names;
}

// A driver's node kind: where its functions list their nodes and how the
// node is named in /dev.
struct node_kind_s {
    const char *driver_dir;
    const char *subdir;
    const char *marker;
    const char *node_dir;
};

constexpr node_kind_s k_misc_nodes = {k_misc_driver_dir, "misc", "velaipcdev", "/dev/"};
constexpr node_kind_s k_fwctl_nodes = {k_fwctl_driver_dir, "fwctl", "fwctl", "/dev/fwctl/"};

// Entries naming a node of kind in one function's directory, in directory
// order (the first is the one the transport opens).
std::vector<std::string> function_node_entries(const node_kind_s &kind, const std::string &function) {
    std::vector<std::string> entries;
    for (const std::string &name : dir_entries(std::string(kind.driver_dir) + "/" + function + "/" + kind.subdir)) {
        if (name.find(kind.marker) != std::string::npos) {
            entries.push_back(name);
        }
    }
    return entries;
}

// Functions the driver serves (its directory also holds bind, unbind, ...).
std::vector<std::string> driver_functions(const node_kind_s &kind) {
    std::vector<std::string> functions;
    for (const std::string &name : dir_entries(kind.driver_dir)) {
        if (card_address_valid(name.c_str())) {
            functions.push_back(name);
        }
    }
    return functions;
}

// The node the client opens for a card: its misc node, else its fwctl node.
std::string card_node(const std::string &address) {
    char path[NIC_IPC_PATH_MAX] = {};
    if (nic_vela_device_path_from_crd_bdf(address.c_str(), path) == 0) {
        return path;
    }
    if (nic_fwctl_device_path_from_crd_bdf(address.c_str(), path) == 0) {
        return path;
    }
    return {};
}

std::string real_path(const std::string &path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

// The device number a driver lists for one of its nodes ("major:minor").
bool listed_device_number(const node_kind_s &kind, const std::string &function, const std::string &entry, dev_t &out) {
    const std::string path = std::string(kind.driver_dir) + "/" + function + "/" + kind.subdir + "/" + entry + "/dev";
    FILE *f = fopen(path.c_str(), "re");
    if (f == nullptr) {
        return false;
    }
    unsigned major_number = 0;
    unsigned minor_number = 0;
    const bool read = fscanf(f, "%u:%u", &major_number, &minor_number) == 2;
    fclose(f);
    out = makedev(major_number, minor_number);
    return read;
}

// The card node behind the default node, when some card's IPC function
// lists it (the same file, or the same device number); empty otherwise.
std::string default_node_card(const struct stat &st) {
    const std::string target = real_path(CARD_LOCK_DEFAULT_NODE);
    const bool numbered = S_ISCHR(st.st_mode) && st.st_rdev != 0;
    for (const std::string &function : driver_functions(k_misc_nodes)) {
        const std::vector<std::string> entries = function_node_entries(k_misc_nodes, function);
        for (const std::string &entry : entries) {
            const std::string node = std::string(k_misc_nodes.node_dir) + entry;
            dev_t listed = 0;
            if ((!target.empty() && real_path(node) == target) ||
                (numbered && listed_device_number(k_misc_nodes, function, entry, listed) && listed == st.st_rdev)) {
                return std::string(k_misc_nodes.node_dir) + entries.front();
            }
        }
    }
    return {};
}

// Every node of every card, sorted.
std::vector<std::string> every_card_node() {
    std::vector<std::string> nodes;
    for (const node_kind_s *kind : {&k_misc_nodes, &k_fwctl_nodes}) {
        for (const std::string &function : driver_functions(*kind)) {
            for (const std::string &entry : function_node_entries(*kind, function)) {
                nodes.push_back(std::string(kind->node_dir) + entry);
            }
        }
    }
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    return nodes;
}

// The pid behind a classic read lock on byte (the holder's or a waiting
// updater's); 0 when it cannot be told.
pid_t recorded_holder(int fd, off_t byte) {
    struct flock probe = lock_range(F_WRLCK, byte);
    if (fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK || probe.l_pid <= 0) {
        return 0;
    }
    return probe.l_pid;
}

// Opens each of nodes read-write, as the client does: only who may use the
// card may hold it. The first node must open; a further one out of this
// user's reach is another card's and is left out. opened: the nodes behind
// lock.fds.
card_lock_result_e open_nodes(const std::vector<std::string> &nodes, card_lock_s &lock,
                              std::vector<std::string> &opened) {
    if (nodes.empty()) {
        lock.no_device = true;
        lock.reason = "no device node found for the card";
        return CARD_LOCK_FAILED;
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
        const int fd = open(nodes[i].c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            if (i > 0) {
                continue;
            }
            lock.no_device = true;
            lock.reason = nodes[i] + ": " + strerror(errno);
            return CARD_LOCK_FAILED;
        }
        lock.fds.push_back(fd);
        opened.push_back(nodes[i]);
    }
    return CARD_LOCK_HELD;
}

// One try on every opened node: held, to be tried again (someone holds the
// card in a way this taker waits for), busy, or failed.
enum try_e { TRY_HELD, TRY_WAIT, TRY_BUSY, TRY_FAILED };

// A lock on node refused with err: the node and whoever a classic lock on
// named_by names when another process holds it (TRY_WAIT), its reason
// otherwise (TRY_FAILED).
try_e blocked(card_lock_s &lock, int fd, const std::string &node, off_t named_by, int err) {
    lock.path = node;
    if (err == EAGAIN || err == EACCES) {
        lock.holder = recorded_holder(fd, named_by);
        return TRY_WAIT;
    }
    lock.reason = node + ": " + strerror(err);
    return TRY_FAILED;
}

// Every node held in its mode: named as its holder, waiting no more.
card_lock_result_e held(card_lock_s &lock, const std::vector<std::string> &nodes) {
    for (const int fd : lock.fds) {
        name_self(fd, F_RDLCK, k_holder_byte);
    }
    lock.holder = 0;
    lock.path = nodes.front();
    return CARD_LOCK_HELD;
}

// A reader passes each node's turnstile (refused while an updater waits on
// it) to take a read lock on the exclusion byte (refused while an exclusive
// holder has it). A refusal anywhere gives back what it took: a reader never
// holds one node while it waits for another.
try_e try_shared(card_lock_s &lock, const std::vector<std::string> &opened) {
    for (size_t i = 0; i < lock.fds.size(); ++i) {
        const int fd = lock.fds[i];
        try_e t = TRY_HELD;
        if (!ofd_set(fd, F_RDLCK, k_turnstile_byte)) {
            t = blocked(lock, fd, opened[i], k_waiter_byte, errno);
        } else {
            const bool in = ofd_set(fd, F_RDLCK, k_exclusion_byte);
            const int err = errno;
            (void)ofd_set(fd, F_UNLCK, k_turnstile_byte);
            if (!in) {
                t = blocked(lock, fd, opened[i], k_holder_byte, err);
            }
        }
        if (t != TRY_HELD) {
            for (size_t j = 0; j < i; ++j) {
                (void)ofd_set(lock.fds[j], F_UNLCK, k_exclusion_byte);
            }
            return t;
        }
    }
    return TRY_HELD;
}

// An updater that waits: it first closes each node's turnstile to new
// readers, then takes the exclusion byte once the readers inside are gone.
// Another updater waiting on the turnstile, or an exclusive holder of the
// exclusion byte, makes it busy at once. What it took stays held while it
// waits (taking it again is a no-op); the turnstiles open when it holds all.
try_e try_waiting_exclusive(card_lock_s &lock, const std::vector<std::string> &opened) {
    for (const off_t byte : {k_turnstile_byte, k_exclusion_byte}) {
        const off_t named_by = byte == k_turnstile_byte ? k_waiter_byte : k_holder_byte;
        for (size_t i = 0; i < lock.fds.size(); ++i) {
            const int fd = lock.fds[i];
            if (!ofd_set(fd, F_WRLCK, byte)) {
                const try_e t = blocked(lock, fd, opened[i], named_by, errno);
                // A reader passing the turnstile holds it only for a moment.
                return t == TRY_WAIT && ofd_blocker(fd, byte) == F_WRLCK ? TRY_BUSY : t;
            }
            if (byte == k_turnstile_byte) {
                name_self(fd, F_RDLCK, k_waiter_byte);
            }
        }
    }
    for (const int fd : lock.fds) {
        (void)ofd_set(fd, F_UNLCK, k_turnstile_byte);
        name_self(fd, F_UNLCK, k_waiter_byte);
    }
    return TRY_HELD;
}

}  // namespace

card_lock_s::card_lock_s(card_lock_s &&other) noexcept
    : result(other.result),
      holder(other.holder),
      path(std::move(other.path)),
      reason(std::move(other.reason)),
      no_device(other.no_device),
      fds(std::exchange(other.fds, {})) {}

card_lock_s &card_lock_s::operator=(card_lock_s &&other) noexcept {
    if (this != &other) {
        release();
        result = other.result;
        holder = other.holder;
        path = std::move(other.path);
        reason = std::move(other.reason);
        no_device = other.no_device;
        fds = std::exchange(other.fds, {});
    }
    return *this;
}

card_lock_s::~card_lock_s() {
    release();
}

void card_lock_s::release() {
    for (const int fd : fds) {
        close(fd);
    }
    fds.clear();
}

std::vector<std::string> card_lock_nodes(const char *bdf) {
    std::string address = bdf != nullptr ? bdf : "";
    if (address == k_no_bdf) {
        const char *env = getenv("CRD_BDF");
        address = env != nullptr ? env : "";
    }
    if (!address.empty()) {
        const std::string node = card_node(address);
        return node.empty() ? std::vector<std::string>{} : std::vector<std::string>{node};
    }

    struct stat st {};
    if (stat(CARD_LOCK_DEFAULT_NODE, &st) != 0) {
        return {};
    }
    const std::string mapped = default_node_card(st);
    if (!mapped.empty()) {
        return {mapped};
    }
    // Which card answers on the default node cannot be told: it stands for
    // any of them.
    std::vector<std::string> nodes{CARD_LOCK_DEFAULT_NODE};
    for (const std::string &node : every_card_node()) {
        if (node != CARD_LOCK_DEFAULT_NODE) {
            nodes.push_back(node);
        }
    }
    return nodes;
}

card_lock_s card_lock_take_nodes(const std::vector<std::string> &nodes) {
    card_lock_s lock;
    std::vector<std::string> opened;
    if ((lock.result = open_nodes(nodes, lock, opened)) != CARD_LOCK_HELD) {
        return lock;
    }
    for (size_t i = 0; i < lock.fds.size(); ++i) {
        const int fd = lock.fds[i];
        if (!ofd_set(fd, F_WRLCK, k_exclusion_byte)) {
            // Busy whoever holds it, readers included: this taker does not wait.
            const try_e t = blocked(lock, fd, opened[i], k_holder_byte, errno);
            lock.release();
            lock.result = t == TRY_WAIT ? CARD_LOCK_BUSY : CARD_LOCK_FAILED;
            return lock;
        }
    }
    lock.result = held(lock, nodes);
    return lock;
}

card_lock_s card_lock_take_nodes_wait(const std::vector<std::string> &nodes, card_lock_mode_e mode, double wait_s,
                                      const volatile sig_atomic_t *stop) {
    card_lock_s lock;
    std::vector<std::string> opened;
    if ((lock.result = open_nodes(nodes, lock, opened)) != CARD_LOCK_HELD) {
        return lock;
    }
    const double start = monotonic_s();
    for (;;) {
        const try_e t = mode == CARD_LOCK_SHARED ? try_shared(lock, opened) : try_waiting_exclusive(lock, opened);
        if (t == TRY_HELD) {
            lock.result = held(lock, nodes);
            return lock;
        }
        card_lock_result_e result = t == TRY_BUSY ? CARD_LOCK_BUSY : CARD_LOCK_FAILED;
        if (t == TRY_WAIT) {
            const double left = wait_s - (monotonic_s() - start);
            if (stop != nullptr && *stop != 0) {
                result = CARD_LOCK_STOPPED;
            } else if (!(left > 0)) {
                result = CARD_LOCK_TIMED_OUT;
            } else {
                nap(std::min(left, k_poll_s));
                continue;
            }
        }
        lock.release();
        lock.result = result;
        return lock;
    }
}

card_lock_s card_lock_acquire_wait(const char *bdf, card_lock_mode_e mode, double wait_s,
                                   const volatile sig_atomic_t *stop) {
    return card_lock_take_nodes_wait(card_lock_nodes(bdf), mode, wait_s, stop);
}

card_lock_s card_lock_acquire(const char *bdf) {
    return card_lock_take_nodes(card_lock_nodes(bdf));
}
