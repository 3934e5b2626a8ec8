// SPDX-License-Identifier: Apache-2.0
// What both programs and the virtual card need of the system around them: one
// monotonic clock, one loop that writes a whole buffer or fails, and one way
// to replace a file so that a reader, or the next start after a crash, finds
// the old contents or the new, never a part.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// CLOCK_MONOTONIC: intervals and rates, untouched when the wall clock is set.
int64_t fe_monotonic_ns();
double fe_monotonic_s();

// Writes all len bytes, again after EINTR and after a short write. false with
// errno set when a write fails (EIO for one that wrote nothing); *written,
// when given, counts the bytes that went out either way.
[[nodiscard]] bool fe_write_all(int fd, const void *data, size_t len, size_t *written = nullptr);
[[nodiscard]] bool fe_write_all(int fd, std::string_view text);
// The same at an offset, for files written in place (pwrite).
[[nodiscard]] bool fe_pwrite_all(int fd, const void *data, size_t len, uint64_t offset);

// Replaces path with contents: a temporary file beside it (the rename stays
// within one file system), every byte written and synced, mode set, renamed
// over path, and the directory synced so that the rename itself lasts. false
// with the system's reason in *error; the temporary file is gone then.
[[nodiscard]] bool fe_write_file_atomic(const std::string &path, std::string_view contents, mode_t mode,
                                        std::string *error);
