// SPDX-License-Identifier: Apache-2.0
// The system's boot number, kept by the platform in a small text file that
// this program only reads. Log files outlive reboots, so every log file
// starts with a banner naming the boot, and every log line carries it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace utils {

inline constexpr const char *BOOT_COUNT_DEFAULT_DIR = "/obfl";
inline constexpr const char *BOOT_COUNT_FILE = "boot_count.txt";

// "$PERSISTENT_LOG_DIR/boot_count.txt", or "/obfl/boot_count.txt" when the
// variable is unset; a directory ending in "/" gives a harmless "//".
std::string boot_count_path();

// The first line of the boot-count file as a decimal number; 0 when the file
// cannot be read or the line holds no number within the signed 32-bit range.
int32_t boot_count_get();

// Writes "*** Boot #N ***\n" with a freshly read boot number, as raw bytes.
void boot_banner_write(FILE *file);

}  // namespace utils
