// SPDX-License-Identifier: Apache-2.0
// Scratch directories, planted links and captured output for the safety tests.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

// A fresh directory (mode 0700, ours), removed with everything in it.
struct safety_dir_s {
    std::string path;
    safety_dir_s() {
        char tmpl[] = "/tmp/fu-safety-XXXXXX";
        const char *made = mkdtemp(tmpl);
        path = made != nullptr ? made : "";
    }
    ~safety_dir_s() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    safety_dir_s(const safety_dir_s &) = delete;
    safety_dir_s &operator=(const safety_dir_s &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

inline std::string safety_read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline void safety_write(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

inline bool safety_exists(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

inline bool safety_is_link(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// Permission bits of path (not following a link); -1 when it is missing.
inline int safety_mode(const std::string &path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

// Entries of a directory, 0 when it is empty or missing.
inline size_t safety_entries(const std::string &dir) {
    std::error_code ec;
    size_t n = 0;
    for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec)) {
        ++n;
    }
    return n;
}

// Redirects standard error into a file until finish().
struct safety_stderr_capture_s {
    int saved = -1;
    std::string file;
    safety_stderr_capture_s() {
        char tmpl[] = "/tmp/fu-safety-err-XXXXXX";
        const int tmp = mkstemp(tmpl);
        file = tmpl;
        fflush(stderr);
        saved = dup(2);
        dup2(tmp, 2);
        close(tmp);
    }
    std::string finish() {
        fflush(stderr);
        if (saved >= 0) {
            dup2(saved, 2);
            close(saved);
            saved = -1;
        }
        return safety_read(file);
    }
    ~safety_stderr_capture_s() {
        finish();
        unlink(file.c_str());
    }
    safety_stderr_capture_s(const safety_stderr_capture_s &) = delete;
    safety_stderr_capture_s &operator=(const safety_stderr_capture_s &) = delete;
};

// A user that is not us, for directories "owned by another user".
inline constexpr uid_t k_safety_other_uid = 65534;
