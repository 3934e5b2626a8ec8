// SPDX-License-Identifier: Apache-2.0
#include "test_support.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace test_support {

std::vector<uint8_t> image_bytes(size_t size, unsigned seed) {
    std::vector<uint8_t> bytes(size);
    uint32_t x = 2463534242u ^ seed;
    for (auto &b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return bytes;
}

bool read_file(const std::string &path, std::string &text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::ostringstream all;
    all << in.rdbuf();
    text = all.str();
    return true;
}

std::string file_text(const std::string &path) {
    std::string text;
    return read_file(path, text) ? text : std::string();
}

bool write_file(const std::string &path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out.flush());
}

bool file_exists(const std::string &path) {
    return access(path.c_str(), F_OK) == 0;
}

std::vector<std::string> split_lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

std::string field_filled(const std::string &text, size_t width) {
    std::string out;
    while (out.size() < width)
        out += text;
    return out.substr(0, width);
}

int lock_file_take(const std::string &path) {
    for (;;) {
        const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0) return -1;
        if (flock(fd, LOCK_EX) != 0) {
            const int saved = errno;
            close(fd);
            errno = saved;
            return -1;
        }
        struct stat held {
        }, named{};
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
            held.st_ino == named.st_ino)
            return fd;
        close(fd);  // the holder before removed it: a new one is made
    }
}

void lock_file_release(const std::string &path, int fd) {
    unlink(path.c_str());
    close(fd);
}

temp_dir::temp_dir(const char *prefix) {
    std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) path = pattern;
}

temp_dir::~temp_dir() {
    if (path.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

}  // namespace test_support
