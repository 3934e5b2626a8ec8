// SPDX-License-Identifier: Apache-2.0
// Exclusive use of the host's public key directory for one test.
//
// flash-update reads the card's public keys from a fixed system directory,
// so tests that verify signatures must write there. The guard takes an
// exclusive flock on a lock file in /tmp (so two suite runs never touch the
// directory at once; the file goes with the last holder), creates the missing directories, and on destruction
// puts back every file it changed and removes the directories it created.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

inline constexpr const char *k_fwkeys_dir = "/etc/orv/korvex/larch/fwkeys";
inline constexpr const char *k_fwkeys_lock = "/tmp/flash-update-fwkeys.lock";

struct fwkeys_guard {
    bool usable = false;
    std::string skip_reason;  // why the directory cannot be used (a line to skip with), when not usable

    fwkeys_guard() {
        lock_fd_ = test_support::lock_file_take(k_fwkeys_lock);
        if (lock_fd_ < 0) {
            refuse(std::string("cannot lock ") + k_fwkeys_lock + ": " + strerror(errno));
            return;
        }
        std::string path;
        std::stringstream parts(std::string(k_fwkeys_dir).substr(1));
        std::string part;
        while (std::getline(parts, part, '/')) {
            path += "/" + part;
            if (mkdir(path.c_str(), 0755) == 0) {
                created_dirs_.push_back(path);
            } else if (errno != EEXIST) {
                refuse("cannot create " + path + ": " + strerror(errno));
                return;
            }
        }
        // A probe file shows whether the directory takes files at all.
        const std::string probe = std::string(k_fwkeys_dir) + "/.flash-update-test-probe";
        const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            refuse(std::string("cannot write into ") + k_fwkeys_dir + ": " + strerror(errno));
            return;
        }
        close(fd);
        unlink(probe.c_str());
        usable = true;
    }

    ~fwkeys_guard() {
        for (const auto &[path, original] : saved_) {
            if (original) {
                std::ofstream(path, std::ios::binary | std::ios::trunc) << *original;
            } else {
                unlink(path.c_str());
            }
        }
        for (auto it = created_dirs_.rbegin(); it != created_dirs_.rend(); ++it) {
            rmdir(it->c_str());
        }
        if (lock_fd_ >= 0) test_support::lock_file_release(k_fwkeys_lock, lock_fd_);
    }

    fwkeys_guard(const fwkeys_guard &) = delete;
    fwkeys_guard &operator=(const fwkeys_guard &) = delete;

    // Writes NAME in the key directory, keeping what stood there for the
    // destructor to restore.
    bool put(const std::string &name, const std::string &content) {
        const std::string path = remember(name);
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
        return static_cast<bool>(out.flush());
    }

    // Removes NAME from the key directory until the guard ends.
    void remove(const std::string &name) { unlink(remember(name).c_str()); }

    std::string remember(const std::string &name) {
        const std::string path = std::string(k_fwkeys_dir) + "/" + name;
        if (saved_.count(path) == 0) {
            std::ifstream in(path, std::ios::binary);
            if (in) {
                std::ostringstream text;
                text << in.rdbuf();
                saved_[path] = text.str();
            } else {
                saved_[path] = std::nullopt;
            }
        }
        return path;
    }

    // Only root writes the system's key directory.
    void refuse(const std::string &why) {
        skip_reason = std::string(geteuid() != 0 ? "needs root: " : "") + "the key directory " + k_fwkeys_dir +
                      " cannot be used: " + why;
    }

    int lock_fd_ = -1;
    std::vector<std::string> created_dirs_;
    std::map<std::string, std::optional<std::string>> saved_;
};
