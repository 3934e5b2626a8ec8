// SPDX-License-Identifier: Apache-2.0
// The boot-count file as utils::boot_count_get reads it, and the banner
// written from it: the input is the whole of boot_count.txt in the directory
// that PERSISTENT_LOG_DIR names.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "boot_count.h"
#include "fuzz_card.h"

namespace {

std::string g_dir;
std::string g_file;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    g_dir = fuzz_temp_dir();
    g_file = g_dir + "/boot_count.txt";
    setenv("PERSISTENT_LOG_DIR", g_dir.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const int fd = open(g_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 || (size > 0 && write(fd, data, size) != static_cast<ssize_t>(size))) {
        perror(g_file.c_str());
        abort();
    }
    close(fd);

    const int32_t count = utils::boot_count_get();

    // A first line of nothing but up to nine digits is that number.
    size_t digits = 0;
    while (digits < size && data[digits] >= '0' && data[digits] <= '9')
        ++digits;
    if (digits > 0 && digits <= 9 && (digits == size || data[digits] == '\n')) {
        const std::string text(reinterpret_cast<const char *>(data), digits);
        if (count != std::stoi(text)) {
            fprintf(stderr, "boot count %d read from \"%s\"\n", count, text.c_str());
            abort();
        }
    }

    char banner[64] = {};
    FILE *out = fmemopen(banner, sizeof(banner), "w");
    if (out != nullptr) {
        utils::boot_banner_write(out);
        fclose(out);
    }
    return 0;
}
