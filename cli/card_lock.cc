#include "card_lock.h"

#include <dirent.h>
#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "nic_ipc.h"

namespace {

// Where the host drivers list the nodes they made for a card's functions.
constexpr const char *k_misc_driver_dir = "/sys/bus/pci/drivers/vela_ipc";
constexpr const char *k_fwctl_driver_dir = "/sys/bus/pci/drivers/kvc_core";

// Stands for "no card address given", as the client reads it.
constexpr const char *k_no_bdf = "00.0.0";

// The byte whose open-file-description write lock keeps other holders out,
// and the byte whose classic read lock tells them who holds the card.
constexpr off_t k_exclusion_byte = 0;
constexpr off_t k_holder_byte = 1;

struct flock lock_range(short type, off_t start) {
    struct flock range {};
    range.l_type = type;
    range.l_whence = SEEK_SET;
    range.l_start = start;
    range.l_len = 1;
    return range;
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

// The pid behind the holder's record lock; 0 when it cannot be told.
pid_t recorded_holder(int fd) {
    struct flock probe = lock_range(F_WRLCK, k_holder_byte);
    if (fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK || probe.l_pid <= 0) {
        return 0;
    }
    return probe.l_pid;
}

}  // namespace

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

card_lock_result_e card_lock_take_nodes(const std::vector<std::string> &nodes, card_lock_s &lock) {
    lock = card_lock_s{};
    if (nodes.empty()) {
        lock.no_device = true;
        lock.reason = "no device node found for the card";
        return CARD_LOCK_FAILED;
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
        const std::string &node = nodes[i];
        // Read-write, as the client opens it: only who may use the card may hold it.
        const int fd = open(node.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            if (i > 0) {
                continue;  // another card's node, out of this user's reach
            }
            lock.no_device = true;
            lock.reason = node + ": " + strerror(errno);
            return CARD_LOCK_FAILED;
        }
        struct flock exclusive = lock_range(F_WRLCK, k_exclusion_byte);
        if (fcntl(fd, F_OFD_SETLK, &exclusive) != 0) {
            const int err = errno;
            const card_lock_result_e result = err == EAGAIN || err == EACCES ? CARD_LOCK_BUSY : CARD_LOCK_FAILED;
            if (result == CARD_LOCK_BUSY) {
                lock.holder = recorded_holder(fd);
            } else {
                lock.reason = node + ": " + strerror(err);
            }
            close(fd);
            card_lock_release(lock);
            lock.path = node;
            return result;
        }
        // Only tells the next taker who we are; the lock above is what counts.
        struct flock beacon = lock_range(F_RDLCK, k_holder_byte);
        (void)fcntl(fd, F_SETLK, &beacon);
        lock.fds.push_back(fd);
    }
    if (lock.fds.empty()) {
        lock.no_device = true;
        lock.reason = "no device node of the card can be opened";
        return CARD_LOCK_FAILED;
    }
    lock.fd = lock.fds.front();
    lock.path = nodes.front();
    return CARD_LOCK_HELD;
}

card_lock_result_e card_lock_acquire(const char *bdf, card_lock_s &lock) {
    return card_lock_take_nodes(card_lock_nodes(bdf), lock);
}

void card_lock_release(card_lock_s &lock) {
    for (const int fd : lock.fds) {
        close(fd);
    }
    lock.fds.clear();
    lock.fd = -1;
}

bool card_lock_hold(const char *bdf) {
    card_lock_s lock;
    switch (card_lock_acquire(bdf, lock)) {
        case CARD_LOCK_HELD:
            // Held until the process ends: the descriptors are never closed.
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
            if (lock.no_device) {
                // Nothing this user can reach to protect; the client's open says why.
                return true;
            }
            fprintf(stderr, "flash-update: cannot lock card %s: %s\n", bdf != nullptr ? bdf : "(none)",
                    lock.reason.c_str());
            return false;
    }
}
