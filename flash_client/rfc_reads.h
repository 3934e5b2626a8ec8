// SPDX-License-Identifier: Apache-2.0
// Typed reads of a card's state. Each one opens the card (once per thread,
// like every client operation), exchanges with the card's firmware update
// service and decodes the answer into a plain record. None prints, writes a
// file or draws progress; diagnostics still go through the client's trace
// hook. The flash-update operations are these reads followed by their
// presentation; other programs (flashctl, -dev users) call them directly.
//
// Results follow the client's convention: RFC_OK, RFC_EFAIL (failed open or
// exchange), RFC_EINVAL (argument refused before any exchange), RFC_ETIMEOUT
// (stopped by the caller's timeout flag), or the value named per function.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rfc.h"

inline constexpr size_t RFC_SHA512_LEN = 64;

// Running or startup image (which: FWUPDATE_IMAGE_RUNNING or _STARTUP).
[[nodiscard]] int rfc_read_firmware_image(fwupdate_image_type_e which, const char *bdf, firmware_image_type_e *image);

// The card's identity, versions and fuse state, with the fields that the
// service's ipc version predates given their "not supported" values.
struct rfc_card_identity_s {
    uint8_t ipc_version = 0;
    std::string sw_version;
    uint32_t board_id = 0;
    std::string asic;  // "alder", "birch", "cedar", "larch" or "unknown"
    uint8_t cpld_id = 0;
    bool cpld_gold = false;
    uint8_t cpld_version = 0;
    uint8_t cpld_minor_version = 0;
    std::string date;  // "yy-mm-dd hh:mm" as the card's tools print it
    uint8_t boot0_version = 0;
    uint8_t board_hw_fuse = 0;
    uint32_t board_sigchk = 0;
    std::string board_keyname;
    uint8_t board_secure_enable = 0;
    uint8_t board_secure_boot = 0;
    uint8_t bl1_slot_num = 0;
    uint8_t bastion_slot_num = 0;
    uint8_t life_cycle_state = 0;
    std::string life_cycle_name;  // rfc_lcs_name of life_cycle_state
    uint64_t life_cycle_state_fuses = 0;
};
[[nodiscard]] int rfc_read_card_identity(const char *bdf, rfc_card_identity_s *identity);

// One entry of the card's partition table, texts cut at their field ends.
struct rfc_partition_s {
    uint32_t id = 0;
    uint32_t type_id = 0;
    std::string name;
    std::string type_name;
    uint64_t size = 0;
    uint8_t slot = 0;
    bool running = false;
    bool startup = false;
    std::string version;
};
// Number of entries the card's partition table holds (the summary). After a
// failed exchange, the exchange's result (never 0).
[[nodiscard]] int rfc_read_partition_count(const char *bdf, unsigned *count);
// The entry at index (0 .. count-1).
[[nodiscard]] int rfc_read_partition_entry(const char *bdf, unsigned index, rfc_partition_s *entry);
// Summary, then every entry in order: 1 + count exchanges.
[[nodiscard]] int rfc_read_partition_table(const char *bdf, std::vector<rfc_partition_s> *table);

// A partition's firmware list. The device-tree and firmware-configuration
// partitions answer with a profile and a version instead (has_profile).
struct rfc_fw_list_s {
    uint32_t image_id = 0;
    bool has_profile = false;
    std::string profile_name;
    std::string version;
    std::string data;  // the list as the card sends it, bounded to its area
};
// After a failed exchange, the exchange's result (never 0).
[[nodiscard]] int rfc_read_fw_list(flash_partition_e partition, const char *bdf, rfc_fw_list_s *list);

// The card's description of a partition's startup image and its digest,
// polled every 2 seconds while the card is still verifying. timeout may be
// null (polls until the card answers).
struct rfc_startup_image_s {
    uint8_t digest[RFC_SHA512_LEN] = {};
    std::string text;  // bounded to the text area
};
[[nodiscard]] int rfc_read_startup_image(flash_partition_e partition, const char *bdf, const bool *timeout,
                                         rfc_startup_image_s *image);
// True when a line of the text containing "hash" contains the digest (hex,
// any case): the check flash-update makes with grep, done in-process.
bool rfc_startup_image_matches(const rfc_startup_image_s &image);

// Name of a life-cycle state as the card reports it: "disabled", "open",
// "soft_prod", "prod", "rip", "unknown" past those.
const char *rfc_lcs_name(uint8_t state);

// A secure component's state (type: SECURE_IMAGE_LCS .. _BASTION). Returns
// the card's command status when it is not 0, RFC_EFAIL when the exchange
// fails with a zero command status.
struct rfc_secure_info_s {
    uint8_t secure_ipc_version = 0;
    uint8_t current_boot_partition = 0;
    uint8_t next_boot_partition = 0;
    uint64_t bl1_version = 0;
    uint8_t bl1_ar_version = 0;
    uint64_t bl1_ar_nv_count = 0;
    uint64_t bastionfw_version = 0;
    uint8_t bastion_ar_version = 0;
    uint64_t bastion_ar_nv_count = 0;
    std::string bl31_version;
    uint32_t fuse = 0;
    uint8_t bastion_enable = 0;
    uint8_t bootloader1_current_fuse = 0;
    uint8_t lcs_boot_state = 0;
    uint8_t lcs_next_state = 0;
};
[[nodiscard]] int rfc_read_secure_info(secure_image_type_e type, const char *bdf, rfc_secure_info_s *info);

// Whether the card keeps signed metadata for the partition.
bool rfc_partition_is_signed(flash_partition_e partition);
// A signed partition's metadata text (bounded to its area). RFC_EINVAL for a
// partition without signed metadata; after a failed exchange, the exchange's
// result (never 0).
[[nodiscard]] int rfc_read_signed_metadata(flash_partition_e partition, const char *bdf, std::string *text);
// The "key_name" member of metadata text; false when the text is not a JSON
// object or names no key (why in *error).
bool rfc_metadata_key_name(const std::string &text, std::string *key_name, std::string *error);

// The card's SHA-512 of the first size bytes of a partition, polled every
// 2 seconds while the card is still computing. RFC_EFAIL also when the card
// reports the computation failed.
[[nodiscard]] int rfc_read_checksum(flash_partition_e partition, uint64_t size, const char *bdf, const bool &timeout,
                                    uint8_t (&digest)[RFC_SHA512_LEN]);
// 128 upper-case hex digits, as the card's tools print a digest.
std::string rfc_digest_hex(const uint8_t (&digest)[RFC_SHA512_LEN]);

// Progress of the long operations (install passes, erase and verification
// polls), for a front end to draw. Set beside the trace hook; null (the
// default) reports nothing.
enum rfc_progress_kind_e : int {
    RFC_PROGRESS_BEGIN = 0,   // a pass over total bytes starts; phase names it ("write", "verify")
    RFC_PROGRESS_UPDATE = 1,  // done bytes of the pass acknowledged
    RFC_PROGRESS_POLL = 2,    // a poll waits on the card: phase is its label, elapsed_s the seconds so far
    RFC_PROGRESS_END = 3,     // the pass or poll ended (successfully or not)
};
struct rfc_progress_s {
    rfc_progress_kind_e kind = RFC_PROGRESS_END;
    const char *phase = "";
    uint64_t done = 0;
    uint64_t total = 0;
    unsigned elapsed_s = 0;
};
using rfc_progress_cb_t = void (*)(void *ctxt, const rfc_progress_s &progress);
void rfc_set_progress_cb(rfc_progress_cb_t cb, void *ctxt);
