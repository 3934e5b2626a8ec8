// SPDX-License-Identifier: Apache-2.0
// Helpers every test folder shares: image bytes, whole files, lines and
// scratch directories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

// size bytes of an xorshift stream: the same seed gives the same image, and
// no two blocks of an image are alike, so a misplaced block shows.
std::vector<uint8_t> image_bytes(size_t size, unsigned seed = 1);

// The whole file; false (text untouched) when it cannot be read.
bool read_file(const std::string &path, std::string &text);
// The whole file, empty when it cannot be read.
std::string file_text(const std::string &path);
// Replaces the file with bytes; false when it cannot be written.
bool write_file(const std::string &path, std::string_view bytes);
bool file_exists(const std::string &path);

// The lines of text without their line feeds; a last line without one counts.
std::vector<std::string> split_lines(const std::string &text);

// What the virtual card's no-nul fault puts in a field of that width: the
// text repeated up to the field's last byte.
std::string field_filled(const std::string &text, size_t width);

// An exclusive flock on a lock file that exists only while it is held: the
// holder removes it before letting go, and a waiter that then holds a file no
// longer at the path tries again, so that no run leaves the file behind.
// The descriptor, or -1 with errno set.
int lock_file_take(const std::string &path);
// Removes the file and lets go of it.
void lock_file_release(const std::string &path, int fd);

// A fresh directory under /tmp, removed with everything in it.
struct temp_dir {
    std::string path;  // empty when it could not be made
    explicit temp_dir(const char *prefix = "fu-test");
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};

}  // namespace test_support
