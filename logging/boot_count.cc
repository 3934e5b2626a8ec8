// SPDX-License-Identifier: Apache-2.0
#include "boot_count.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace utils {

std::string boot_count_path() {
    const char *dir = getenv("PERSISTENT_LOG_DIR");
    std::string path = dir != nullptr ? dir : BOOT_COUNT_DEFAULT_DIR;
    path += "/";
    path += BOOT_COUNT_FILE;
    return path;
}

int32_t boot_count_get() {
    FILE *file = fopen(boot_count_path().c_str(), "r");
    if (file == nullptr) {
        return 0;
    }
    char *line = nullptr;
    size_t line_cap = 0;
    ssize_t len = getline(&line, &line_cap, file);
    fclose(file);
    if (len < 0) {
        free(line);
        return 0;
    }

    // The platform writes the number alone; anything else on the line (a
    // stray word, an empty first line, a number the counter can never reach)
    // reads as an unknown boot rather than stopping the program.
    char *end = nullptr;
    errno = 0;
    long value = strtol(line, &end, 10);
    bool valid = end != line && errno == 0 && value >= std::numeric_limits<int32_t>::min() &&
                 value <= std::numeric_limits<int32_t>::max();
    free(line);
    return valid ? static_cast<int32_t>(value) : 0;
}

void boot_banner_write(FILE *file) {
    fprintf(file, "*** Boot #%u ***\n", static_cast<uint32_t>(boot_count_get()));
}

}  // namespace utils
