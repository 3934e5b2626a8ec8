// SPDX-License-Identifier: Apache-2.0
// What the bundle library's files share and its users need not see.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "bundle.h"
#include "rfc_types.h"

// Images are streamed in blocks of this size: memory stays flat whatever
// the size of an image.
inline constexpr size_t BUNDLE_BLOCK = 1u << 20;
// A key file is a few hundred bytes.
inline constexpr size_t BUNDLE_KEY_FILE_MAX = 64u << 10;

// Sets *error; always false.
bool bundle_fail(bundle_error_s *error, const char *check, const std::string &message);

// A partition by the word typed on the command line ("boot-fault-log") or
// by the name the card gives it ("boot_fault_log"); FLASH_PARTITION_ALL for
// neither.
flash_partition_e bundle_partition_of(const std::string &name);
// The card's partition of that name (or of its catalogue number); nullptr.
const doc_partition_s *bundle_card_partition(const doc_card_s &card, const std::string &name);
// "a.b.c" split at '.' -> {"a", "b", "c"}; empty parts kept.
std::vector<std::string> bundle_split(const std::string &text, char separator);

std::string bundle_lower_hex(const uint8_t *bytes, size_t len);
// A name from an archive or a directory for a one-line message: control
// characters as \xHH.
std::string bundle_printable(std::string_view name);

// A SHA-512 over bytes given in blocks.
struct bundle_sha512_s {
    struct state_s;
    std::unique_ptr<state_s> state;
    bundle_sha512_s();
    ~bundle_sha512_s();
    bool update(const void *bytes, size_t len);
    // The hex digest; "" when hashing failed.
    std::string finish();
};

// The first size bytes of fd, read by position in blocks, through SHA-512
// (and, when out >= 0, written to out as they pass). "" with *error set
// when the file holds fewer bytes or cannot be read or written.
std::string bundle_sha512_fd(int fd, uint64_t size, int out, std::string *error);

// The whole of a regular file of at most max bytes, into *bytes: 0, or the
// errno value of the failure (ENOENT, ELOOP for a link when !follow, EINVAL
// for a file that is not regular, EFBIG for one over max).
int bundle_read_small(int dirfd, const std::string &name, size_t max, bool follow, std::string *bytes);
