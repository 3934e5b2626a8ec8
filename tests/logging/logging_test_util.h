// SPDX-License-Identifier: Apache-2.0
// Scratch directories, environment and output capture for the logging tests.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "test_support.h"

using test_support::file_exists;
using test_support::file_text;
using test_support::split_lines;
using test_support::temp_dir;
using test_support::write_file;

// Sets (or with nullptr unsets) a variable for the lifetime of the guard.
struct env_guard_s {
    std::string name;
    std::optional<std::string> old;
    env_guard_s(const char *var, const char *value) : name(var) {
        if (const char *cur = getenv(var)) {
            old = cur;
        }
        if (value != nullptr) {
            setenv(var, value, 1);
        } else {
            unsetenv(var);
        }
    }
    ~env_guard_s() {
        if (old) {
            setenv(name.c_str(), old->c_str(), 1);
        } else {
            unsetenv(name.c_str());
        }
    }
};

// Redirects a descriptor (1 or 2) into a file until finish().
struct fd_capture_s {
    int fd;
    int saved = -1;
    std::string file;
    explicit fd_capture_s(int which) : fd(which) {
        char tmpl[] = "/tmp/fu-logging-capture-XXXXXX";
        int tmp = mkstemp(tmpl);
        file = tmpl;
        fflush(stdout);
        fflush(stderr);
        saved = dup(fd);
        dup2(tmp, fd);
        close(tmp);
    }
    // What was written so far, without ending the capture.
    std::string peek() {
        fflush(stdout);
        fflush(stderr);
        std::ifstream in(file, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    std::string finish() {
        std::string text = peek();
        if (saved >= 0) {
            dup2(saved, fd);
            close(saved);
            saved = -1;
        }
        return text;
    }
    ~fd_capture_s() {
        finish();
        unlink(file.c_str());
    }
};

// One log line "<L> [<boot> YYYY-MM-DD HH:MM:SS.ffffff] (<tid>) <text>".
struct log_line_s {
    char letter = 0;
    unsigned long boot = 0;
    long tid = 0;
    std::string text;
};

inline bool digits_take(const std::string &s, size_t &pos, unsigned long &value) {
    size_t start = pos;
    value = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        value = value * 10 + static_cast<unsigned long>(s[pos++] - '0');
    }
    return pos > start;
}

inline bool literal_take(const std::string &s, size_t &pos, const std::string &lit) {
    if (s.compare(pos, lit.size(), lit) != 0) {
        return false;
    }
    pos += lit.size();
    return true;
}

inline std::optional<log_line_s> log_line_parse(const std::string &line) {
    static const std::string time_shape = "####-##-## ##:##:##.######";
    log_line_s out;
    size_t pos = 0;
    if (line.empty() || std::string("TDIWEC").find(line[0]) == std::string::npos) {
        return std::nullopt;
    }
    out.letter = line[pos++];
    if (!literal_take(line, pos, " [") || !digits_take(line, pos, out.boot) || !literal_take(line, pos, " ")) {
        return std::nullopt;
    }
    for (char shape : time_shape) {
        if (pos >= line.size()) {
            return std::nullopt;
        }
        char c = line[pos++];
        if (shape == '#' ? (c < '0' || c > '9') : c != shape) {
            return std::nullopt;
        }
    }
    unsigned long tid = 0;
    if (!literal_take(line, pos, "] (") || !digits_take(line, pos, tid) || !literal_take(line, pos, ") ")) {
        return std::nullopt;
    }
    out.tid = static_cast<long>(tid);
    out.text = line.substr(pos);
    return out;
}

// The line has the log line shape with this letter, boot number and text.
inline bool log_line_is(const std::string &line, char letter, unsigned long boot, const std::string &text) {
    std::optional<log_line_s> parsed = log_line_parse(line);
    return parsed && parsed->letter == letter && parsed->boot == boot && parsed->text == text;
}
