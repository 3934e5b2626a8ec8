// SPDX-License-Identifier: Apache-2.0
// A fake card behind flashctl's table of card operations, for the in-process
// tests of the engine and of releases: its partition table, identity, boot
// selection and what each partition holds are plain data; every request that
// would change it is recorded, and any request can be made to fail.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "flashctl.h"

namespace fake {

using Strings = std::vector<std::string>;

struct card_s {
    card_lock_result_e lock = CARD_LOCK_HELD;
    std::vector<std::pair<card_lock_mode_e, double>> lock_takes;  // mode and wait of each take
    int lock_fd = -1;                                             // the descriptor the last guard held (a pipe's end)
    firmware_image_type_e running = FIRMWARE_IMAGE_FW_A;
    firmware_image_type_e startup = FIRMWARE_IMAGE_FW_A;
    bool startup_sticks = true;  // a set-startup request changes what the card reports
    rfc_card_identity_s identity;
    std::vector<rfc_partition_s> partitions = {{6, 1, "fw-a", "firmware", 1 << 20, 0, false, false, "v1"},
                                               {7, 1, "fw-b", "firmware", 1 << 20, 1, false, false, "v1"}};
    // The card's checksum of a partition (absent: checksum_hex), set by a write.
    std::map<uint32_t, std::string> held;
    std::string checksum_hex = std::string(128, '0');
    // The digest over the length the card recorded at the install (absent: the checksum's).
    std::map<uint32_t, std::string> recorded;
    unsigned erase_polls = 0;  // polls of the erase (10-second interval) before it completes
    int erase_result = RFC_OK;
    int write_result = RFC_OK;
    bool startup_verifies = true;
    bool keys = false;  // the host holds the card's public keys
    std::function<void()> during_write;
    std::function<void()> during_checksum;  // the first checksum's
    // The result of a request, by its name and partition ("write dtb-b",
    // "checksum fw-b", "identity"); null or RFC_OK: it is served.
    std::function<int(const std::string &request)> fault;
    Strings calls;       // requests that would change the card, and signature checks, in order ("erase fw-b")
    unsigned asked = 0;  // every request to the card, its lock's take included
};
extern card_s g_card;
// Cards by address, for a run of several cards (each served on its own
// thread); an address not in it is g_card's. Filled before the run.
extern std::map<std::string, card_s> g_cards;
card_s &card_at(const char *bdf);
extern std::vector<double> g_sleeps;

// The table over g_card; address_valid takes any 12-character address.
extern const fc_card_ops_s k_ops;
// A fresh card and session: sleeps recorded, the clock frozen.
void reset();
std::string partition_name(uint32_t id);
// fc_main with its standard output captured (its standard error dropped).
int run_main(Strings args, std::string *out);

}  // namespace fake
