// SPDX-License-Identifier: Apache-2.0
// The targets' surroundings: a private directory, a quiet standard output
// and a trace hook that formats every message.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz_card.h"

const char *fuzz_temp_base() {
    // Memory-backed when there is such a place: on a disk file system,
    // truncating and rewriting a file can cost milliseconds (ext4 flushes
    // the replaced data), and the operations rewrite their output files for
    // every input.
    struct stat st {};
    if (stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0) {
        return "/dev/shm";
    }
    return "/tmp";
}

const std::string &fuzz_temp_dir() {
    static const std::string dir = [] {
        std::string pattern = std::string(fuzz_temp_base()) + "/flash-update-fuzz-XXXXXX";
        std::vector<char> tmpl(pattern.begin(), pattern.end());
        tmpl.push_back('\0');
        if (mkdtemp(tmpl.data()) == nullptr) {
            perror("mkdtemp");
            abort();
        }
        std::string path = tmpl.data();
        static std::string removal;
        removal = path;
        atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(removal, ec);
        });
        return path;
    }();
    return dir;
}

void fuzz_quiet_stdout() {
    fflush(stdout);
    const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        dup2(fd, STDOUT_FILENO);
        close(fd);
    }
}

int fuzz_trace_cb(void *, int, const char *fmt, ...) {
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof(text), fmt, ap);
    va_end(ap);
    return 0;
}
