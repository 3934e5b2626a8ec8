// SPDX-License-Identifier: Apache-2.0
#include "fe_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int64_t k_ns_per_s = 1'000'000'000;

// One loop for write and pwrite: out(done) writes what is left after done bytes.
template <typename Out>
bool write_loop(size_t len, size_t *written, Out out) {
    size_t done = 0;
    while (done < len) {
        const ssize_t n = out(done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (written != nullptr) *written = done;
    return done == len;
}

std::string directory_of(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool sync_directory(const std::string &dir) {
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    const int saved = errno;
    close(fd);
    errno = saved;
    return ok;
}

}  // namespace

int64_t fe_monotonic_ns() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * k_ns_per_s + ts.tv_nsec;
}

double fe_monotonic_s() {
    return static_cast<double>(fe_monotonic_ns()) / static_cast<double>(k_ns_per_s);
}

bool fe_write_all(int fd, const void *data, size_t len, size_t *written) {
    const auto *bytes = static_cast<const char *>(data);
    return write_loop(len, written, [&](size_t done) { return write(fd, bytes + done, len - done); });
}

bool fe_write_all(int fd, std::string_view text) {
    return fe_write_all(fd, text.data(), text.size());
}

bool fe_pwrite_all(int fd, const void *data, size_t len, uint64_t offset) {
    const auto *bytes = static_cast<const char *>(data);
    return write_loop(len, nullptr, [&](size_t done) {
        return pwrite(fd, bytes + done, len - done, static_cast<off_t>(offset + done));
    });
}

bool fe_write_file_atomic(const std::string &path, std::string_view contents, mode_t mode, std::string *error) {
    std::string tmp = path + ".XXXXXX";
    const int fd = mkostemp(tmp.data(), O_CLOEXEC);
    if (fd < 0) {
        *error = strerror(errno);
        return false;
    }
    bool ok = fchmod(fd, mode) == 0 && fe_write_all(fd, contents) && fsync(fd) == 0;
    if (!ok) *error = strerror(errno);
    if (close(fd) != 0 && ok) {
        *error = strerror(errno);
        ok = false;
    }
    if (ok && rename(tmp.c_str(), path.c_str()) != 0) {
        *error = strerror(errno);
        ok = false;
    }
    if (!ok) {
        unlink(tmp.c_str());
        return false;
    }
    if (!sync_directory(directory_of(path))) {
        *error = std::string("cannot sync its directory: ") + strerror(errno);
        return false;
    }
    return true;
}
